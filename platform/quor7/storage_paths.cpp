// storage_paths.cpp - paths walked link by link from the root or from a
// location: soft links name a path in the same file, external links a path
// in another file.  A walk tells a name that is truly absent from one it
// could not look up, so that "not found" is never the answer to a failure.
#include "storage_commit.hpp"
#include "storage_parent.hpp"
#include "storage_paths.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace q7::storage {

namespace {

constexpr int kMaxLinkDepth = 16;
// Soft and external links followed in all by one lookup, however they
// nest: soft links whose paths name further soft links could otherwise
// make one lookup cost millions (16 levels of ten-way fan-out).
constexpr int kMaxLinksFollowed = 40;
// Directories searched, after the linking file's own, for the file of a
// relative external link: colon-separated, like PATH.
constexpr const char *kExtLinkPrefixVar = "QUOR7_EXTLINK_PREFIX";
// Lookups of a parent group in another file, should links on the way keep
// changing under a concurrent writer.
constexpr int kMaxParentLookups = 4;

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

// True when no file of this name exists (as opposed to one that exists
// but cannot be looked at).
bool no_such_file(const std::string &name) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0) return false;
    return errno == ENOENT || errno == ENOTDIR;
}

// The walk of a path and of the links on the way.  1 reached, 0 absent
// (a link, a soft link's target or an external file is not there; a
// record only when `report` is set), -1 failed (always a record).
int resolve_at(CallTxns &txns, const Loc &from, const char *path, Loc &out, int depth, int &followed, bool report);

// The file a relative external link names: beside the file holding the
// link first, then in each directory of QUOR7_EXTLINK_PREFIX in turn; the
// first that exists wins.  When none does, the name beside the linking
// file (which the link then dangles at).  The current directory is never
// searched first: a file of that name where the user stands must not
// stand in for the one the link's author meant.
std::string extlink_target(const Container &linking, const std::string &file) {
    if (file.empty() || file[0] == '/') return file;
    std::string beside = dir_of(linking.name) + file;
    if (!no_such_file(beside)) return beside;
    if (const char *prefix = std::getenv(kExtLinkPrefixVar)) {
        std::string list = prefix;
        for (size_t at = 0; at <= list.size();) {
            size_t colon = list.find(':', at);
            if (colon == std::string::npos) colon = list.size();
            std::string dir = list.substr(at, colon - at);
            at = colon + 1;
            if (dir.empty()) continue;
            std::string candidate = dir + (dir.back() == '/' ? "" : "/") + file;
            if (!no_such_file(candidate)) return candidate;
        }
    }
    return beside;
}

// Follows one link found in group `at` (whose path is at.path).
int follow(CallTxns &txns, const Loc &at, const std::string &name, const LinkRow &row, Loc &out, int depth,
           int &followed, bool report) {
    if (depth >= kMaxLinkDepth) {
        Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "too many levels of links at %s", join_path(at.path, name).c_str());
        return -1;
    }
    if (row.type != Q7L_TYPE_HARD && ++followed > kMaxLinksFollowed) {
        Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "more than %d soft or external links followed in one lookup, at %s",
                kMaxLinksFollowed, join_path(at.path, name).c_str());
        return -1;
    }
    switch (row.type) {
    case Q7L_TYPE_HARD:
        out = Loc{at.c, row.target, join_path(at.path, name)};
        return 1;
    case Q7L_TYPE_SOFT: {
        Loc dst;
        int found = resolve_at(txns, at, row.value.c_str(), dst, depth + 1, followed, report);
        if (found <= 0) {
            if (found == 0 && report)
                Q7_PUSH(Q7E_LINK_g, Q7E_NOTFOUND_g, "soft link %s points to %s, which does not resolve",
                        join_path(at.path, name).c_str(), row.value.c_str());
            return found;
        }
        out = Loc{dst.c, dst.addr, join_path(at.path, name)};
        return 1;
    }
    case Q7L_TYPE_EXTERNAL: {
        std::string file, obj;
        if (!split_elink(row.value, file, obj)) {
            Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "external link %s has a damaged value",
                    join_path(at.path, name).c_str());
            return -1;
        }
        std::string target = extlink_target(*at.c, file);
        // Only a file that is not there makes the link dangle; one that is
        // there but does not open is a failure.
        bool missing = no_such_file(target);
        if (missing && !report) return 0;
        auto c = open_container(txns, target, at.c->writable ? Q7F_ACC_RDWR : Q7F_ACC_RDONLY, false);
        if (!c) {
            Q7_PUSH(Q7E_LINK_g, missing ? Q7E_NOTFOUND_g : Q7E_CANTOPENFILE_g, "external link %s: cannot open %s",
                    join_path(at.path, name).c_str(), file.c_str());
            return missing ? 0 : -1;
        }
        keep_linked(*at.c, c);
        Loc root{c, c->root, "/"};
        Loc dst;
        int found = resolve_at(txns, root, obj.c_str(), dst, depth + 1, followed, report);
        if (found <= 0) return found;
        out = Loc{dst.c, dst.addr, join_path(at.path, name)};
        return 1;
    }
    default:
        Q7_PUSH(Q7E_LINK_g, Q7E_BADTYPE_g, "link %s has unknown type %d", join_path(at.path, name).c_str(), row.type);
        return -1;
    }
}

