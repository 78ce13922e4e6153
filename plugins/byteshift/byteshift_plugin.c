/*
 * Byte-shift filter - filter 300, "dynlibud".
 *
 * Adds 3 to every byte of a chunk when it is stored and subtracts 3 when it
 * is read back, modulo 256, so it applies to data of any type and length.
 * The filter takes no client data and refuses any.  The whole allocated
 * buffer (*buffer_size bytes, any size) is shifted and the valid length comes
 * back unchanged.
 *
 * This one source is built twice, as byteshift_plugin_dump and
 * byteshift_plugin_diff, which publish the same record and behave alike.
 * Needs no library at all.
 */
#include <stddef.h>
#include <stdint.h>

#include "quor7.h"

#define DYNLIBUD_FILTER_ID 300
#define DYNLIBUD_SHIFT 3u

static uint64_t Q7Z_filter_dynlibud(uint32_t flags, uint64_t client_data_count, const uint32_t *client_data,
                                    uint64_t valid_bytes, uint64_t *buffer_size, void **buffer)
{
    (void)client_data;
    if (client_data_count != 0)
        return 0;

    unsigned char *bytes = (unsigned char *)*buffer;
    const size_t count = (size_t)*buffer_size;
    if (flags & Q7Z_FLAG_REVERSE) {
        for (size_t i = 0; i < count; i++)
            bytes[i] = (unsigned char)(bytes[i] - DYNLIBUD_SHIFT);
    } else {
        for (size_t i = 0; i < count; i++)
            bytes[i] = (unsigned char)(bytes[i] + DYNLIBUD_SHIFT);
    }
    return valid_bytes;
}

static const char filter_name[] = "dynlibud";

Q7PL_EXPORT extern const Q7Z_class2_t Q7Z_DYNLIBUD;
const Q7Z_class2_t Q7Z_DYNLIBUD = {
    Q7Z_CLASS_T_VERS,
    DYNLIBUD_FILTER_ID,
    1,
    1,
    filter_name,
    NULL,
    NULL,
    Q7Z_filter_dynlibud,
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void)
{
    return Q7PL_TYPE_FILTER;
}

Q7PL_EXPORT const void *Q7PLget_plugin_info(void)
{
    return &Q7Z_DYNLIBUD;
}
