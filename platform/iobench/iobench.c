/*
 * q7iobench - serial I/O benchmark of the storage library.
 *
 * Writes a one-dimensional dataset of 32-bit integers of the given size,
 * chunk size and filter pipeline into a new file, reads it back and checks
 * every value, and reports how long each phase took, measured with the
 * phase timer:
 *
 *   0 file create          5 read open   (start 11 - start 9)
 *   1 dataset create       6 write lead-in (start 8 - start 10)
 *   2 write (library calls) 7 write open (start 10 - start 8)
 *   3 read  (library calls) 8 gross write: create .. close
 *   4 read lead-in          9 gross read:  open .. close
 *     (start 9 - start 11) 10 fine write: first .. last write
 *  12 file close           11 fine read:  first .. last read
 *  13 file open (read pass)
 *
 * The lead-in totals measure from the previous start of the fine timer;
 * both fine timers are started once when the program starts, so on the
 * first pass they measure from program start.
 */
#include "phase_timer.h"

#include <quor7.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MAX_FILTERS 8
#define MAX_CD      8
#define MIB         (1024.0 * 1024.0)

typedef struct filter_spec {
    q7filter_t id;
    size_t     ncd;
    unsigned   cd[MAX_CD];
} filter_spec;

typedef struct options {
    const char *file;
    uint64_t    size;   /* bytes */
    uint64_t    chunk;  /* bytes */
    long        iterations;
    int         keep;
    size_t      nfilters;
    filter_spec filters[MAX_FILTERS];
} options;

static void usage(FILE *to)
{
    fprintf(to,
            "usage: q7iobench [options]\n"
            "Writes a dataset of 32-bit integers into a new file, reads it back, checks it,\n"
            "and prints the seconds and MiB/s of every phase.\n"
            "  --file NAME       file to write (default q7iobench.q7; removed afterwards)\n"
            "  --size BYTES      dataset size (default 16M; suffixes K, M, G)\n"
            "  --chunk BYTES     chunk size (default 1M; suffixes K, M, G)\n"
            "  --filter ID[:V,...]  add filter ID with client data values V to the pipeline\n"
            "                    (repeatable, applied in order; e.g. 2 = shuffle, 1:6 = deflate 6)\n"
            "  --iterations N    write and read N times (default 1)\n"
            "  --keep            keep the file\n"
            "  --help            this text\n");
}

/* Size with an optional K, M or G suffix; 0 when text is not one. */
static uint64_t parse_size(const char *text)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (end == text || errno || text[0] == '-')
        return 0;
    uint64_t mult = 1;
    if (*end == 'K' || *end == 'k') mult = 1024ull, end++;
    else if (*end == 'M' || *end == 'm') mult = 1024ull * 1024, end++;
    else if (*end == 'G' || *end == 'g') mult = 1024ull * 1024 * 1024, end++;
    if (*end || v > UINT64_MAX / mult)
        return 0;
    return v * mult;
}

static int parse_filter(const char *text, filter_spec *f)
{
    char *end;
    errno = 0;
    long id = strtol(text, &end, 10);
    if (end == text || errno || id <= 0 || id > Q7Z_FILTER_MAX)
        return -1;
    f->id = (q7filter_t)id;
    f->ncd = 0;
    if (*end == '\0')
        return 0;
    if (*end != ':')
        return -1;
    const char *p = end + 1;
    for (;;) {
        if (f->ncd == MAX_CD)
            return -1;
        unsigned long v = strtoul(p, &end, 10);
        if (end == p || *p == '-' || v > UINT32_MAX)
            return -1;
        f->cd[f->ncd++] = (unsigned)v;
        if (*end == '\0')
            return 0;
        if (*end != ',')
            return -1;
        p = end + 1;
    }
}

