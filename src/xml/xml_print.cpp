#include "xml/xml_print.h"

#include <cstdio>
#include <cstring>

namespace nalpoicomm {
namespace {

void Indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 4, ' '); }

// TinyXML's EncodeString: the five markup characters as entities, bytes
// below 32 as hexadecimal references, everything else as it is (in runs).
void AppendEncoded(std::string& out, const char* text) {
    const char* run = text;
    for (;; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        if (c >= 32 && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'') continue;
        out.append(run, static_cast<std::size_t>(text - run));
        run = text + 1;
        switch (c) {
            case 0: return;
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: {
                char reference[8];
                std::snprintf(reference, sizeof reference, "&#x%02X;", c);
                out += reference;
            }
        }
    }
}

// A node TinyXML prints as its value between two marks, indented.
void AppendMarked(std::string& out, int depth, const char* open, const char* value, const char* close) {
    Indent(out, depth);
    out += open;
    out += value;
    out += close;
}

void AppendNode(std::string& out, const TiXmlNode& node, int depth);

void AppendElement(std::string& out, const TiXmlElement& element, int depth) {
    Indent(out, depth);
    out += '<';
    out += element.Value();
    for (const TiXmlAttribute* attribute = element.FirstAttribute(); attribute != nullptr;
         attribute = attribute->Next()) {
        const char quote = std::strchr(attribute->Value(), '"') != nullptr ? '\'' : '"';
        out += ' ';
        AppendEncoded(out, attribute->Name());
        out += '=';
        out += quote;
        AppendEncoded(out, attribute->Value());
        out += quote;
    }
    const TiXmlNode* first = element.FirstChild();
    if (first == nullptr) {
        out += " />";
        return;
    }
    out += '>';
    if (first == element.LastChild() && first->ToText() != nullptr) {
        AppendNode(out, *first, depth + 1);
    } else {
        for (const TiXmlNode* child = first; child != nullptr; child = child->NextSibling()) {
            if (child->ToText() == nullptr) out += '\n';
            AppendNode(out, *child, depth + 1);
        }
        out += '\n';
        Indent(out, depth);
    }
    out += "</";
    out += element.Value();
    out += '>';
}

void AppendDeclaration(std::string& out, const TiXmlDeclaration& declaration) {
    out += "<?xml ";
    const char* const names[] = {"version", "encoding", "standalone"};
    const char* const values[] = {declaration.Version(), declaration.Encoding(), declaration.Standalone()};
    for (int i = 0; i < 3; ++i) {
        if (values[i][0] == 0) continue;
        out += names[i];
        out += "=\"";
        out += values[i];
        out += "\" ";
    }
    out += "?>";
}

void AppendNode(std::string& out, const TiXmlNode& node, int depth) {
    switch (node.Type()) {
        case TiXmlNode::TINYXML_ELEMENT:
            AppendElement(out, *node.ToElement(), depth);
            break;
        case TiXmlNode::TINYXML_TEXT:
            if (node.ToText()->CDATA()) {
                out += '\n';
                AppendMarked(out, depth, "<![CDATA[", node.Value(), "]]>\n");
            } else {
                AppendEncoded(out, node.Value());
            }
            break;
        case TiXmlNode::TINYXML_COMMENT:
            AppendMarked(out, depth, "<!--", node.Value(), "-->");
            break;
        case TiXmlNode::TINYXML_UNKNOWN:
            AppendMarked(out, depth, "<", node.Value(), ">");
            break;
        case TiXmlNode::TINYXML_DECLARATION:
            AppendDeclaration(out, *node.ToDeclaration());
            break;
        default:
            break;  // a document is never a child
    }
}

bool MayPutZeroBytesInTexts(const char* text, std::size_t length) {
    if (std::strstr(text, "&#") != nullptr) return true;
    // A lead byte steps at most three bytes on: only the last three can
    // step past the end.
    for (std::size_t i = length > 3 ? length - 3 : 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
    }
    return false;
}

}  // namespace

bool AppendSaveFilePrint(const TiXmlDocument& document, const char* text, bool parsed,
                         std::string& out) {
    const std::size_t length = std::strlen(text);
    if (MayPutZeroBytesInTexts(text, length)) return false;
    out.reserve(out.size() + 2 * length + 16);  // the print indents: room for most
    // The mark is written when the parse found it at the very start.
    if (parsed && std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) out += "\xEF\xBB\xBF";
    for (const TiXmlNode* node = document.FirstChild(); node != nullptr; node = node->NextSibling()) {
        AppendNode(out, *node, 0);
        out += '\n';
    }
    return true;
}

}  // namespace nalpoicomm
