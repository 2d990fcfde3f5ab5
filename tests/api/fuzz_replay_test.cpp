// The committed fuzz corpora and crash reproducers, replayed through the
// same harness bodies as the libFuzzer targets (fuzz/fuzz_harness.h): every
// file of fuzz/corpus/<harness>/ and fuzz/regressions/<harness>/ must pass
// every property its harness checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_harness.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Runs every file of both folders of one harness; returns how many ran.
size_t replay(const kavrel_fuzz::Harness& harness) {
    const fs::path root = fs::path(KAVREL_SOURCE_DIR) / "fuzz";
    size_t count = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        for (const fs::path& file : files_in(root / kind / harness.name)) {
            // An exact-size heap copy, as libFuzzer passes its inputs.
            const kavrel_test::Bytes data = kavrel_test::read_file(file.string());
            const char* failed;
            {
                kavrel_test::StdoutCapture quiet;  // the library's diagnostics
                failed = harness.run(data.data(), data.size());
            }
            EXPECT_EQ(failed, nullptr) << harness.name << ": " << file.filename().string() << ": " << failed;
            ++count;
        }
    }
    return count;
}

TEST(FuzzReplay, CorporaAndReproducersHoldEveryProperty) {
    for (const kavrel_fuzz::Harness& harness : kavrel_fuzz::kHarnesses) {
        // Each harness has a seed corpus; an empty one means a broken checkout.
        EXPECT_GT(replay(harness), 5u) << harness.name;
    }
}

}  // namespace
