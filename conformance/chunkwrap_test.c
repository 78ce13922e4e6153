/*
 * chunkwrap_test - checks the high-level whole-chunk wrappers.
 *
 * Builds an 8-element chunked integer dataset (two chunks of 4) in
 * "q7do_compat.q7", writes both chunks through Q7DOwrite_chunk, then reads
 * each chunk back twice - through an ordinary selection read and through
 * Q7DOread_chunk - and requires the two to agree and the stored filter
 * mask to come back as 0.  Exit status 0 when everything passed, 1
 * otherwise.  The file is left on disk for inspection.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "quor7.h"
#include "quor7_hl.h"

#define FILE_NAME "q7do_compat.q7"
#define DATASET_NAME "direct_chunk_io"
#define DATASET_SIZE 8
#define CHUNK_SIZE 4
#define CHUNK_BYTES (CHUNK_SIZE * sizeof(int))
#define NUM_CHUNKS (DATASET_SIZE / CHUNK_SIZE)

/* Name shown in the "at" line of a failed check. */
#define SOURCE_NAME "chunkwrap_test"

/* Initial contents, then the values written directly, then the result of
 * each selection read. */
static int data_buf[DATASET_SIZE];

/* Leaves the enclosing test through its error label, remembering where. */
#define CHECK(cond)               \
    do {                          \
        if (!(cond)) {            \
            failed_line = __LINE__; \
            goto error;           \
        }                         \
    } while (0)

static void testing(const char *what)
{
    printf("Testing %-62s", what);
    fflush(stdout);
}

static void passed(void)
{
    puts(" PASSED");
    fflush(stdout);
}

static void failed(void)
{
    puts("*FAILED*");
    fflush(stdout);
}

/* The summary is flushed too: it must reach a pipe even if the process
 * is cut short while the libraries shut down. */
static int summary(const char *line, int status)
{
    puts(line);
    fflush(stdout);
    return status;
}

/* The automatic error report that was installed before it was switched off. */
typedef struct saved_report_t {
    unsigned    is_v2;
    Q7E_auto1_t func1;
    Q7E_auto2_t func2;
    void       *data;
} saved_report_t;

static void report_off(saved_report_t *saved)
{
    saved->is_v2 = 0;
    saved->func1 = NULL;
    saved->func2 = NULL;
    saved->data = NULL;
    Q7Eauto_is_v2(0, &saved->is_v2);
    if (saved->is_v2) {
        Q7Eget_auto2(0, &saved->func2, &saved->data);
        Q7Eset_auto2(0, NULL, NULL);
    } else {
        Q7Eget_auto1(&saved->func1, &saved->data);
        Q7Eset_auto1(NULL, NULL);
    }
}

static void report_on(const saved_report_t *saved)
{
    if (saved->is_v2)
        Q7Eset_auto2(0, saved->func2, saved->data);
    else
        Q7Eset_auto1(saved->func1, saved->data);
}

/* Closes what setup made so far (-1: never made), without error reports. */
static void quiet_close_setup(q7id_t dset, q7id_t space, q7id_t dcpl)
{
    saved_report_t saved;
    report_off(&saved);
    Q7Dclose(dset);
    Q7Sclose(space);
    Q7Pclose(dcpl);
    report_on(&saved);
}

static void quiet_close_spaces(q7id_t mem_space, q7id_t file_space)
{
    saved_report_t saved;
    report_off(&saved);
    Q7Sclose(mem_space);
    Q7Sclose(file_space);
    report_on(&saved);
}

static int test_direct_chunk_write(q7id_t dset)
{
    const uint32_t filter_mask = 0;
    q7size_t offset[1];
    int k;
    int failed_line = 0;

    testing("Q7DOwrite_chunk wrapper");

    data_buf[0] = 0;
    data_buf[1] = 11;
    data_buf[2] = 22;
    data_buf[3] = 33;

    for (k = 0; k < NUM_CHUNKS; k++) {
        offset[0] = (q7size_t)k * CHUNK_SIZE;
        CHECK(Q7DOwrite_chunk(dset, 0, filter_mask, offset, CHUNK_BYTES, data_buf) >= 0);
    }

    passed();
    return 0;

error:
    failed();
    printf("   at %s:%d in %s()...\n", SOURCE_NAME, failed_line, __func__);
    failed();
    return 1;
}

