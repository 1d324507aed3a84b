#include "platform/posix/header_lines.h"

#include <strings.h>

#include <cstring>

namespace nalpoicomm {

const char* FindHeader(const std::vector<std::string>& lines, const char* name) {
    const std::size_t length = std::strlen(name);
    for (const std::string& line : lines) {
        if (line.size() > length && line[length] == ':' &&
            strncasecmp(line.c_str(), name, length) == 0) {
            const char* value = line.c_str() + length + 1;
            while (*value == ' ' || *value == '\t') ++value;
            return value;
        }
    }
    return nullptr;
}

}  // namespace nalpoicomm
