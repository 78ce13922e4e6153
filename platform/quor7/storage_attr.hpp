// storage_attr.hpp - the rows of attributes (storage_attr_rows.cpp), for
// the public attribute calls of storage_attr.cpp, which hold no statement
// of their own.  Lookups answer 1 found, 0 absent, -1 failed (pushed).
#pragma once

#include "storage_internal.hpp"

#include <string>
#include <vector>

namespace q7::storage {

// Loads the description of attribute `name` of the object at l into a.
int load_attr(ReadTxn &t, const Loc &l, const char *name, AttrObj &a);
// Adds a's row, its value `bytes` zero bytes.
bool insert_attr(WriteTxn &t, const AttrObj &a, q7size_t bytes);
// Replaces a's stored value.
int write_attr_value(WriteTxn &t, const AttrObj &a, const void *value, size_t bytes);
// Copies a's stored value, which must be exactly `bytes` long, to buf.
int read_attr_value(ReadTxn &t, const AttrObj &a, void *buf, size_t bytes);
// Removes attribute `name` of the object at l.
int delete_attr(WriteTxn &t, const Loc &l, const char *name);
// The names of the attributes of the object at l, in name order.
bool list_attrs(ReadTxn &t, const Loc &l, std::vector<std::string> &names);

} // namespace q7::storage
