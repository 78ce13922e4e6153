/*
 * metaenc_test.h - test of the byte layout of encoded metadata integers.
 * Runs in the test harness (q7testframe.h).
 */
#ifndef METAENC_TEST_H
#define METAENC_TEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define METAENC_IMAGE_SIZE 12

/* The expected 12-byte image of the four test values; never written. */
extern const uint8_t compar_buffer[METAENC_IMAGE_SIZE];
/* Where the test encodes; keeps the last encoding after the test. */
extern uint8_t encode_buffer[METAENC_IMAGE_SIZE];

void test_metadata(void);
void cleanup_metadata(void);

#ifdef __cplusplus
}
#endif

#endif /* METAENC_TEST_H */
