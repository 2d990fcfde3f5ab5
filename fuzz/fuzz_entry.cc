// libFuzzer entry point of one harness, chosen at build time by
// KAVREL_FUZZ_HARNESS (an index into kHarnesses). A harness that reports a
// failed property aborts, so libFuzzer keeps the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "fuzz_harness.h"

#ifndef KAVREL_FUZZ_HARNESS
#error "KAVREL_FUZZ_HARNESS must name the harness"
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library prints its diagnostics to standard output; libFuzzer
    // reports on standard error. Keep the diagnostics out of the way.
    if (!std::getenv("KAVREL_FUZZ_VERBOSE")) {
        if (!std::freopen("/dev/null", "w", stdout)) std::perror("freopen");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr const kavrel_fuzz::Harness& harness = kavrel_fuzz::kHarnesses[KAVREL_FUZZ_HARNESS];
    if (const char* failed = harness.run(data, size)) {
        std::fprintf(stderr, "kavrel fuzz harness '%s': %s\n", harness.name, failed);
        std::abort();
    }
    return 0;
}