static int test_direct_chunk_read(q7id_t dset)
{
    q7id_t mem_space = -1;
    q7id_t file_space = -1;
    const q7size_t mem_dims[1] = {CHUNK_SIZE};
    const q7size_t file_dims[1] = {DATASET_SIZE};
    q7size_t start[1];
    const q7size_t stride[1] = {1};
    const q7size_t count[1] = {1};
    const q7size_t block[1] = {CHUNK_SIZE};
    q7size_t offset[1];
    int direct_buf[CHUNK_SIZE];
    uint32_t filter_mask;
    int k;
    int failed_line = 0;

    testing("Q7DOread_chunk wrapper");

    CHECK((mem_space = Q7Screate_simple(1, mem_dims, NULL)) >= 0);
    CHECK((file_space = Q7Screate_simple(1, file_dims, NULL)) >= 0);

    for (k = 0; k < NUM_CHUNKS; k++) {
        start[0] = (q7size_t)k * CHUNK_SIZE;
        CHECK(Q7Sselect_hyperslab(file_space, Q7S_SELECT_SET, start, stride, count, block) >= 0);

        Q7open();
        CHECK(Q7Dread(dset, Q7T_NATIVE_INT_g, mem_space, file_space, 0, data_buf) >= 0);

        /* A read that leaves the mask alone must not pass for one that
         * reported mask 0. */
        memset(direct_buf, 0, CHUNK_BYTES);
        filter_mask = 0xFFFFFFFFu;
        offset[0] = (q7size_t)k * CHUNK_SIZE;
        CHECK(Q7DOread_chunk(dset, 0, offset, &filter_mask, direct_buf) >= 0);

        CHECK(filter_mask == 0);

        /* Every element of the chunk, not only element k. */
        CHECK(memcmp(data_buf, direct_buf, CHUNK_BYTES) == 0);
    }

    CHECK(Q7Sclose(mem_space) >= 0);
    mem_space = -1;
    CHECK(Q7Sclose(file_space) >= 0);
    file_space = -1;

    passed();
    return 0;

error:
    failed();
    printf("   at %s:%d in %s()...\n", SOURCE_NAME, failed_line, __func__);
    quiet_close_spaces(mem_space, file_space);
    failed();
    return 1;
}

int main(void)
{
    q7id_t file = -1;
    q7id_t space = -1;
    q7id_t dcpl = -1;
    q7id_t dset = -1;
    const q7size_t dims[1] = {DATASET_SIZE};
    const q7size_t max_dims[1] = {Q7S_UNLIMITED};
    const q7size_t chunk_dims[1] = {CHUNK_SIZE};
    q7status_t file_status;
    int nerrors = 0;
    int i;

    Q7check_version(1, 10, 4);

    Q7open();
    if ((file = Q7Fcreate(FILE_NAME, Q7F_ACC_TRUNC, 0, 0)) < 0)
        return summary("*** TESTS FAILED ***", 1);

    if ((space = Q7Screate_simple(1, dims, max_dims)) < 0)
        goto setup_error;

    Q7open();
    if ((dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g)) < 0)
        goto setup_error;
    if (Q7Pset_chunk(dcpl, 1, chunk_dims) < 0)
        goto setup_error;

    Q7open();
    if ((dset = Q7Dcreate2(file, DATASET_NAME, Q7T_NATIVE_INT_g, space, 0, dcpl, 0)) < 0)
        goto setup_error;

    for (i = 0; i < DATASET_SIZE; i++)
        data_buf[i] = i;
    Q7open();
    if (Q7Dwrite(dset, Q7T_NATIVE_INT_g, 0, 0, 0, data_buf) < 0)
        goto setup_error;

    if (Q7Sclose(space) < 0)
        goto setup_error;
    space = -1;
    if (Q7Pclose(dcpl) < 0)
        goto setup_error;
    dcpl = -1;

    /* The read test runs whatever the write test's verdict. */
    nerrors += test_direct_chunk_write(dset);
    nerrors += test_direct_chunk_read(dset);

    if (Q7Dclose(dset) < 0)
        return summary("*** TESTS FAILED ***", 1);
    file_status = Q7Fclose(file);

    if (nerrors != 0 || file_status < 0)
        return summary("*** TESTS FAILED ***", 1);
    return summary("All direct chunk read/write wrapper tests passed.", 0);

setup_error:
    quiet_close_setup(dset, space, dcpl);
    return summary("*** TESTS FAILED ***", 1);
}
