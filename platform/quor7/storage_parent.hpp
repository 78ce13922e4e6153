// storage_parent.hpp - changing the links of a group named by a path whose
// last hops may lead, through external links, into another file.
#pragma once

#include "storage_internal.hpp"

#include <functional>
#include <string>

namespace q7::storage {

// What a creating or deleting call does to the group that holds the last
// component of its path: `parent` is that group, `t` the call's write
// transaction on its file (the only file written), `leaf` the last
// component.  Returns false with a record pushed to undo everything it
// wrote.
using ParentChange = std::function<bool(WriteTxn &t, const Loc &parent, const std::string &leaf)>;

// Resolves the group holding the last component of `path` from `from`
// and runs `change` on it inside the call's write transaction of the file
// that holds that group, which the call's frame ends (callers that make
// an identifier end it themselves first: txns.end_all()).  The group may
// lie in another file than `from` (reached through an external link); the
// path is then looked up again under that file's write transaction, taken
// once every transaction of the first lookup has ended, so that no two
// files are held for writing at once and the group cannot vanish between
// lookup and change.  False with a record pushed when the path does not
// lead to a group, a file on the way is read-only, or `change` fails.
bool change_in_parent(CallTxns &txns, const Loc &from, const char *path, const ParentChange &change);

} // namespace q7::storage
