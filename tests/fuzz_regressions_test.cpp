// Replays every seed and every saved finding of the fuzz targets through the
// same entry functions the fuzzers call: an input that once crashed, hung,
// leaked or broke a contract stays fixed, here under ASan+UBSan too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/install_tree.h"
#include "targets/fuzz_targets.h"

namespace fs = std::filesystem;

namespace {

// Regular files of `folder`, sorted, dot files (placeholders) left out;
// empty when the folder does not exist.
std::vector<fs::path> InputsIn(const fs::path& folder) {
    std::vector<fs::path> inputs;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
            inputs.push_back(entry.path());
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

void Replay(const nalpoifuzz::FuzzTarget& target, const std::vector<fs::path>& inputs) {
    for (const fs::path& input : inputs) {
        const std::string bytes = testsupport::ReadFile(input.string());
        EXPECT_TRUE(target.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            << target.name << ": " << input;
    }
}

class FuzzInputs : public ::testing::TestWithParam<nalpoifuzz::FuzzTarget> {};

// Seeds and saved findings alike; a target without seeds is a packaging fault.
TEST_P(FuzzInputs, SeedsAndSavedFindingsReplayCleanly) {
    const fs::path fuzzDir(NALPOI_FUZZ_DIR);
    const std::vector<fs::path> seeds = InputsIn(fuzzDir / "corpus" / GetParam().name);
    ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << GetParam().name;
    Replay(GetParam(), seeds);
    Replay(GetParam(), InputsIn(fuzzDir / "regressions" / GetParam().name));
}

std::vector<nalpoifuzz::FuzzTarget> Targets() {
    std::size_t count = 0;
    const nalpoifuzz::FuzzTarget* targets = nalpoifuzz::AllTargets(count);
    return {targets, targets + count};
}

INSTANTIATE_TEST_SUITE_P(EveryTarget, FuzzInputs, ::testing::ValuesIn(Targets()),
                         [](const ::testing::TestParamInfo<nalpoifuzz::FuzzTarget>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
