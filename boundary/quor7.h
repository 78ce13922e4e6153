/*
 * quor7.h - public interface of the Quor7 storage library (libquor7).
 *
 * Plain C, usable from C and C++.  Every identifier is a signed 64-bit
 * handle (negative on failure); every status is a signed 32-bit value
 * (negative on failure).  0 in the place of a property list or an error
 * stack means the default one; 0 in the place of a dataspace argument of a
 * read or write means "the whole extent".
 */
#ifndef QUOR7_H
#define QUOR7_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Basic types                                                         */
/* ------------------------------------------------------------------ */

typedef int64_t  q7id_t;      /* identifier of any library object      */
typedef int32_t  q7status_t;  /* negative on failure                   */
typedef int32_t  q7tri_t;     /* positive true, 0 false, negative error */
typedef uint64_t q7addr_t;    /* object address inside a file          */
typedef uint64_t q7size_t;    /* sizes, dimensions, offsets            */
typedef int64_t  q7ssize_t;
typedef int32_t  q7filter_t;  /* filter identifier in a pipeline       */

#define Q7_ADDR_UNDEF ((q7addr_t)UINT64_MAX)
#define Q7S_UNLIMITED ((q7size_t)UINT64_MAX)
#define Q7_MAX_RANK   32

#define Q7_VERS_MAJOR   1
#define Q7_VERS_MINOR   10
#define Q7_VERS_RELEASE 4

/* ------------------------------------------------------------------ */
/* Library                                                             */
/* ------------------------------------------------------------------ */

/* Idempotent start-up; afterwards every predefined identifier is valid. */
q7status_t Q7open(void);
/* Closes every open identifier and unloads plug-ins. Q7open may follow. */
q7status_t Q7close(void);
/* Warns on standard error and returns a negative status on a mismatch. */
q7status_t Q7check_version(unsigned majnum, unsigned minnum, unsigned relnum);
q7status_t Q7get_libversion(unsigned *majnum, unsigned *minnum, unsigned *relnum);
/* malloc-compatible allocator; every buffer handed to a filter comes from
 * here and may be released by Q7free_memory (or free()). */
void      *Q7allocate_memory(size_t size, int clear);
q7status_t Q7free_memory(void *mem);

/* ------------------------------------------------------------------ */
/* Identifiers                                                         */
/* ------------------------------------------------------------------ */

typedef enum Q7I_type_t {
    Q7I_BADID       = -1,
    Q7I_FILE        = 1,
    Q7I_GROUP       = 2,
    Q7I_DATATYPE    = 3,
    Q7I_DATASPACE   = 4,
    Q7I_DATASET     = 5,
    Q7I_ATTR        = 6,
    Q7I_GENPROP_CLS = 7,
    Q7I_GENPROP_LST = 8,
    Q7I_ERROR_CLASS = 9,
    Q7I_ERROR_MSG   = 10,
    Q7I_ERROR_STACK = 11
} Q7I_type_t;

Q7I_type_t Q7Iget_type(q7id_t id);
q7tri_t    Q7Iis_valid(q7id_t id);
/* Path of an object identifier (group, dataset); length of the name. */
q7ssize_t  Q7Iget_name(q7id_t id, char *name, size_t size);
/* File identifier that an object identifier lives in (a new reference). */
q7id_t     Q7Iget_file_id(q7id_t id);

/* ------------------------------------------------------------------ */
/* Error stacks                                                        */
/* ------------------------------------------------------------------ */

typedef enum Q7E_type_t { Q7E_MAJOR = 0, Q7E_MINOR = 1 } Q7E_type_t;
typedef enum Q7E_direction_t { Q7E_WALK_UPWARD = 0, Q7E_WALK_DOWNWARD = 1 } Q7E_direction_t;

/* One error record: the eight values given to Q7Epush2. */
typedef struct Q7E_error2_t {
    q7id_t      cls_id;     /* error class                       */
    q7id_t      maj_num;    /* major error message               */
    q7id_t      min_num;    /* minor error message               */
    unsigned    line;       /* source line of the push            */
    const char *func_name;  /* function that pushed               */
    const char *file_name;  /* source file (module) that pushed   */
    const char *desc;       /* formatted message                  */
    q7id_t      stack_id;   /* stack the record lives on (0: default) */
} Q7E_error2_t;

typedef q7status_t (*Q7E_auto1_t)(void *client_data);
typedef q7status_t (*Q7E_auto2_t)(q7id_t estack, void *client_data);
typedef q7status_t (*Q7E_walk2_t)(unsigned n, const Q7E_error2_t *err, void *client_data);

q7status_t Q7Epush2(q7id_t err_stack, const char *file, const char *func, unsigned line,
                    q7id_t cls_id, q7id_t maj_id, q7id_t min_id, const char *msg, ...);
