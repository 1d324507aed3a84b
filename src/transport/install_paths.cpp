#include "transport/install_paths.h"

#include <cstring>

#include "platform/wide_string.h"
#include "transport/text_conversion.h"

namespace nalpoicomm {

#define NALPOICOMM_CONFIG_DIR "%s" PLATFORM_PATH_SEPARATOR "configdat"
const WCHAR kConfigDirFormat[] = PLATFORM_WIDE(NALPOICOMM_CONFIG_DIR);
const WCHAR kServiceConfigFormat[] =
    PLATFORM_WIDE(NALPOICOMM_CONFIG_DIR PLATFORM_PATH_SEPARATOR "serviceIP.xml");
const WCHAR kReplyCacheFormat[] = PLATFORM_WIDE(NALPOICOMM_CONFIG_DIR PLATFORM_PATH_SEPARATOR "cc.xml");
#undef NALPOICOMM_CONFIG_DIR

namespace {
constexpr WCHAR kSeparator = PLATFORM_WIDE(PLATFORM_PATH_SEPARATOR)[0];
}

void InstallDirFromModulePath(WCHAR* path) {
    WCHAR* last = WideFindLast(path, kSeparator);
    if (last == nullptr) return;
    *last = 0;  // drop the file name
    last = WideFindLast(path, kSeparator);
    if (last != nullptr) *last = 0;  // drop the directory that holds it
}

void GetModulePath(WCHAR (&store)[kModulePathChars]) {
    std::memset(store, 0, sizeof store);
    const DWORD length = GetModuleFileNameW(nullptr, store, kModulePathChars);
    // A truncated name would point at the wrong tree: treat it as unobtainable.
    if (length == 0 || length >= kModulePathChars) std::memset(store, 0, sizeof store);
}

void GetInstallDir(WCHAR (&store)[kModulePathChars]) {
    GetModulePath(store);
    InstallDirFromModulePath(store);
}

bool FormConfigPath(const WCHAR* format, char (&path)[kPathChars]) {
    path[0] = 0;
    WCHAR installDir[kModulePathChars];
    GetInstallDir(installDir);
    WCHAR widePath[kPathChars];
    if (!FormatWide(widePath, kPathChars, format, installDir)) return false;
    return WideToAnsi(widePath, path, kPathChars) > 0;
}

}  // namespace nalpoicomm
