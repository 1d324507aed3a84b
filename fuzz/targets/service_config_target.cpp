#include <cstdlib>
#include <string>

#include "support/install_tree.h"
#include "targets/fuzz_targets.h"
#include "transport/service_config.h"

namespace nalpoifuzz {

// A URL handed back fits the store: at most 99 characters and its terminator.
bool FuzzServiceConfig(const std::uint8_t* data, std::size_t size) {
    testsupport::WriteFile(testsupport::ServiceConfigPath(),
                           std::string(reinterpret_cast<const char*>(data), size));
    WCHAR* url = nalpoicomm::ReadServiceUrl();
    if (url == nullptr) return true;
    std::size_t length = 0;
    while (length < nalpoicomm::kServiceUrlStore && url[length] != 0) ++length;
    std::free(url);
    return length > 0 && length < nalpoicomm::kServiceUrlStore;
}

}  // namespace nalpoifuzz