q7id_t     Q7Eregister_class(const char *cls_name, const char *lib_name, const char *version);
q7status_t Q7Eunregister_class(q7id_t cls_id);
q7id_t     Q7Ecreate_msg(q7id_t cls_id, Q7E_type_t msg_type, const char *msg);
q7status_t Q7Eclose_msg(q7id_t msg_id);
q7ssize_t  Q7Eget_msg(q7id_t msg_id, Q7E_type_t *type, char *msg, size_t size);
q7id_t     Q7Ecreate_stack(void);
q7status_t Q7Eclose_stack(q7id_t stack_id);
q7ssize_t  Q7Eget_num(q7id_t stack_id);
q7status_t Q7Eclear2(q7id_t stack_id);
q7status_t Q7Eprint2(q7id_t stack_id, FILE *stream);
q7status_t Q7Ewalk2(q7id_t stack_id, Q7E_direction_t direction, Q7E_walk2_t func, void *client_data);
q7status_t Q7Eauto_is_v2(q7id_t stack_id, unsigned *is_stack);
q7status_t Q7Eget_auto2(q7id_t stack_id, Q7E_auto2_t *func, void **client_data);
q7status_t Q7Eset_auto2(q7id_t stack_id, Q7E_auto2_t func, void *client_data);
q7status_t Q7Eget_auto1(Q7E_auto1_t *func, void **client_data);
q7status_t Q7Eset_auto1(Q7E_auto1_t func, void *client_data);
/* The library's default version-2 handler: prints the stack to the
 * FILE* given as client data (standard error when null). */
q7status_t Q7Eprint_auto2(q7id_t stack_id, void *stream);

/* The library's error class and its messages (valid after Q7open). */
extern q7id_t Q7E_ERR_CLS_g;
/* major messages */
extern q7id_t Q7E_ARGS_g;        /* invalid arguments           */
extern q7id_t Q7E_RESOURCE_g;    /* resource unavailable        */
extern q7id_t Q7E_FILE_g;        /* file accessibility          */
extern q7id_t Q7E_IO_g;          /* low-level I/O               */
extern q7id_t Q7E_DATASET_g;
extern q7id_t Q7E_DATATYPE_g;
extern q7id_t Q7E_DATASPACE_g;
extern q7id_t Q7E_PLIST_g;
extern q7id_t Q7E_LINK_g;
extern q7id_t Q7E_SYM_g;         /* symbol table / groups       */
extern q7id_t Q7E_ATTR_g;
extern q7id_t Q7E_PLINE_g;       /* data filters pipeline       */
extern q7id_t Q7E_PLUGIN_g;
extern q7id_t Q7E_ERROR_g;       /* error API                   */
extern q7id_t Q7E_ID_g;          /* identifiers                 */
extern q7id_t Q7E_SLIST_g;       /* skip lists                  */
extern q7id_t Q7E_FUNC_g;        /* function entry / library    */
/* minor messages */
extern q7id_t Q7E_BADVALUE_g;
extern q7id_t Q7E_BADTYPE_g;
extern q7id_t Q7E_BADRANGE_g;
extern q7id_t Q7E_BADID_g;
extern q7id_t Q7E_NOSPACE_g;     /* no memory                   */
extern q7id_t Q7E_CANTOPENFILE_g;
extern q7id_t Q7E_CANTCREATE_g;
extern q7id_t Q7E_CANTCLOSEFILE_g;
extern q7id_t Q7E_NOTQUOR7_g;    /* not a Quor7 file            */
extern q7id_t Q7E_EXISTS_g;
extern q7id_t Q7E_NOTFOUND_g;
extern q7id_t Q7E_READERROR_g;
extern q7id_t Q7E_WRITEERROR_g;
extern q7id_t Q7E_CANTCONVERT_g;
extern q7id_t Q7E_UNSUPPORTED_g;
extern q7id_t Q7E_CANTINIT_g;
extern q7id_t Q7E_CANTLOAD_g;
extern q7id_t Q7E_CALLBACK_g;
extern q7id_t Q7E_CANTFILTER_g;
extern q7id_t Q7E_NOFILTER_g;
extern q7id_t Q7E_VERSION_g;
extern q7id_t Q7E_CANTINSERT_g;

/* ------------------------------------------------------------------ */
/* Datatypes                                                           */
/* ------------------------------------------------------------------ */

typedef enum Q7T_class_t {
    Q7T_NO_CLASS = -1,
    Q7T_INTEGER  = 0,
    Q7T_FLOAT    = 1,
    Q7T_TIME     = 2,
    Q7T_STRING   = 3,
    Q7T_BITFIELD = 4,
    Q7T_OPAQUE   = 5,
    Q7T_COMPOUND = 6
} Q7T_class_t;

