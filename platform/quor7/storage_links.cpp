// storage_links.cpp - groups, links and objects: paths are walked link by
// link from the root or from a location; soft links name a path, external
// links a path in another file.
#include "storage_commit.hpp"
#include "storage_parent.hpp"

#include <sys/stat.h>

namespace q7::storage {

namespace {

constexpr int kMaxLinkDepth = 16;
// Lookups of a parent group in another file, should links on the way keep
// changing under a concurrent writer.
constexpr int kMaxParentLookups = 4;

struct LinkRow {
    int type = Q7L_TYPE_ERROR;
    int64_t target = 0;
    std::string value;  // soft: target path; external: "file\0object\0"
};

// 1 found, 0 absent, -1 error (pushed).
int lookup_link(Container &c, int64_t parent, const std::string &name, LinkRow &row) {
    Stmt s(c, "SELECT type, target, value FROM links WHERE parent = ? AND name = ?");
    if (!s) return -1;
    s.bind(1, parent);
    s.bind_text(2, name);
    int rc = s.step(RI_LINK);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    row.type = (int)s.col_int(0);
    row.target = s.col_int(1);
    row.value.assign((const char *)s.col_blob(2), s.col_bytes(2));
    return 1;
}

std::vector<std::string> split_path(const char *path) {
    std::vector<std::string> parts;
    std::string cur;
    for (const char *p = path; *p; ++p) {
        if (*p == '/') {
            if (!cur.empty() && cur != ".") parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty() && cur != ".") parts.push_back(cur);
    return parts;
}

bool split_elink(const std::string &v, std::string &file, std::string &obj) {
    size_t z1 = v.find('\0');
    if (z1 == std::string::npos) return false;
    size_t z2 = v.find('\0', z1 + 1);
    if (z2 == std::string::npos) return false;
    file = v.substr(0, z1);
    obj = v.substr(z1 + 1, z2 - z1 - 1);
    return true;
}

// Directory part of a file name, with a trailing slash, or "".
std::string dir_of(const std::string &name) {
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

bool resolve_at(const Loc &from, const char *path, Loc &out, int depth);

// Follows one link found in group `at` (whose path is at.path).
bool follow(const Loc &at, const std::string &name, const LinkRow &row, Loc &out, int depth) {
    if (depth >= kMaxLinkDepth) {
        Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "too many levels of links at %s", join_path(at.path, name).c_str());
        return false;
    }
    switch (row.type) {
    case Q7L_TYPE_HARD:
        out = Loc{at.c, row.target, join_path(at.path, name)};
        return true;
    case Q7L_TYPE_SOFT: {
        Loc dst;
        if (!resolve_at(at, row.value.c_str(), dst, depth + 1)) {
            Q7_PUSH(Q7E_LINK_g, Q7E_NOTFOUND_g, "soft link %s points to %s, which does not resolve",
                    join_path(at.path, name).c_str(), row.value.c_str());
            return false;
        }
        out = Loc{dst.c, dst.addr, join_path(at.path, name)};
        return true;
    }
    case Q7L_TYPE_EXTERNAL: {
        std::string file, obj;
        if (!split_elink(row.value, file, obj)) {
            Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "external link %s has a damaged value", join_path(at.path, name).c_str());
            return false;
        }
        // A relative file name is taken from the current directory first,
        // then from the directory of the file holding the link.
        std::string target = file;
        struct stat st;
        if (!file.empty() && file[0] != '/' && ::stat(file.c_str(), &st) != 0) {
            std::string beside = dir_of(at.c->name) + file;
            if (::stat(beside.c_str(), &st) == 0) target = beside;
        }
        auto c = open_container(target, at.c->writable ? Q7F_ACC_RDWR : Q7F_ACC_RDONLY, false);
        if (!c) {
            Q7_PUSH(Q7E_LINK_g, Q7E_NOTFOUND_g, "external link %s: cannot open %s", join_path(at.path, name).c_str(),
                    file.c_str());
            return false;
        }
        keep_linked(*at.c, c);
        Loc root{c, c->root, "/"};
        Loc dst;
        if (!resolve_at(root, obj.c_str(), dst, depth + 1)) return false;
        out = Loc{dst.c, dst.addr, join_path(at.path, name)};
        return true;
    }
    default:
        Q7_PUSH(Q7E_LINK_g, Q7E_BADTYPE_g, "link %s has unknown type %d", join_path(at.path, name).c_str(), row.type);
        return false;
    }
}

bool resolve_at(const Loc &from, const char *path, Loc &out, int depth) {
    if (!path || !*path) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "empty path");
        return false;
    }
    Loc cur = path[0] == '/' ? Loc{from.c, from.c->root, "/"} : from;
    for (const std::string &part : split_path(path)) {
        int kind = object_kind(*cur.c, cur.addr);
        if (kind < 0) return false;
        if (kind != OK_GROUP) {
            Q7_PUSH(Q7E_SYM_g, Q7E_BADTYPE_g, "%s is not a group (looking up %s)", cur.path.c_str(), path);
            return false;
        }
        LinkRow row;
        int found = lookup_link(*cur.c, cur.addr, part, row);
        if (found < 0) return false;
        if (found == 0) {
            Q7_PUSH(Q7E_SYM_g, Q7E_NOTFOUND_g, "object %s not found (looking up %s)", join_path(cur.path, part).c_str(),
                    path);
            return false;
        }
        Loc next;
        if (!follow(cur, part, row, next, depth)) return false;
        cur = next;
    }
    out = cur;
    return true;
}

