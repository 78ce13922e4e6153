// storage_paths.hpp - what the modules of groups and links share: link rows
// and the statements on them (storage_objects.cpp), paths walked link by
// link (storage_paths.cpp), for the public calls of storage_links.cpp.
//
// Every helper that runs a statement takes the call's transaction on the
// file as its first argument: a ReadTxn to read, a WriteTxn to change.
// Walks that may cross files take the call's CallTxns and ask it for a
// read transaction of each file they enter.
//
// Lookups answer 1 found, 0 absent, -1 failed.  Absent means the row that
// a name or address asks for is truly not there; a lookup that could not
// tell (SQLite failed, memory ran out, a file on the way exists but does
// not open) fails, with a record of the real cause.
#pragma once

#include "storage_internal.hpp"

#include <string>
#include <utility>
#include <vector>

namespace q7::storage {

// One row of the `links` table.
struct LinkRow {
    int type = Q7L_TYPE_ERROR;
    int64_t target = 0;
    std::string value;  // soft: target path; external: "file\0object\0"
};

// ---------------------------------------------------------------------
// Rows (storage_objects.cpp)
// ---------------------------------------------------------------------

// Column i of the current row as bytes (a blob, or a text without its
// terminator; SQL NULL reads as nothing).  False with an "out of memory"
// record when SQLite could not produce the value: a damaged or empty value
// must not stand in for one that memory ran out reading.
bool column_bytes(const Stmt &s, int i, const void *&data, size_t &size);
bool column_string(const Stmt &s, int i, std::string &out);

// The link `name` of group `parent`.  0 absent (nothing pushed).
int lookup_link(ReadTxn &t, int64_t parent, const std::string &name, LinkRow &row);
// Every link of a group, in name order; false with a record.
bool list_links(ReadTxn &t, int64_t parent, std::vector<std::pair<std::string, LinkRow>> &out);
// Adds a soft or external link holding `value`; false with a record
// (also when the name is taken).
bool add_value_link(WriteTxn &t, int64_t parent, const std::string &name, int type, const std::string &value);
// Removes the link `name` of group `parent`, and with it whatever only it
// kept alive.  False with a record ("link ... not found" when absent).
bool delete_link(WriteTxn &t, const Loc &parent, const std::string &name);
// Lowers an object's link count; one that drops to 0 is deleted with
// everything it holds.
bool release_object(WriteTxn &t, int64_t addr);
// Kind, link count and number of attributes of the object at a location.
bool object_info(ReadTxn &t, const Loc &l, Q7O_info2_t *info);

// ---------------------------------------------------------------------
// Paths (storage_paths.cpp)
// ---------------------------------------------------------------------

// Finds the link that a path names, without following it.  A path with no
// last component ("/", ".") names the location itself, reached as a hard
// link.  When `report` is off, absence pushes nothing; failures always do.
int find_link(CallTxns &txns, const Loc &from, const char *path, LinkRow &row, bool report);
// False with a record when the file is open read-only.
bool file_is_writable(const Container &c);

} // namespace q7::storage