typedef enum Q7T_sign_t { Q7T_SGN_ERROR = -1, Q7T_SGN_NONE = 0, Q7T_SGN_2 = 1 } Q7T_sign_t;
typedef enum Q7T_order_t { Q7T_ORDER_ERROR = -1, Q7T_ORDER_LE = 0, Q7T_ORDER_BE = 1, Q7T_ORDER_NONE = 2 } Q7T_order_t;

/* Class code as a plain 32-bit integer (Q7T_class_t values). */
int32_t    Q7Tget_class(q7id_t type_id);
size_t     Q7Tget_size(q7id_t type_id);            /* 0 on failure */
int32_t    Q7Tget_sign(q7id_t type_id);            /* Q7T_sign_t   */
int32_t    Q7Tget_order(q7id_t type_id);           /* Q7T_order_t  */
q7id_t     Q7Tcopy(q7id_t type_id);
/* New opaque (5), compound (6) or string (3) type of the given size. */
q7id_t     Q7Tcreate(int32_t type_class, size_t size);
q7status_t Q7Tinsert(q7id_t parent_id, const char *name, size_t offset, q7id_t member_id);
q7status_t Q7Tset_size(q7id_t type_id, size_t size);
q7status_t Q7Tset_order(q7id_t type_id, int32_t order);
q7tri_t    Q7Tequal(q7id_t type1_id, q7id_t type2_id);
int32_t    Q7Tget_nmembers(q7id_t type_id);        /* compound members */
/* Name of member idx, allocated with Q7allocate_memory; caller frees. */
char      *Q7Tget_member_name(q7id_t type_id, unsigned idx);
size_t     Q7Tget_member_offset(q7id_t type_id, unsigned idx);
q7id_t     Q7Tget_member_type(q7id_t type_id, unsigned idx);
q7status_t Q7Tclose(q7id_t type_id);

/* Predefined datatypes (valid after Q7open; cannot be closed or changed). */
extern q7id_t Q7T_NATIVE_SCHAR_g, Q7T_NATIVE_UCHAR_g, Q7T_NATIVE_SHORT_g, Q7T_NATIVE_USHORT_g;
extern q7id_t Q7T_NATIVE_INT_g, Q7T_NATIVE_UINT_g, Q7T_NATIVE_LONG_g, Q7T_NATIVE_ULONG_g;
extern q7id_t Q7T_NATIVE_LLONG_g, Q7T_NATIVE_ULLONG_g, Q7T_NATIVE_FLOAT_g, Q7T_NATIVE_DOUBLE_g;
extern q7id_t Q7T_NATIVE_INT8_g, Q7T_NATIVE_UINT8_g, Q7T_NATIVE_INT16_g, Q7T_NATIVE_UINT16_g;
extern q7id_t Q7T_NATIVE_INT32_g, Q7T_NATIVE_UINT32_g, Q7T_NATIVE_INT64_g, Q7T_NATIVE_UINT64_g;
extern q7id_t Q7T_NATIVE_B8_g, Q7T_NATIVE_B16_g, Q7T_NATIVE_B32_g, Q7T_NATIVE_B64_g;
extern q7id_t Q7T_STD_I8LE_g, Q7T_STD_I16LE_g, Q7T_STD_I32LE_g, Q7T_STD_I64LE_g;
extern q7id_t Q7T_STD_I8BE_g, Q7T_STD_I16BE_g, Q7T_STD_I32BE_g, Q7T_STD_I64BE_g;
extern q7id_t Q7T_STD_U8LE_g, Q7T_STD_U16LE_g, Q7T_STD_U32LE_g, Q7T_STD_U64LE_g;
extern q7id_t Q7T_STD_U8BE_g, Q7T_STD_U16BE_g, Q7T_STD_U32BE_g, Q7T_STD_U64BE_g;
extern q7id_t Q7T_STD_B8LE_g, Q7T_STD_B16LE_g, Q7T_STD_B32LE_g, Q7T_STD_B64LE_g;
extern q7id_t Q7T_STD_B8BE_g, Q7T_STD_B16BE_g, Q7T_STD_B32BE_g, Q7T_STD_B64BE_g;
extern q7id_t Q7T_IEEE_F32LE_g, Q7T_IEEE_F64LE_g, Q7T_IEEE_F32BE_g, Q7T_IEEE_F64BE_g;
extern q7id_t Q7T_C_S1_g;        /* one-byte fixed-length string */

/* ------------------------------------------------------------------ */
/* Dataspaces and selections                                           */
/* ------------------------------------------------------------------ */

