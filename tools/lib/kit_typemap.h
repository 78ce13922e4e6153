/*
 * kit_typemap.h - maps an integer, floating-point or bit-field datatype
 * to the standard datatype of the same kind and size in a fixed byte order.
 *
 * Only the class, the size and the sign of the argument count: its own
 * byte order, precision and bit offset do not.  The result is a new copy
 * of one of the predefined standard types, which the caller closes with
 * Q7Tclose; -1 when no standard type matches, or the negative result of a
 * failed copy.  Nothing is printed and nothing is pushed on an error stack.
 */
#ifndef KIT_TYPEMAP_H
#define KIT_TYPEMAP_H

#include "quor7.h"

#ifdef __cplusplus
extern "C" {
#endif

q7id_t q7tools_get_little_endian_type(q7id_t type);
q7id_t q7tools_get_big_endian_type(q7id_t type);

#ifdef __cplusplus
}
#endif

#endif /* KIT_TYPEMAP_H */
