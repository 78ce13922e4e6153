/* Small filter plug-ins for the loader tests, one source built several
 * ways.  The good build adds client value 0 to every byte; the broken
 * builds each fail one check the loader makes before trusting a record. */
#include "quor7.h"

#ifndef TEST_FILTER_ID
#define TEST_FILTER_ID 400
#endif
#ifndef TEST_PLUGIN_TYPE
#define TEST_PLUGIN_TYPE 0
#endif
#ifndef TEST_RECORD_VERSION
#define TEST_RECORD_VERSION 1
#endif
#ifndef TEST_FILTER_NAME
#define TEST_FILTER_NAME "test byte adder"
#endif

__attribute__((unused)) static uint64_t add_to_bytes(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t valid, uint64_t *size,
                             void **buf) {
    if (ncd < 1) return 0;
    unsigned char *p = (unsigned char *)*buf;
    unsigned char k = (unsigned char)cd[0];
    for (uint64_t i = 0; i < *size; ++i) p[i] = (flags & Q7Z_FLAG_REVERSE) ? (unsigned char)(p[i] - k) : (unsigned char)(p[i] + k);
    return valid;
}

Q7PL_EXPORT const Q7Z_class2_t TEST_INFO = {
    TEST_RECORD_VERSION, TEST_FILTER_ID, 1, 1, TEST_FILTER_NAME, 0, 0,
#ifdef TEST_NULL_CALLBACK
    0
#else
    add_to_bytes
#endif
};

Q7PL_EXPORT int32_t Q7PLget_plugin_type(void) { return TEST_PLUGIN_TYPE; }

#ifndef TEST_NO_INFO_EXPORT
Q7PL_EXPORT const void *Q7PLget_plugin_info(void) { return &TEST_INFO; }
#endif