typedef enum Q7S_seloper_t { Q7S_SELECT_SET = 0, Q7S_SELECT_OR = 1 } Q7S_seloper_t;
#define Q7S_ALL ((q7id_t)0)

/* maxdims null: same as dims; an entry Q7S_UNLIMITED: no bound. */
q7id_t     Q7Screate_simple(int rank, const q7size_t *dims, const q7size_t *maxdims);
q7id_t     Q7Scopy(q7id_t space_id);
/* stride and block may be null (1 each). */
q7status_t Q7Sselect_hyperslab(q7id_t space_id, int32_t op, const q7size_t *start,
                               const q7size_t *stride, const q7size_t *count, const q7size_t *block);
q7status_t Q7Sselect_all(q7id_t space_id);
q7status_t Q7Sselect_none(q7id_t space_id);
int        Q7Sget_simple_extent_ndims(q7id_t space_id);
int        Q7Sget_simple_extent_dims(q7id_t space_id, q7size_t *dims, q7size_t *maxdims);
q7ssize_t  Q7Sget_simple_extent_npoints(q7id_t space_id);
q7ssize_t  Q7Sget_select_npoints(q7id_t space_id);
q7status_t Q7Sclose(q7id_t space_id);

/* ------------------------------------------------------------------ */
/* Property lists                                                      */
/* ------------------------------------------------------------------ */

extern q7id_t Q7P_CLS_FILE_CREATE_ID_g;
extern q7id_t Q7P_CLS_FILE_ACCESS_ID_g;
extern q7id_t Q7P_CLS_DATASET_CREATE_ID_g;
extern q7id_t Q7P_CLS_DATASET_ACCESS_ID_g;
extern q7id_t Q7P_CLS_DATASET_XFER_ID_g;
extern q7id_t Q7P_CLS_GROUP_CREATE_ID_g;
extern q7id_t Q7P_CLS_LINK_CREATE_ID_g;
extern q7id_t Q7P_CLS_LINK_ACCESS_ID_g;

#define Q7Z_FLAG_MANDATORY 0x0000u
#define Q7Z_FLAG_OPTIONAL  0x0001u
#define Q7Z_FLAG_REVERSE   0x0100u

q7id_t     Q7Pcreate(q7id_t cls_id);
q7id_t     Q7Pcopy(q7id_t plist_id);
q7id_t     Q7Pget_class(q7id_t plist_id);
q7status_t Q7Pset_chunk(q7id_t plist_id, int ndims, const q7size_t *dims);
int        Q7Pget_chunk(q7id_t plist_id, int max_ndims, q7size_t *dims); /* rank, or 0 if contiguous */
q7status_t Q7Pset_filter(q7id_t plist_id, q7filter_t filter, unsigned flags,
                         size_t cd_nelmts, const unsigned cd_values[]);
int        Q7Pget_nfilters(q7id_t plist_id);
/* Filter at index idx: its identifier; flags, cd_nelmts (in: room in
 * cd_values, out: count stored), cd_values, name (namelen bytes) and
 * filter_config may each be null. */
q7filter_t Q7Pget_filter2(q7id_t plist_id, unsigned idx, unsigned *flags, size_t *cd_nelmts,
                          unsigned cd_values[], size_t namelen, char name[], unsigned *filter_config);
q7status_t Q7Pclose(q7id_t plist_id);
/* Dataset creation: the value of elements never written (default zero),
 * one element of type_id; value null restores the default.  The getter
 * converts it to type_id (zeros when none was set). */
q7status_t Q7Pset_fill_value(q7id_t plist_id, q7id_t type_id, const void *value);
q7status_t Q7Pget_fill_value(q7id_t plist_id, q7id_t type_id, void *value);
/* File access: sync 1 (the default) makes every commit wait until the disk
 * holds it, so a commit that returned survives a power cut; sync 0 skips
 * the syncs, for scratch files: still safe against a killed process, not
 * against power loss (see docs/robustness.md). */
q7status_t Q7Pset_fapl_sync(q7id_t fapl_id, int sync);
q7status_t Q7Pget_fapl_sync(q7id_t fapl_id, int *sync);
/* Dataset access: bytes of decoded chunks an open dataset keeps, so that
 * a chunk read piece by piece is decoded once (0 turns the cache off;
 * Q7D_CHUNK_CACHE_DEFAULT, 32 MiB, is the default).  The cache never holds
 * anything older than the file: a write, an undone call or another
 * process's commit empties it.  A read larger than the cache decodes the
 * chunks it takes whole, each one run of its buffer, straight into the
 * buffer, and does not keep them. */
