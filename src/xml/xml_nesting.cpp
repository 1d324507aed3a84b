#include "xml/xml_nesting.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstring>

// The scanner walks the text exactly as TinyXML 2.6's parser does, step for
// step (Identify, Element::Parse, ReadValue, Attribute::Parse, ReadText,
// GetChar, GetEntity, SkipWhiteSpace), but builds nothing and keeps the open
// elements in a fixed array instead of recursing. Wherever TinyXML gives up,
// the scanner stops too: nothing after that point is nested by TinyXML.
// Duplicate attributes, which TinyXML refuses, are not looked for; going on
// there can only count more.

namespace nalpoicomm {
namespace {

// How TinyXML steps over text: byte by byte until a declaration settles the
// encoding, by whole UTF-8 sequences after a byte-order mark or a UTF-8
// declaration.
enum class Stepping { kUndecided, kBytes, kUtf8 };

enum class NodeKind { kNone, kDeclaration, kComment, kCData, kUnknown, kElement };

bool IsWhiteSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0 || c == '\n' || c == '\r';
}

// TinyXML takes every byte from 127 up for a letter.
bool IsNameStart(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 127 || std::isalpha(byte) != 0 || c == '_';
}

bool IsNameChar(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 127 || std::isalnum(byte) != 0 || c == '_' || c == '-' || c == '.' ||
           c == ':';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether `p` begins with `tag` (TinyXML's StringEqual).
bool StartsWith(const char* p, const char* tag, bool ignoreCase) {
    for (; *tag != 0; ++p, ++tag) {
        if (*p == 0) return false;
        const bool same =
            ignoreCase ? std::tolower(static_cast<unsigned char>(*p)) ==
                             std::tolower(static_cast<unsigned char>(*tag))
                       : *p == *tag;
        if (!same) return false;
    }
    return true;
}

bool StartsWithByteOrderMark(const char* p) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(p);
    return bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
}

// The three-byte sequences that TinyXML skips as white space in UTF-8 text.
bool StartsWithZeroWidthSequence(const char* p) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(p);
    if (bytes[0] != 0xEF) return false;
    if (bytes[1] == 0xBB) return bytes[2] == 0xBF;
    if (bytes[1] == 0xBF) return bytes[2] == 0xBE || bytes[2] == 0xBF;
    return false;
}

class NestingScanner {
public:
    std::size_t Measure(const char* text) {
        if (text == nullptr || *text == 0) return 0;
        if (StartsWithByteOrderMark(text)) stepping_ = Stepping::kUtf8;
        ReadTopLevel(text);
        return deepest_;
    }

private:
    struct OpenElement {
        const char* name;
        std::size_t length;
    };

    // Every reader below takes a position inside the text and returns the
    // position after what it read, or null where TinyXML gives up.

    const char* SkipWhiteSpace(const char* p) const {
        if (p == nullptr || *p == 0) return nullptr;
        if (stepping_ == Stepping::kUtf8) {
            while (*p != 0) {
                if (StartsWithZeroWidthSequence(p)) {
                    p += 3;
                } else if (IsWhiteSpace(*p)) {
                    ++p;
                } else {
                    break;
                }
            }
        } else {
            while (*p != 0 && IsWhiteSpace(*p)) ++p;
        }
        return p;
    }

    static const char* ReadName(const char* p) {
        if (p == nullptr || !IsNameStart(*p)) return nullptr;
        while (IsNameChar(*p)) ++p;
        return p;
    }

    // One character of text or attribute value (GetChar); `p` is not at the
    // terminator.
    const char* StepChar(const char* p) const {
        const int length = stepping_ == Stepping::kUtf8
                               ? TiXmlBase::utf8ByteTable[static_cast<unsigned char>(*p)]
                               : 1;
        if (length == 1) return *p == '&' ? StepEntity(p) : p + 1;
        if (length <= 0) return nullptr;
        // TinyXML steps over the whole sequence by its lead byte alone, past a
        // terminator inside it; the parsers pad the text with zeros, so
        // TinyXML then stops on a zero, as the scanner does here.
        for (int i = 1; i < length; ++i) {
            if (p[i] == 0) return p + i;
        }
        return p + length;
    }

