// Every file of fuzz/corpus/<harness>/ and fuzz/regressions/<harness>/ through
// the libFuzzer targets' harness bodies (fuzz/fuzz_harness.h): all properties hold.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz_harness.h"
#include "support/test_support.h"

TEST(FuzzReplay, CorporaAndReproducersHoldEveryProperty) {
    for (const kavrel_fuzz::Harness& harness : kavrel_fuzz::kHarnesses) {
        size_t count = 0;
        for (const char* kind : {"corpus", "regressions"}) {
            const std::filesystem::path dir = std::filesystem::path(KAVREL_SOURCE_DIR) / "fuzz" / kind / harness.name;
            if (!std::filesystem::is_directory(dir)) continue;
            for (const auto& file : std::filesystem::directory_iterator(dir)) {
                // An exact-size heap copy, as libFuzzer passes its inputs.
                const kavrel_test::Bytes data = kavrel_test::read_file(file.path().string());
                kavrel_test::LogCapture quiet;
                const char* failed = harness.run(data.data(), data.size());
                EXPECT_EQ(failed, nullptr) << harness.name << ": " << file.path().filename().string() << ": " << failed;
                ++count;
            }
        }
        EXPECT_GT(count, 5u) << harness.name;  // an empty corpus means a broken checkout
    }
}