#define Q7D_CHUNK_CACHE_DEFAULT ((size_t)-1)
q7status_t Q7Pset_chunk_cache(q7id_t dapl_id, size_t nbytes);
q7status_t Q7Pget_chunk_cache(q7id_t dapl_id, size_t *nbytes);
/* Transfer: threads that run the filter pipeline of one Q7Dread or
 * Q7Dwrite spanning several chunks, the calling thread included.  0 (the
 * default) takes QUOR7_NUM_THREADS from the environment, else the number
 * of cores; 1 runs every filter on the calling thread.  The bytes stored
 * are the same for any count.  With more than one thread and the chunk
 * cache on, reads that go through a dataset's chunks in order also have
 * the next chunks decoded into the cache by worker threads, after the
 * call returns (docs/performance.md); the workers stop at Q7close. */
#define Q7_MAX_THREADS 256
q7status_t Q7Pset_nthreads(q7id_t dxpl_id, int nthreads);
q7status_t Q7Pget_nthreads(q7id_t dxpl_id, int *nthreads);
/* Transfer: a file dataspace whose extent is not the dataset's.  With 0
 * (the default) the selection keeps its coordinates in the dataset's
 * extent, and the call fails only where it no longer fits.  With 1 the
 * call fails and moves nothing: for a caller that made the selection in
 * an extent it remembered, and selects again on failure (the extent may
 * have changed in another process), instead of asking for the extent
 * before every call. */
q7status_t Q7Pset_same_extent(q7id_t dxpl_id, int same);
q7status_t Q7Pget_same_extent(q7id_t dxpl_id, int *same);

/* ------------------------------------------------------------------ */
/* Files                                                               */
/* ------------------------------------------------------------------ */

#define Q7F_ACC_RDONLY    0x0000u
#define Q7F_ACC_RDWR      0x0001u
#define Q7F_ACC_TRUNC     0x0002u  /* create anew, replacing an existing file */
#define Q7F_ACC_EXCL      0x0004u  /* fail if the file exists */
#define Q7F_ACC_CONCURRENT_WRITE 0x0020u /* writing, with concurrent readers in other processes */
#define Q7F_ACC_CONCURRENT_READ 0x0040u  /* read-only, concurrent with one writer */

#define Q7F_NUM_METADATA_READ_RETRY_TYPES 21
typedef struct Q7F_retry_info_t {
    unsigned  nbins;
    uint32_t *retries[Q7F_NUM_METADATA_READ_RETRY_TYPES];
} Q7F_retry_info_t;

q7id_t     Q7Fcreate(const char *filename, unsigned flags, q7id_t fcpl_id, q7id_t fapl_id);
q7id_t     Q7Fopen(const char *filename, unsigned flags, q7id_t fapl_id);
q7status_t Q7Fflush(q7id_t object_id);
q7status_t Q7Fclose(q7id_t file_id);
q7tri_t    Q7Fis_accessible(const char *filename, q7id_t fapl_id);
/* Removes a Quor7 file that is not open, with the journal, log and index
 * that may lie beside it, and syncs the directory.  A file that does not
 * exist is no failure. */
q7status_t Q7Fdelete(const char *filename);
/* Moves a closed Quor7 file to a new name, replacing any file there: the
 * file's contents reach the disk before the move and the directory's
 * after it, so that after a power cut the new name holds the earlier file
 * or the complete new one. */
q7status_t Q7Frename(const char *from, const char *to);
q7ssize_t  Q7Fget_name(q7id_t obj_id, char *name, size_t size);
q7status_t Q7Fget_metadata_read_retry_info(q7id_t file_id, Q7F_retry_info_t *info);

/* ------------------------------------------------------------------ */
/* Groups, links, objects                                              */
/* ------------------------------------------------------------------ */

typedef enum Q7L_type_t {
    Q7L_TYPE_ERROR    = -1,
    Q7L_TYPE_HARD     = 0,
    Q7L_TYPE_SOFT     = 1,
    Q7L_TYPE_EXTERNAL = 64
} Q7L_type_t;

typedef struct Q7L_info_t {
    int32_t  type;      /* Q7L_type_t: first field */
    int32_t  cset;
    q7addr_t address;   /* hard links: the target's address */
    size_t   val_size;  /* soft/external links: size of the link value */
} Q7L_info_t;

typedef q7status_t (*Q7L_iterate_t)(q7id_t group, const char *name, const Q7L_info_t *info,
                                    void *op_data);

typedef enum Q7O_type_t {
    Q7O_TYPE_UNKNOWN        = -1,
    Q7O_TYPE_GROUP          = 0,
    Q7O_TYPE_DATASET        = 1,
    Q7O_TYPE_NAMED_DATATYPE = 2
} Q7O_type_t;

#define Q7O_INFO_BASIC 0x0001u
#define Q7O_INFO_ALL   0x001Fu