static int parse_options(int argc, char *argv[], options *o)
{
    memset(o, 0, sizeof *o);
    o->file = "q7iobench.q7";
    o->size = 16ull << 20;
    o->chunk = 1ull << 20;
    o->iterations = 1;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            usage(stdout);
            exit(0);
        } else if (strcmp(a, "--keep") == 0) {
            o->keep = 1;
            continue;
        } else if (!v) {
            fprintf(stderr, "q7iobench: %s needs a value\n", a);
            return -1;
        } else if (strcmp(a, "--file") == 0) {
            o->file = v;
        } else if (strcmp(a, "--size") == 0) {
            if ((o->size = parse_size(v)) == 0) {
                fprintf(stderr, "q7iobench: bad size \"%s\"\n", v);
                return -1;
            }
        } else if (strcmp(a, "--chunk") == 0) {
            if ((o->chunk = parse_size(v)) == 0) {
                fprintf(stderr, "q7iobench: bad chunk size \"%s\"\n", v);
                return -1;
            }
        } else if (strcmp(a, "--iterations") == 0) {
            char *end;
            o->iterations = strtol(v, &end, 10);
            if (end == v || *end || o->iterations < 1 || o->iterations > 1000) {
                fprintf(stderr, "q7iobench: bad iteration count \"%s\" (1 to 1000)\n", v);
                return -1;
            }
        } else if (strcmp(a, "--filter") == 0) {
            if (o->nfilters == MAX_FILTERS || parse_filter(v, &o->filters[o->nfilters]) < 0) {
                fprintf(stderr, "q7iobench: bad filter \"%s\" (ID[:V,...], at most %d filters of %d values)\n",
                        v, MAX_FILTERS, MAX_CD);
                return -1;
            }
            o->nfilters++;
        } else {
            fprintf(stderr, "q7iobench: unknown option \"%s\"\n", a);
            return -1;
        }
        i++;
    }
    if (o->size % 4 || o->chunk % 4) {
        fprintf(stderr, "q7iobench: size and chunk size must be multiples of 4 bytes\n");
        return -1;
    }
    if (o->chunk > o->size) {
        fprintf(stderr, "q7iobench: the chunk (%llu bytes) is larger than the dataset (%llu bytes)\n",
                (unsigned long long)o->chunk, (unsigned long long)o->size);
        return -1;
    }
    return 0;
}

/* Value of element i: varied but partly compressible. */
static inline int32_t pattern(uint64_t i)
{
    return (int32_t)(uint32_t)((i >> 4) * 2654435761u ^ (i & 15));
}

static void start(io_time_t *t, unsigned n) { set_time(t, n, 0); }
static void stop(io_time_t *t, unsigned n) { set_time(t, n, 1); }

/* One pass: create, write, close; open, read and check, close. */
static int run_pass(const options *o, io_time_t *t, int32_t *block, uint64_t *mismatches)
{
    const uint64_t n = o->size / 4, per_block = o->chunk / 4;
    q7size_t dims[1] = {n}, chunk_dims[1] = {per_block};
    int rc = -1;
    q7id_t fid = -1, did = -1, space = -1, dcpl = -1;

    start(t, 8);
    start(t, 0);
    fid = Q7Fcreate(o->file, Q7F_ACC_TRUNC, 0, 0);
    stop(t, 0);
    if (fid < 0) {
        fprintf(stderr, "q7iobench: cannot create %s\n", o->file);
        goto out;
    }
    start(t, 1);
    space = Q7Screate_simple(1, dims, NULL);
    dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    int dcpl_ok = space >= 0 && dcpl >= 0 && Q7Pset_chunk(dcpl, 1, chunk_dims) >= 0;
    for (size_t f = 0; dcpl_ok && f < o->nfilters; f++)
        dcpl_ok = Q7Pset_filter(dcpl, o->filters[f].id, Q7Z_FLAG_MANDATORY, o->filters[f].ncd,
                                o->filters[f].cd) >= 0;
    if (dcpl_ok)
        did = Q7Dcreate2(fid, "data", Q7T_NATIVE_INT32_g, space, 0, dcpl, 0);
    stop(t, 1);
    if (did < 0) {
        fprintf(stderr, "q7iobench: cannot create the dataset (check the filters)\n");
        goto out;
    }

    start(t, 10);
    for (uint64_t first = 0; first < n; first += per_block) {
        q7size_t count[1] = {n - first < per_block ? n - first : per_block}, off[1] = {first};
        for (uint64_t k = 0; k < count[0]; k++)
            block[k] = pattern(first + k);
        q7id_t mspace = Q7Screate_simple(1, count, NULL);
        int ok = mspace >= 0 && Q7Sselect_hyperslab(space, Q7S_SELECT_SET, off, NULL, count, NULL) >= 0;
        start(t, 2);
        ok = ok && Q7Dwrite(did, Q7T_NATIVE_INT32_g, mspace, space, 0, block) >= 0;
        stop(t, 2);
        if (mspace >= 0) Q7Sclose(mspace);
        if (!ok) {
            fprintf(stderr, "q7iobench: write of elements %llu.. failed\n", (unsigned long long)first);
            stop(t, 10);
            goto out;
        }
    }
    stop(t, 10);
    start(t, 12);
    int closed = Q7Dclose(did) >= 0;
    did = -1;
    closed = Q7Fclose(fid) >= 0 && closed;
    fid = -1;
    stop(t, 12);
    stop(t, 8);
    if (!closed) {
        fprintf(stderr, "q7iobench: closing %s after writing failed\n", o->file);
        goto out;
    }

    start(t, 9);
    start(t, 13);
    fid = Q7Fopen(o->file, Q7F_ACC_RDONLY, 0);
    if (fid >= 0)
        did = Q7Dopen2(fid, "data", 0);
    stop(t, 13);
    if (did < 0) {
        fprintf(stderr, "q7iobench: cannot open %s for reading\n", o->file);
        goto out;
    }
    start(t, 11);
    for (uint64_t first = 0; first < n; first += per_block) {
        q7size_t count[1] = {n - first < per_block ? n - first : per_block}, off[1] = {first};
        memset(block, 0, count[0] * sizeof *block);
        q7id_t mspace = Q7Screate_simple(1, count, NULL);
        int ok = mspace >= 0 && Q7Sselect_hyperslab(space, Q7S_SELECT_SET, off, NULL, count, NULL) >= 0;
        start(t, 3);
        ok = ok && Q7Dread(did, Q7T_NATIVE_INT32_g, mspace, space, 0, block) >= 0;
        stop(t, 3);
        if (mspace >= 0) Q7Sclose(mspace);
        if (!ok) {
            fprintf(stderr, "q7iobench: read of elements %llu.. failed\n", (unsigned long long)first);
            stop(t, 11);
            goto out;
        }
        for (uint64_t k = 0; k < count[0]; k++) {
            if (block[k] != pattern(first + k)) {
                if (*mismatches < 5)
                    fprintf(stderr, "q7iobench: element %llu reads %d, wrote %d\n",
                            (unsigned long long)(first + k), block[k], pattern(first + k));
                (*mismatches)++;
            }
        }
    }
    stop(t, 11);
    start(t, 12);
    closed = Q7Dclose(did) >= 0;
    did = -1;
    closed = Q7Fclose(fid) >= 0 && closed;
    fid = -1;
    stop(t, 12);
    stop(t, 9);
    if (!closed) {
        fprintf(stderr, "q7iobench: closing %s after reading failed\n", o->file);
        goto out;
    }
    rc = 0;

out:
    if (did >= 0) Q7Dclose(did);
    if (fid >= 0) Q7Fclose(fid);
    if (space >= 0) Q7Sclose(space);
    if (dcpl >= 0) Q7Pclose(dcpl);
    return rc;
}

