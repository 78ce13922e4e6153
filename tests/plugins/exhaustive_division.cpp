// Runs the scale filter's reverse direction over all 2^32 integers and
// counts the quotients that differ from truncating division by 3.  Built
// optimised and without sanitizers in every configuration so that the
// sweep takes seconds.
#include "quor7.h"

#include <cstdint>
#include <vector>

uint64_t count_wrong_quotients(Q7Z_func_t scale_filter, int64_t *first_wrong) {
    constexpr uint64_t kWords = 1u << 22;
    int32_t *words = static_cast<int32_t *>(Q7allocate_memory(kWords * 4, 0));
    if (!words) return UINT64_MAX;
    uint64_t wrong = 0;
    for (uint64_t base = 0; base < (1ull << 32); base += kWords) {
        for (uint64_t i = 0; i < kWords; i++) words[i] = static_cast<int32_t>(static_cast<uint32_t>(base + i));
        uint64_t size = kWords * 4;
        void *buffer = words;
        if (scale_filter(Q7Z_FLAG_REVERSE, 0, nullptr, size, &size, &buffer) != kWords * 4 || buffer != words) {
            wrong = UINT64_MAX;
            break;
        }
        for (uint64_t i = 0; i < kWords; i++) {
            const int32_t x = static_cast<int32_t>(static_cast<uint32_t>(base + i));
            if (words[i] != x / 3 && wrong++ == 0) *first_wrong = x;
        }
    }
    Q7free_memory(words);
    return wrong;
}
