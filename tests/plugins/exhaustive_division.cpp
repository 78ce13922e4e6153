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
        // q is x / 3 truncated toward zero exactly when |q| <= 715827882
        // (so 3q cannot overflow) and r = x - 3q lies in 0..2 for x >= 0 and
        // in -2..0 for x < 0; within those bounds r is exact even in
        // wrapping 32-bit arithmetic, which keeps the check vectorised.
        uint32_t wrong_here = 0;
        for (uint64_t i = 0; i < kWords; i++) {
            const uint32_t x = static_cast<uint32_t>(base + i);
            const uint32_t q = static_cast<uint32_t>(words[i]);
            const uint32_t q_biased = q + 715827882u;  // 0..1431655764 when in bounds
            const uint32_t r_biased = x - 3u * q + 2u;  // 0..4 when |r| <= 2
            const uint32_t negative = x >> 31;
            // x >= 0 allows r_biased 2..4, x < 0 allows 0..2
            const uint32_t bad = (q_biased > 1431655764u) | (r_biased > 4u) |
                                 (negative ? (r_biased > 2u) : (r_biased < 2u));
            wrong_here += bad;
        }
        if (wrong_here != 0 && wrong == 0) {
            for (uint64_t i = 0; i < kWords; i++) {
                const int32_t x = static_cast<int32_t>(static_cast<uint32_t>(base + i));
                if (words[i] != x / 3) {
                    *first_wrong = x;
                    break;
                }
            }
        }
        wrong += wrong_here;
    }
    Q7free_memory(words);
    return wrong;
}
