// Depth-first walk over the objects of a file, in link-name order, used by
// the listing, comparison and repacking tools.  Paths handed to the
// callbacks are absolute: the start path (normalised, "/" for the root
// group) joined with the link names below it.
//
// The walk keeps its own stack of open groups: each child is looked up and
// opened through its open parent, never by its path from the root, so that
// the cost is linear in the number of links whatever the nesting, and deep
// nesting uses no call stack.  Paths are only ever shown, never looked up.
#include "q7tools.h"
#include "tools_internal.hpp"
#include "tools_shared.hpp"

#include <deque>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

using q7tools_internal::format;
using q7tools_internal::IdHolder;
using q7tools_internal::join_path;
using q7tools_internal::WalkItem;
using q7tools_internal::Walker;

namespace {

struct LinkEntry {
    std::string name;
    Q7L_info_t info;
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

// One open group of the walk and the links of it still to visit.  Its
// path is the first path_len bytes of the walk's path buffer.
struct Frame {
    Frame(q7id_t id, size_t len, size_t n) : group(id, Q7Gclose), path_len(len), node(n) {}
    IdHolder group;
    size_t path_len;
    size_t node;
    std::vector<LinkEntry> links;
    size_t next = 0;
};

// Every object reached, as its link name and the object of its parent
// group: the paths of first visits cost memory in proportion to the
// number of objects, not to their depth times their number.
struct Node {
    size_t parent;  // kNoNode for the start object
    std::string name;
};
constexpr size_t kNoNode = static_cast<size_t>(-1);

// Appends a link name to a group's path.
void append_name(std::string &path, const std::string &name) {
    if (path != "/") path += '/';
    path += name;
}

std::string path_of(const std::vector<Node> &nodes, size_t n) {
    std::vector<size_t> chain;
    for (; n != kNoNode; n = nodes[n].parent) chain.push_back(n);
    std::string out = nodes[chain.back()].name;
    for (size_t i = chain.size() - 1; i-- > 0;) append_name(out, nodes[chain[i]].name);
    return out;
}

q7status_t close_object(q7id_t id) { return Q7Oclose(id); }

} // namespace

namespace q7tools_internal {

std::string short_path(const std::string &path) {
    constexpr size_t kKept = 48;
    if (path.size() <= 2 * kKept + 5) return path;
    return path.substr(0, kKept) + "..." + path.substr(path.size() - kKept);
}

bool is_member_name(const std::string &name) noexcept {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Removes repeated and trailing slashes and "." components and gives
// relative names a leading one, so that every path the callbacks see has
// one spelling.
std::string normalise_walk_path(const char *path) {
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

int walk(q7id_t file, const std::string &start, bool visit_root, bool recurse, unsigned fields, const Walker &w) {
    bool failed = false;
    auto problem = [&](const std::string &msg) {
        failed = true;
        if (w.problem) w.problem(msg);
        else Q7TOOLS_PUSH("q7trav_visit", msg.c_str());
    };
    std::vector<Node> nodes;
    // Address of every object already reached -> its node.
    std::map<q7addr_t, size_t> seen;

    Q7O_info2_t oinfo{};
    if (Q7Oget_info_by_name2(file, start.c_str(), &oinfo, fields | Q7O_INFO_BASIC, 0) < 0) {
        problem(format("cannot find object <%s>", start.c_str()));
        return -1;
    }
    nodes.push_back(Node{kNoNode, start});
    seen.emplace(oinfo.addr, 0);
    const bool openable = oinfo.type == Q7O_TYPE_GROUP || oinfo.type == Q7O_TYPE_DATASET;
    IdHolder root(openable ? Q7Oopen(file, start.c_str(), 0) : -1, close_object);
    if (oinfo.type == Q7O_TYPE_GROUP && !root.ok()) {
        problem(format("cannot open group <%s>", start.c_str()));
        return -1;
    }
    if (visit_root && w.object) {
        const std::string none;
        int r = w.object(WalkItem{start, -1, none, nullptr, &oinfo, root.id(), nullptr, 0});
        if (r != 0) return r < 0 ? -1 : 0;
    }
    if (oinfo.type != Q7O_TYPE_GROUP) return failed ? -1 : 0;

    // The path of the innermost frame, then of the link being visited.
    std::string path = start;
    // std::deque: a frame never moves while the walk holds it.
    std::deque<Frame> stack;
    // Opens the frame of a group: its links, in name order.  False (with
    // the problem told) when they cannot be listed.
    auto enter = [&](q7id_t gid, size_t node) {
        stack.emplace_back(gid, path.size(), node);
        LinkList list;
        q7status_t it = Q7Literate2(gid, nullptr, collect_link, &list);
        if (list.error) std::rethrow_exception(list.error);
        if (it < 0) {
            problem(with_reason(format("cannot list the links of group <%s>", path.c_str())));
            return false;
        }
        stack.back().links = std::move(list.links);
        return true;
    };
    if (!enter(root.release(), 0)) return -1;  // closed from here on by its frame

    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next == f.links.size()) {
            stack.pop_back();
            continue;
        }
        const LinkEntry &link = f.links[f.next++];
        path.resize(f.path_len);
        if (!is_member_name(link.name)) {
            // Looked up, such a name would reach some other object (or
            // the group itself): reported and left out.
            problem(format("group <%s> has a link named \"%s\", which is not a member name: skipped", path.c_str(),
                           link.name.c_str()));
            continue;
        }
        append_name(path, link.name);
        if (link.info.type != Q7L_TYPE_HARD) {
            if (w.link) {
                int r = w.link(WalkItem{path, f.group.id(), link.name, &link.info, nullptr, -1, nullptr, stack.size()});
                if (r != 0) return r < 0 ? -1 : (failed ? -1 : 0);
            }
            continue;
        }
        Q7O_info2_t info{};
        if (Q7Oget_info_by_name2(f.group, link.name.c_str(), &info, fields | Q7O_INFO_BASIC, 0) < 0) {
            problem(format("cannot get the information of <%s>", path.c_str()));
            return -1;
        }
        auto found = seen.find(info.addr);
        std::string first_path;
        const char *already = nullptr;
        size_t node = kNoNode;
        if (found != seen.end()) {
            first_path = path_of(nodes, found->second);
            already = first_path.c_str();
        } else {
            node = nodes.size();
            nodes.push_back(Node{f.node, link.name});
            seen.emplace(info.addr, node);
        }
        const bool group = info.type == Q7O_TYPE_GROUP;
        IdHolder obj(!already && (group || info.type == Q7O_TYPE_DATASET) ? Q7Oopen(f.group, link.name.c_str(), 0) : -1,
                     close_object);
        if (w.object) {
            int r = w.object(WalkItem{path, f.group.id(), link.name, nullptr, &info, obj.id(), already, stack.size()});
            if (r != 0) return r < 0 ? -1 : (failed ? -1 : 0);
        }
        // A group reached again is not entered again: its links were (or
        // are being) walked under its first path, and this keeps cycles
        // from looping.
        if (already || !recurse || !group) continue;
        if (!obj.ok()) {
            problem(format("cannot open group <%s>", path.c_str()));
            return -1;
        }
        // The group is stack.size() levels below the start.
        if (stack.size() > kMaxWalkDepth) {
            problem(format("<%s> lies more than %zu groups below <%s>: nesting this deep is refused",
                           short_path(path).c_str(), kMaxWalkDepth, short_path(start).c_str()));
            return -1;
        }
        if (!enter(obj.release(), node)) return -1;
    }
    return failed ? -1 : 0;
}

} // namespace q7tools_internal

namespace {

int visit(q7id_t file_id, const char *grp_name, int visit_root, int recurse, q7trav_obj_func_t visit_obj,
          q7trav_lnk_func_t visit_lnk, void *udata, unsigned fields) {
    Walker w;
    if (visit_obj)
        w.object = [&](const WalkItem &it) { return visit_obj(it.path.c_str(), it.info, it.already, udata); };
    if (visit_lnk) w.link = [&](const WalkItem &it) { return visit_lnk(it.path.c_str(), it.link, udata); };
    return q7tools_internal::walk(file_id, q7tools_internal::normalise_walk_path(grp_name), visit_root != 0,
                                  recurse != 0, fields, w);
}

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