    // An entity reference at '&' (GetEntity). A numeric one runs to the next
    // ';', whatever lies between, when the digits just before it are valid.
    static const char* StepEntity(const char* p) {
        if (p[1] == '#' && p[2] != 0) {
            const bool hex = p[2] == 'x';
            if (hex && p[3] == 0) return nullptr;
            const char* semicolon = std::strchr(p + (hex ? 3 : 2), ';');
            if (semicolon == nullptr) return nullptr;
            const char stop = hex ? 'x' : '#';
            for (const char* q = semicolon - 1; *q != stop; --q) {
                const bool digit = hex ? IsHexDigit(*q) : (*q >= '0' && *q <= '9');
                if (!digit) return nullptr;
            }
            return semicolon + 1;
        }
        for (const char* entity : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
            if (StartsWith(p, entity, false)) return p + std::strlen(entity);
        }
        return p + 1;
    }

    // Text up to and past `end` (ReadText). `trim` is the white-space
    // condensing reading of element text, TinyXML's default, which the
    // library never changes; attribute values and CDATA keep every byte.
    const char* ReadText(const char* p, const char* end, bool trim) const {
        if (trim) {
            p = SkipWhiteSpace(p);
            while (p != nullptr && *p != 0 && !StartsWith(p, end, false)) {
                p = IsWhiteSpace(*p) ? p + 1 : StepChar(p);
            }
        } else {
            while (p != nullptr && *p != 0 && !StartsWith(p, end, false)) p = StepChar(p);
        }
        if (p == nullptr || *p == 0) return nullptr;
        p += std::strlen(end);
        return *p != 0 ? p : nullptr;
    }

    // name = value, the value quoted or not (Attribute::Parse).
    const char* ReadAttribute(const char* p) const {
        p = SkipWhiteSpace(p);
        p = ReadName(p);
        if (p == nullptr || *p == 0) return nullptr;
        p = SkipWhiteSpace(p);
        if (p == nullptr || *p != '=') return nullptr;
        p = SkipWhiteSpace(p + 1);
        if (p == nullptr || *p == 0) return nullptr;
        if (*p == '\'' || *p == '"') {
            const char end[] = {*p, 0};
            return ReadText(p + 1, end, false);
        }
        while (*p != 0 && !IsWhiteSpace(*p) && *p != '/' && *p != '>') {
            if (*p == '\'' || *p == '"') return nullptr;
            ++p;
        }
        return p;
    }

    // What starts at `p`, which follows white space skipping (Identify).
    static NodeKind Identify(const char* p) {
        if (*p != '<') return NodeKind::kNone;
        if (StartsWith(p, "<?xml", true)) return NodeKind::kDeclaration;
        if (StartsWith(p, "<!--", false)) return NodeKind::kComment;
        if (StartsWith(p, "<![CDATA[", false)) return NodeKind::kCData;
        if (StartsWith(p, "<!", false)) return NodeKind::kUnknown;
        if (IsNameStart(p[1])) return NodeKind::kElement;
        return NodeKind::kUnknown;
    }

    const char* ReadDeclaration(const char* p) const {
        p += std::strlen("<?xml");
        while (*p != 0) {
            if (*p == '>') return p + 1;
            p = SkipWhiteSpace(p);
            if (*p == 0) return nullptr;
            if (StartsWith(p, "version", true) || StartsWith(p, "encoding", true) ||
                StartsWith(p, "standalone", true)) {
                p = ReadAttribute(p);
                if (p == nullptr) return nullptr;
            } else {
                while (*p != 0 && *p != '>' && !IsWhiteSpace(*p)) ++p;
            }
        }
        return nullptr;
    }

    // A node that holds no elements: declaration, comment, CDATA, unknown.
    const char* ReadLeaf(NodeKind kind, const char* p) const {
        switch (kind) {
            case NodeKind::kDeclaration:
                return ReadDeclaration(p);
            case NodeKind::kComment:
                for (p += std::strlen("<!--"); *p != 0; ++p) {
                    if (StartsWith(p, "-->", false)) return p + std::strlen("-->");
                }
                return p;
            case NodeKind::kCData:
                p += std::strlen("<![CDATA[");
                while (*p != 0 && !StartsWith(p, "]]>", false)) ++p;
                return ReadText(p, "]]>", false);
            default:
                for (++p; *p != 0; ++p) {
                    if (*p == '>') return p + 1;
                }
                return p;
        }
    }

