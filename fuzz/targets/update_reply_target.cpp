#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "reply/update_reply_parser.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "targets/fuzz_targets.h"
#include "targets/record_checks.h"

namespace nalpoifuzz {

bool FuzzUpdateReply(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    __POICONTENT__ content;
    std::memset(&content, 0x5A, sizeof content);
    content.Con = nullptr;
    int result = 0;
    try {
        result = nalpoicomm::ParseUpdateReply(text.c_str(), testsupport::ReplyCachePath().c_str(), content);
    } catch (const std::bad_alloc&) {
        return true;  // documented: the exchange sequence turns it into -2
    }
    const bool known = result == nalpoicomm::kUpdateReplyRead ||
                       result == nalpoicomm::kUpdateStatusZero ||
                       result == nalpoicomm::kUpdateStatusTwo ||
                       result == nalpoicomm::kReplyHasNoElement;
    const char zeros[sizeof content.Reserved] = {};
    const bool sound = Terminated(content.Tel) && Terminated(content.Addr) &&
                       Terminated(content.Time) && PriTerminated(content.Pri) &&
                       std::memcmp(content.Reserved, zeros, sizeof zeros) == 0;
    // A Con handed back is the caller's: release it as a host would.
    std::free(content.Con);
    // The cache holds what TinyXML's own SaveFile() prints for the reply.
    const bool cached = testsupport::ReadFile(testsupport::ReplyCachePath()) == testsupport::TinyXmlSaved(text);
    return known && sound && cached;
}

}  // namespace nalpoifuzz
