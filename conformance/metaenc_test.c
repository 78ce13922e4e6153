/*
 * metaenc_test.c - encodes four fixed integers into a 12-byte metadata
 * image, compares it with the expected image byte by byte, and decodes the
 * values back out of the encoded bytes.
 */
#include "metaenc_test.h"

#include <metaenc_codec.h>
#include <q7testframe.h>

#include <string.h>

#define SOURCE_NAME "metaenc_test"

#define INT16_VALUE  ((int16_t)-7641)     /* E227     */
#define UINT16_VALUE ((uint16_t)45002)    /* AFCA     */
#define INT32_VALUE  ((int32_t)-981236)   /* FFF1070C */
#define UINT32_VALUE ((uint32_t)3476589)  /* 00350C6D */

const uint8_t compar_buffer[METAENC_IMAGE_SIZE] = {
    0x27, 0xE2,             /* int16  -7641    */
    0xCA, 0xAF,             /* uint16 45002    */
    0x0C, 0x07, 0xF1, 0xFF, /* int32  -981236  */
    0x6D, 0x0C, 0x35, 0x00  /* uint32 3476589  */
};

uint8_t encode_buffer[METAENC_IMAGE_SIZE];

void test_metadata(void)
{
    if (TestVerbosity > 5)
        print_func("Testing Metadata Encoding/decoding\n");

    uint8_t *out = encode_buffer;
    encode_int16(&out, INT16_VALUE);
    encode_uint16(&out, UINT16_VALUE);
    encode_int32(&out, INT32_VALUE);
    encode_uint32(&out, UINT32_VALUE);

    if (memcmp(encode_buffer, compar_buffer, METAENC_IMAGE_SIZE) != 0) {
        for (unsigned u = 0; u < METAENC_IMAGE_SIZE; u++)
            if (encode_buffer[u] != compar_buffer[u])
                TestErrPrintf("Error encoding meta-data at offset %u, wanted: %u, got: %u\n", u,
                              (unsigned)compar_buffer[u], (unsigned)encode_buffer[u]);
    }

    /* Decode what was encoded, not the expected image: a faulty encoder
     * must also show up in the values it produces. */
    const uint8_t *in = encode_buffer;
    int16_t  di16 = decode_int16(&in);
    uint16_t du16 = decode_uint16(&in);
    int32_t  di32 = decode_int32(&in);
    uint32_t du32 = decode_uint32(&in);

    if (di16 != INT16_VALUE)
        TestErrPrintf("Error decoding int16 meta-data wanted: %d, got: %d at %s:%d\n", (int)INT16_VALUE,
                      (int)di16, SOURCE_NAME, __LINE__);
    if (du16 != UINT16_VALUE)
        TestErrPrintf("Error decoding uint16 meta-data wanted: %u, got: %u at %s:%d\n",
                      (unsigned)UINT16_VALUE, (unsigned)du16, SOURCE_NAME, __LINE__);
    if (di32 != INT32_VALUE)
        TestErrPrintf("Error decoding int32 meta-data wanted: %ld, got: %ld at %s:%d\n",
                      (long)(int64_t)INT32_VALUE, (long)(int64_t)di32, SOURCE_NAME, __LINE__);
    if (du32 != UINT32_VALUE)
        TestErrPrintf("Error decoding uint32 meta-data wanted: %lu, got: %lu at %s:%d\n",
                      (unsigned long)(uint64_t)UINT32_VALUE, (unsigned long)(uint64_t)du32, SOURCE_NAME,
                      __LINE__);
}

void cleanup_metadata(void)
{
    /* The test leaves no files or identifiers behind. */
}