bool writable(const Container &c) {
    if (c.writable) return true;
    Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", c.name.c_str());
    return false;
}

// Deletes objects whose link count has dropped to 0, with everything
// they hold.
bool release_object(Container &c, int64_t addr) {
    std::vector<int64_t> pending{addr};
    while (!pending.empty()) {
        int64_t a = pending.back();
        pending.pop_back();
        {
            Stmt s(c, "UPDATE objects SET nlinks = nlinks - 1 WHERE addr = ? RETURNING nlinks, kind");
            if (!s) return false;
            s.bind(1, a);
            int rc = s.step(RI_OBJECT);
            if (rc != SQLITE_ROW) {
                if (rc == SQLITE_DONE) continue;  // already gone
                return false;
            }
            int64_t left = s.col_int(0);
            if (left > 0) {
                s.step(RI_OBJECT);
                continue;
            }
            s.step(RI_OBJECT);
        }
        // Children of a group lose one link each.
        {
            Stmt s(c, "SELECT target FROM links WHERE parent = ? AND type = 0");
            if (!s) return false;
            s.bind(1, a);
            int rc;
            while ((rc = s.step(RI_LINK_LIST)) == SQLITE_ROW) pending.push_back(s.col_int(0));
            if (rc != SQLITE_DONE) return false;
        }
        ++c.shape_epoch;  // open handles of a removed dataset must find it gone
        static const char *const drops[] = {
            "DELETE FROM links WHERE parent = ?",      "DELETE FROM chunks WHERE dset = ?",
            "DELETE FROM filters WHERE dset = ?",      "DELETE FROM datasets WHERE addr = ?",
            "DELETE FROM attributes WHERE owner = ?", "DELETE FROM objects WHERE addr = ?",
            "DELETE FROM settings WHERE key = 'fill/' || ?",  // the dataset's fill value (Q7_FILL_KEY)
        };
        for (const char *sql : drops) {
            Stmt s(c, sql);
            if (!s) return false;
            s.bind(1, a);
            if (!s.run(RI_OBJECT)) return false;
        }
    }
    return true;
}

void fill_link_info(const LinkRow &row, Q7L_info_t *info) {
    memset(info, 0, sizeof *info);
    info->type = row.type;
    info->cset = 0;
    if (row.type == Q7L_TYPE_HARD) {
        info->address = (q7addr_t)row.target;
    } else {
        info->address = Q7_ADDR_UNDEF;
        info->val_size = row.type == Q7L_TYPE_SOFT ? row.value.size() + 1 : row.value.size();
    }
}