typedef struct Q7O_info2_t {
    q7addr_t addr;       /* object address: first field */
    int32_t  type;       /* Q7O_type_t */
    uint32_t rc;         /* number of hard links to the object */
    uint64_t fileno;     /* identifies the file the object lives in */
    int32_t  num_attrs;
} Q7O_info2_t;

q7id_t     Q7Gcreate2(q7id_t loc_id, const char *name, q7id_t lcpl_id, q7id_t gcpl_id, q7id_t gapl_id);
q7id_t     Q7Gopen2(q7id_t loc_id, const char *name, q7id_t gapl_id);
q7status_t Q7Gclose(q7id_t group_id);

q7status_t Q7Lcreate_hard(q7id_t cur_loc, const char *cur_name, q7id_t dst_loc, const char *dst_name,
                          q7id_t lcpl_id, q7id_t lapl_id);
q7status_t Q7Lcreate_soft(const char *target_path, q7id_t link_loc_id, const char *link_name,
                          q7id_t lcpl_id, q7id_t lapl_id);
q7status_t Q7Lcreate_external(const char *file_name, const char *obj_name, q7id_t link_loc_id,
                              const char *link_name, q7id_t lcpl_id, q7id_t lapl_id);
q7status_t Q7Ldelete(q7id_t loc_id, const char *name, q7id_t lapl_id);
q7tri_t    Q7Lexists(q7id_t loc_id, const char *name, q7id_t lapl_id);
q7status_t Q7Lget_info(q7id_t loc_id, const char *name, Q7L_info_t *linfo, q7id_t lapl_id);
/* Soft link: the target path.  External link: "file\0object\0". */
q7status_t Q7Lget_val(q7id_t loc_id, const char *name, void *buf, size_t size, q7id_t lapl_id);
q7status_t Q7Lunpack_elink_val(const void *ext_linkval, size_t link_size, unsigned *flags,
                               const char **filename, const char **obj_path);
/* Visits the links of a group in name (byte) order, from *idx on (null:
 * from 0); stops at the first non-zero callback result and returns it. */
q7status_t Q7Literate2(q7id_t group_id, q7size_t *idx, Q7L_iterate_t op, void *op_data);

q7id_t     Q7Oopen(q7id_t loc_id, const char *name, q7id_t lapl_id);
q7status_t Q7Oclose(q7id_t object_id);
q7status_t Q7Oget_info2(q7id_t loc_id, Q7O_info2_t *oinfo, unsigned fields);
q7status_t Q7Oget_info_by_name2(q7id_t loc_id, const char *name, Q7O_info2_t *oinfo, unsigned fields,
                                q7id_t lapl_id);

/* ------------------------------------------------------------------ */
/* Attributes (small values attached to groups and datasets)            */
/* ------------------------------------------------------------------ */

typedef q7status_t (*Q7A_operator_t)(q7id_t location_id, const char *attr_name, void *op_data);

q7id_t     Q7Acreate2(q7id_t loc_id, const char *attr_name, q7id_t type_id, q7id_t space_id,
                      q7id_t acpl_id, q7id_t aapl_id);
q7id_t     Q7Aopen(q7id_t obj_id, const char *attr_name, q7id_t aapl_id);
q7status_t Q7Awrite(q7id_t attr_id, q7id_t mem_type_id, const void *buf);
q7status_t Q7Aread(q7id_t attr_id, q7id_t mem_type_id, void *buf);
q7id_t     Q7Aget_space(q7id_t attr_id);
q7id_t     Q7Aget_type(q7id_t attr_id);
q7tri_t    Q7Aexists(q7id_t obj_id, const char *attr_name);
q7status_t Q7Adelete(q7id_t loc_id, const char *attr_name);
/* Visits the attributes of an object in name order. */
q7status_t Q7Aiterate2(q7id_t loc_id, q7size_t *idx, Q7A_operator_t op, void *op_data);
q7status_t Q7Aclose(q7id_t attr_id);

/* ------------------------------------------------------------------ */
/* Datasets                                                            */
/* ------------------------------------------------------------------ */

q7id_t     Q7Dcreate2(q7id_t loc_id, const char *name, q7id_t type_id, q7id_t space_id,
                      q7id_t lcpl_id, q7id_t dcpl_id, q7id_t dapl_id);
q7id_t     Q7Dopen2(q7id_t loc_id, const char *name, q7id_t dapl_id);
q7status_t Q7Dwrite(q7id_t dset_id, q7id_t mem_type_id, q7id_t mem_space_id, q7id_t file_space_id,
                    q7id_t dxpl_id, const void *buf);
