/*
 * offset_plugin - filter 257, "test filter plugin 1".
 *
 * Adds a small level (client value 0, from 0 to 9) to every 32-bit integer
 * of a chunk when it is stored and subtracts it again when the chunk is read
 * back.  Arithmetic wraps modulo 2^32, so the round trip is exact for every
 * value.  Client values after the first are ignored.
 *
 * The whole allocated buffer (*buffer_size bytes) is walked, and the valid
 * length comes back unchanged.  When *buffer_size is not a multiple of 4 the
 * trailing one to three bytes are not a whole integer: they are left exactly
 * as they are, so the round trip still restores every byte and nothing past
 * *buffer_size is ever touched.
 *
 * Needs no library at all; exports only the plug-in type query, the record
 * query and the record.
 */
#include <stddef.h>
#include <stdint.h>

#include "quor7.h"

#define OFFSET_FILTER_ID 257
#define OFFSET_MAX_LEVEL 9u

/* Unaligned, aliasing-safe view of the buffer's integers: the buffer comes
 * from the caller as raw bytes. */
typedef uint32_t word32 __attribute__((aligned(1), may_alias));

static uint64_t add_sub_value(uint32_t flags, uint64_t client_data_count, const uint32_t *client_data,
                              uint64_t valid_bytes, uint64_t *buffer_size, void **buffer)
{
    if (client_data_count == 0)
        return 0;
    const uint32_t level = client_data[0];
    if (level > OFFSET_MAX_LEVEL)
        return 0;

    word32 *words = (word32 *)*buffer;
    const size_t count = (size_t)(*buffer_size / 4);
    if (flags & Q7Z_FLAG_REVERSE) {
        for (size_t i = 0; i < count; i++)
            words[i] -= level;
    } else {
        for (size_t i = 0; i < count; i++)
            words[i] += level;
    }
    return valid_bytes;
}

static const char filter_name[] = "test filter plugin 1";

Q7PL_EXPORT extern const Q7Z_class2_t FILTER_INFO;
const Q7Z_class2_t FILTER_INFO = {
    Q7Z_CLASS_T_VERS,
    OFFSET_FILTER_ID,
    1,
    1,
    filter_name,
    NULL,
    NULL,
    add_sub_value,
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void)
{
    return Q7PL_TYPE_FILTER;
}

Q7PL_EXPORT const void *Q7PLget_plugin_info(void)
{
    return &FILTER_INFO;
}
