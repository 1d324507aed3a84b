// The host's install tree: the parent of the directory that holds the host
// executable, and the two files the library uses in its configdat folder.
// Worked out afresh at every use; nothing is cached.
#ifndef NALPOICOMM_TRANSPORT_INSTALL_PATHS_H
#define NALPOICOMM_TRANSPORT_INSTALL_PATHS_H

#include <cstddef>

#include "platform/win32_api.h"

namespace nalpoicomm {

constexpr std::size_t kModulePathChars = 260;  // MAX_PATH, as the platform reports it
constexpr std::size_t kPathChars = 1024;       // wide and 8-bit path stores

extern const WCHAR kConfigDirFormat[];      // "%s/configdat", which the library never creates
extern const WCHAR kServiceConfigFormat[];  // "%s/configdat/serviceIP.xml"
extern const WCHAR kReplyCacheFormat[];     // "%s/configdat/cc.xml"

// Cuts the file name and then the directory that holds it off `path`, in
// place: /App/Bin/Host gives /App. A path without a separator is unchanged.
void InstallDirFromModulePath(WCHAR* path);

// Fills `store` with the running executable's file name; empty when it
// cannot be obtained (or would not fit the store).
void GetModulePath(WCHAR (&store)[kModulePathChars]);

// Fills `store` with the install directory; empty when the executable's
// file name cannot be obtained (or would not fit the store).
void GetInstallDir(WCHAR (&store)[kModulePathChars]);

// The 8-bit path of one configdat file, formed from `format`. False, with an
// empty path, when the path does not fit its stores.
bool FormConfigPath(const WCHAR* format, char (&path)[kPathChars]);

}  // namespace nalpoicomm

#endif