// Finds the link that a path names, without following it.  A path with
// no last component ("/", ".") names the location itself, reached as a
// hard link.  1 found, 0 absent (nothing pushed when quiet), -1 error.
int find_link(const Loc &from, const char *path, LinkRow &row, bool quiet) {
    if (!path || !*path) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "empty path");
        return -1;
    }
    auto parts = split_path(path);
    if (parts.empty()) {
        row.type = Q7L_TYPE_HARD;
        row.target = path[0] == '/' ? from.c->root : from.addr;
        return 1;
    }
    Loc cur = path[0] == '/' ? Loc{from.c, from.c->root, "/"} : from;
    for (size_t i = 0; i < parts.size(); ++i) {
        int kind = object_kind(*cur.c, cur.addr);
        if (kind < 0) return -1;
        if (kind != OK_GROUP) {
            if (quiet) return 0;
            Q7_PUSH(Q7E_SYM_g, Q7E_BADTYPE_g, "%s is not a group (looking up %s)", cur.path.c_str(), path);
            return -1;
        }
        LinkRow r;
        int found = lookup_link(*cur.c, cur.addr, parts[i], r);
        if (found <= 0) {
            if (found == 0 && !quiet)
                Q7_PUSH(Q7E_LINK_g, Q7E_NOTFOUND_g, "link %s not found", join_path(cur.path, parts[i]).c_str());
            return found == 0 && quiet ? 0 : -1;
        }
        if (i + 1 == parts.size()) {
            row = r;
            return 1;
        }
        Loc next;
        if (!follow(cur, parts[i], r, next, 0)) {
            if (quiet) {
                Q7Eclear2(0);
                return 0;
            }
            return -1;
        }
        cur = next;
    }
    return -1;
}

q7status_t fail_status(ApiCall &api) { return api.fail<q7status_t>(-1); }

} // namespace

std::string join_path(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir == "/") return "/" + name;
    return dir + "/" + name;
}

int object_kind(Container &c, int64_t addr) {
    Stmt s(c, "SELECT kind FROM objects WHERE addr = ?");
    if (!s) return -1;
    s.bind(1, addr);
    int rc = s.step(RI_OBJECT);
    if (rc == SQLITE_ROW) return (int)s.col_int(0);
    if (rc == SQLITE_DONE)
        Q7_PUSH(Q7E_SYM_g, Q7E_NOTFOUND_g, "no object at address %lld in %s", (long long)addr, c.name.c_str());
    return -1;
}

bool object_is(const Loc &at, int want) {
    int kind = object_kind(*at.c, at.addr);
    if (kind < 0) return false;
    if (kind == want) return true;
    if (want == OK_GROUP)
        Q7_PUSH(Q7E_SYM_g, Q7E_BADTYPE_g, "%s is not a group", at.path.c_str());
    else
        Q7_PUSH(Q7E_DATASET_g, Q7E_BADTYPE_g, "%s is not a dataset", at.path.c_str());
    return false;
}

bool resolve(const Loc &from, const char *path, Loc &out) { return resolve_at(from, path, out, 0); }

bool resolve_parent(const Loc &from, const char *path, Loc &parent, std::string &leaf) {
    if (!path || !*path) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "empty name");
        return false;
    }
    auto parts = split_path(path);
    if (parts.empty()) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "name %s has no last component", path);
        return false;
    }
    leaf = parts.back();
    Loc cur = path[0] == '/' ? Loc{from.c, from.c->root, "/"} : from;
    if (parts.size() > 1) {
        std::string dir;
        for (size_t i = 0; i + 1 < parts.size(); ++i) dir += parts[i] + "/";
        if (!resolve_at(cur, dir.c_str(), cur, 0)) return false;
    }
    if (!object_is(cur, OK_GROUP)) return false;
    parent = cur;
    return true;
}

bool change_in_parent(const Loc &from, const char *path, const ParentChange &change) {
    if (!writable(*from.c)) return false;
    std::shared_ptr<Container> holder;
    {
        // Most paths end in their own file: one write transaction there
        // serves both the lookup and the change.
        Txn t(*from.c, true);
        Loc parent;
        std::string leaf;
        if (!t.ok() || !resolve_parent(from, path, parent, leaf)) return false;
        if (parent.c == from.c) return change(parent, leaf) && t.commit();
        holder = parent.c;
        // Nothing was written here; the transaction only ends.
        if (!t.commit()) return false;
    }
    // The group lies in another file.  That file's write transaction comes
    // first and the path is looked up again under it, while the first file
    // is only read, so no two files are ever held for writing at once.  A
    // link on the way that changed meanwhile and now leads to yet another
    // file sends the lookup there.
    for (int lookup = 0; lookup < kMaxParentLookups; ++lookup) {
        if (!writable(*holder)) return false;
        Txn w(*holder, true);
        Txn r(*from.c, false);
        Loc parent;
        std::string leaf;
        if (!w.ok() || !r.ok() || !resolve_parent(from, path, parent, leaf)) return false;
        if (parent.c == holder) return change(parent, leaf) && r.commit() && w.commit();
        holder = parent.c;
        if (!r.commit() || !w.commit()) return false;
    }
    Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "the links leading to %s kept changing while they were followed", path);
    return false;
}