int resolve_at(CallTxns &txns, const Loc &from, const char *path, Loc &out, int depth, int &followed, bool report) {
    if (!path || !*path) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "empty path");
        return -1;
    }
    Loc cur = path[0] == '/' ? Loc{from.c, from.c->root, "/"} : from;
    for (const std::string &part : split_path(path)) {
        ReadTxn *t = txns.read(cur.c);
        if (!t) return -1;
        int kind = object_kind(*t, cur.addr);
        if (kind < 0) return -1;
        if (kind != OK_GROUP) {
            if (report) Q7_PUSH(Q7E_SYM_g, Q7E_BADTYPE_g, "%s is not a group (looking up %s)", cur.path.c_str(), path);
            return 0;
        }
        LinkRow row;
        int found = lookup_link(*t, cur.addr, part, row);
        if (found == 0 && report)
            Q7_PUSH(Q7E_SYM_g, Q7E_NOTFOUND_g, "object %s not found (looking up %s)", join_path(cur.path, part).c_str(),
                    path);
        if (found <= 0) return found;
        Loc next;
        found = follow(txns, cur, part, row, next, depth, followed, report);
        if (found <= 0) return found;
        cur = next;
    }
    out = cur;
    return 1;
}

} // namespace

std::string join_path(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir == "/") return "/" + name;
    return dir + "/" + name;
}

bool file_is_writable(const Container &c) {
    if (c.writable) return true;
    Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", c.name.c_str());
    return false;
}

bool resolve(CallTxns &txns, const Loc &from, const char *path, Loc &out) {
    int followed = 0;
    return resolve_at(txns, from, path, out, 0, followed, true) > 0;
}

bool resolve_parent(CallTxns &txns, const Loc &from, const char *path, Loc &parent, std::string &leaf) {
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
        int followed = 0;
        if (resolve_at(txns, cur, dir.c_str(), cur, 0, followed, true) <= 0) return false;
    }
    ReadTxn *t = txns.read(cur.c);
    if (!t || !object_is(*t, cur, OK_GROUP)) return false;
    parent = cur;
    return true;
}

int find_link(CallTxns &txns, const Loc &from, const char *path, LinkRow &row, bool report) {
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
    int followed = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        ReadTxn *t = txns.read(cur.c);
        if (!t) return -1;
        int kind = object_kind(*t, cur.addr);
        if (kind < 0) return -1;
        if (kind != OK_GROUP) {
            if (!report) return 0;
            Q7_PUSH(Q7E_SYM_g, Q7E_BADTYPE_g, "%s is not a group (looking up %s)", cur.path.c_str(), path);
            return -1;
        }
        LinkRow r;
        int found = lookup_link(*t, cur.addr, parts[i], r);
        if (found == 0 && report) {
            Q7_PUSH(Q7E_LINK_g, Q7E_NOTFOUND_g, "link %s not found", join_path(cur.path, parts[i]).c_str());
            return -1;
        }
        if (found <= 0) return found;
        if (i + 1 == parts.size()) {
            row = r;
            return 1;
        }
        Loc next;
        found = follow(txns, cur, parts[i], r, next, 0, followed, report);
        if (found == 0 && report) return -1;
        if (found <= 0) return found;
        cur = next;
    }
    return -1;
}

bool change_in_parent(CallTxns &txns, const Loc &from, const char *path, const ParentChange &change) {
    if (!file_is_writable(*from.c)) return false;
    std::shared_ptr<Container> holder;
    {
        // Most paths end in their own file: one write transaction there
        // serves both the lookup and the change.
        WriteTxn *w = txns.write(from.c);
        Loc parent;
        std::string leaf;
        if (!w || !resolve_parent(txns, from, path, parent, leaf)) return false;
        if (parent.c == from.c) return change(*w, parent, leaf);
        holder = parent.c;
        // Nothing was written here; the transactions (this file's, and
        // the reads of the files the walk entered) only end.
        if (!txns.end_all()) return false;
    }
    // The group lies in another file.  That file's write transaction comes
    // first and the path is looked up again under it, while the first file
    // is only read, so no two files are ever held for writing at once.  A
    // link on the way that changed meanwhile and now leads to yet another
    // file sends the lookup there.
    for (int lookup = 0; lookup < kMaxParentLookups; ++lookup) {
        if (!file_is_writable(*holder)) return false;
        WriteTxn *w = txns.write(holder);
        ReadTxn *r = w ? txns.read(from.c) : nullptr;
        Loc parent;
        std::string leaf;
        if (!r || !resolve_parent(txns, from, path, parent, leaf)) return false;
        if (parent.c == holder) return change(*w, parent, leaf);
        holder = parent.c;
        if (!txns.end_all()) return false;
    }
    Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "the links leading to %s kept changing while they were followed", path);
    return false;
}

} // namespace q7::storage