q7status_t Q7Dread(q7id_t dset_id, q7id_t mem_type_id, q7id_t mem_space_id, q7id_t file_space_id,
                   q7id_t dxpl_id, void *buf);
q7id_t     Q7Dget_space(q7id_t dset_id);
q7id_t     Q7Dget_type(q7id_t dset_id);
q7id_t     Q7Dget_create_plist(q7id_t dset_id);
q7status_t Q7Dset_extent(q7id_t dset_id, const q7size_t size[]);
/* Re-reads the dataset's shape from the file (readers of a growing file). */
q7status_t Q7Drefresh(q7id_t dset_id);
/* Direct chunk I/O: bytes and filter mask stored and returned as they are. */
q7status_t Q7Dwrite_chunk(q7id_t dset_id, q7id_t dxpl_id, uint32_t filter_mask, const q7size_t *offset,
                          size_t data_size, const void *buf);
q7status_t Q7Dread_chunk(q7id_t dset_id, q7id_t dxpl_id, const q7size_t *offset, uint32_t *filter_mask,
                         void *buf);
q7status_t Q7Dget_chunk_storage_size(q7id_t dset_id, const q7size_t *offset, q7size_t *chunk_nbytes);
/* Number of chunks stored, and the offset (in elements) of stored chunk i
 * in the dataset's own order. */
q7status_t Q7Dget_num_chunks(q7id_t dset_id, q7size_t *nchunks);
q7status_t Q7Dget_chunk_info(q7id_t dset_id, q7size_t index, q7size_t *offset, uint32_t *filter_mask,
                             q7size_t *size);
/* Bytes the dataset's data takes in the file as stored (after its filters):
 * the sum of its stored chunks, or segments of a contiguous dataset; 0 when
 * nothing is stored, and 0 with an error record on failure. */
q7size_t   Q7Dget_storage_size(q7id_t dset_id);
q7status_t Q7Dclose(q7id_t dset_id);

/* ------------------------------------------------------------------ */
/* Filters and plug-ins                                                */
/* ------------------------------------------------------------------ */

#define Q7Z_FILTER_ERROR       (-1)
#define Q7Z_FILTER_NONE        0
#define Q7Z_FILTER_DEFLATE     1
#define Q7Z_FILTER_SHUFFLE     2
#define Q7Z_FILTER_FLETCHER32  3
#define Q7Z_FILTER_SZIP        4
#define Q7Z_FILTER_NBIT        5
#define Q7Z_FILTER_SCALEOFFSET 6
#define Q7Z_FILTER_ZSTD        10   /* client data: level (two's complement), default 3 */
#define Q7Z_FILTER_LZ4         11   /* client data: acceleration, default 1 */
#define Q7Z_FILTER_BITSHUFFLE  12   /* client data: element size, block elements (from the type) */
#define Q7Z_FILTER_RESERVED    256  /* identifiers from here on are plug-in filters */
#define Q7Z_FILTER_MAX         65535

#define Q7Z_CLASS_T_VERS 1

/* Filter callback: transforms *buffer in the forward direction (reverse
 * flag clear) or undoes it (Q7Z_FLAG_REVERSE set).  Returns the number of
 * valid bytes in *buffer after the call, 0 on failure. */
typedef uint64_t (*Q7Z_func_t)(uint32_t flags, uint64_t client_data_count, const uint32_t *client_data,
                               uint64_t valid_bytes, uint64_t *buffer_size, void **buffer);
typedef q7tri_t (*Q7Z_can_apply_func_t)(q7id_t dcpl_id, q7id_t type_id, q7id_t space_id);
typedef q7status_t (*Q7Z_set_local_func_t)(q7id_t dcpl_id, q7id_t type_id, q7id_t space_id);

/* Filter class record: 48 bytes, every field at its natural alignment. */
typedef struct Q7Z_class2_t {
    int32_t              version;          /* 0: Q7Z_CLASS_T_VERS        */
    q7filter_t           id;               /* 4                           */
    uint32_t             encoder_present;  /* 8                           */
    uint32_t             decoder_present;  /* 12                          */
    const char          *name;             /* 16                          */
    Q7Z_can_apply_func_t can_apply;        /* 24                          */
    Q7Z_set_local_func_t set_local;        /* 32                          */
    Q7Z_func_t           filter;           /* 40                          */
} Q7Z_class2_t;

