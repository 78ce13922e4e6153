/*
 * symtab_common.h - what the concurrent-access test programs share: the
 * symbol tables (dataset names in five levels), the record datatype of the
 * symbol datasets, a weighted random choice of a symbol and the report of
 * metadata read retries.
 */
#ifndef SYMTAB_COMMON_H
#define SYMTAB_COMMON_H

#include <quor7.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NLEVELS 5

/* Room for the longest name "%u-%04u" can give: two 10-digit numbers,
 * the hyphen and the terminator. */
#define MAX_SYMBOL_NAME_LEN 22

/* Size of a record of a symbol dataset and of its opaque info part. */
#define SYMBOL_RECORD_SIZE 160
#define SYMBOL_INFO_SIZE   150

typedef struct symbol_entry {
    char    *name;         /* owned by the entry */
    q7id_t   dataset_id;   /* -1 while no dataset is open */
    uint64_t record_count;
} symbol_entry;

/* Entries per level: 100, 200, 400, 800, 1600. */
extern unsigned symbol_count[NLEVELS];
/* One array of symbol_count[level] entries per level; null until
 * generate_symbols. */
extern symbol_entry *symbol_info[NLEVELS];

/* Builds every level's entries: names, dataset_id -1, record_count 0.
 * Returns 0; when memory runs out it reports the failure on standard
 * error, releases what it had built, leaves symbol_info all null and
 * returns -1. */
int generate_symbols(void);
/* Releases the names and arrays of generate_symbols (closes no dataset);
 * returns 0. */
int shutdown_symbols(void);
/* Writes "level-index" ("%u-%04u") into buf, which holds at least
 * MAX_SYMBOL_NAME_LEN bytes; returns 0. */
int generate_name(char *buf, unsigned level, unsigned count);
/* A random entry: level 0 with weight 4/9, level 1 with 2/9, levels 2, 3
 * and 4 with 1/9 each (random numbers from QRrand). */
symbol_entry *choose_dataset(void);
/* New record type (160 bytes: "rec_id" unsigned 64-bit at 0, "info" a
 * 150-byte opaque type at 8), owned by the caller; -1 on failure. */
q7id_t create_symbol_datatype(void);
/* Prints the file's metadata read-retry counts on standard error and
 * releases the counter arrays; -1 (nothing printed) when they cannot be
 * fetched. */
int print_metadata_retries_info(q7id_t fid);

#ifdef __cplusplus
}
#endif

#endif /* SYMTAB_COMMON_H */
