#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "interface/exchange_state.h"
#include "reply/batch_reply_parser.h"
#include "support/install_tree.h"
#include "targets/fuzz_targets.h"
#include "targets/record_checks.h"

namespace nalpoifuzz {
namespace {

template <typename Hotel>
void ReleaseCons(std::vector<Hotel>& hotels) {
    for (Hotel& hotel : hotels) std::free(hotel.Con);
}

}  // namespace

bool FuzzBatchReply(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Fresh lists every run: the parser appends and never clears.
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    int result = 0;
    bool threw = false;
    try {
        result = nalpoicomm::ParseBatchReply(text.c_str(), testsupport::ReplyCachePath().c_str(), added, deleted, updated,
                                                   nalpoicomm::ExchangeState.Totals());
    } catch (const std::bad_alloc&) {
        threw = true;  // documented: records appended before it stay in the lists
    }
    bool sound = threw || result == nalpoicomm::kBatchReplyTaken ||
                 result == nalpoicomm::kBatchStatusZero ||
                 result == nalpoicomm::kReplyHasNoElement;
    if (!threw && result != nalpoicomm::kBatchReplyTaken) {
        sound = sound && added.empty() && deleted.empty() && updated.empty();
    }
    sound = sound && Terminated(nalpoicomm::ExchangeState.BatchTime);
    for (const __ADDHOTEL__& hotel : added) sound = sound && HotelTerminated(hotel);
    for (const __UPDHOTEL__& hotel : updated) sound = sound && HotelTerminated(hotel);
    for (const __DELHOTEL__& hotel : deleted) {
        sound = sound && Terminated(hotel.ID) && Terminated(hotel.HN);
    }
    ReleaseCons(added);
    ReleaseCons(updated);
    return sound;
}

}  // namespace nalpoifuzz
