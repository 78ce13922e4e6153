// tools_shared.hpp - helpers of libq7tools that the tools built on it use
// as well (q7repack includes this header): the library's reason for a
// failure, block shapes for moving a dataset's data in bounded memory,
// extents as text, and an identifier closed at the end of a scope.
#pragma once

#include "quor7.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace q7tools_internal {

// Largest block of one dataset held in memory at a time.
constexpr q7size_t kBlockCapBytes = 8u << 20;
// Size of a band of rows, the block of a dataset that is not chunked.
constexpr q7size_t kBandBytes = 1u << 20;

// The innermost message on the library's default stack ("" when there is
// none or it cannot be copied).  Never throws.
std::string library_reason() noexcept;
// "msg: <library reason>", or msg alone when the library said nothing.
std::string with_reason(const std::string &msg);

// Deepest nesting of groups that a walk of the tools (listing, comparison,
// repacking) enters below its start object.  A file nested deeper is
// refused with a message naming the first group past the limit, rather
// than walked without bound.
constexpr size_t kMaxWalkDepth = 8192;

// A path for a message: at most about 100 bytes, the middle left out of a
// longer one ("/g/g/.../g/g"), so a deeply nested path stays readable.
std::string short_path(const std::string &path);

// Whether a link name read from a file can name one member of a group: not
// empty, no "/", not "." or "..".  The walks skip any other name (with a
// message), since it would name another object when looked up.
bool is_member_name(const std::string &name) noexcept;

// What a walk hands its callback for each link it meets.
struct WalkItem {
    const std::string &path;    // display path: the start path joined with the link names
    q7id_t parent;              // the open group holding the link; -1 for the start object
    const std::string &name;    // the link name in parent ("" for the start object)
    const Q7L_info_t *link;     // soft, external or unknown link: its information; null for objects
    const Q7O_info2_t *info;    // objects: their information; null for other links
    q7id_t object;              // objects: the object, open while the callback runs (-1 when it
                                // is neither a group nor a dataset, or could not be opened)
    const char *already;        // objects reached again: the path of their first visit
    size_t depth;               // groups between the start object and this one: 0 for the
                                // start object, 1 for the links of the start group, ...
};

struct Walker {
    // A non-zero result ends the walk (negative: the walk fails).
    std::function<int(const WalkItem &)> object;
    std::function<int(const WalkItem &)> link;
    // One line about an object the walk skips (a name that is no member
    // name) or stops at (cannot be read, nested too deep).  Unset: the
    // line goes on the tools error stack.
    std::function<void(const std::string &)> problem;
};

// Depth first from the object at `start`, the links of a group in name
// order; each child is looked up and opened through its open parent group,
// so the cost is linear in the number of links.  Groups reached again
// through another hard link are not entered again; nesting deeper than
// kMaxWalkDepth stops the walk.  Returns 0, or -1 when a callback failed or
// the walk met a problem (skipped objects are reported and the walk goes
// on; the others end it).
int walk(q7id_t file, const std::string &start, bool visit_root, bool recurse, unsigned fields, const Walker &w);

// "/" followed by the path with repeated and trailing slashes and "."
// components removed.
std::string normalise_walk_path(const char *path);

// An extent as text: "[2,3]", "[]" for a scalar.
std::string dims_text(const std::vector<q7size_t> &dims);

// Adds to `out` the origins of the blocks (of shape `block`, a grid from
// the origin) that overlap at least one stored chunk of the chunked dataset
// `dset` (chunk shape `chunk`, extent `dims`), in row-major order as a set
// keeps them: what a copy or comparison of a sparse dataset must visit.
// False when the chunks cannot be listed (the library's record stays).
bool blocks_with_chunks(q7id_t dset, const std::vector<q7size_t> &chunk, const std::vector<q7size_t> &dims,
                        const std::vector<q7size_t> &block, std::set<std::vector<q7size_t>> &out);

// Product of the values times start, UINT64_MAX when it overflows.
q7size_t saturating_product(const std::vector<q7size_t> &v, q7size_t start);

// A band of whole rows of about kBandBytes, filled from the
// fastest-varying dimension outwards.
std::vector<q7size_t> row_band(const std::vector<q7size_t> &dims, q7size_t elem);

// Block shape for moving the data of a dataset of the given extent.  Each
// block covers whole chunks of `chunk` and, where `other_chunk` (the
// chunks of a second dataset the data moves between, or none) is larger,
// whole chunks of it too, so that every chunk of either is decoded or
// encoded once; row bands when neither is chunked.  Blocks are made
// smaller, whole chunks at a time from the slowest dimension, until they
// fit kBlockCapBytes; a single chunk above the cap is cut in halves.
std::vector<q7size_t> block_shape(const std::vector<q7size_t> &dims, const std::vector<q7size_t> &chunk,
                                  const std::vector<q7size_t> &other_chunk, q7size_t elem);

// Runs the body of a callback handed to the storage library, which must
// not see an exception: an exception is kept in `error` and the callback
// answers -1 (ending the library's walk); the caller rethrows it once the
// library call has returned.
template <class Fn>
q7status_t keep_exception(std::exception_ptr &error, Fn &&fn) noexcept {
    try {
        return fn();
    } catch (...) {
        error = std::current_exception();
        return -1;
    }
}

// Names collected by a walk of the storage library (links, attributes),
// with the exception that ended the walk, if any.
struct NameList {
    std::vector<std::string> names;
    std::exception_ptr error;
    void rethrow() const {
        if (error) std::rethrow_exception(error);
    }
};

// Closes an identifier of any kind at the end of a scope.
class IdHolder {
public:
    using Close = q7status_t (*)(q7id_t);
    IdHolder(q7id_t id, Close close) noexcept : id_(id), close_(close) {}
    ~IdHolder() { reset(-1); }
    IdHolder(const IdHolder &) = delete;
    IdHolder &operator=(const IdHolder &) = delete;

    operator q7id_t() const { return id_; }
    q7id_t id() const { return id_; }
    bool ok() const { return id_ >= 0; }
    // Closes the identifier held, if any, and holds id instead.
    void reset(q7id_t id) noexcept {
        if (id_ >= 0 && close_) close_(id_);
        id_ = id;
    }
    // Hands the identifier over without closing it.
    q7id_t release() noexcept {
        const q7id_t id = id_;
        id_ = -1;
        return id;
    }

private:
    q7id_t id_;
    Close close_;
};

} // namespace q7tools_internal
