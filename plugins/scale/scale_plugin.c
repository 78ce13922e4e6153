/*
 * scale_plugin - filter 258, "test filter plugin 2".
 *
 * Multiplies every 32-bit integer of a chunk by 3 when it is stored (modulo
 * 2^32) and divides it by 3 when it is read back, as signed division that
 * truncates toward zero (-7 gives -2).  A value survives the round trip only
 * when its triple fits in a signed 32-bit integer.  The filter takes no
 * client data and refuses any.
 *
 * The whole allocated buffer (*buffer_size bytes) is walked, and the valid
 * length comes back unchanged.  Trailing bytes that do not make a whole
 * integer (a *buffer_size not a multiple of 4) are left as they are.
 *
 * The division is done as a multiply-high by the reciprocal of 3 with a
 * sign correction, written with unsigned 32x32->64 products so that the
 * compiler turns the loop into vector code; the test suite checks it
 * against plain division for all 2^32 inputs.  The loop is also built for
 * AVX2, whose wider products keep it at memory speed; the dynamic loader
 * picks the variant the processor supports when the plug-in is loaded.
 *
 * Needs no library at all.
 */
#include <stddef.h>
#include <stdint.h>

#include "quor7.h"

#define SCALE_FILTER_ID 258

typedef uint32_t word32 __attribute__((aligned(1), may_alias));

/* ceil(2^32 / 3): the high half of x * RECIPROCAL_3 is floor(x / 3) for
 * every signed 32-bit x. */
#define RECIPROCAL_3 0x55555556u

static inline uint32_t divide_by_3(uint32_t bits)
{
    /* all ones for a negative value, 0 otherwise */
    const uint32_t negative = (uint32_t)0 - (bits >> 31);
    const uint32_t high_unsigned = (uint32_t)(((uint64_t)bits * RECIPROCAL_3) >> 32);
    /* Signed high product = unsigned high product - RECIPROCAL_3 for a
     * negative factor; that is floor(x / 3).  Adding 1 for negative x
     * turns the floor into truncation toward zero (-negative == 1). */
    return high_unsigned - (negative & RECIPROCAL_3) - negative;
}

/* SCALE_BASELINE_ONLY builds just the baseline variant, so that the tests
 * can check it on a processor that would pick the AVX2 one. */
#ifndef SCALE_BASELINE_ONLY
__attribute__((target_clones("avx2", "default")))
#endif
static void divide_all_by_3(word32 *words, size_t count)
{
    for (size_t i = 0; i < count; i++)
        words[i] = divide_by_3(words[i]);
}

static uint64_t mult_div_value(uint32_t flags, uint64_t client_data_count, const uint32_t *client_data,
                               uint64_t valid_bytes, uint64_t *buffer_size, void **buffer)
{
    (void)client_data;
    if (client_data_count != 0)
        return 0;

    word32 *words = (word32 *)*buffer;
    const size_t count = (size_t)(*buffer_size / 4);
    if (flags & Q7Z_FLAG_REVERSE) {
        divide_all_by_3(words, count);
    } else {
        for (size_t i = 0; i < count; i++)
            words[i] *= 3u;
    }
    return valid_bytes;
}

static const char filter_name[] = "test filter plugin 2";

Q7PL_EXPORT extern const Q7Z_class2_t FILTER_INFO;
const Q7Z_class2_t FILTER_INFO = {
    Q7Z_CLASS_T_VERS,
    SCALE_FILTER_ID,
    1,
    1,
    filter_name,
    NULL,
    NULL,
    mult_div_value,
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void)
{
    return Q7PL_TYPE_FILTER;
}

Q7PL_EXPORT const void *Q7PLget_plugin_info(void)
{
    return &FILTER_INFO;
}
