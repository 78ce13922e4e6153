/*
 * symtab_common.c - symbol tables, record type, dataset choice and
 * read-retry report of the concurrent-access test programs.
 */
#include "symtab_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

unsigned symbol_count[NLEVELS] = {100, 200, 400, 800, 1600};

symbol_entry *symbol_info[NLEVELS] = {NULL, NULL, NULL, NULL, NULL};

/* Level drawn for each remainder mod 9: the weights of choose_dataset. */
static unsigned symbol_mapping[9] = {0, 0, 0, 0, 1, 1, 2, 3, 4};

int generate_name(char *buf, unsigned level, unsigned count)
{
    sprintf(buf, "%u-%04u", level, count);
    return 0;
}

/* Frees the first `filled` names of level `level` and everything of the
 * levels before it. */
static void release_partial(unsigned level, unsigned filled)
{
    for (unsigned lev = 0; lev <= level && lev < NLEVELS; lev++) {
        if (!symbol_info[lev])
            continue;
        unsigned n = lev == level ? filled : symbol_count[lev];
        for (unsigned u = 0; u < n; u++)
            free(symbol_info[lev][u].name);
        free(symbol_info[lev]);
        symbol_info[lev] = NULL;
    }
}

int generate_symbols(void)
{
    for (unsigned lev = 0; lev < NLEVELS; lev++) {
        /* At least one byte, so that an empty level still has an array. */
        size_t bytes = symbol_count[lev] * sizeof(symbol_entry);
        symbol_info[lev] = (symbol_entry *)malloc(bytes ? bytes : 1);
        if (!symbol_info[lev]) {
            fprintf(stderr, "generate_symbols: out of memory for the %u symbols of level %u\n",
                    symbol_count[lev], lev);
            release_partial(lev, 0);
            return -1;
        }
        for (unsigned u = 0; u < symbol_count[lev]; u++) {
            char name_buf[MAX_SYMBOL_NAME_LEN];
            generate_name(name_buf, lev, u);
            symbol_entry *e = &symbol_info[lev][u];
            e->name = (char *)malloc(strlen(name_buf) + 1);
            if (!e->name) {
                fprintf(stderr, "generate_symbols: out of memory for symbol %s\n", name_buf);
                release_partial(lev, u);
                return -1;
            }
            strcpy(e->name, name_buf);
            e->dataset_id = -1;
            e->record_count = 0;
        }
    }
    return 0;
}

int shutdown_symbols(void)
{
    for (unsigned lev = 0; lev < NLEVELS; lev++) {
        if (!symbol_info[lev])
            continue;
        for (unsigned u = 0; u < symbol_count[lev]; u++)
            free(symbol_info[lev][u].name);
        free(symbol_info[lev]);
        symbol_info[lev] = NULL;
    }
    return 0;
}

symbol_entry *choose_dataset(void)
{
    unsigned level = symbol_mapping[(unsigned)QRrand() % 9];
    unsigned offset = (unsigned)QRrand() % symbol_count[level];
    return &symbol_info[level][offset];
}

q7id_t create_symbol_datatype(void)
{
    q7id_t opaq_type_id = Q7Tcreate(Q7T_OPAQUE, SYMBOL_INFO_SIZE);
    if (opaq_type_id < 0)
        return -1;
    q7id_t sym_type_id = Q7Tcreate(Q7T_COMPOUND, SYMBOL_RECORD_SIZE);
    if (sym_type_id < 0)
        return -1;
    Q7open();
    if (Q7Tinsert(sym_type_id, "rec_id", 0, Q7T_NATIVE_UINT64_g) < 0)
        return -1;
    if (Q7Tinsert(sym_type_id, "info", 8, opaq_type_id) < 0)
        return -1;
    if (Q7Tclose(opaq_type_id) < 0)
        return -1;
    return sym_type_id;
}

int print_metadata_retries_info(q7id_t fid)
{
    Q7F_retry_info_t info;
    if (Q7Fget_metadata_read_retry_info(fid, &info) < 0)
        return -1;

    for (unsigned i = 0; i < Q7F_NUM_METADATA_READ_RETRY_TYPES; i++) {
        if (!info.retries[i])
            continue;
        QRfprintf(stderr, "Metadata read retries for item %u:\n", i);
        uint32_t power = 1;
        for (unsigned j = 0; j < info.nbins; j++) {
            if (info.retries[i][j])
                QRfprintf(stderr, "\t# of retries for %u - %u retries: %u\n", (unsigned)power,
                          (unsigned)(power * 10 - 1), (unsigned)info.retries[i][j]);
            power *= 10;
        }
    }

    for (unsigned i = 0; i < Q7F_NUM_METADATA_READ_RETRY_TYPES; i++)
        if (info.retries[i])
            Q7free_memory(info.retries[i]);
    return 0;
}
