/*
 * q7conc_reader - watches a file that q7conc_writer is writing.
 *
 * Opens the file for concurrent reading, waits until the writer has
 * created every symbol dataset, then repeatedly picks a dataset with
 * choose_dataset, re-reads its extent and checks every record it can see:
 * record i carries id i and the info bytes derived from the dataset's name
 * and i, and a dataset never shrinks.  Ends with a summary on standard
 * output and the metadata read-retry report on standard error.
 *
 * While the writer runs, the newest record of a dataset may still be
 * unwritten (the fill value, all zero): the writer grows the dataset and
 * then writes the record, and each step is committed on its own.  Such a
 * record is not counted as seen until it is written.
 *
 * With --all it checks every dataset once instead, in name order, for a
 * file whose writer has finished: then every record must be written.
 *
 * Exit status: 0 when every check held, 1 on a verification failure (or,
 * with --expect-progress, when no dataset was seen to grow), 2 on a bad
 * command line or a file that never became ready.
 */
#include "conc_common.h"

#include <quor7.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define MAX_REPORTED_FAILURES 10

static long failures;
static long records_checked;
static long growth_seen;
static long pending_seen;
/* Set when the writer is known to be done (--all): then every record
 * inside the extent must have been written. */
static int finished;

/* Largest extent seen of each symbol's dataset, per level. */
static uint64_t *extent_seen[NLEVELS];

static uint64_t *extent_slot(const symbol_entry *e)
{
    for (unsigned lev = 0; lev < NLEVELS; lev++)
        if (e >= symbol_info[lev] && e < symbol_info[lev] + symbol_count[lev])
            return &extent_seen[lev][e - symbol_info[lev]];
    return NULL;
}

static void release_tables(void)
{
    shutdown_symbols();
    for (unsigned lev = 0; lev < NLEVELS; lev++) {
        free(extent_seen[lev]);
        extent_seen[lev] = NULL;
    }
}

/* A record still holding the fill value: all bytes zero. */
static int is_unwritten(const symbol_record *r)
{
    static const symbol_record zero;
    return memcmp(r, &zero, sizeof zero) == 0;
}

static void usage(void)
{
    fprintf(stderr,
            "usage: q7conc_reader FILE [--seconds S] [--wait S] [--seed N] [--pause-us U] [--expect-progress]\n"
            "  --seconds S        read for S seconds once the file is ready (default 5)\n"
            "  --wait S           wait at most S seconds for the writer's datasets (default 60)\n"
            "  --seed N           seed of the dataset choice (default 2)\n"
            "  --pause-us U       pause between two reads (default 200 microseconds)\n"
            "  --expect-progress  fail unless some dataset was seen to grow\n"
            "  --all              check every dataset once, in order, and stop\n");
}

static void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void fail(const char *fmt, ...)
{
    if (failures++ < MAX_REPORTED_FAILURES) {
        va_list ap;
        va_start(ap, fmt);
        fprintf(stderr, "q7conc_reader: ");
        vfprintf(stderr, fmt, ap);
        fputc('\n', stderr);
        va_end(ap);
    }
}

/* Opens the file and its last symbol dataset; the writer creates the
 * datasets in order, so once the last one is there all of them are. */
static q7id_t wait_for_file(const char *file, double wait_seconds)
{
    double start = conc_now();
    char last[MAX_SYMBOL_NAME_LEN];
    generate_name(last, NLEVELS - 1, symbol_count[NLEVELS - 1] - 1);
    for (;;) {
        if (access(file, F_OK) == 0) {
            q7id_t fid = Q7Fopen(file, Q7F_ACC_CONCURRENT_READ, 0);
            if (fid >= 0) {
                if (Q7Lexists(fid, last, 0) > 0)
                    return fid;
                Q7Fclose(fid);
            }
        }
        if (conc_now() - start > wait_seconds)
            return -1;
        usleep(50000);
    }
}

/* Re-reads the extent of one dataset and checks every record it holds. */
static int visit(q7id_t fid, symbol_entry *e, q7id_t rec_type)
{
    int revisit = e->dataset_id >= 0;
    if (!revisit) {
        e->dataset_id = Q7Dopen2(fid, e->name, 0);
        if (e->dataset_id < 0) {
            fail("cannot open dataset %s", e->name);
            return -1;
        }
    } else if (Q7Drefresh(e->dataset_id) < 0) {
        fail("cannot refresh dataset %s", e->name);
        return -1;
    }
    q7id_t fspace = Q7Dget_space(e->dataset_id);
    q7size_t dims[1] = {0};
    if (fspace < 0 || Q7Sget_simple_extent_dims(fspace, dims, NULL) != 1) {
        fail("cannot read the extent of dataset %s", e->name);
        if (fspace >= 0) Q7Sclose(fspace);
        return -1;
    }
    uint64_t n = dims[0];
    uint64_t *extent = extent_slot(e);
    if (n < *extent) {
        fail("dataset %s went backwards from %llu to %llu records", e->name, (unsigned long long)*extent,
             (unsigned long long)n);
        Q7Sclose(fspace);
        return -1;
    }
    *extent = n;
    int rc = 0;
    uint64_t intact = n;
    if (n > 0) {
        symbol_record *recs = (symbol_record *)calloc(n, sizeof *recs);
        q7id_t mspace = Q7Screate_simple(1, dims, NULL);
        if (!recs || mspace < 0 || Q7Dread(e->dataset_id, rec_type, mspace, fspace, 0, recs) < 0) {
            fail("cannot read the %llu records of dataset %s", (unsigned long long)n, e->name);
            rc = -1;
            intact = e->record_count;
        } else {
            uint8_t want[SYMBOL_INFO_SIZE];
            for (uint64_t i = 0; i < n; i++) {
                if (i == n - 1 && !finished && is_unwritten(&recs[i])) {
                    /* The writer grows a dataset and then writes the new
                     * record, each step committed on its own: the newest
                     * record may not be written yet. */
                    pending_seen++;
                    intact = n - 1;
                    break;
                }
                records_checked++;
                if (recs[i].rec_id != i) {
                    fail("dataset %s: record %llu carries id %llu", e->name, (unsigned long long)i,
                         (unsigned long long)recs[i].rec_id);
                    rc = -1;
                    continue;
                }
                conc_fill_info(e->name, i, want);
                if (memcmp(want, recs[i].info, sizeof want) != 0) {
                    fail("dataset %s: record %llu has wrong info bytes", e->name, (unsigned long long)i);
                    rc = -1;
                }
            }
        }
        if (mspace >= 0) Q7Sclose(mspace);
        free(recs);
    }
    if (intact < e->record_count) {
        fail("dataset %s went backwards from %llu to %llu intact records", e->name,
             (unsigned long long)e->record_count, (unsigned long long)intact);
        rc = -1;
    } else {
        if (revisit && intact > e->record_count)
            growth_seen++;
        e->record_count = intact;
    }
    Q7Sclose(fspace);
    return rc;
}

