// libFuzzer entry for one target, chosen at build time by NALPOI_FUZZ_ENTRY.
// The process first re-executes itself from a temporary install tree, as the
// tests do, so that the library's files land there and not beside the build.
#include <cstdlib>

#include "support/install_tree.h"
#include "targets/fuzz_targets.h"

#ifndef NALPOI_FUZZ_ENTRY
#error "define NALPOI_FUZZ_ENTRY as one of the functions in targets/fuzz_targets.h"
#endif

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** argv) {
    testsupport::EnterInstallTree(*argv);
    std::atexit(testsupport::LeaveInstallTree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A broken contract is a finding like a crash: libFuzzer saves the input.
    if (!nalpoifuzz::NALPOI_FUZZ_ENTRY(data, size)) std::abort();
    return 0;
}
