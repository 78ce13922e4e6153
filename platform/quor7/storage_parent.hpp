// storage_parent.hpp - changing the links of a group named by a path whose
// last hops may lead, through external links, into another file.
#pragma once

#include "storage_internal.hpp"

#include <functional>
#include <string>

namespace q7::storage {

// What a creating or deleting call does to the group that holds the last
// component of its path: `parent` is that group (its container is the file
// to write), `leaf` the last component.  Returns false with a record
// pushed to undo everything it wrote.
using ParentChange = std::function<bool(const Loc &parent, const std::string &leaf)>;

// Resolves the group holding the last component of `path` from `from`
// and runs `change` on it inside one write transaction of the file that
// holds that group, then commits.  The group may lie in another file than
// `from` (reached through an external link); every statement of `change`
// must then use parent.c, the only file written.  The path is looked up
// under that file's write transaction, so the group cannot vanish between
// lookup and change.  False with a record pushed when the path does not
// lead to a group, a file on the way is read-only, or `change` fails.
bool change_in_parent(const Loc &from, const char *path, const ParentChange &change);

} // namespace q7::storage
