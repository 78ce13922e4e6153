/* A filter plug-in built broken on purpose for the hardening tests:
 * FILTER_ID=0 gives a record with identifier 0; OVERRUN makes the filter
 * report far more valid bytes than its buffer holds. */
#include "quor7.h"

#ifndef FILTER_ID
#define FILTER_ID 470
#endif

static uint64_t overrun_filter(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t valid,
                               uint64_t *size, void **buf)
{
    (void)flags, (void)ncd, (void)cd, (void)buf;
#ifdef OVERRUN
    (void)valid;
    return *size * 4 + 16;
#else
    (void)size;
    return valid;
#endif
}

Q7PL_EXPORT const Q7Z_class2_t HARDEN_INFO = {
    Q7Z_CLASS_T_VERS, FILTER_ID, 1, 1, "broken on purpose", 0, 0, overrun_filter
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void) { return Q7PL_TYPE_FILTER; }
Q7PL_EXPORT const void *Q7PLget_plugin_info(void) { return &HARDEN_INFO; }