static const char *const phase_names[NUM_TIMERS] = {
    "file create",           "dataset create",          "write",
    "read",                  "read lead-in (9 - 11)",   "read open (11 - 9)",
    "write lead-in (8 - 10)", "write open (10 - 8)",    "gross write",
    "gross read",            "fine write",              "fine read",
    "file close",            "file open (read pass)",
};

/* Phases that move the whole dataset once per pass. */
static int moves_data(unsigned t)
{
    return t == 2 || t == 3 || (t >= 8 && t <= 11);
}

int main(int argc, char *argv[])
{
    options o;
    if (parse_options(argc, argv, &o) < 0) {
        usage(stderr);
        return 2;
    }
    if (Q7open() < 0) {
        fprintf(stderr, "q7iobench: cannot start the storage library\n");
        return 1;
    }
    io_time_t *t = io_time_new(SYS_CLOCK);
    int32_t *block = (int32_t *)malloc(o.chunk);
    if (!t || !block) {
        fprintf(stderr, "q7iobench: out of memory\n");
        free(block);
        if (t) io_time_destroy(t);
        return 1;
    }
    /* Give the lead-in totals a reference point: program start. */
    start(t, 10);
    start(t, 11);

    uint64_t mismatches = 0;
    int rc = 0;
    for (long it = 0; it < o.iterations && rc == 0; it++)
        rc = run_pass(&o, t, block, &mismatches);
    free(block);

    if (rc == 0) {
        printf("q7iobench: %.3f MiB in chunks of %.3f MiB, %ld pass%s, filters:", o.size / MIB, o.chunk / MIB,
               o.iterations, o.iterations == 1 ? "" : "es");
        if (o.nfilters == 0)
            printf(" none");
        for (size_t f = 0; f < o.nfilters; f++) {
            printf(" %d", o.filters[f].id);
            for (size_t c = 0; c < o.filters[f].ncd; c++)
                printf("%c%u", c == 0 ? ':' : ',', o.filters[f].cd[c]);
        }
        printf("\n%5s  %-24s %12s %12s\n", "timer", "phase", "seconds", "MiB/s");
        double mib = o.size / MIB * (double)o.iterations;
        for (unsigned n = 0; n < NUM_TIMERS; n++) {
            double s = get_time(t, n);
            if (moves_data(n) && s > 0)
                printf("%5u  %-24s %12.6f %12.1f\n", n, phase_names[n], s, mib / s);
            else
                printf("%5u  %-24s %12.6f %12s\n", n, phase_names[n], s, "-");
        }
        if (mismatches) {
            printf("q7iobench: %llu elements read back wrong\n", (unsigned long long)mismatches);
            rc = 1;
        } else {
            printf("q7iobench: all %llu elements read back intact\n",
                   (unsigned long long)(o.size / 4 * (uint64_t)o.iterations));
        }
    }
    io_time_destroy(t);
    if (!o.keep)
        unlink(o.file);
    Q7close();
    return rc == 0 ? 0 : 1;
}
