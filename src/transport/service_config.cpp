#include "transport/service_config.h"

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>

#include "transport/install_paths.h"
#include "transport/text_conversion.h"

namespace nalpoicomm {

WCHAR* ReadServiceUrl() {
    char path[kPathChars];
    if (!FormConfigPath(kServiceConfigFormat, path)) return nullptr;

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
