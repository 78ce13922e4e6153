/*
 * checked_offset_plugin - filter 260, "dynlib4".
 *
 * Adds a level (client value 0, from 0 to 9) to every 32-bit integer of a
 * chunk when it is stored and subtracts it when it is read back, modulo
 * 2^32, like filter 257 - but only under the library version that client
 * values 1 and 2 name (major, minor; the release number is not compared).
 * The version is queried afresh on every call.
 *
 * Checks, in order, each failing with 0 before the buffer is touched:
 *   1. the version query fails       -> record "Q7get_libversion";
 *   2. fewer than three client values -> no record (a short list is treated
 *      like an empty one, and no value past the count is read);
 *   3. a level above 9               -> no record;
 *   4. major or minor version differs -> record
 *      "Q7get_libversion does not match".
 * Records go on the default error stack with function "dynlib4", the
 * library's error class, major code "plug-in" and minor code "callback";
 * at most one record per call.
 *
 * The whole allocated buffer (*buffer_size bytes) is walked and the valid
 * length comes back unchanged; trailing bytes that do not make a whole
 * integer are left as they are.
 */
#include <stddef.h>
#include <stdint.h>

#include "quor7.h"

#define DYNLIB4_FILTER_ID 260
#define DYNLIB4_MAX_LEVEL 9u
#define DYNLIB4_CLIENT_VALUES 3u

typedef uint32_t word32 __attribute__((aligned(1), may_alias));

static void push_version_error(unsigned line, const char *message)
{
    /* The library may not have been opened by anyone yet: open it before
     * each predefined identifier is read. */
    Q7open();
    const q7id_t minor = Q7E_CALLBACK_g;
    Q7open();
    const q7id_t major = Q7E_PLUGIN_g;
    Q7open();
    const q7id_t error_class = Q7E_ERR_CLS_g;
    (void)Q7Epush2(0, "checked_offset_plugin", "dynlib4", line, error_class, major, minor, message);
}

static uint64_t Q7Z_filter_dynlib4(uint32_t flags, uint64_t client_data_count, const uint32_t *client_data,
                                   uint64_t valid_bytes, uint64_t *buffer_size, void **buffer)
{
    unsigned major = 0, minor = 0, release = 0;
    if (Q7get_libversion(&major, &minor, &release) < 0) {
        push_version_error(__LINE__, "Q7get_libversion");
        return 0;
    }
    if (client_data_count < DYNLIB4_CLIENT_VALUES)
        return 0;
    const uint32_t level = client_data[0];
    if (level > DYNLIB4_MAX_LEVEL)
        return 0;
    if (client_data[1] != major || client_data[2] != minor) {
        push_version_error(__LINE__, "Q7get_libversion does not match");
        return 0;
    }

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

static const char filter_name[] = "dynlib4";

Q7PL_EXPORT extern const Q7Z_class2_t Q7Z_DYNLIB4;
const Q7Z_class2_t Q7Z_DYNLIB4 = {
    Q7Z_CLASS_T_VERS,
    DYNLIB4_FILTER_ID,
    1,
    1,
    filter_name,
    NULL,
    NULL,
    Q7Z_filter_dynlib4,
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void)
{
    return Q7PL_TYPE_FILTER;
}

Q7PL_EXPORT const void *Q7PLget_plugin_info(void)
{
    return &Q7Z_DYNLIB4;
}
