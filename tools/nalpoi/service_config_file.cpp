#include "service_config_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif


namespace nalpoicomm {

namespace {

// The library copies the URL into its store, terminator included.
constexpr std::size_t kServiceUrlMaxBytes = kServiceUrlStore - 1;
// Room for the executable's path as the kernel reports it.
constexpr std::size_t kExecutablePathBytes = 4096;

const char kConfigDirName[] = "configdat";
const char kConfigFileName[] = "serviceIP.xml";

#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind(kSeparator);
    return slash == std::string::npos ? path : path.substr(0, slash);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
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
std::string WindowsError(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": Windows error " + std::to_string(GetLastError());
}

// The running executable's path in the ANSI code page, the form the library
// itself uses to open configdat's files.
bool ExecutablePath(std::string& path, std::string& error) {
    WCHAR wide[kExecutablePathBytes];
    const DWORD length = GetModuleFileNameW(nullptr, wide, kExecutablePathBytes);
    if (length == 0 || length >= kExecutablePathBytes) {
        error = WindowsError("cannot read", "the executable's path");
        return false;
    }
    char narrow[kExecutablePathBytes];
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), narrow,
                                          sizeof narrow, nullptr, nullptr);
    if (bytes <= 0) {
        error = WindowsError("cannot convert", "the executable's path");
        return false;
    }
    path.assign(narrow, static_cast<std::size_t>(bytes));
    return true;
}

bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// rename() will not replace an existing file on Windows.
bool ReplaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
#else
bool ExecutablePath(std::string& path, std::string& error) {
    char executable[kExecutablePathBytes];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
    if (length <= 0) {
        error = SystemError("cannot read", "/proc/self/exe");
        return false;
    }
    path.assign(executable, static_cast<std::size_t>(length));
    return true;
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

}  // namespace

bool RunningExecutable(std::string& path, std::string& error) { return ExecutablePath(path, error); }

bool FindInstallTree(InstallTree& tree, std::string& error) {
    std::string executable;
    if (!ExecutablePath(executable, error)) return false;
    // Like the library: drop the file name, then the directory that holds it.
    const std::string root = Parent(Parent(executable));
    tree.configDir = root + kSeparator + kConfigDirName;
    tree.configFile = tree.configDir + kSeparator + kConfigFileName;
    return true;
}

std::string ServiceUrlProblem(const std::string& url) {
    if (url.size() > kServiceUrlMaxBytes) {
        return "the URL is " + std::to_string(url.size()) +
               " bytes long; the library takes at most " + std::to_string(kServiceUrlMaxBytes);
    }
    const char* scheme = StartsWithNoCase(url, "http://")    ? "http://"
                         : StartsWithNoCase(url, "https://") ? "https://"
                                                             : nullptr;
    if (scheme == nullptr) return "the URL must start with http:// or https://";
    if (url.size() == std::strlen(scheme)) return "the URL names no host";
    for (const char c : url) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) return "the URL holds a space or a control character";
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
