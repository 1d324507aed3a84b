#include "transport/service_config.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reply/reply_nesting.h"
#include "transport/install_paths.h"
#include "transport/text_conversion.h"

namespace nalpoicomm {
namespace {

// A real configuration file holds a few hundred bytes; a larger one is not one.
constexpr std::size_t kMaxServiceConfigBytes = 64 * 1024;

// The XML parser recurses once per nesting level, so a deeply nested file
// would overflow the stack of the thread that reads it: measure it first.
bool NestingIsSafe(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::string text(kMaxServiceConfigBytes + 1, '\0');
    const std::size_t read = std::fread(&text[0], 1, text.size(), file);
    std::fclose(file);
    if (read > kMaxServiceConfigBytes) return false;
    text.resize(read);
    return MeasureReplyNesting(text.c_str()) <= kMaxReplyNesting;
}

}  // namespace

WCHAR* ReadServiceUrl() {
    char path[kPathChars];
    if (!FormConfigPath(kServiceConfigFormat, path)) return nullptr;

    if (!NestingIsSafe(path)) return nullptr;
    TiXmlDocument document(path);
    if (!document.LoadFile()) return nullptr;
    const TiXmlElement* root = document.FirstChildElement();
    if (root == nullptr) return nullptr;
    const TiXmlElement* first = root->FirstChildElement();
    if (first == nullptr) return nullptr;
    const char* text = first->GetText();
    if (text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
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
