#include "service_config_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace nalpoicomm {

namespace {

// The library copies the URL into its store, terminator included.
constexpr std::size_t kServiceUrlMaxBytes = kServiceUrlStore - 1;

const char kTreePathProblem[] =
    "the install tree's path cannot be formed: the executable's path cannot be read, or is "
    "260 characters or more";

// A path of the library's in the 8-bit form it opens its files with; empty
// when it does not convert.
std::string Narrow(const WCHAR* wide) {
    char text[kPathChars];
    return WideToAnsi(wide, text, sizeof text) > 0 ? std::string(text) : std::string();
}

std::string EscapeXmlText(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            default: escaped += c; break;
        }
    }
    return escaped;
}

std::string SystemError(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

#if defined(_WIN32)
bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// rename() will not replace an existing file on Windows.
bool ReplaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
#else
bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

}  // namespace

bool RunningExecutable(std::string& path, std::string& error) {
    WCHAR module[kModulePathChars];
    GetModulePath(module);
    path = Narrow(module);
    if (path.empty()) error = kTreePathProblem;
    return !path.empty();
}

bool FindInstallTree(InstallTree& tree, std::string& error) {
    // The library's own tree and its own forms of configdat's paths.
    WCHAR root[kModulePathChars];
    GetInstallDir(root);
    char dir[kPathChars];
    char file[kPathChars];
    if (root[0] == 0 || !FormConfigPath(kConfigDirFormat, dir) ||
        !FormConfigPath(kServiceConfigFormat, file)) {
        error = kTreePathProblem;
        return false;
    }
    tree.root = Narrow(root);
    tree.configDir = dir;
    tree.configFile = file;
    return true;
}

std::string ServiceUrlProblem(const std::string& url) {
    // The library's own limits: the store it copies the URL into, and the
    // split its worker makes before it connects.
    if (url.size() > kServiceUrlMaxBytes) {
        return "the URL is " + std::to_string(url.size()) +
               " bytes long; the library takes at most " + std::to_string(kServiceUrlMaxBytes);
    }
    WCHAR* wide = nullptr;
    ServiceUrlParts parts;
    const bool split = AnsiToWide(url.c_str(), &wide) > 0 && SplitServiceUrl(wide, parts);
    std::free(wide);
    if (!split) {
        return "the library cannot split the URL into a host, a port and a path: give one such "
               "as http://127.0.0.1:8080/poi";
    }
    if (parts.scheme != INTERNET_SCHEME_HTTP && parts.scheme != INTERNET_SCHEME_HTTPS) {
        return "the URL must start with http:// or https://: the library speaks plain HTTP to "
               "any other scheme";
    }
    return std::string();
}

std::string ServiceConfigDocument(const std::string& url) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ServiceConfig>\n"
           "    <ServiceUrl>" +
           EscapeXmlText(url) +
           "</ServiceUrl>\n"
           "</ServiceConfig>\n";
}

bool WriteServiceConfig(const InstallTree& tree, const std::string& url, std::string& error) {
    if (!MakeDirectory(tree.configDir)) {
        error = SystemError("cannot create", tree.configDir);
        return false;
    }
    const std::string temporary = tree.configFile + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        error = SystemError("cannot write", temporary);
        return false;
    }
    const std::string document = ServiceConfigDocument(url);
    const bool written = std::fwrite(document.data(), 1, document.size(), file) == document.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = SystemError("cannot write", temporary);
        std::remove(temporary.c_str());
        return false;
    }
    if (!ReplaceFile(temporary, tree.configFile)) {
        error = SystemError("cannot replace", tree.configFile);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool ReadServiceConfig(std::string& url, std::string& error) {
    // The library's own reading, with its limits, of its own file.
    ServiceConfigReading reading;
    WCHAR* wide = ReadServiceUrl(&reading);
    std::free(wide);
    if (reading.problem != ServiceConfigProblem::kNone) {
        error = ServiceConfigReadingProblem(reading);
        return false;
    }
    url = reading.url;
    return true;
}

std::string ServiceConfigReadingProblem(const ServiceConfigReading& reading) {
    switch (reading.problem) {
        case ServiceConfigProblem::kNone: return std::string();
        case ServiceConfigProblem::kNoPath: return "the install tree's path cannot be formed";
        case ServiceConfigProblem::kUnreadable: return reading.path + " is missing or unreadable";
        case ServiceConfigProblem::kTooLarge: return reading.path + " is over 64 KiB";
        case ServiceConfigProblem::kTooDeep: return reading.path + " is nested too deeply";
        case ServiceConfigProblem::kNotWellFormed:
            return reading.path + " is not well-formed XML: " + reading.parseError;
        case ServiceConfigProblem::kNoRoot: return reading.path + " holds no element";
        case ServiceConfigProblem::kNoFirstChild:
            return reading.path + ": the root element has no child element for the URL";
        case ServiceConfigProblem::kNoText:
            return reading.path + ": the root's first child element holds no text";
        case ServiceConfigProblem::kTooLong:
            return reading.path + ": the URL is " + std::to_string(reading.url.size()) +
                   " bytes long; the library takes at most " +
                   std::to_string(kServiceUrlMaxBytes) + ": " + reading.url;
        case ServiceConfigProblem::kNoMemory: return "out of memory while reading " + reading.path;
    }
    return "the file cannot be read";
}

}  // namespace nalpoicomm
