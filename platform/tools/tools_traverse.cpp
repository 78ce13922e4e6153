// Depth-first walk over the objects of a file, in link-name order, used by
// the listing and comparison tools.  Paths handed to the callbacks are
// absolute: the start path (normalised, "/" for the root group) joined with
// the link names below it.
#include "q7tools.h"
#include "tools_internal.hpp"

#include <exception>
#include <map>
#include <string>
#include <vector>

using q7tools_internal::join_path;

namespace {

struct LinkEntry {
    std::string name;
    Q7L_info_t info;
};

struct Walk {
    q7id_t file;
    int recurse;
    q7trav_obj_func_t visit_obj;
    q7trav_lnk_func_t visit_lnk;
    void *udata;
    unsigned fields;
    // Address of every object already reached -> path of its first visit.
    std::map<q7addr_t, std::string> seen;
    int stop = 0;  // non-zero callback result that ended the walk
};

struct LinkList {
    std::vector<LinkEntry> links;
    std::exception_ptr error;  // what ended the listing early
};

// Called by the storage library: an exception is kept for the walk to
// rethrow once the listing returned.
q7status_t collect_link(q7id_t, const char *name, const Q7L_info_t *info, void *op_data) {
    auto *list = static_cast<LinkList *>(op_data);
    return q7tools_internal::keep_exception(list->error, [&] {
        list->links.push_back(LinkEntry{name, *info});
        return 0;
    });
}

// Removes repeated and trailing slashes and gives relative names a
// leading one, so that every path the callbacks see has one spelling.
std::string normalise(const char *path) {
    std::string out = "/";
    for (const char *p = path; *p; ++p) {
        if (*p == '/') {
            if (out.back() != '/') out.push_back('/');
        } else if (!(p[0] == '.' && (p[1] == '/' || p[1] == '\0') && out.back() == '/')) {
            out.push_back(*p);
        }
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

// Visits the links of the group at path.  Returns negative on failure.
int walk_group(Walk &w, const std::string &path) {
    q7id_t gid = Q7Gopen2(w.file, path.c_str(), 0);
    if (gid < 0) {
        Q7TOOLS_PUSH("q7trav_visit", q7tools_internal::format("cannot open group <%s>", path.c_str()).c_str());
        return -1;
    }
    LinkList list;
    q7status_t it = Q7Literate2(gid, nullptr, collect_link, &list);
    Q7Gclose(gid);
    if (list.error) std::rethrow_exception(list.error);
    const std::vector<LinkEntry> &links = list.links;
    if (it < 0) {
        Q7TOOLS_PUSH("q7trav_visit", q7tools_internal::format("cannot list the links of group <%s>", path.c_str()).c_str());
        return -1;
    }

    for (const LinkEntry &link : links) {
        std::string child = join_path(path, link.name);
        if (link.info.type != Q7L_TYPE_HARD) {
            if (w.visit_lnk) {
                int r = w.visit_lnk(child.c_str(), &link.info, w.udata);
                if (r != 0) {
                    w.stop = r;
                    return r < 0 ? -1 : 0;
                }
            }
            continue;
        }
        Q7O_info2_t oinfo{};
        if (Q7Oget_info_by_name2(w.file, child.c_str(), &oinfo, w.fields | Q7O_INFO_BASIC, 0) < 0) {
            Q7TOOLS_PUSH("q7trav_visit", q7tools_internal::format("cannot get the information of <%s>", child.c_str()).c_str());
            return -1;
        }
        auto found = w.seen.find(oinfo.addr);
        const char *already = nullptr;
        if (found != w.seen.end()) already = found->second.c_str();
        else w.seen.emplace(oinfo.addr, child);
        if (w.visit_obj) {
            int r = w.visit_obj(child.c_str(), &oinfo, already, w.udata);
            if (r != 0) {
                w.stop = r;
                return r < 0 ? -1 : 0;
            }
        }
        // A group reached again is not entered again: its links were (or
        // are being) walked under its first path, and this keeps cycles
        // from looping.
        if (!already && w.recurse && oinfo.type == Q7O_TYPE_GROUP) {
            int r = walk_group(w, child);
            if (r < 0 || w.stop) return r;
        }
    }
    return 0;
}

int visit(q7id_t file_id, const char *grp_name, int visit_root, int recurse, q7trav_obj_func_t visit_obj,
          q7trav_lnk_func_t visit_lnk, void *udata, unsigned fields);

} // namespace

extern "C" int q7trav_visit(q7id_t file_id, const char *grp_name, int visit_root, int recurse,
                            q7trav_obj_func_t visit_obj, q7trav_lnk_func_t visit_lnk, void *udata,
                            unsigned fields) {
    // Out of memory on a huge tree, or an exception of a callback: a
    // failed walk, never an exception crossing into a C caller.
    return q7tools_internal::api_call("q7trav_visit", -1, [&] {
        return visit(file_id, grp_name ? grp_name : "/", visit_root, recurse, visit_obj, visit_lnk, udata, fields);
    });
}

namespace {

int visit(q7id_t file_id, const char *grp_name, int visit_root, int recurse, q7trav_obj_func_t visit_obj,
          q7trav_lnk_func_t visit_lnk, void *udata, unsigned fields) {
    std::string start = normalise(grp_name);
    Walk w{file_id, recurse, visit_obj, visit_lnk, udata, fields, {}, 0};

    Q7O_info2_t oinfo{};
    if (Q7Oget_info_by_name2(file_id, start.c_str(), &oinfo, fields | Q7O_INFO_BASIC, 0) < 0) {
        Q7TOOLS_PUSH("q7trav_visit", q7tools_internal::format("cannot find object <%s>", start.c_str()).c_str());
        return -1;
    }
    w.seen.emplace(oinfo.addr, start);
    if (visit_root && visit_obj) {
        int r = visit_obj(start.c_str(), &oinfo, nullptr, udata);
        if (r != 0) return r < 0 ? -1 : 0;
    }
    if (oinfo.type != Q7O_TYPE_GROUP) return 0;
    return walk_group(w, start) < 0 ? -1 : 0;
}

} // namespace