#ifdef __cplusplus
static_assert(sizeof(Q7Z_class2_t) == 48, "filter class record is 48 bytes");
static_assert(offsetof(Q7Z_class2_t, name) == 16, "name at 16");
static_assert(offsetof(Q7Z_class2_t, filter) == 40, "filter at 40");
#else
_Static_assert(sizeof(Q7Z_class2_t) == 48, "filter class record is 48 bytes");
_Static_assert(offsetof(Q7Z_class2_t, id) == 4, "id at 4");
_Static_assert(offsetof(Q7Z_class2_t, encoder_present) == 8, "encoder at 8");
_Static_assert(offsetof(Q7Z_class2_t, decoder_present) == 12, "decoder at 12");
_Static_assert(offsetof(Q7Z_class2_t, name) == 16, "name at 16");
_Static_assert(offsetof(Q7Z_class2_t, can_apply) == 24, "can_apply at 24");
_Static_assert(offsetof(Q7Z_class2_t, set_local) == 32, "set_local at 32");
_Static_assert(offsetof(Q7Z_class2_t, filter) == 40, "filter at 40");
#endif

/* Marks the three symbols a plug-in exports (plug-ins build with hidden
 * visibility, so nothing else leaves the shared library). */
#define Q7PL_EXPORT __attribute__((visibility("default")))

/* Plug-in types */
typedef enum Q7PL_type_t { Q7PL_TYPE_ERROR = -1, Q7PL_TYPE_FILTER = 0 } Q7PL_type_t;

/* What every plug-in exports. */
typedef int32_t (*Q7PL_get_plugin_type_t)(void);
typedef const void *(*Q7PL_get_plugin_info_t)(void);

q7tri_t    Q7Zfilter_avail(q7filter_t id);
/* Registers a filter class in this process (the record is copied). */
q7status_t Q7Zregister(const void *cls);
q7status_t Q7Zunregister(q7filter_t id);
/* Name of an available filter (copied into name); negative if unavailable. */
q7ssize_t  Q7Zget_filter_name(q7filter_t id, char *name, size_t size);
/* The library's one table of built-in filters ("deflate" or "gzip",
 * "shuffle", "fletcher32", "zstd", "lz4", "bitshuffle"):
 * Q7Zfilter_by_name gives the identifier of a built-in name, or
 * Q7Z_FILTER_ERROR with a record; Q7Zbuiltin_filter_name copies the name of
 * a built-in identifier and returns its length, 0 (and "") for an
 * identifier that is not built in; Q7Zget_filter_defaults copies up to
 * max_values of the client data written out when none is given and
 * returns how many there are, negative for a filter not built in. */
q7filter_t Q7Zfilter_by_name(const char *name);
q7ssize_t  Q7Zbuiltin_filter_name(q7filter_t id, char *name, size_t size);
int        Q7Zget_filter_defaults(q7filter_t id, size_t max_values, unsigned *values);

/* Plug-in search path: colon-separated directories, searched in order.
 * Defaults to QUOR7_PLUGIN_PATH, or the installed plug-in directory. */
q7status_t Q7PLset_search_path(const char *colon_separated_dirs);
q7ssize_t  Q7PLget_search_path(char *buf, size_t size);

/* ------------------------------------------------------------------ */
/* Skip lists                                                          */
/* ------------------------------------------------------------------ */

typedef struct Q7SL_t Q7SL_t;
typedef enum Q7SL_type_t {
    Q7SL_TYPE_GENERIC = 0,  /* keys compared with the given function */
    Q7SL_TYPE_HADDR   = 1,  /* keys point to q7addr_t */
    Q7SL_TYPE_STR     = 2,  /* keys are NUL-terminated strings */
    Q7SL_TYPE_INT64   = 3   /* keys point to int64_t */
} Q7SL_type_t;
typedef int (*Q7SL_cmp_t)(const void *key1, const void *key2);
typedef q7status_t (*Q7SL_operator_t)(void *item, void *key, void *op_data);

Q7SL_t    *Q7SL_create(int32_t key_type, Q7SL_cmp_t cmp);
/* Fails (negative) when the key is already present. */
q7status_t Q7SL_insert(Q7SL_t *slist, void *item, const void *key);
void      *Q7SL_search(Q7SL_t *slist, const void *key);
void      *Q7SL_remove(Q7SL_t *slist, const void *key);
size_t     Q7SL_count(Q7SL_t *slist);
/* Visits items in key order; stops at a non-zero result and returns it. */
q7status_t Q7SL_iterate(Q7SL_t *slist, Q7SL_operator_t op, void *op_data);
/* Calls op (when not null) once per item, then releases the list. */
q7status_t Q7SL_destroy(Q7SL_t *slist, Q7SL_operator_t op, void *op_data);

/* ------------------------------------------------------------------ */
/* Portability                                                         */
/* ------------------------------------------------------------------ */

int  QRfprintf(FILE *stream, const char *format, ...);
int  QRrand(void);           /* never negative */
void QRsrand(unsigned seed);

#ifdef __cplusplus
}
#endif

#endif /* QUOR7_H */