    // From an element's '<' to past the '>' or "/>" that ends its start tag.
    const char* ReadStartTag(const char* p, OpenElement& element, bool& empty) const {
        p = SkipWhiteSpace(p + 1);
        const char* name = p;
        p = ReadName(p);
        if (p == nullptr || *p == 0) return nullptr;
        element = {name, static_cast<std::size_t>(p - name)};
        for (;;) {
            p = SkipWhiteSpace(p);
            if (p == nullptr || *p == 0) return nullptr;
            if (*p == '/') {
                if (p[1] != '>') return nullptr;
                empty = true;
                return p + 2;
            }
            if (*p == '>') {
                empty = false;
                return p + 1;
            }
            p = ReadAttribute(p);
            if (p == nullptr || *p == 0) return nullptr;
        }
    }

    // "</name", white space, '>'; TinyXML gives up on any other end tag.
    const char* ReadEndTag(const char* p, const OpenElement& element) const {
        if (std::strncmp(p + 2, element.name, element.length) != 0) return nullptr;
        p = SkipWhiteSpace(p + 2 + element.length);
        if (p == nullptr || *p != '>') return nullptr;
        return p + 1;
    }

    // An element's content (ReadValue) up to the next end tag or nested
    // element start, both left at their '<'.
    const char* ReadToMarkup(const char* p) const {
        p = SkipWhiteSpace(p);
        while (p != nullptr && *p != 0) {
            if (*p != '<') {
                p = ReadText(p, "<", true);
                if (p != nullptr) --p;  // back to the '<' that ended the text
            } else if (p[1] == '/') {
                return p;
            } else {
                const NodeKind kind = Identify(p);
                if (kind == NodeKind::kElement) return p;
                p = ReadLeaf(kind, p);
            }
            p = SkipWhiteSpace(p);
        }
        return nullptr;
    }

    // A top-level element with everything nested in it.
    const char* ReadElement(const char* p) {
        for (;;) {
            // `p` is at the '<' of an element start: TinyXML has made the
            // element and nests it one level deeper, whatever follows.
            if (depth_ == kMaxXmlNesting) {
                deepest_ = kMaxXmlNesting + 1;
                return nullptr;
            }
            OpenElement& element = open_[depth_++];
            deepest_ = std::max(deepest_, depth_);
            bool empty = false;
            p = ReadStartTag(p, element, empty);
            if (p == nullptr) return nullptr;
            if (empty) --depth_;
            for (;;) {
                if (depth_ == 0) return p;
                p = ReadToMarkup(p);
                if (p == nullptr) return nullptr;
                if (p[1] != '/') break;  // a nested element starts
                p = ReadEndTag(p, open_[depth_ - 1]);
                if (p == nullptr) return nullptr;
                --depth_;
            }
        }
    }

    // The document's own loop over its top-level nodes.
    void ReadTopLevel(const char* p) {
        for (;;) {
            p = SkipWhiteSpace(p);
            if (p == nullptr || *p == 0) return;
            const NodeKind kind = Identify(p);
            if (kind == NodeKind::kNone) return;
            p = kind == NodeKind::kElement ? ReadElement(p) : ReadLeaf(kind, p);
            if (p == nullptr) return;
            if (kind == NodeKind::kDeclaration && stepping_ == Stepping::kUndecided) {
                // TinyXML settles the encoding from this declaration's text;
                // rather than repeat that reading, follow both outcomes (this
                // happens once: afterwards the stepping is settled).
                stepping_ = Stepping::kUtf8;
                ReadTopLevel(p);
                if (deepest_ > kMaxXmlNesting) return;
                stepping_ = Stepping::kBytes;
                depth_ = 0;
                ReadTopLevel(p);
                return;
            }
        }
    }

    Stepping stepping_ = Stepping::kUndecided;
    std::size_t depth_ = 0;
    std::size_t deepest_ = 0;
    OpenElement open_[kMaxXmlNesting] = {};
};

}  // namespace

std::size_t MeasureXmlNesting(const char* text) {
    NestingScanner scanner;
    return scanner.Measure(text);
}

}  // namespace nalpoicomm
