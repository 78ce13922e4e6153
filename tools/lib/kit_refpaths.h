/*
 * kit_refpaths.h - names objects of a file by path from their address.
 *
 * One table per process maps object addresses to path names for the file
 * given to fill_ref_path_table.  The table is built lazily, by a single
 * walk of the file from "/", on the first lookup_ref_path or
 * ref_path_table_gen_fake; each object is recorded under the path of its
 * first visit.  A failed walk prints "unable to construct reference path
 * table", sets the tools status to 1 and keeps what was recorded so far;
 * the walk is not tried again for that table.
 *
 * Beside the table: ref_path_table_lookup reads a path's object address
 * straight from the file; ref_path_table_gen_fake gives a path an address
 * of its own, counted down from one below the undefined address, and
 * records it; get_next_xid hands out identifiers 1, 2, 3, ...
 *
 * Decisions about the table's life:
 *  - term_ref_path_table releases every entry and its path, and sets the
 *    table back to "not built": a later lookup_ref_path or
 *    ref_path_table_gen_fake builds a fresh table for the current file.
 *  - An entry that the table refuses (an address already present) is
 *    released together with its path copy at once, so nothing leaks; the
 *    entry already in the table stays.
 *  - lookup_ref_path never searches a table that does not exist: when no
 *    table could be built (no file set, file identifier 0, or the table
 *    could not be created) it returns null, its not-found result.
 *
 * Path strings returned by lookup_ref_path belong to the table: callers
 * neither change nor free them, and they stay valid until
 * term_ref_path_table.  The state is process-wide and unguarded: use the
 * module from one thread.
 */
#ifndef KIT_REFPATHS_H
#define KIT_REFPATHS_H

#include <stdint.h>

#include "quor7.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Next identifier that get_next_xid hands out (starts at 1). */
extern int32_t xid;
/* Next fake address that get_fake_xid hands out (starts at one below the
 * undefined address and goes down). */
extern q7addr_t fake_xid;

/* Records the file that the table describes; builds nothing.  Always 0. */
int32_t     fill_ref_path_table(q7id_t file);
/* Path recorded for an address, or null. */
const char *lookup_ref_path(q7addr_t address);
/* Object address that a path names in the current file, read from the
 * file; Q7_ADDR_UNDEF when the path is null, empty, missing, or its last
 * link is an external one. */
q7addr_t    ref_path_table_lookup(const char *path);
/* A new fake address, recorded in the table with a copy of the path. */
q7addr_t    ref_path_table_gen_fake(const char *path);
int32_t     get_next_xid(void);
q7addr_t    get_fake_xid(void);
/* Releases the table and all its entries.  Always 0. */
int32_t     term_ref_path_table(void);

#ifdef __cplusplus
}
#endif

#endif /* KIT_REFPATHS_H */
