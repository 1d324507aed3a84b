#include "xml_well_formedness.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace nalpoicomm {
namespace service {
namespace {

// Requests are two levels deep; a little room, and no unbounded stack of
// open names for a hostile body.
constexpr std::size_t kMaxElementDepth = 16;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           u >= 0x80;
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// XML 1.0 allows no control character but tab, CR and LF.
bool IsForbiddenControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 && c != '\t' && c != '\r' && c != '\n';
}

class Scanner {
public:
    explicit Scanner(const std::string& text) : text_(text) {}

    XmlCheck Run() {
        XmlCheck check;
        SkipByteOrderMark();
        if (LookingAt("<?xml") && pos_ + 5 < text_.size() &&
            (IsSpace(text_[pos_ + 5]) || text_[pos_ + 5] == '?')) {
            if (!SkipPast("?>")) return check;
        }
        if (!SkipMisc()) return check;
        if (!LookingAt("<") || LookingAt("<!")) return check;
        if (!ScanElement(check.root_name)) return check;
        if (!SkipMisc()) return check;
        check.well_formed = pos_ == text_.size();
        return check;
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }

    bool LookingAt(const char* s) const {
        return text_.compare(pos_, std::strlen(s), s) == 0;
    }

    void SkipByteOrderMark() {
        if (LookingAt("\xEF\xBB\xBF")) pos_ += 3;
    }

    void SkipSpace() {
        while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
    }

    // Moves past the next `terminator`; false when there is none or a
    // forbidden control character comes first.
    bool SkipPast(const char* terminator) {
        const std::size_t found = text_.find(terminator, pos_);
        if (found == std::string::npos) return false;
        for (std::size_t i = pos_; i < found; ++i) {
            if (IsForbiddenControl(text_[i])) return false;
        }
        pos_ = found + std::strlen(terminator);
        return true;
    }

    // White space, comments and processing instructions outside the root.
    bool SkipMisc() {
        for (;;) {
            SkipSpace();
            if (LookingAt("<!--")) {
                if (!ScanComment()) return false;
            } else if (LookingAt("<?")) {
                if (!ScanProcessingInstruction()) return false;
            } else {
                return true;
            }
        }
    }

    bool ScanComment() {
        pos_ += 4;
        const std::size_t start = pos_;
        if (!SkipPast("-->")) return false;
        // "--" may not occur inside a comment.
        const std::size_t body_end = pos_ - 3;
        return text_.substr(start, body_end - start).find("--") == std::string::npos;
    }

    bool ScanProcessingInstruction() {
        pos_ += 2;
        std::string target;
        if (!ScanName(target)) return false;
        return SkipPast("?>");
    }

    bool ScanName(std::string& name) {
        if (AtEnd() || !IsNameStart(text_[pos_])) return false;
        const std::size_t start = pos_;
        while (!AtEnd() && IsNameChar(text_[pos_])) ++pos_;
        name.assign(text_, start, pos_ - start);
        return true;
    }

    // "&" at pos_: one of the predefined entities or a character reference.
    bool ScanReference() {
        ++pos_;
        static const char* const kEntities[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
        for (const char* entity : kEntities) {
            if (LookingAt(entity)) {
                pos_ += std::strlen(entity);
                return true;
            }
        }
        if (!LookingAt("#")) return false;
        ++pos_;
        const bool hex = LookingAt("x");
        if (hex) ++pos_;
        const std::size_t digits_start = pos_;
        const auto is_digit = [hex](char c) {
            return hex ? IsHexDigit(c) : (c >= '0' && c <= '9');
        };
        while (!AtEnd() && is_digit(text_[pos_])) ++pos_;
        if (pos_ == digits_start || !LookingAt(";")) return false;
        ++pos_;
        return true;
    }

    bool ScanAttributeValue() {
        if (AtEnd() || (text_[pos_] != '"' && text_[pos_] != '\'')) return false;
        const char quote = text_[pos_++];
        while (!AtEnd() && text_[pos_] != quote) {
            const char c = text_[pos_];
            if (c == '<' || IsForbiddenControl(c)) return false;
            if (c == '&') {
                if (!ScanReference()) return false;
            } else {
                ++pos_;
            }
        }
        if (AtEnd()) return false;
        ++pos_;
        return true;
    }

    // After the element name: attributes up to ">" or "/>".
    bool ScanAttributes(bool& empty_element) {
        std::vector<std::string> seen;
        for (;;) {
            const std::size_t before_space = pos_;
            SkipSpace();
            if (LookingAt("/>")) {
                pos_ += 2;
                empty_element = true;
                return true;
            }
            if (LookingAt(">")) {
                ++pos_;
                empty_element = false;
                return true;
            }
            if (pos_ == before_space) return false;   // attributes need white space before them
            std::string name;
            if (!ScanName(name)) return false;
            for (const std::string& other : seen) {
                if (other == name) return false;
            }
            seen.push_back(name);
            SkipSpace();
            if (!LookingAt("=")) return false;
            ++pos_;
            SkipSpace();
            if (!ScanAttributeValue()) return false;
        }
    }

    // An element from its "<" to the end of its end tag, without recursion.
    bool ScanElement(std::string& root_name) {
        std::vector<std::string> open;
        for (;;) {
            // At "<" of a start tag.
            ++pos_;
            std::string name;
            if (!ScanName(name)) return false;
            if (open.empty() && root_name.empty()) root_name = name;
            bool empty_element = false;
            if (!ScanAttributes(empty_element)) return false;
            if (!empty_element) {
                if (open.size() == kMaxElementDepth) return false;
                open.push_back(name);
            }
            // Content until the next child's start tag, or until the element
            // that closes the outermost one.
            for (;;) {
                if (open.empty()) return true;
                if (AtEnd()) return false;
                const char c = text_[pos_];
                if (LookingAt("</")) {
                    pos_ += 2;
                    std::string end_name;
                    if (!ScanName(end_name) || end_name != open.back()) return false;
                    SkipSpace();
                    if (!LookingAt(">")) return false;
                    ++pos_;
                    open.pop_back();
                } else if (LookingAt("<!--")) {
                    if (!ScanComment()) return false;
                } else if (LookingAt("<![CDATA[")) {
                    pos_ += 9;
                    if (!SkipPast("]]>")) return false;
                } else if (LookingAt("<?")) {
                    if (!ScanProcessingInstruction()) return false;
                } else if (c == '<') {
                    break;   // a child's start tag
                } else if (c == '&') {
                    if (!ScanReference()) return false;
                } else if (LookingAt("]]>") || IsForbiddenControl(c)) {
                    return false;
                } else {
                    ++pos_;
                }
            }
        }
    }

    const std::string& text_;
    std::size_t pos_ = 0;
};

}  // namespace

XmlCheck CheckWellFormed(const std::string& text) { return Scanner(text).Run(); }

}  // namespace service
}  // namespace nalpoicomm
