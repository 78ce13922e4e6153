/*
 * q7conc_writer - writes a file that concurrent readers watch.
 *
 * Creates the 3100 symbol datasets (extendible, chunked, of the record
 * type), then appends one record at a time to datasets picked by
 * choose_dataset, growing each with Q7Dset_extent and flushing the file
 * every few records, until its time or record budget is spent.  Record i
 * of a dataset has id i and info bytes derived from the dataset's name and
 * i.  Ends with the metadata read-retry report on standard error.
 */
#include "conc_common.h"

#include <quor7.h>

#include <stdio.h>
#include <string.h>

static void usage(void)
{
    fprintf(stderr,
            "usage: q7conc_writer FILE [--seconds S] [--records N] [--flush-every K] [--seed N]\n"
            "  --seconds S      append for S seconds after creating the datasets (default 10)\n"
            "  --records N      stop after N records (default: no limit)\n"
            "  --flush-every K  flush the file after every K records (default 20)\n"
            "  --seed N         seed of the dataset choice (default 1)\n");
}

static int append_record(symbol_entry *e, q7id_t rec_type)
{
    symbol_record rec;
    memset(&rec, 0, sizeof rec);
    rec.rec_id = e->record_count;
    conc_fill_info(e->name, rec.rec_id, rec.info);

    q7size_t new_size = e->record_count + 1;
    if (Q7Dset_extent(e->dataset_id, &new_size) < 0) {
        fprintf(stderr, "q7conc_writer: cannot extend dataset %s to %llu records\n", e->name,
                (unsigned long long)new_size);
        return -1;
    }
    q7id_t fspace = Q7Dget_space(e->dataset_id);
    q7size_t start = e->record_count, count = 1;
    q7id_t mspace = Q7Screate_simple(1, &count, NULL);
    int rc = -1;
    if (fspace >= 0 && mspace >= 0 &&
        Q7Sselect_hyperslab(fspace, Q7S_SELECT_SET, &start, NULL, &count, NULL) >= 0 &&
        Q7Dwrite(e->dataset_id, rec_type, mspace, fspace, 0, &rec) >= 0)
        rc = 0;
    else
        fprintf(stderr, "q7conc_writer: cannot write record %llu of dataset %s\n",
                (unsigned long long)start, e->name);
    if (mspace >= 0)
        Q7Sclose(mspace);
    if (fspace >= 0)
        Q7Sclose(fspace);
    if (rc == 0)
        e->record_count++;
    return rc;
}

int main(int argc, char *argv[])
{
    const char *file = NULL;
    long seconds = 10, records = 0, flush_every = 20, seed = 1;
    for (int i = 1; i < argc; i++) {
        long *slot = NULL;
        if (strcmp(argv[i], "--seconds") == 0) slot = &seconds;
        else if (strcmp(argv[i], "--records") == 0) slot = &records;
        else if (strcmp(argv[i], "--flush-every") == 0) slot = &flush_every;
        else if (strcmp(argv[i], "--seed") == 0) slot = &seed;
        else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else if (argv[i][0] != '-' && !file) {
            file = argv[i];
            continue;
        } else {
            fprintf(stderr, "q7conc_writer: unknown argument \"%s\"\n", argv[i]);
            usage();
            return 2;
        }
        if (i + 1 >= argc || (*slot = conc_number(argv[i + 1])) < 0) {
            fprintf(stderr, "q7conc_writer: %s needs a non-negative number\n", argv[i]);
            return 2;
        }
        i++;
    }
    if (!file) {
        usage();
        return 2;
    }
    if (flush_every == 0)
        flush_every = 1;

    if (Q7open() < 0 || generate_symbols() < 0)
        return 1;
    int status = 1;
    q7id_t rec_type = create_symbol_datatype();
    q7id_t fid = Q7Fcreate(file, Q7F_ACC_TRUNC | Q7F_ACC_CONCURRENT_WRITE, 0, 0);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    q7size_t zero = 0, unlimited = Q7S_UNLIMITED, chunk = CONC_CHUNK_RECORDS;
    q7id_t space = Q7Screate_simple(1, &zero, &unlimited);
    if (rec_type < 0 || fid < 0 || dcpl < 0 || space < 0 || Q7Pset_chunk(dcpl, 1, &chunk) < 0) {
        fprintf(stderr, "q7conc_writer: cannot set up file %s\n", file);
        goto done;
    }

    double t0 = conc_now();
    for (unsigned lev = 0; lev < NLEVELS; lev++) {
        for (unsigned u = 0; u < symbol_count[lev]; u++) {
            symbol_entry *e = &symbol_info[lev][u];
            e->dataset_id = Q7Dcreate2(fid, e->name, rec_type, space, 0, dcpl, 0);
            if (e->dataset_id < 0) {
                fprintf(stderr, "q7conc_writer: cannot create dataset %s\n", e->name);
                goto done;
            }
        }
    }
    if (Q7Fflush(fid) < 0) {
        fprintf(stderr, "q7conc_writer: cannot flush %s\n", file);
        goto done;
    }
    printf("q7conc_writer: created 3100 datasets in %.2f s\n", conc_now() - t0);
    fflush(stdout);

    QRsrand((unsigned)seed);
    double start = conc_now();
    long written = 0;
    while ((records == 0 || written < records) && conc_now() - start < (double)seconds) {
        if (append_record(choose_dataset(), rec_type) < 0)
            goto done;
        written++;
        if (written % flush_every == 0 && Q7Fflush(fid) < 0) {
            fprintf(stderr, "q7conc_writer: cannot flush %s\n", file);
            goto done;
        }
    }
    if (Q7Fflush(fid) < 0) {
        fprintf(stderr, "q7conc_writer: cannot flush %s\n", file);
        goto done;
    }
    double elapsed = conc_now() - start;
    unsigned touched = 0;
    for (unsigned lev = 0; lev < NLEVELS; lev++)
        for (unsigned u = 0; u < symbol_count[lev]; u++)
            touched += symbol_info[lev][u].record_count > 0;
    printf("q7conc_writer: wrote %ld records to %u datasets in %.2f s (%.0f records/s)\n", written,
           touched, elapsed, elapsed > 0 ? written / elapsed : 0.0);
    fflush(stdout);
    if (print_metadata_retries_info(fid) < 0)
        fprintf(stderr, "q7conc_writer: no read-retry information for %s\n", file);
    status = 0;

done:
    for (unsigned lev = 0; lev < NLEVELS; lev++)
        for (unsigned u = 0; u < symbol_count[lev]; u++)
            if (symbol_info[lev] && symbol_info[lev][u].dataset_id >= 0)
                Q7Dclose(symbol_info[lev][u].dataset_id);
    if (space >= 0) Q7Sclose(space);
    if (dcpl >= 0) Q7Pclose(dcpl);
    if (fid >= 0 && Q7Fclose(fid) < 0)
        status = 1;
    if (rec_type >= 0) Q7Tclose(rec_type);
    shutdown_symbols();
    Q7close();
    return status;
}
