/*
 * conc_common.h - what the concurrent-access writer and reader agree on:
 * the in-memory record of a symbol dataset, how a record's info bytes
 * follow from its dataset and id, and small command-line and clock helpers.
 */
#ifndef CONC_COMMON_H
#define CONC_COMMON_H

#include "symtab_common.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Matches the record datatype of create_symbol_datatype. */
typedef struct symbol_record {
    uint64_t rec_id;
    uint8_t  info[SYMBOL_INFO_SIZE];
    uint8_t  unused[SYMBOL_RECORD_SIZE - 8 - SYMBOL_INFO_SIZE];
} symbol_record;

#ifdef __cplusplus
static_assert(sizeof(symbol_record) == SYMBOL_RECORD_SIZE, "record is 160 bytes");
static_assert(offsetof(symbol_record, info) == 8, "info at 8");
#else
_Static_assert(sizeof(symbol_record) == SYMBOL_RECORD_SIZE, "record is 160 bytes");
_Static_assert(offsetof(symbol_record, info) == 8, "info at 8");
#endif

/* Chunk size (records) of the symbol datasets. */
#define CONC_CHUNK_RECORDS 64

/* Info bytes of record rec_id of the dataset called name: they depend on
 * both, so a record read from the wrong place or a torn record shows. */
static inline void conc_fill_info(const char *name, uint64_t rec_id, uint8_t *info)
{
    uint32_t h = 2166136261u;
    for (const char *p = name; *p; p++)
        h = (h ^ (uint8_t)*p) * 16777619u;
    uint64_t x = rec_id * 0x9E3779B97F4A7C15ull ^ h;
    for (size_t k = 0; k < SYMBOL_INFO_SIZE; k++) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        info[k] = (uint8_t)(x >> 56);
    }
}

static inline double conc_now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Parses a non-negative decimal number; -1 when text is not one. */
static inline long conc_number(const char *text)
{
    if (!text || !*text)
        return -1;
    char *end;
    long v = strtol(text, &end, 10);
    return (*end || v < 0) ? -1 : v;
}

#endif /* CONC_COMMON_H */
