// entry - the libFuzzer entry point of one target; Q7FUZZ_TARGET names
// the harness function it runs.
#include <cstdlib>

#include "harness.hpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
#ifdef Q7FUZZ_PLUGIN_DIR
    // Filter plug-ins come from the fuzz build's instrumented copies
    // unless the caller names another directory.
    setenv("QUOR7_FUZZ_PLUGIN_DIR", Q7FUZZ_PLUGIN_DIR, 0);
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    q7fuzz::Q7FUZZ_TARGET(data, size);
    return 0;
}
