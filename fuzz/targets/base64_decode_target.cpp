#include <string>

#include "encoding/base64.h"
#include "targets/fuzz_targets.h"

namespace nalpoifuzz {

// The decoder is lenient: it never fails, and 4 alphabet characters give at
// most 3 bytes, so the output can never outgrow three quarters of the input.
bool FuzzBase64Decode(const std::uint8_t* data, std::size_t size) {
    const std::string encoded(reinterpret_cast<const char*>(data), size);
    const std::string decoded = nalpoicomm::Base64Decode(encoded);
    return decoded.size() <= (size / 4) * 3 + 2;
}

}  // namespace nalpoifuzz
