/*
 * group_suffix_plugin - filter 260, "test filter plugin 4".
 *
 * Stores a group's name data with the 8 bytes ".q7group" appended (no
 * terminating zero) and drops the last 8 bytes again when the data is read
 * back; the dropped bytes are not examined.  The filter takes no client data
 * and refuses any.
 *
 * This is the one filter that changes the length of the data: the forward
 * direction takes a new block of valid_bytes + 8 bytes from the library's
 * allocator, copies the valid bytes and the suffix into it, releases the old
 * block and hands the new one back to the caller, who owns it from then on.
 * If the allocator fails, the call returns 0 and the caller's buffer, its
 * address and its size stay as they were.  The reverse direction allocates
 * nothing: it only shortens the valid length and the stored buffer size.
 *
 * Inputs that cannot be handled are refused with 0 and change nothing:
 *   - a forward input so long that its length plus 8 would overflow;
 *   - a reverse input shorter than the 8-byte suffix.
 * A reverse input of exactly 8 bytes yields a valid length of 0, which the
 * callback contract reads as failure; the pipeline reports it as such.
 */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "quor7.h"

#define GROUP_SUFFIX_FILTER_ID 260

static const char group_suffix[8] = {'.', 'q', '7', 'g', 'r', 'o', 'u', 'p'};
#define GROUP_SUFFIX_LENGTH ((uint64_t)sizeof group_suffix)

static uint64_t append_to_group_name(uint32_t flags, uint64_t client_data_count, const uint32_t *client_data,
                                     uint64_t valid_bytes, uint64_t *buffer_size, void **buffer)
{
    (void)client_data;
    if (client_data_count != 0)
        return 0;

    if (flags & Q7Z_FLAG_REVERSE) {
        if (valid_bytes < GROUP_SUFFIX_LENGTH)
            return 0;
        *buffer_size = valid_bytes - GROUP_SUFFIX_LENGTH;
        return valid_bytes - GROUP_SUFFIX_LENGTH;
    }

    if (valid_bytes > (uint64_t)SIZE_MAX - GROUP_SUFFIX_LENGTH)
        return 0;
    const uint64_t new_length = valid_bytes + GROUP_SUFFIX_LENGTH;
    unsigned char *block = (unsigned char *)Q7allocate_memory((size_t)new_length, 0);
    if (block == NULL)
        return 0;
    if (valid_bytes > 0)
        memcpy(block, *buffer, (size_t)valid_bytes);
    memcpy(block + valid_bytes, group_suffix, sizeof group_suffix);
    Q7free_memory(*buffer);
    *buffer_size = new_length;
    *buffer = block;
    return new_length;
}

static const char filter_name[] = "test filter plugin 4";

Q7PL_EXPORT extern const Q7Z_class2_t FILTER_INFO;
const Q7Z_class2_t FILTER_INFO = {
    Q7Z_CLASS_T_VERS,
    GROUP_SUFFIX_FILTER_ID,
    1,
    1,
    filter_name,
    NULL,
    NULL,
    append_to_group_name,
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void)
{
    return Q7PL_TYPE_FILTER;
}

Q7PL_EXPORT const void *Q7PLget_plugin_info(void)
{
    return &FILTER_INFO;
}
