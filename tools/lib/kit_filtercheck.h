/*
 * kit_filtercheck.h - can the filters of a dataset's pipeline be applied?
 */
#ifndef KIT_FILTERCHECK_H
#define KIT_FILTERCHECK_H

#include <stdint.h>
#include "quor7.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when every filter of the pipeline of creation_plist can be applied for
 * reading, 0 when at least one cannot (one warning line per such filter on
 * standard error, naming the dataset; none when name is null), -1 when a
 * query of the storage library failed (recorded on the tools error stack). */
int32_t q7tools_canreadf(const char *name, q7id_t creation_plist);

/* 1 for the filters this system can always apply when writing
 * (1, 2, 3, 5 and 6), 0 for every other identifier. */
int32_t q7tools_can_encode(q7filter_t filter);

#ifdef __cplusplus
}
#endif

#endif /* KIT_FILTERCHECK_H */