int64_t new_object(Container &c, int kind) {
    Stmt s(c, "INSERT INTO objects(kind, nlinks) VALUES(?, ?)");
    if (!s) return 0;
    s.bind(1, kind);
    // The root group is held by the file itself.
    s.bind(2, c.root == 0 ? 1 : 0);
    if (!s.run(RI_ADDRESS)) return 0;
    return sqlite3_last_insert_rowid(c.db);
}

namespace {

// True when a group has no link of this name yet; a record otherwise.
bool name_is_free(Container &c, int64_t parent, const std::string &name) {
    LinkRow row;
    int found = lookup_link(c, parent, name, row);
    if (found > 0) Q7_PUSH(Q7E_SYM_g, Q7E_EXISTS_g, "name %s already exists", name.c_str());
    return found == 0;
}

} // namespace

bool add_hard_link(Container &c, int64_t parent, const std::string &name, int64_t target) {
    if (!name_is_free(c, parent, name)) return false;
    Stmt s(c, "INSERT INTO links(parent, name, type, target) VALUES(?, ?, 0, ?)");
    if (!s) return false;
    s.bind(1, parent);
    s.bind_text(2, name);
    s.bind(3, target);
    if (!s.run(RI_LINK)) return false;
    Stmt u(c, "UPDATE objects SET nlinks = nlinks + 1 WHERE addr = ?");
    if (!u) return false;
    u.bind(1, target);
    return u.run(RI_OBJECT);
}