int main(int argc, char *argv[])
{
    const char *file = NULL;
    long seconds = 5, wait_seconds = 60, seed = 2, pause_us = 200;
    int expect_progress = 0, check_all = 0;
    for (int i = 1; i < argc; i++) {
        long *slot = NULL;
        if (strcmp(argv[i], "--seconds") == 0) slot = &seconds;
        else if (strcmp(argv[i], "--wait") == 0) slot = &wait_seconds;
        else if (strcmp(argv[i], "--seed") == 0) slot = &seed;
        else if (strcmp(argv[i], "--pause-us") == 0) slot = &pause_us;
        else if (strcmp(argv[i], "--expect-progress") == 0) {
            expect_progress = 1;
            continue;
        } else if (strcmp(argv[i], "--all") == 0) {
            check_all = finished = 1;
            continue;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else if (argv[i][0] != '-' && !file) {
            file = argv[i];
            continue;
        } else {
            fprintf(stderr, "q7conc_reader: unknown argument \"%s\"\n", argv[i]);
            usage();
            return 2;
        }
        if (i + 1 >= argc || (*slot = conc_number(argv[i + 1])) < 0) {
            fprintf(stderr, "q7conc_reader: %s needs a non-negative number\n", argv[i]);
            return 2;
        }
        i++;
    }
    if (!file) {
        usage();
        return 2;
    }

    if (Q7open() < 0 || generate_symbols() < 0)
        return 1;
    for (unsigned lev = 0; lev < NLEVELS; lev++) {
        extent_seen[lev] = (uint64_t *)calloc(symbol_count[lev], sizeof(uint64_t));
        if (!extent_seen[lev]) {
            fprintf(stderr, "q7conc_reader: out of memory\n");
            release_tables();
            return 1;
        }
    }
    /* Waiting for the writer fails many opens on purpose: keep them quiet. */
    Q7E_auto2_t saved_func = NULL;
    void *saved_data = NULL;
    Q7Eget_auto2(0, &saved_func, &saved_data);
    Q7Eset_auto2(0, NULL, NULL);
    q7id_t fid = wait_for_file(file, (double)wait_seconds);
    if (fid < 0) {
        fprintf(stderr, "q7conc_reader: %s did not hold the symbol datasets within %ld s\n", file,
                wait_seconds);
        release_tables();
        return 2;
    }
    Q7Eset_auto2(0, saved_func, saved_data);
    q7id_t rec_type = create_symbol_datatype();
    if (rec_type < 0) {
        fprintf(stderr, "q7conc_reader: cannot create the record type\n");
        Q7Fclose(fid);
        release_tables();
        return 1;
    }

    QRsrand((unsigned)seed);
    long visits = 0;
    if (check_all) {
        for (unsigned lev = 0; lev < NLEVELS; lev++)
            for (unsigned u = 0; u < symbol_count[lev]; u++, visits++)
                visit(fid, &symbol_info[lev][u], rec_type);
    }
    double start = conc_now();
    while (!check_all && conc_now() - start < (double)seconds) {
        visit(fid, choose_dataset(), rec_type);
        visits++;
        if (pause_us > 0)
            usleep((useconds_t)pause_us);
    }

    unsigned watched = 0;
    uint64_t seen = 0;
    for (unsigned lev = 0; lev < NLEVELS; lev++)
        for (unsigned u = 0; u < symbol_count[lev]; u++) {
            symbol_entry *e = &symbol_info[lev][u];
            if (e->dataset_id >= 0) {
                watched++;
                Q7Dclose(e->dataset_id);
            }
            seen += e->record_count;
        }
    printf("q7conc_reader: %ld visits, %u datasets watched, %llu records visible, %ld records checked, "
           "%ld growth steps seen, %ld records seen before they were written, %ld verification failures\n",
           visits, watched, (unsigned long long)seen, records_checked, growth_seen, pending_seen, failures);
    fflush(stdout);
    if (print_metadata_retries_info(fid) < 0)
        fprintf(stderr, "q7conc_reader: no read-retry information for %s\n", file);
    Q7Tclose(rec_type);
    Q7Fclose(fid);
    release_tables();
    Q7close();
    if (failures)
        return 1;
    if (expect_progress && growth_seen == 0) {
        fprintf(stderr, "q7conc_reader: no dataset was seen to grow\n");
        return 1;
    }
    return 0;
}
