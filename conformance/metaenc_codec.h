/*
 * metaenc_codec.h - how metadata integers are laid out: least significant
 * byte first, values packed one after another with no gaps.
 *
 * Each helper works on a byte cursor (uint8_t *) and moves it past the
 * bytes it wrote or read.  Decoding sign-extends the signed types and
 * zero-extends the unsigned ones.
 *
 * metaenc_test.c takes this file through the include path (#include
 * <metaenc_codec.h>), so a test build can put a different codec in front
 * of the module without touching its code.
 */
#ifndef METAENC_CODEC_H
#define METAENC_CODEC_H

#include <stdint.h>

static inline void encode_uint16(uint8_t **p, uint16_t v)
{
    (*p)[0] = (uint8_t)(v & 0xff);
    (*p)[1] = (uint8_t)((v >> 8) & 0xff);
    *p += 2;
}

static inline void encode_int16(uint8_t **p, int16_t v)
{
    encode_uint16(p, (uint16_t)v);
}

static inline void encode_uint32(uint8_t **p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*p)[i] = (uint8_t)((v >> (8 * i)) & 0xff);
    *p += 4;
}

static inline void encode_int32(uint8_t **p, int32_t v)
{
    encode_uint32(p, (uint32_t)v);
}

static inline uint16_t decode_uint16(const uint8_t **p)
{
    uint16_t v = (uint16_t)((*p)[0] | ((uint16_t)(*p)[1] << 8));
    *p += 2;
    return v;
}

static inline int16_t decode_int16(const uint8_t **p)
{
    return (int16_t)decode_uint16(p);
}

static inline uint32_t decode_uint32(const uint8_t **p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | (*p)[i];
    *p += 4;
    return v;
}

static inline int32_t decode_int32(const uint8_t **p)
{
    return (int32_t)decode_uint32(p);
}

#endif /* METAENC_CODEC_H */