namespace {

bool add_value_link(Container &c, int64_t parent, const std::string &name, int type, const std::string &value) {
    if (!name_is_free(c, parent, name)) return false;
    Stmt s(c, "INSERT INTO links(parent, name, type, value) VALUES(?, ?, ?, ?)");
    if (!s) return false;
    s.bind(1, parent);
    s.bind_text(2, name);
    s.bind(3, type);
    s.bind_blob(4, value.data(), value.size());
    return s.run(RI_LINK);
}

std::shared_ptr<GroupObj> make_group(const Loc &l) {
    auto g = std::make_shared<GroupObj>();
    g->c = l.c;
    g->addr = l.addr;
    g->path = l.path;
    return g;
}

bool object_info(const Loc &l, Q7O_info2_t *info) {
    Txn t(*l.c, false);
    if (!t.ok()) return false;
    Stmt s(*l.c, "SELECT kind, nlinks, (SELECT count(*) FROM attributes WHERE owner = objects.addr)"
                 " FROM objects WHERE addr = ?");
    if (!s) return false;
    s.bind(1, l.addr);
    int rc = s.step(RI_OBJECT_ATTR_COUNT);
    if (rc != SQLITE_ROW) {
        if (rc == SQLITE_DONE) Q7_PUSH(Q7E_SYM_g, Q7E_NOTFOUND_g, "object %s no longer exists", l.path.c_str());
        return false;
    }
    memset(info, 0, sizeof *info);
    info->addr = (q7addr_t)l.addr;
    info->type = s.col_int(0) == OK_GROUP ? Q7O_TYPE_GROUP : Q7O_TYPE_DATASET;
    info->rc = (uint32_t)s.col_int(1);
    info->fileno = l.c->fileno;
    info->num_attrs = (int32_t)s.col_int(2);
    return t.commit();
}

} // namespace

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7id_t Q7Gcreate2(q7id_t loc_id, const char *name, q7id_t lcpl_id, q7id_t gcpl_id, q7id_t gapl_id) {
    Q7_API("Q7Gcreate2");
    (void)lcpl_id;
    (void)gcpl_id;
    (void)gapl_id;
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    Loc from;
    if (!loc_of(loc_id, from)) return api_.fail<q7id_t>(-1);
    // The new group belongs to the file holding its parent group.
    Loc made;
    bool ok = change_in_parent(from, name, [&](const Loc &parent, const std::string &leaf) {
        int64_t addr = new_object(*parent.c, OK_GROUP);
        if (!addr || !add_hard_link(*parent.c, parent.addr, leaf, addr)) {
            Q7_PUSH(Q7E_SYM_g, Q7E_CANTCREATE_g, "cannot create group %s", name);
            return false;
        }
        made = Loc{parent.c, addr, join_path(parent.path, leaf)};
        return true;
    });
    if (!ok) {
        // Made but not committed.
        if (made.c) Q7_PUSH(Q7E_SYM_g, Q7E_CANTCREATE_g, "cannot create group %s", name);
        return api_.fail<q7id_t>(-1);
    }
    q7id_t id = register_id(Q7I_GROUP, make_group(made));
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7id_t Q7Gopen2(q7id_t loc_id, const char *name, q7id_t gapl_id) {
    Q7_API("Q7Gopen2");
    (void)gapl_id;
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    Loc from, at;
    if (!loc_of(loc_id, from)) return api_.fail<q7id_t>(-1);
    Txn t(*from.c, false);
    if (!t.ok() || !resolve(from, name, at)) return api_.fail<q7id_t>(-1);
    if (!object_is(at, OK_GROUP)) return api_.fail<q7id_t>(-1);
    t.commit();
    q7id_t id = register_id(Q7I_GROUP, make_group(at));
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7status_t Q7Gclose(q7id_t group_id) {
    Q7_API("Q7Gclose");
    if (api_.faulted()) return api_.fail(-1);
    int closed = close_identifier(group_id, Q7I_GROUP);
    if (closed == 0) push_bad_id(group_id, Q7I_GROUP);
    return closed > 0 ? 0 : api_.fail(-1);
}

q7status_t Q7Lcreate_hard(q7id_t cur_loc, const char *cur_name, q7id_t dst_loc, const char *dst_name,
                          q7id_t lcpl_id, q7id_t lapl_id) {
    Q7_API("Q7Lcreate_hard");
    (void)lcpl_id;
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    Loc from, to;
    if (!loc_of(cur_loc, from) || !loc_of(dst_loc, to)) return fail_status(api_);
    // The target is looked up under the write transaction of the file that
    // receives the link, so it cannot go away before it is linked.
    bool ok = change_in_parent(to, dst_name, [&](const Loc &parent, const std::string &leaf) {
        Loc target;
        if (!resolve(from, cur_name, target)) return false;
        // A hard link holds an address, which means nothing in another file.
        if (target.c != parent.c) {
            Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "a hard link cannot join two files (%s in %s, %s in %s)", cur_name,
                    target.c->name.c_str(), dst_name, parent.c->name.c_str());
            return false;
        }
        return add_hard_link(*parent.c, parent.addr, leaf, target.addr);
    });
    return ok ? 0 : fail_status(api_);
}

q7status_t Q7Lcreate_soft(const char *target_path, q7id_t link_loc_id, const char *link_name, q7id_t lcpl_id,
                          q7id_t lapl_id) {
    Q7_API("Q7Lcreate_soft");
    (void)lcpl_id;
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    if (!target_path || !*target_path) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "soft link needs a target path");
        return fail_status(api_);
    }
    Loc from;
    if (!loc_of(link_loc_id, from)) return fail_status(api_);
    // The path is kept as given and followed in the file holding the link.
    bool ok = change_in_parent(from, link_name, [&](const Loc &parent, const std::string &leaf) {
        return add_value_link(*parent.c, parent.addr, leaf, Q7L_TYPE_SOFT, target_path);
    });
    return ok ? 0 : fail_status(api_);
}

q7status_t Q7Lcreate_external(const char *file_name, const char *obj_name, q7id_t link_loc_id, const char *link_name,
                              q7id_t lcpl_id, q7id_t lapl_id) {
    Q7_API("Q7Lcreate_external");
    (void)lcpl_id;
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    if (!file_name || !*file_name || !obj_name || !*obj_name) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "external link needs a file name and an object path");
        return fail_status(api_);
    }
    Loc from;
    if (!loc_of(link_loc_id, from)) return fail_status(api_);
    std::string value = std::string(file_name) + '\0' + obj_name + '\0';
    bool ok = change_in_parent(from, link_name, [&](const Loc &parent, const std::string &leaf) {
        return add_value_link(*parent.c, parent.addr, leaf, Q7L_TYPE_EXTERNAL, value);
    });
    return ok ? 0 : fail_status(api_);
}

