// configdat/serviceIP.xml of the tool's own install tree: where the library
// looks for the service URL, as the library's own code finds it (the
// parent of the directory that holds the running executable).
#ifndef NALPOI_SERVICE_CONFIG_FILE_H
#define NALPOI_SERVICE_CONFIG_FILE_H

#include <string>

#include "nalpoicomm_seam.h"

namespace nalpoicomm {

// Paths of the running executable's install tree, as the library forms
// them; false with `error` set when it can form none.
struct InstallTree {
    std::string root;        // <tree>
    std::string configDir;   // <tree>/configdat
    std::string configFile;  // <tree>/configdat/serviceIP.xml
};
bool FindInstallTree(InstallTree& tree, std::string& error);

// The running executable's path, as the library reads it; false with
// `error` set when it cannot be read.
bool RunningExecutable(std::string& path, std::string& error);

// Empty when the library can use `url` (its store's limit, its worker's
// split, a scheme it speaks); otherwise why not.
std::string ServiceUrlProblem(const std::string& url);

// The whole file naming `url`, with the URL XML-escaped.
std::string ServiceConfigDocument(const std::string& url);

// Creates configdat/ if needed and replaces the file in one rename, so the
// library never reads a half-written one.
bool WriteServiceConfig(const InstallTree& tree, const std::string& url, std::string& error);

// Reads the URL with the library's own reading (the text of the first child
// element of the root, whatever the names, and the library's limits). False
// with `error` set, in words, when the library would find none.
bool ReadServiceConfig(std::string& url, std::string& error);

// Why the library finds no URL, in words; empty when it finds one.
std::string ServiceConfigReadingProblem(const ServiceConfigReading& reading);

}  // namespace nalpoicomm

#endif
