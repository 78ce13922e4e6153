/*
 * Faulty codecs for the metadata encoding test, chosen with
 * METAENC_FAULT:
 *   1  most significant byte first, for encoding and decoding alike
 *   2  the second byte of a signed 32-bit value encoded one too high
 *      (offset 5 of the test image)
 *   3  the lowest byte of a signed 16-bit value encoded wrong (offset 0)
 * The test must notice each of them.
 */
#ifndef METAENC_CODEC_H
#define METAENC_CODEC_H

#include <stdint.h>

#ifndef METAENC_FAULT
#error "METAENC_FAULT must name the fault"
#endif

static inline void encode_uint16(uint8_t **p, uint16_t v)
{
#if METAENC_FAULT == 1
    (*p)[0] = (uint8_t)(v >> 8);
    (*p)[1] = (uint8_t)v;
#else
    (*p)[0] = (uint8_t)v;
    (*p)[1] = (uint8_t)(v >> 8);
#endif
    *p += 2;
}

static inline void encode_int16(uint8_t **p, int16_t v)
{
    encode_uint16(p, (uint16_t)v);
#if METAENC_FAULT == 3
    (*p)[-2] ^= 0x10;
#endif
}

static inline void encode_uint32(uint8_t **p, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
#if METAENC_FAULT == 1
        (*p)[i] = (uint8_t)(v >> (8 * (3 - i)));
#else
        (*p)[i] = (uint8_t)(v >> (8 * i));
#endif
    }
    *p += 4;
}

static inline void encode_int32(uint8_t **p, int32_t v)
{
    encode_uint32(p, (uint32_t)v);
#if METAENC_FAULT == 2
    (*p)[-3] = (uint8_t)((*p)[-3] + 1);
#endif
}

static inline uint16_t decode_uint16(const uint8_t **p)
{
#if METAENC_FAULT == 1
    uint16_t v = (uint16_t)(((uint16_t)(*p)[0] << 8) | (*p)[1]);
#else
    uint16_t v = (uint16_t)((*p)[0] | ((uint16_t)(*p)[1] << 8));
#endif
    *p += 2;
    return v;
}

static inline int16_t decode_int16(const uint8_t **p) { return (int16_t)decode_uint16(p); }

static inline uint32_t decode_uint32(const uint8_t **p)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
#if METAENC_FAULT == 1
        v = (v << 8) | (*p)[i];
#else
        v |= (uint32_t)(*p)[i] << (8 * i);
#endif
    }
    *p += 4;
    return v;
}

static inline int32_t decode_int32(const uint8_t **p) { return (int32_t)decode_uint32(p); }

#endif /* METAENC_CODEC_H */