q7status_t Q7Ldelete(q7id_t loc_id, const char *name, q7id_t lapl_id) {
    Q7_API("Q7Ldelete");
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    Loc from;
    if (!loc_of(loc_id, from)) return fail_status(api_);
    // The link goes from the file holding its group, and with it, in the
    // same transaction, whatever it alone kept alive there.
    bool ok = change_in_parent(from, name, [&](const Loc &parent, const std::string &leaf) {
        Container &c = *parent.c;
        LinkRow row;
        int found = lookup_link(c, parent.addr, leaf, row);
        if (found <= 0) {
            if (found == 0)
                Q7_PUSH(Q7E_LINK_g, Q7E_NOTFOUND_g, "link %s not found", join_path(parent.path, leaf).c_str());
            return false;
        }
        Stmt s(c, "DELETE FROM links WHERE parent = ? AND name = ?");
        if (!s) return false;
        s.bind(1, parent.addr);
        s.bind_text(2, leaf);
        if (!s.run(RI_LINK)) return false;
        return row.type != Q7L_TYPE_HARD || release_object(c, row.target);
    });
    return ok ? 0 : fail_status(api_);
}

q7tri_t Q7Lexists(q7id_t loc_id, const char *name, q7id_t lapl_id) {
    Q7_API("Q7Lexists");
    (void)lapl_id;
    if (api_.faulted()) return api_.fail(-1);
    Loc from;
    if (!loc_of(loc_id, from)) return api_.fail(-1);
    Txn t(*from.c, false);
    if (!t.ok()) return api_.fail(-1);
    LinkRow row;
    int found = find_link(from, name, row, true);
    if (found < 0) return api_.fail(-1);
    t.commit();
    return found;
}

q7status_t Q7Lget_info(q7id_t loc_id, const char *name, Q7L_info_t *linfo, q7id_t lapl_id) {
    Q7_API("Q7Lget_info");
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    Loc from;
    if (!loc_of(loc_id, from)) return fail_status(api_);
    Txn t(*from.c, false);
    LinkRow row;
    if (!t.ok() || find_link(from, name, row, false) != 1) return fail_status(api_);
    if (linfo) fill_link_info(row, linfo);
    t.commit();
    return 0;
}

q7status_t Q7Lget_val(q7id_t loc_id, const char *name, void *buf, size_t size, q7id_t lapl_id) {
    Q7_API("Q7Lget_val");
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    Loc from;
    if (!loc_of(loc_id, from)) return fail_status(api_);
    Txn t(*from.c, false);
    LinkRow row;
    if (!t.ok() || find_link(from, name, row, false) != 1) return fail_status(api_);
    t.commit();
    if (row.type == Q7L_TYPE_HARD) {
        Q7_PUSH(Q7E_LINK_g, Q7E_BADTYPE_g, "%s is a hard link and has no value", name);
        return fail_status(api_);
    }
    std::string value = row.value;
    if (row.type == Q7L_TYPE_SOFT) value += '\0';
    if (buf && size > 0) {
        size_t n = value.size() < size ? value.size() : size;
        memcpy(buf, value.data(), n);
        // A soft-link path that does not fit still ends in a terminator.
        if (row.type == Q7L_TYPE_SOFT && n < value.size()) ((char *)buf)[size - 1] = '\0';
    }
    return 0;
}

q7status_t Q7Lunpack_elink_val(const void *ext_linkval, size_t link_size, unsigned *flags, const char **filename,
                               const char **obj_path) {
    Q7_API("Q7Lunpack_elink_val");
    if (api_.faulted()) return fail_status(api_);
    if (!ext_linkval || link_size < 4) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "external link value is missing or too short (%zu bytes)", link_size);
        return fail_status(api_);
    }
    const char *p = (const char *)ext_linkval;
    const char *z1 = (const char *)memchr(p, '\0', link_size);
    const char *z2 = z1 ? (const char *)memchr(z1 + 1, '\0', link_size - (size_t)(z1 + 1 - p)) : nullptr;
    if (!z1 || !z2 || z1 == p || z2 == z1 + 1) {
        Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "external link value is not \"file\\0object\\0\"");
        return fail_status(api_);
    }
    if (flags) *flags = 0;
    if (filename) *filename = p;
    if (obj_path) *obj_path = z1 + 1;
    return 0;
}

