/*
 * kit_filtercheck.c - tells whether every filter of a dataset's pipeline
 * can be applied when the dataset is read, and which filters can be used
 * when writing.  Unavailable filters are warned about on standard error;
 * failures of the storage library are recorded on the tools error stack.
 */
#include "kit_filtercheck.h"

#include <stdio.h>

#include "q7tools.h"

static const char module_file[] = "kit_filtercheck";

static void push_failure(unsigned line, const char *msg) {
    Q7Epush2(Q7tools_ERR_STACK_g, module_file, "q7tools_canreadf", line, Q7tools_ERR_CLS_g, Q7E_tools_g,
             Q7E_tools_min_id_g, msg);
}

static void warn_unavailable(const char *name, const char *filter_word) {
    if (name != NULL)
        fprintf(stderr, "Warning: dataset <%s> cannot be read, %s filter is not available\n", name, filter_word);
}

int32_t q7tools_canreadf(const char *name, q7id_t creation_plist) {
    int nfilters = Q7Pget_nfilters(creation_plist);
    if (nfilters < 0) {
        push_failure(__LINE__, "Q7Pget_nfilters failed");
        return -1;
    }
    if (nfilters == 0) return 1;

    int32_t result = 1;
    for (unsigned idx = 0; idx < (unsigned)nfilters; idx++) {
        q7filter_t filter = Q7Pget_filter2(creation_plist, idx, NULL, NULL, NULL, 0, NULL, NULL);
        if (filter < 0) {
            push_failure(__LINE__, "Q7Pget_filter2 failed");
            return -1;
        }
        switch (filter) {
        case Q7Z_FILTER_DEFLATE:
        case Q7Z_FILTER_SHUFFLE:
        case Q7Z_FILTER_FLETCHER32:
        case Q7Z_FILTER_NBIT:
        case Q7Z_FILTER_SCALEOFFSET:
            break;
        case Q7Z_FILTER_SZIP:
            /* This system has no SZIP decoder. */
            result = 0;
            warn_unavailable(name, "SZIP");
            break;
        default: {
            /* Filter 0 and everything above 6 may come from a plug-in:
             * only the storage library knows. */
            q7tri_t avail = Q7Zfilter_avail(filter);
            if (avail < 0) {
                push_failure(__LINE__, "Q7Zfilter_avail failed");
                return -1;
            }
            if (avail == 0) {
                result = 0;
                warn_unavailable(name, "user defined");
            }
            break;
        }
        }
    }
    return result;
}

int32_t q7tools_can_encode(q7filter_t filter) {
    switch (filter) {
    case Q7Z_FILTER_DEFLATE:
    case Q7Z_FILTER_SHUFFLE:
    case Q7Z_FILTER_FLETCHER32:
    case Q7Z_FILTER_NBIT:
    case Q7Z_FILTER_SCALEOFFSET:
        return 1;
    default:
        return 0;
    }
}
