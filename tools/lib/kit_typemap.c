/*
 * kit_typemap.c - fixed-endian standard type of an integer, floating-point
 * or bit-field datatype.
 */
#include "kit_typemap.h"

#include <stddef.h>
#include <stdint.h>

/* Any sign code: floating-point and bit-field rows ignore the sign. */
#define ANY_SIGN INT32_MIN

/* One row of the mapping.  The predefined types are held by the address
 * of their global, so the value in force at the moment of the call is the
 * one copied. */
typedef struct typemap_row_t {
    int32_t       type_class;
    int32_t       sign;
    uint64_t      size;
    const q7id_t *little;
    const q7id_t *big;
} typemap_row_t;

static const typemap_row_t typemap_rows[] = {
    {Q7T_INTEGER, Q7T_SGN_2, 1, &Q7T_STD_I8LE_g, &Q7T_STD_I8BE_g},
    {Q7T_INTEGER, Q7T_SGN_2, 2, &Q7T_STD_I16LE_g, &Q7T_STD_I16BE_g},
    {Q7T_INTEGER, Q7T_SGN_2, 4, &Q7T_STD_I32LE_g, &Q7T_STD_I32BE_g},
    {Q7T_INTEGER, Q7T_SGN_2, 8, &Q7T_STD_I64LE_g, &Q7T_STD_I64BE_g},
    {Q7T_INTEGER, Q7T_SGN_NONE, 1, &Q7T_STD_U8LE_g, &Q7T_STD_U8BE_g},
    {Q7T_INTEGER, Q7T_SGN_NONE, 2, &Q7T_STD_U16LE_g, &Q7T_STD_U16BE_g},
    {Q7T_INTEGER, Q7T_SGN_NONE, 4, &Q7T_STD_U32LE_g, &Q7T_STD_U32BE_g},
    {Q7T_INTEGER, Q7T_SGN_NONE, 8, &Q7T_STD_U64LE_g, &Q7T_STD_U64BE_g},
    {Q7T_FLOAT, ANY_SIGN, 4, &Q7T_IEEE_F32LE_g, &Q7T_IEEE_F32BE_g},
    {Q7T_FLOAT, ANY_SIGN, 8, &Q7T_IEEE_F64LE_g, &Q7T_IEEE_F64BE_g},
    {Q7T_BITFIELD, ANY_SIGN, 1, &Q7T_STD_B8LE_g, &Q7T_STD_B8BE_g},
    {Q7T_BITFIELD, ANY_SIGN, 2, &Q7T_STD_B16LE_g, &Q7T_STD_B16BE_g},
    {Q7T_BITFIELD, ANY_SIGN, 4, &Q7T_STD_B32LE_g, &Q7T_STD_B32BE_g},
    {Q7T_BITFIELD, ANY_SIGN, 8, &Q7T_STD_B64LE_g, &Q7T_STD_B64BE_g},
};

/* The row for (class, sign, size), or null. */
static const typemap_row_t *find_row(int32_t type_class, int32_t sign, uint64_t size)
{
    size_t i;
    for (i = 0; i < sizeof typemap_rows / sizeof typemap_rows[0]; i++) {
        const typemap_row_t *row = &typemap_rows[i];
        if (row->type_class == type_class && row->size == size && (row->sign == ANY_SIGN || row->sign == sign))
            return row;
    }
    return NULL;
}

/* The three queries are all made, in this order, before anything is
 * decided; their results are used as they come. */
static q7id_t map_type(q7id_t type, int big_endian)
{
    int32_t type_class = Q7Tget_class(type);
    uint64_t size = (uint64_t)Q7Tget_size(type);
    int32_t sign = Q7Tget_sign(type);
    const typemap_row_t *row = find_row(type_class, sign, size);

    if (row == NULL)
        return -1;
    return Q7Tcopy(big_endian ? *row->big : *row->little);
}

q7id_t q7tools_get_little_endian_type(q7id_t type)
{
    return map_type(type, 0);
}

q7id_t q7tools_get_big_endian_type(q7id_t type)
{
    return map_type(type, 1);
}
