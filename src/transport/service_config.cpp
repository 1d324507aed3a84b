#include "transport/service_config.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/whole_file.h"
#include "transport/install_paths.h"
#include "transport/text_conversion.h"
#include "xml/guarded_parse.h"

namespace nalpoicomm {
namespace {

// A real configuration file holds a few hundred bytes; a larger one is not one.
constexpr std::size_t kMaxServiceConfigBytes = 64 * 1024;

// The text up to its first zero byte, line ends made LF as LoadFile makes
// them (CR LF and a lone CR).
std::string LoadFileText(const std::string& text) {
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size() && text[i] != 0; ++i) {
        if (text[i] != '\r') {
            lines.push_back(text[i]);
        } else {
            lines.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    return lines;
}

}  // namespace

WCHAR* ReadServiceUrl(ServiceConfigReading* reading) {
    // Says why there is no URL, when asked; the library itself only needs
    // the null.
    const auto fail = [reading](ServiceConfigProblem problem) -> WCHAR* {
        if (reading != nullptr) reading->problem = problem;
        return nullptr;
    };
    char path[kPathChars];
    if (!FormConfigPath(kServiceConfigFormat, path)) return fail(ServiceConfigProblem::kNoPath);
    if (reading != nullptr) reading->path = path;

    std::string fileText;
    if (!ReadWholeFile(path, kMaxServiceConfigBytes, fileText)) {
        return fail(fileText.size() > kMaxServiceConfigBytes ? ServiceConfigProblem::kTooLarge
                                                             : ServiceConfigProblem::kUnreadable);
    }
    TiXmlDocument document(path);
    if (!GuardedParse(document, LoadFileText(fileText).c_str())) {
        return fail(ServiceConfigProblem::kTooDeep);
    }
    if (document.Error()) {
        if (reading != nullptr) reading->parseError = document.ErrorDesc();
        return fail(ServiceConfigProblem::kNotWellFormed);
    }
    const TiXmlElement* root = document.FirstChildElement();
    if (root == nullptr) return fail(ServiceConfigProblem::kNoRoot);
    const TiXmlElement* first = root->FirstChildElement();
    if (first == nullptr) return fail(ServiceConfigProblem::kNoFirstChild);
    const char* text = first->GetText();
    // A character reference such as "&#0;" leaves a text node without text:
    // no URL, as if there were no text at all.
    if (text == nullptr || text[0] == 0) return fail(ServiceConfigProblem::kNoText);
    const std::size_t length = std::strlen(text);
    if (reading != nullptr) reading->url = text;
    if (length >= kServiceUrlStore) {
        return fail(ServiceConfigProblem::kTooLong);  // never cut a URL: it would point elsewhere
    }

    char* store = static_cast<char*>(std::calloc(kServiceUrlStore, 1));
    if (store == nullptr) return fail(ServiceConfigProblem::kNoMemory);
    std::memcpy(store, text, length);
    WCHAR* wide = nullptr;
    AnsiToWide(store, &wide);
    std::free(store);
    if (wide == nullptr) return fail(ServiceConfigProblem::kNoMemory);
    return wide;
}

}  // namespace nalpoicomm