q7status_t Q7Literate2(q7id_t group_id, q7size_t *idx, Q7L_iterate_t op, void *op_data) {
    Q7_API("Q7Literate2");
    if (api_.faulted()) return fail_status(api_);
    if (!op) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no callback for the link iteration");
        return fail_status(api_);
    }
    Loc g;
    if (!loc_of(group_id, g)) return fail_status(api_);
    std::vector<std::pair<std::string, LinkRow>> links;
    {
        Txn t(*g.c, false);
        if (!t.ok()) return fail_status(api_);
        if (!object_is(g, OK_GROUP)) return fail_status(api_);
        Stmt s(*g.c, "SELECT name, type, target, value FROM links WHERE parent = ? ORDER BY name");
        if (!s) return fail_status(api_);
        s.bind(1, g.addr);
        int rc;
        while ((rc = s.step(RI_LINK_LIST)) == SQLITE_ROW) {
            LinkRow r;
            r.type = (int)s.col_int(1);
            r.target = s.col_int(2);
            r.value.assign((const char *)s.col_blob(3), s.col_bytes(3));
            links.emplace_back(s.col_text(0), std::move(r));
        }
        if (rc != SQLITE_DONE) return fail_status(api_);
        t.commit();
    }
    q7size_t i = idx ? *idx : 0;
    if (i > links.size()) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADRANGE_g, "link index %llu is beyond the %zu links of %s", (unsigned long long)i,
                links.size(), g.path.c_str());
        return fail_status(api_);
    }
    for (; i < links.size(); ++i) {
        Q7L_info_t info;
        fill_link_info(links[i].second, &info);
        q7status_t r = op(group_id, links[i].first.c_str(), &info, op_data);
        if (r != 0) {
            if (idx) *idx = i + 1;
            if (r < 0) {
                Q7_PUSH(Q7E_LINK_g, Q7E_CALLBACK_g, "link iteration callback failed at %s (%d)",
                        links[i].first.c_str(), r);
                return api_.fail(r);
            }
            return r;
        }
    }
    if (idx) *idx = i;
    return 0;
}

q7id_t Q7Oopen(q7id_t loc_id, const char *name, q7id_t lapl_id) {
    Q7_API("Q7Oopen");
    (void)lapl_id;
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    Loc from, at;
    if (!loc_of(loc_id, from)) return api_.fail<q7id_t>(-1);
    Txn t(*from.c, false);
    if (!t.ok() || !resolve(from, name, at)) return api_.fail<q7id_t>(-1);
    int kind = object_kind(*at.c, at.addr);
    if (kind < 0) return api_.fail<q7id_t>(-1);
    q7id_t id;
    if (kind == OK_GROUP) {
        id = register_id(Q7I_GROUP, make_group(at));
    } else {
        auto d = dataset_at(at);
        if (!d) return api_.fail<q7id_t>(-1);
        id = register_id(Q7I_DATASET, d);
    }
    t.commit();
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7status_t Q7Oclose(q7id_t object_id) {
    Q7_API("Q7Oclose");
    if (api_.faulted()) return fail_status(api_);
    Q7I_type_t kind = kind_of(object_id);
    int closed = kind == Q7I_DATATYPE ? release_id(object_id, kind)
                 : kind == Q7I_GROUP || kind == Q7I_DATASET ? close_identifier(object_id, kind)
                                                            : 0;
    if (closed == 0) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADID_g, "identifier %lld is not an open object", (long long)object_id);
        return fail_status(api_);
    }
    return closed > 0 ? 0 : fail_status(api_);
}

q7status_t Q7Oget_info2(q7id_t loc_id, Q7O_info2_t *oinfo, unsigned fields) {
    Q7_API("Q7Oget_info2");
    (void)fields;
    if (api_.faulted()) return fail_status(api_);
    if (!oinfo) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no record to fill");
        return fail_status(api_);
    }
    Loc l;
    if (!loc_of(loc_id, l) || !object_info(l, oinfo)) return fail_status(api_);
    return 0;
}

q7status_t Q7Oget_info_by_name2(q7id_t loc_id, const char *name, Q7O_info2_t *oinfo, unsigned fields,
                                q7id_t lapl_id) {
    Q7_API("Q7Oget_info_by_name2");
    (void)fields;
    (void)lapl_id;
    if (api_.faulted()) return fail_status(api_);
    if (!oinfo) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no record to fill");
        return fail_status(api_);
    }
    Loc from, at;
    if (!loc_of(loc_id, from)) return fail_status(api_);
    Txn t(*from.c, false);
    if (!t.ok() || !resolve(from, name, at) || !object_info(at, oinfo)) return fail_status(api_);
    t.commit();
    return 0;
}

} // extern "C"
