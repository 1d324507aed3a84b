#include "transport/service_config.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/xml_nesting.h"
#include "platform/c_file.h"
#include "transport/install_paths.h"
#include "transport/text_conversion.h"

namespace nalpoicomm {
namespace {

// A real configuration file holds a few hundred bytes; a larger one is not one.
constexpr std::size_t kMaxServiceConfigBytes = 64 * 1024;

// Zero bytes parsed after the file's text. In UTF-8 text TinyXML steps over a
// multi-byte sequence by its lead byte alone, up to three bytes on, even past
// a terminator inside the sequence: LoadFile's block ends at the terminator,
// so a file ending in a lead byte was read past its end.
constexpr std::size_t kParsePadding = 4;

// The whole file, or false when it cannot be read or is too large. Read in
// pieces, so that a file of a few hundred bytes costs a few hundred bytes.
bool ReadConfigText(const char* path, std::string& text) {
    // Closed on every way out, a failed allocation below included.
    const UniqueFile file(std::fopen(path, "rb"));
    if (file == nullptr) return false;
    text.clear();
    char piece[4096];
    std::size_t read;
    while ((read = std::fread(piece, 1, sizeof piece, file.get())) > 0) {
        if (text.size() + read > kMaxServiceConfigBytes) return false;
        text.append(piece, read);
    }
    return std::ferror(file.get()) == 0;
}

// The text up to its first zero byte, line ends made LF as LoadFile makes
// them (CR LF and a lone CR), followed by the padding.
std::vector<char> PaddedParseText(const std::string& text) {
    std::vector<char> padded;
    padded.reserve(text.size() + 1 + kParsePadding);
    for (std::size_t i = 0; i < text.size() && text[i] != 0; ++i) {
        if (text[i] != '\r') {
            padded.push_back(text[i]);
        } else {
            padded.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    padded.resize(padded.size() + 1 + kParsePadding, 0);
    return padded;
}

}  // namespace

WCHAR* ReadServiceUrl() {
    char path[kPathChars];
    if (!FormConfigPath(kServiceConfigFormat, path)) return nullptr;

    std::string fileText;
    if (!ReadConfigText(path, fileText)) return nullptr;
    // The XML parser recurses once per nesting level, so a deeply nested file
    // would overflow the stack of the thread that reads it: measure it first.
    if (MeasureXmlNesting(fileText.c_str()) > kMaxXmlNesting) return nullptr;
    std::vector<char> padded = PaddedParseText(fileText);
    TiXmlDocument document(path);
    document.Parse(padded.data(), nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error()) return nullptr;
    const TiXmlElement* root = document.FirstChildElement();
    if (root == nullptr) return nullptr;
    const TiXmlElement* first = root->FirstChildElement();
    if (first == nullptr) return nullptr;
    const char* text = first->GetText();
    if (text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
    // A character reference such as "&#0;" leaves a text node without text:
    // no URL, as if there were no text at all.
    if (length == 0) return nullptr;
    if (length >= kServiceUrlStore) return nullptr;  // never cut a URL: it would point elsewhere

    char* store = static_cast<char*>(std::calloc(kServiceUrlStore, 1));
    if (store == nullptr) return nullptr;
    std::memcpy(store, text, length);
    WCHAR* wide = nullptr;
    AnsiToWide(store, &wide);
    std::free(store);
    return wide;
}

}  // namespace nalpoicomm
