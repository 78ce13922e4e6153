// The comparison engine of q7diff: walks two object trees side by side in
// link-name order and compares what it meets - kinds, link targets,
// attributes and dataset elements.  Data is read block by block (a block
// is a chunk of the first dataset, or a band of rows of a contiguous one),
// so memory stays bounded whatever the size of the datasets.
#include "kit_filtercheck.h"
#include "q7tools.h"
#include "tools_internal.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <vector>

using q7tools_internal::block_shape;
using q7tools_internal::dims_text;
using q7tools_internal::format;
using q7tools_internal::IdHolder;
using q7tools_internal::join_path;
using q7tools_internal::keep_exception;
using q7tools_internal::library_reason;
using q7tools_internal::NameList;

namespace {

// Largest attribute value compared (attributes are read whole).
constexpr size_t attribute_cap_bytes = 64u << 20;
const std::string empty_reason;

// ---------------------------------------------------------------------
// Element layouts
// ---------------------------------------------------------------------

enum class Kind { Int, Uint, Float, Bits, Bytes, String };

// One scalar field of an element: the element itself, or a member (at any
// depth) of a compound element.
struct Leaf {
    std::string name;  // "" for the element itself, ".a.b" for members
    size_t offset = 0;
    size_t size = 0;
    Kind kind = Kind::Bytes;
    bool big_endian = false;
};

struct Layout {
    int32_t cls = Q7T_NO_CLASS;
    size_t size = 0;
    std::vector<Leaf> leaves;
};

const char *class_name(int32_t cls) {
    switch (cls) {
    case Q7T_INTEGER: return "integer";
    case Q7T_FLOAT: return "float";
    case Q7T_TIME: return "time";
    case Q7T_STRING: return "string";
    case Q7T_BITFIELD: return "bit-field";
    case Q7T_OPAQUE: return "opaque";
    case Q7T_COMPOUND: return "compound";
    default: return "unknown";
    }
}

bool add_leaves(q7id_t type, const std::string &name, size_t base, Layout &out) {
    int32_t cls = Q7Tget_class(type);
    size_t size = Q7Tget_size(type);
    if (cls < 0 || size == 0) return false;
    if (cls == Q7T_COMPOUND) {
        int32_t n = Q7Tget_nmembers(type);
        if (n < 0) return false;
        for (int32_t i = 0; i < n; i++) {
            char *mname = Q7Tget_member_name(type, static_cast<unsigned>(i));
            size_t moff = Q7Tget_member_offset(type, static_cast<unsigned>(i));
            q7id_t mtype = Q7Tget_member_type(type, static_cast<unsigned>(i));
            bool ok = mname && mtype >= 0 && add_leaves(mtype, name + "." + mname, base + moff, out);
            if (mname) Q7free_memory(mname);
            if (mtype >= 0) Q7Tclose(mtype);
            if (!ok) return false;
        }
        return true;
    }
    Leaf leaf;
    leaf.name = name;
    leaf.offset = base;
    leaf.size = size;
    leaf.big_endian = Q7Tget_order(type) == Q7T_ORDER_BE;
    switch (cls) {
    case Q7T_INTEGER:
    case Q7T_TIME:
        if (size <= 8) leaf.kind = Q7Tget_sign(type) == Q7T_SGN_2 ? Kind::Int : Kind::Uint;
        break;
    case Q7T_FLOAT:
        if (size == 4 || size == 8) leaf.kind = Kind::Float;
        break;
    case Q7T_BITFIELD:
        if (size <= 8) leaf.kind = Kind::Bits;
        break;
    case Q7T_STRING:
        leaf.kind = Kind::String;
        break;
    default:
        break;
    }
    out.leaves.push_back(leaf);
    return true;
}

bool make_layout(q7id_t type, Layout &out) {
    out.cls = Q7Tget_class(type);
    out.size = Q7Tget_size(type);
    return add_leaves(type, "", 0, out);
}

// Same class of values at every leaf, so that elements can be compared
// leaf by leaf; byte order, signedness and member offsets may differ.
std::string layout_mismatch(const Layout &a, const Layout &b) {
    if (a.cls != b.cls) return format("of different class (%s, %s)", class_name(a.cls), class_name(b.cls));
    if (a.size != b.size) return format("of different element size (%zu, %zu bytes)", a.size, b.size);
    if (a.leaves.size() != b.leaves.size())
        return format("with different numbers of members (%zu, %zu)", a.leaves.size(), b.leaves.size());
    for (size_t i = 0; i < a.leaves.size(); i++) {
        const Leaf &x = a.leaves[i], &y = b.leaves[i];
        bool ints = (x.kind == Kind::Int || x.kind == Kind::Uint) && (y.kind == Kind::Int || y.kind == Kind::Uint);
        if (x.name != y.name) return format("with different members (%s, %s)", x.name.c_str() + 1, y.name.c_str() + 1);
        if (x.size != y.size || (x.kind != y.kind && !ints))
            return format("with differing member %s", x.name.empty() ? "type" : x.name.c_str() + 1);
    }
    return std::string();
}

bool same_bytes_layout(const Layout &a, const Layout &b) {
    if (a.size != b.size || a.leaves.size() != b.leaves.size()) return false;
    for (size_t i = 0; i < a.leaves.size(); i++) {
        const Leaf &x = a.leaves[i], &y = b.leaves[i];
        if (x.offset != y.offset || x.kind != y.kind || x.big_endian != y.big_endian) return false;
    }
    return true;
}

uint64_t load_unsigned(const unsigned char *p, size_t size, bool big_endian) {
    uint64_t v = 0;
    if (big_endian) {
        for (size_t i = 0; i < size; i++) v = (v << 8) | p[i];
    } else {
        for (size_t i = size; i-- > 0;) v = (v << 8) | p[i];
    }
    return v;
}

__int128 load_integer(const unsigned char *p, const Leaf &leaf) {
    uint64_t u = load_unsigned(p, leaf.size, leaf.big_endian);
    if (leaf.kind == Kind::Uint) return static_cast<__int128>(u);
    if (leaf.size < 8 && (u >> (leaf.size * 8 - 1)) & 1u) u |= ~uint64_t(0) << (leaf.size * 8);
    return static_cast<__int128>(static_cast<int64_t>(u));
}

double load_float(const unsigned char *p, const Leaf &leaf) {
    uint64_t bits = load_unsigned(p, leaf.size, leaf.big_endian);
    if (leaf.size == 4) {
        uint32_t b32 = static_cast<uint32_t>(bits);
        float f;
        memcpy(&f, &b32, 4);
        return f;
    }
    double d;
    memcpy(&d, &bits, 8);
    return d;
}

std::string int128_text(__int128 v) {
    bool neg = v < 0;
    unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string s;
    do {
        s.push_back(static_cast<char>('0' + static_cast<int>(u % 10)));
        u /= 10;
    } while (u);
    if (neg) s.push_back('-');
    std::reverse(s.begin(), s.end());
    return s;
}

std::string float_text(double v, bool single) {
    char buf[64];
    std::to_chars_result r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                                    : std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string long_double_text(long double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Differences of floating-point values and statistics: shown as the
    // nearest double, in its shortest form.
    return float_text(static_cast<double>(v), false);
}

std::string hex_text(const unsigned char *p, size_t size, bool big_endian) {
    // Shown most significant byte first, whatever the stored order.
    std::string s = "0x";
    const size_t shown = std::min<size_t>(size, 32);
    for (size_t i = 0; i < shown; i++) {
        size_t idx = big_endian ? i : size - 1 - i;
        s += format("%02x", p[idx]);
    }
    if (shown < size) s += "...";
    return s;
}

std::string string_text(const unsigned char *p, size_t size) {
    std::string s = "\"";
    for (size_t i = 0; i < size && p[i]; i++) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            s.push_back('\\');
            s.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7f) {
            s += format("\\x%02x", c);
        } else {
            s.push_back(static_cast<char>(c));
        }
    }
    return s + "\"";
}

// ---------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------

struct ObjectStats {
    uint64_t found = 0;
    uint64_t compared = 0;
    long double max_abs = 0;
    long double max_rel = 0;
};

// Every object compared, as its link name and the object of its parent
// group: paths of first comparisons cost memory in proportion to the
// number of objects, not to their depth times their number.
struct PathNode {
    size_t parent;  // kNoNode for the start objects
    std::string name;
};
constexpr size_t kNoNode = static_cast<size_t>(-1);

// Appends a link name to a group's path.
void append_name(std::string &path, const std::string &name) {
    if (path != "/") path += '/';
    path += name;
}

std::string path_of(const std::vector<PathNode> &nodes, size_t n) {
    std::vector<size_t> chain;
    for (; n != kNoNode; n = nodes[n].parent) chain.push_back(n);
    std::string out = nodes[chain.back()].name;
    for (size_t i = chain.size() - 1; i-- > 0;) append_name(out, nodes[chain[i]].name);
    return out;
}

struct Side {
    const char *fname = nullptr;
    q7id_t file = -1;
    std::map<q7addr_t, size_t> seen;       // object address -> node of its first comparison
    std::map<q7addr_t, size_t> ancestors;  // groups on the way down, with their count
};

struct Run {
    diff_opt_t *opts;
    Side s1, s2;
    std::vector<std::string> excluded;
    bool stopped = false;  // the walk met a limit: nothing more is compared
    std::vector<PathNode> nodes;
    // The path of the innermost pair of groups, then of the link being
    // compared: in the first file (also the path shown) and the second.
    std::string path1, path2;
};

bool quiet(const Run &r) { return r.opts->mode_quiet != 0; }

// Records an error of the run; reason defaults to what the library said
// about its last failed call.
void fail(Run &r, const std::string &msg, const std::string *given_reason = nullptr) {
    r.opts->err_stat = 1;
    std::string reason = given_reason ? *given_reason : library_reason();
    std::string line = reason.empty() ? msg : msg + ": " + reason;
    Q7TOOLS_PUSH("q7diff", line.c_str());
    error_msg("%s", line.c_str());
}

void not_comparable(Run &r, const std::string &path, const std::string &why) {
    r.opts->equal_allowed = 0;
    r.opts->n_not_compared++;
    if (!quiet(r)) printf("not comparable: <%s> %s\n", path.c_str(), why.c_str());
}

std::string normalise(const char *path) {
    std::string out = "/";
    for (const char *p = path; *p; ++p) {
        if (*p == '/') {
            if (out.back() != '/') out.push_back('/');
        } else {
            out.push_back(*p);
        }
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool is_excluded(const Run &r, const std::string &path) {
    for (const std::string &ex : r.excluded) {
        if (path == ex) return true;
        if (ex == "/") return true;
        if (path.size() > ex.size() && path.compare(0, ex.size(), ex) == 0 && path[ex.size()] == '/') return true;
    }
    return false;
}

std::string coords_text(const std::vector<q7size_t> &coords) {
    if (coords.empty()) return std::string();
    std::string s = "[";
    for (size_t i = 0; i < coords.size(); i++) {
        if (i) s += ",";
        s += std::to_string(coords[i]);
    }
    return s + "]";
}

// Reports one differing leaf unless the per-object limit has been reached.
void report(Run &r, ObjectStats &st, const std::string &where, const std::string &v1, const std::string &v2,
            const std::string &diff) {
    st.found++;
    if (quiet(r)) return;
    if (r.opts->count_bool && st.found > r.opts->count) return;
    printf("%s: %s vs %s, difference %s\n", where.c_str(), v1.c_str(), v2.c_str(), diff.c_str());
}

// Decides whether two numbers differ under the options in force.
bool numbers_differ(const diff_opt_t *o, long double a, long double b) {
    bool na = std::isnan(a), nb = std::isnan(b);
    if (na || nb) return (na && nb) ? o->strict_nan != 0 : true;
    if (a == b) return false;
    if (std::isinf(a) || std::isinf(b)) return true;
    if (!o->delta_bool && !o->percent_bool) return true;
    long double diff = fabsl(a - b);
    if (o->delta_bool && !(diff > static_cast<long double>(o->delta))) return false;
    if (o->percent_bool &&
        !(diff > static_cast<long double>(o->percent) * std::max(fabsl(a), fabsl(b))))
        return false;
    return true;
}

void note_magnitude(ObjectStats &st, long double a, long double b) {
    if (std::isnan(a) || std::isnan(b) || std::isinf(a) || std::isinf(b)) return;
    long double diff = fabsl(a - b);
    if (diff > st.max_abs) st.max_abs = diff;
    long double m = std::max(fabsl(a), fabsl(b));
    if (m > 0 && diff / m > st.max_rel) st.max_rel = diff / m;
}

// Compares one leaf of two elements; where() builds the location text
// only when a line is printed.
template <class Where>
void compare_leaf(Run &r, ObjectStats &st, const Leaf &l1, const unsigned char *p1, const Leaf &l2,
                  const unsigned char *p2, Where where) {
    const diff_opt_t *o = r.opts;
    if ((l1.kind == Kind::Int || l1.kind == Kind::Uint) && (l2.kind == Kind::Int || l2.kind == Kind::Uint)) {
        __int128 a = load_integer(p1, l1), b = load_integer(p2, l2);
        if (a == b) return;
        long double la = static_cast<long double>(a), lb = static_cast<long double>(b);
        note_magnitude(st, la, lb);
        bool differ = true;
        if (o->delta_bool || o->percent_bool) {
            __int128 d = a > b ? a - b : b - a;
            long double ld = static_cast<long double>(d);
            if (o->delta_bool && !(ld > static_cast<long double>(o->delta))) differ = false;
            if (o->percent_bool &&
                !(ld > static_cast<long double>(o->percent) * std::max(fabsl(la), fabsl(lb))))
                differ = false;
        }
        if (differ) report(r, st, where(), int128_text(a), int128_text(b), int128_text(a > b ? a - b : b - a));
        return;
    }
    if (l1.kind == Kind::Float && l2.kind == Kind::Float) {
        double a = load_float(p1, l1), b = load_float(p2, l2);
        long double la = a, lb = b;
        note_magnitude(st, la, lb);
        if (numbers_differ(o, la, lb)) {
            long double d = std::isnan(la) || std::isnan(lb) ? NAN : fabsl(la - lb);
            report(r, st, where(), float_text(a, l1.size == 4), float_text(b, l2.size == 4), long_double_text(d));
        }
        return;
    }
    if (l1.kind == Kind::Bits && l2.kind == Kind::Bits) {
        uint64_t a = load_unsigned(p1, l1.size, l1.big_endian), b = load_unsigned(p2, l2.size, l2.big_endian);
        if (a != b) {
            uint64_t x = a ^ b;
            report(r, st, where(), format("0x%0*llx", static_cast<int>(l1.size * 2), static_cast<unsigned long long>(a)),
                   format("0x%0*llx", static_cast<int>(l2.size * 2), static_cast<unsigned long long>(b)),
                   format("0x%0*llx (bits that differ)", static_cast<int>(l1.size * 2),
                          static_cast<unsigned long long>(x)));
        }
        return;
    }
    if (l1.kind == Kind::String) {
        size_t n1 = strnlen(reinterpret_cast<const char *>(p1), l1.size);
        size_t n2 = strnlen(reinterpret_cast<const char *>(p2), l2.size);
        if (n1 != n2 || memcmp(p1, p2, n1) != 0)
            report(r, st, where(), string_text(p1, l1.size), string_text(p2, l2.size), "(texts differ)");
        return;
    }
    if (memcmp(p1, p2, l1.size) != 0)
        report(r, st, where(), hex_text(p1, l1.size, l1.big_endian), hex_text(p2, l2.size, l2.big_endian),
               "(bytes differ)");
}

// Offset of the first byte in [from, len) where the buffers differ, or len.
size_t first_mismatch(const unsigned char *a, const unsigned char *b, size_t from, size_t len) {
    size_t i = from;
    for (; i + 8 <= len; i += 8) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < len && a[i] == b[i]) i++;
    return i;
}

// Compares n elements of two buffers; first_index is the linear index of
// the first element within a block whose shape is block_dims and whose
// origin in the dataset is block_start.
void compare_elements(Run &r, ObjectStats &st, const std::string &path, const Layout &a, const Layout &b,
                      const unsigned char *buf1, const unsigned char *buf2, size_t n,
                      const std::vector<q7size_t> &block_start, const std::vector<q7size_t> &block_dims) {
    bool has_float = false;
    for (const Leaf &l : a.leaves) has_float |= l.kind == Kind::Float;
    // Elements whose bytes are equal are equal values, unless a NaN must
    // differ from itself.
    bool byte_shortcut = same_bytes_layout(a, b) && !(r.opts->strict_nan && has_float);
    st.compared += n;
    if (byte_shortcut && memcmp(buf1, buf2, n * a.size) == 0) return;

    const size_t es1 = a.size, es2 = b.size;
    for (size_t i = 0; i < n; i++) {
        if (byte_shortcut) {
            size_t at = first_mismatch(buf1, buf2, i * es1, n * es1);
            if (at == n * es1) break;
            i = at / es1;
        }
        const unsigned char *e1 = buf1 + i * es1, *e2 = buf2 + i * es2;
        for (size_t k = 0; k < a.leaves.size(); k++) {
            const Leaf &l1 = a.leaves[k], &l2 = b.leaves[k];
            compare_leaf(r, st, l1, e1 + l1.offset, l2, e2 + l2.offset, [&] {
                std::vector<q7size_t> coords(block_dims.size());
                size_t rest = i;
                for (size_t d = block_dims.size(); d-- > 0;) {
                    coords[d] = block_start[d] + rest % block_dims[d];
                    rest /= block_dims[d];
                }
                return path + coords_text(coords) + l1.name;
            });
        }
    }
}

void finish_object(Run &r, const std::string &path, const ObjectStats &st, bool data) {
    r.opts->nfound += st.found;
    if (quiet(r)) return;
    if (st.found && !r.opts->mode_report)
        printf("%s: %llu difference%s\n", path.c_str(), static_cast<unsigned long long>(st.found),
               st.found == 1 ? "" : "s");
    if (data && r.opts->statistics) {
        double share = st.compared ? 100.0 * static_cast<double>(st.found) / static_cast<double>(st.compared) : 0.0;
        printf("%s: %llu elements compared, %llu differ (%.6g%%), largest absolute difference %s, "
               "largest relative difference %s\n",
               path.c_str(), static_cast<unsigned long long>(st.compared), static_cast<unsigned long long>(st.found),
               share, long_double_text(st.max_abs).c_str(), long_double_text(st.max_rel).c_str());
    }
}

// ---------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------

// Called by the storage library: an exception is kept for the caller to
// rethrow once the listing returned.
q7status_t collect_name(q7id_t, const char *name, void *op_data) {
    auto *list = static_cast<NameList *>(op_data);
    return keep_exception(list->error, [&] {
        list->names.push_back(name);
        return 0;
    });
}

struct Shape {
    int rank = 0;
    std::vector<q7size_t> dims;
};

bool get_shape(q7id_t space, Shape &s) {
    s.rank = Q7Sget_simple_extent_ndims(space);
    if (s.rank < 0) return false;
    s.dims.assign(static_cast<size_t>(s.rank), 0);
    if (s.rank > 0 && Q7Sget_simple_extent_dims(space, s.dims.data(), nullptr) < 0) return false;
    return true;
}

// The number of elements; false when it does not fit 64 bits (a damaged
// or hostile extent such as 2^32 x 2^32).
bool npoints(const Shape &s, q7size_t *n) {
    *n = 1;
    for (q7size_t d : s.dims)
        if (__builtin_mul_overflow(*n, d, n)) return false;
    return true;
}

// Checks that two values can be compared element by element; prints the
// reason and answers false when they cannot.
bool comparable_values(Run &r, const std::string &path, const char *what, const Layout &a, const Layout &b,
                       const Shape &s1, const Shape &s2) {
    std::string why = layout_mismatch(a, b);
    if (!why.empty()) {
        not_comparable(r, path, format("%ss %s", what, why.c_str()));
        return false;
    }
    if (s1.rank != s2.rank) {
        not_comparable(r, path, format("%ss of different rank (%d, %d)", what, s1.rank, s2.rank));
        return false;
    }
    if (s1.dims != s2.dims) {
        not_comparable(r, path,
                       format("%ss of different dimensions (%s, %s)", what, dims_text(s1.dims).c_str(), dims_text(s2.dims).c_str()));
        return false;
    }
    return true;
}

void compare_attribute(Run &r, q7id_t o1, q7id_t o2, const std::string &obj_path, const std::string &name) {
    std::string path = obj_path + "@" + name;
    // Declared in reverse order of closing: spaces, types, then attributes.
    IdHolder a1(Q7Aopen(o1, name.c_str(), 0), Q7Aclose);
    IdHolder a2(a1.ok() ? Q7Aopen(o2, name.c_str(), 0) : -1, Q7Aclose);
    IdHolder t1(-1, Q7Tclose), t2(-1, Q7Tclose), sp1(-1, Q7Sclose), sp2(-1, Q7Sclose);
    do {
        if (!a1.ok() || !a2.ok()) {
            fail(r, format("cannot open attribute <%s>", path.c_str()));
            break;
        }
        t1.reset(Q7Aget_type(a1));
        t2.reset(Q7Aget_type(a2));
        sp1.reset(Q7Aget_space(a1));
        sp2.reset(Q7Aget_space(a2));
        Layout l1, l2;
        Shape s1, s2;
        if (t1 < 0 || t2 < 0 || sp1 < 0 || sp2 < 0 || !make_layout(t1, l1) || !make_layout(t2, l2) ||
            !get_shape(sp1, s1) || !get_shape(sp2, s2)) {
            fail(r, format("cannot read the type or shape of attribute <%s>", path.c_str()));
            break;
        }
        if (!comparable_values(r, path, "attribute", l1, l2, s1, s2)) break;
        q7size_t n = 0;
        if (!npoints(s1, &n)) {
            fail(r, format("attribute <%s> has more elements than can be counted (%s)", path.c_str(),
                           dims_text(s1.dims).c_str()),
                 &empty_reason);
            break;
        }
        // Attributes are read whole; a value beyond any sensible attribute
        // size means a damaged file, not a reason to exhaust memory.
        if (n > attribute_cap_bytes / std::max<size_t>(1, std::max(l1.size, l2.size))) {
            fail(r, format("attribute <%s> claims %llu elements, more than can be compared", path.c_str(),
                           static_cast<unsigned long long>(n)),
                 &empty_reason);
            break;
        }
        std::vector<unsigned char> b1(n * l1.size), b2(n * l2.size);
        if (n && (Q7Aread(a1, t1, b1.data()) < 0 || Q7Aread(a2, t2, b2.data()) < 0)) {
            fail(r, format("cannot read attribute <%s>", path.c_str()));
            break;
        }
        ObjectStats st;
        compare_elements(r, st, path, l1, l2, b1.data(), b2.data(), n, std::vector<q7size_t>(s1.dims.size(), 0),
                         s1.dims);
        finish_object(r, path, st, false);
    } while (false);
}

void compare_attributes(Run &r, q7id_t o1, q7id_t o2, const std::string &path) {
    NameList l1, l2;
    bool listed = Q7Aiterate2(o1, nullptr, collect_name, &l1) >= 0 && Q7Aiterate2(o2, nullptr, collect_name, &l2) >= 0;
    l1.rethrow();
    l2.rethrow();
    if (!listed) {
        fail(r, format("cannot list the attributes of <%s>", path.c_str()));
        return;
    }
    std::vector<std::string> &n1 = l1.names, &n2 = l2.names;
    std::sort(n1.begin(), n1.end());
    std::sort(n2.begin(), n2.end());
    size_t i = 0, j = 0;
    while (i < n1.size() || j < n2.size()) {
        if (j >= n2.size() || (i < n1.size() && n1[i] < n2[j])) {
            not_comparable(r, path + "@" + n1[i], format("is an attribute in %s only", r.s1.fname));
            i++;
        } else if (i >= n1.size() || n2[j] < n1[i]) {
            not_comparable(r, path + "@" + n2[j], format("is an attribute in %s only", r.s2.fname));
            j++;
        } else {
            compare_attribute(r, o1, o2, path, n1[i]);
            i++;
            j++;
        }
    }
}

// ---------------------------------------------------------------------
// Datasets
// ---------------------------------------------------------------------

std::vector<q7size_t> chunk_dims(q7id_t dcpl, int rank) {
    std::vector<q7size_t> c(static_cast<size_t>(std::max(rank, 1)), 0);
    int n = Q7Pget_chunk(dcpl, rank, c.data());
    if (n != rank) return {};
    c.resize(static_cast<size_t>(rank));
    return c;
}

// Reads one block; on failure *reason holds the library's message, taken
// before the clean-up calls replace it.
bool read_block(q7id_t dset, q7id_t type, const std::vector<q7size_t> &start, const std::vector<q7size_t> &count,
                void *buf, std::string *reason) {
    if (start.empty()) {
        bool ok = Q7Dread(dset, type, 0, 0, 0, buf) >= 0;
        if (!ok) *reason = library_reason();
        return ok;
    }
    q7id_t fspace = Q7Dget_space(dset);
    q7id_t mspace = fspace >= 0 ? Q7Screate_simple(static_cast<int>(count.size()), count.data(), nullptr) : -1;
    bool ok = fspace >= 0 && mspace >= 0 &&
              Q7Sselect_hyperslab(fspace, Q7S_SELECT_SET, start.data(), nullptr, count.data(), nullptr) >= 0 &&
              Q7Dread(dset, type, mspace, fspace, 0, buf) >= 0;
    if (!ok) *reason = library_reason();
    if (mspace >= 0) Q7Sclose(mspace);
    if (fspace >= 0) Q7Sclose(fspace);
    return ok;
}

// Whether the fill values of two datasets compare equal under the options
// in force (nothing printed); false when either cannot be read.
bool same_fill(Run &r, q7id_t t1, q7id_t t2, const Layout &l1, const Layout &l2, q7id_t dcpl1, q7id_t dcpl2) {
    std::vector<unsigned char> f1(l1.size), f2(l2.size);
    if (Q7Pget_fill_value(dcpl1, t1, f1.data()) < 0 || Q7Pget_fill_value(dcpl2, t2, f2.data()) < 0) return false;
    diff_opt_t silent = *r.opts;
    silent.mode_quiet = 1;
    Run probe{&silent, {}, {}, {}, false, {}, {}, {}};
    ObjectStats st;
    compare_elements(probe, st, std::string(), l1, l2, f1.data(), f2.data(), 1, {0}, {1});
    return st.found == 0;
}

void compare_dataset_data(Run &r, const std::string &path, q7id_t d1, q7id_t d2, q7id_t t1, q7id_t t2,
                          const Layout &l1, const Layout &l2, const Shape &shape, q7id_t dcpl1, q7id_t dcpl2) {
    ObjectStats st;
    const size_t rank = shape.dims.size();
    q7size_t total = 0;
    if (!npoints(shape, &total)) {
        fail(r, format("dataset <%s> has more elements than can be counted (%s): not compared", path.c_str(),
                       dims_text(shape.dims).c_str()),
             &empty_reason);
        return;
    }
    if (total > 0) {
        const std::vector<q7size_t> chunk1 = chunk_dims(dcpl1, shape.rank), chunk2 = chunk_dims(dcpl2, shape.rank);
        std::vector<q7size_t> chunk = chunk1.empty() ? chunk2 : chunk1;
        // Blocks of whole chunks of the first dataset (or the second's).
        std::vector<q7size_t> block = block_shape(shape.dims, chunk, {}, std::max(l1.size, l2.size));
        size_t block_elems = 1;
        for (q7size_t x : block) block_elems *= x;
        q7size_t blocks = 1;
        for (size_t i = 0; i < rank; i++)
            blocks = q7tools_internal::saturating_product({(shape.dims[i] - 1) / block[i] + 1}, blocks);

        // Both chunked with equal fill values: a block where neither stores
        // a chunk reads as the fill value on both sides and is equal, so
        // only the blocks holding a stored chunk on either side are read
        // and the time goes with what is stored, not with the extent.
        std::set<std::vector<q7size_t>> stored_blocks;
        bool sparse = false;
        if (rank > 0 && !chunk1.empty() && !chunk2.empty() && same_fill(r, t1, t2, l1, l2, dcpl1, dcpl2)) {
            q7size_t n1 = 0, n2 = 0;
            if (Q7Dget_num_chunks(d1, &n1) >= 0 && Q7Dget_num_chunks(d2, &n2) >= 0 && n1 <= blocks / 2 &&
                n2 <= blocks / 2) {
                if (!q7tools_internal::blocks_with_chunks(d1, chunk1, shape.dims, block, stored_blocks)) {
                    fail(r, format("cannot list the chunks of dataset <%s> of %s", path.c_str(), r.s1.fname));
                    return;
                }
                if (!q7tools_internal::blocks_with_chunks(d2, chunk2, shape.dims, block, stored_blocks)) {
                    fail(r, format("cannot list the chunks of dataset <%s> of %s", path.c_str(), r.s2.fname));
                    return;
                }
                sparse = true;
            }
        }
        std::vector<unsigned char> b1(block_elems * l1.size), b2(block_elems * l2.size);

        std::vector<q7size_t> start(rank, 0), count(rank, 1);
        auto next_stored = stored_blocks.begin();
        for (;;) {
            if (sparse) {
                if (next_stored == stored_blocks.end()) break;
                start = *next_stored++;
            }
            size_t n = 1;
            for (size_t i = 0; i < rank; i++) {
                count[i] = std::min(block[i], shape.dims[i] - start[i]);
                n *= count[i];
            }
            std::string reason;
            if (!read_block(d1, t1, start, count, b1.data(), &reason)) {
                fail(r, format("cannot read dataset <%s> of %s", path.c_str(), r.s1.fname), &reason);
                break;
            }
            if (!read_block(d2, t2, start, count, b2.data(), &reason)) {
                fail(r, format("cannot read dataset <%s> of %s", path.c_str(), r.s2.fname), &reason);
                break;
            }
            compare_elements(r, st, path, l1, l2, b1.data(), b2.data(), n, start, count);
            if (sparse) continue;
            // Next block in row-major order.
            size_t d = rank;
            while (d-- > 0) {
                start[d] += block[d];
                if (start[d] < shape.dims[d]) break;
                start[d] = 0;
            }
            if (d == static_cast<size_t>(-1)) break;
        }
        // The blocks not read were equal, every element of them.
        if (sparse) st.compared = total;
    }
    finish_object(r, path, st, true);
}

// The datasets are n1 in loc1 and n2 in loc2 (an open group and a member
// name, or a file and a path); p1 and p2 are their paths, for messages.
void compare_datasets(Run &r, const std::string &path, const std::string &p1, const std::string &p2, q7id_t loc1,
                      const std::string &n1, q7id_t loc2, const std::string &n2) {
    IdHolder d1(Q7Dopen2(loc1, n1.c_str(), 0), Q7Dclose);
    if (!d1.ok()) {
        fail(r, format("cannot open dataset <%s> of %s", p1.c_str(), r.s1.fname));
        return;
    }
    IdHolder d2(Q7Dopen2(loc2, n2.c_str(), 0), Q7Dclose);
    if (!d2.ok()) {
        fail(r, format("cannot open dataset <%s> of %s", p2.c_str(), r.s2.fname));
        return;
    }
    IdHolder t1(Q7Dget_type(d1), Q7Tclose), t2(Q7Dget_type(d2), Q7Tclose);
    IdHolder sp1(Q7Dget_space(d1), Q7Sclose), sp2(Q7Dget_space(d2), Q7Sclose);
    IdHolder c1(Q7Dget_create_plist(d1), Q7Pclose), c2(Q7Dget_create_plist(d2), Q7Pclose);
    do {
        Layout l1, l2;
        Shape s1, s2;
        if (t1 < 0 || t2 < 0 || sp1 < 0 || sp2 < 0 || c1 < 0 || c2 < 0 || !make_layout(t1, l1) ||
            !make_layout(t2, l2) || !get_shape(sp1, s1) || !get_shape(sp2, s2)) {
            fail(r, format("cannot read the description of dataset <%s>", path.c_str()));
            break;
        }
        if (!comparable_values(r, path, "dataset", l1, l2, s1, s2)) break;
        const char *warn_name = quiet(r) ? nullptr : path.c_str();
        int32_t ok1 = q7tools_canreadf(warn_name, c1);
        int32_t ok2 = ok1 < 0 ? ok1 : q7tools_canreadf(warn_name, c2);
        if (ok1 < 0 || ok2 < 0) {
            fail(r, format("cannot examine the filters of dataset <%s>", path.c_str()));
            break;
        }
        if (!ok1 || !ok2) {
            not_comparable(r, path, "cannot be read: not every filter of its pipeline is available");
            break;
        }
        compare_attributes(r, d1, d2, path);
        compare_dataset_data(r, path, d1, d2, t1, t2, l1, l2, s1, c1, c2);
    } while (false);
}

// ---------------------------------------------------------------------
// Groups, links and objects
// ---------------------------------------------------------------------

struct LinkEntry {
    std::string name;
    Q7L_info_t info;
};

struct LinkList {
    std::vector<LinkEntry> links;
    std::exception_ptr error;  // what ended the listing early
};

// Called by the storage library: an exception is kept for the caller to
// rethrow once the listing returned.
q7status_t collect_link(q7id_t, const char *name, const Q7L_info_t *info, void *op_data) {
    auto *list = static_cast<LinkList *>(op_data);
    return keep_exception(list->error, [&] {
        list->links.push_back(LinkEntry{name, *info});
        return 0;
    });
}

const char *kind_name(int32_t otype) {
    switch (otype) {
    case Q7O_TYPE_GROUP: return "a group";
    case Q7O_TYPE_DATASET: return "a dataset";
    case Q7O_TYPE_NAMED_DATATYPE: return "a named datatype";
    default: return "an object of unknown kind";
    }
}

const char *link_kind_name(int32_t ltype) {
    switch (ltype) {
    case Q7L_TYPE_SOFT: return "a soft link";
    case Q7L_TYPE_EXTERNAL: return "an external link";
    default: return "a link of unknown kind";
    }
}

// One pair of groups being compared: both open, their links in name order
// and the position reached in each list.  The comparison keeps a stack of
// these instead of recursing, so deep nesting uses no call stack, and each
// child is looked up through its open parent, never by its path from the
// root, so the cost is linear in the number of links.
struct GroupFrame {
    GroupFrame(q7id_t id1, q7id_t id2) : g1(id1, Q7Gclose), g2(id2, Q7Gclose) {}
    IdHolder g1, g2;
    size_t len1 = 0, len2 = 0;  // the paths: so many bytes of Run::path1 and path2
    size_t node = kNoNode;
    std::vector<LinkEntry> k1, k2;
    size_t i = 0, j = 0;
    q7addr_t a1 = 0, a2 = 0;
};

// std::deque: a frame never moves while the comparison holds it.
using GroupStack = std::deque<GroupFrame>;

// How many times each group address lies on the way down, per file.
bool on_the_way(const std::map<q7addr_t, size_t> &counts, q7addr_t a) { return counts.count(a) != 0; }
void leave(std::map<q7addr_t, size_t> &counts, q7addr_t a) {
    auto it = counts.find(a);
    if (it != counts.end() && --it->second == 0) counts.erase(it);
}

// Opens the frame of two groups (already open, held by the frame): their
// attributes are compared and their links listed.
void enter_groups(Run &r, GroupStack &stack, q7id_t g1, q7id_t g2, const std::string &path, const std::string &p2,
                  size_t node, q7addr_t a1, q7addr_t a2) {
    // The groups are stack.size() levels below the start.
    if (stack.size() > q7tools_internal::kMaxWalkDepth) {
        Q7Gclose(g1);
        Q7Gclose(g2);
        fail(r, format("<%s> lies more than %zu groups below the start of the comparison: nesting this deep is refused",
                       q7tools_internal::short_path(path).c_str(), q7tools_internal::kMaxWalkDepth),
             &empty_reason);
        r.stopped = true;
        return;
    }
    stack.emplace_back(g1, g2);
    GroupFrame &f = stack.back();
    f.len1 = path.size();
    f.len2 = p2.size();
    f.node = node;
    f.a1 = a1;
    f.a2 = a2;
    r.s1.ancestors[a1]++;
    r.s2.ancestors[a2]++;
    compare_attributes(r, f.g1, f.g2, path);
    LinkList l1, l2;
    bool listed = Q7Literate2(f.g1, nullptr, collect_link, &l1) >= 0 && Q7Literate2(f.g2, nullptr, collect_link, &l2) >= 0;
    if (l1.error) std::rethrow_exception(l1.error);
    if (l2.error) std::rethrow_exception(l2.error);
    if (!listed) {
        fail(r, format("cannot list the links of group <%s>", path.c_str()));
        return;  // the frame stays, empty, and is left at once
    }
    auto by_name = [](const LinkEntry &a, const LinkEntry &b) { return a.name < b.name; };
    f.k1 = std::move(l1.links);
    f.k2 = std::move(l2.links);
    std::sort(f.k1.begin(), f.k1.end(), by_name);
    std::sort(f.k2.begin(), f.k2.end(), by_name);
}

// Compares the objects named n1 in loc1 and n2 in loc2 (a group or file
// and a member name, or a file and a path for the start objects).  Two
// groups are not walked here: their frame is pushed on the stack.
// The path shown is the path in the first file; parent is the node of the
// groups holding the links.
void compare_object(Run &r, GroupStack &stack, const std::string &path, const std::string &p2, size_t parent,
                    q7id_t loc1, const std::string &n1, q7id_t loc2, const std::string &n2) {
    const std::string &p1 = path;
    Q7O_info2_t i1{}, i2{};
    if (Q7Oget_info_by_name2(loc1, n1.c_str(), &i1, Q7O_INFO_BASIC, 0) < 0) {
        fail(r, format("cannot get the information of <%s> in %s", p1.c_str(), r.s1.fname));
        return;
    }
    if (Q7Oget_info_by_name2(loc2, n2.c_str(), &i2, Q7O_INFO_BASIC, 0) < 0) {
        fail(r, format("cannot get the information of <%s> in %s", p2.c_str(), r.s2.fname));
        return;
    }
    // An object reached again through another hard link, in both files,
    // whose first visits were at the same place: already compared.
    auto f1 = r.s1.seen.find(i1.addr);
    auto f2 = r.s2.seen.find(i2.addr);
    if (f1 != r.s1.seen.end() && f2 != r.s2.seen.end() && f1->second == f2->second) {
        if (r.opts->mode_verbose && !quiet(r))
            printf("<%s> is a hard link to <%s>, already compared\n", path.c_str(),
                   path_of(r.nodes, f1->second).c_str());
        return;
    }
    const size_t node = r.nodes.size();
    r.nodes.push_back(PathNode{parent, parent == kNoNode ? path : n1});
    r.s1.seen.emplace(i1.addr, node);
    r.s2.seen.emplace(i2.addr, node);

    if (i1.type != i2.type) {
        not_comparable(r, path, format("is %s in %s and %s in %s", kind_name(i1.type), r.s1.fname,
                                       kind_name(i2.type), r.s2.fname));
        return;
    }
    r.opts->n_compared++;
    if (r.opts->mode_verbose && !quiet(r)) printf("comparing %s <%s>\n", kind_name(i1.type) + 2, path.c_str());
    switch (i1.type) {
    case Q7O_TYPE_GROUP: {
        // A group that contains itself in both files has been walked.
        if (on_the_way(r.s1.ancestors, i1.addr) && on_the_way(r.s2.ancestors, i2.addr)) return;
        IdHolder g1(Q7Gopen2(loc1, n1.c_str(), 0), Q7Gclose);
        IdHolder g2(g1.ok() ? Q7Gopen2(loc2, n2.c_str(), 0) : -1, Q7Gclose);
        if (!g1.ok() || !g2.ok()) {
            fail(r, format("cannot open group <%s>", path.c_str()));
            return;
        }
        const q7id_t id1 = g1.release(), id2 = g2.release();
        enter_groups(r, stack, id1, id2, path, p2, node, i1.addr, i2.addr);
        break;
    }
    case Q7O_TYPE_DATASET:
        compare_datasets(r, path, p1, p2, loc1, n1, loc2, n2);
        break;
    case Q7O_TYPE_NAMED_DATATYPE: {
        q7tri_t eq;
        {
            IdHolder t1(Q7Oopen(loc1, n1.c_str(), 0), Q7Oclose), t2(Q7Oopen(loc2, n2.c_str(), 0), Q7Oclose);
            eq = (t1.ok() && t2.ok()) ? Q7Tequal(t1, t2) : -1;
        }
        if (eq < 0) {
            fail(r, format("cannot compare the named datatypes <%s>", path.c_str()));
            return;
        }
        ObjectStats st;
        if (!eq) {
            st.found = 1;
            if (!quiet(r)) printf("%s: named datatypes differ\n", path.c_str());
        }
        finish_object(r, path, st, false);
        break;
    }
    default:
        not_comparable(r, path, "is an object of unknown kind");
        break;
    }
}

// Takes the next link (or pair of links) of the innermost pair of groups;
// false when both lists are done.
bool step_group(Run &r, GroupStack &stack) {
    GroupFrame &f = stack.back();
    std::vector<LinkEntry> &k1 = f.k1, &k2 = f.k2;
    size_t &i = f.i, &j = f.j;
    if (i >= k1.size() && j >= k2.size()) return false;
    r.path1.resize(f.len1);
    r.path2.resize(f.len2);
    const std::string &path = r.path1;
    bool left = j >= k2.size() || (i < k1.size() && k1[i].name < k2[j].name);
    bool right = !left && (i >= k1.size() || k2[j].name < k1[i].name);
    const LinkEntry &first = left ? k1[i] : k2[j];
    if (!q7tools_internal::is_member_name(first.name)) {
        // Looked up, such a name would reach another object: reported
        // and left out.
        const char *fname = left ? r.s1.fname : right ? r.s2.fname : r.s1.fname;
        fail(r,
             format("group <%s> of %s has a link named \"%s\", which is not a member name: skipped", path.c_str(),
                    fname, first.name.c_str()),
             &empty_reason);
        if (!right) i++;
        if (!left) j++;
        return true;
    }
    if (left || right) {
        const LinkEntry &e = first;
        std::string child = join_path(path, e.name);
        std::string own = join_path(left ? path : r.path2, e.name);
        if (!is_excluded(r, child) && !is_excluded(r, own))
            not_comparable(r, child, format("exists in %s only", left ? r.s1.fname : r.s2.fname));
        if (left) i++;
        else j++;
        return true;
    }
    const LinkEntry &e1 = k1[i++], &e2 = k2[j++];
    append_name(r.path1, e1.name);
    append_name(r.path2, e2.name);
    const std::string &child = r.path1, &c2 = r.path2;
    if (is_excluded(r, child) || is_excluded(r, c2)) {
        if (r.opts->mode_verbose) printf("excluded: <%s>\n", child.c_str());
        return true;
    }
    int32_t lt1 = e1.info.type, lt2 = e2.info.type;
    if (lt1 == Q7L_TYPE_HARD && lt2 == Q7L_TYPE_HARD) {
        // May push a frame: f and the references into it stay valid.
        compare_object(r, stack, child, c2, f.node, f.g1, e1.name, f.g2, e2.name);
        return true;
    }
    if (lt1 != lt2) {
        const char *what1 = lt1 == Q7L_TYPE_HARD ? "an object" : link_kind_name(lt1);
        const char *what2 = lt2 == Q7L_TYPE_HARD ? "an object" : link_kind_name(lt2);
        not_comparable(r, child, format("is %s in %s and %s in %s", what1, r.s1.fname, what2, r.s2.fname));
        return true;
    }
    // Two soft or two external links: their values are compared, the
    // links are never followed.
    r.opts->n_compared++;
    if (r.opts->mode_verbose && !quiet(r)) printf("comparing %s <%s>\n", link_kind_name(lt1), child.c_str());
    std::vector<char> v1(e1.info.val_size + 1, '\0'), v2(e2.info.val_size + 1, '\0');
    bool got = Q7Lget_val(f.g1, e1.name.c_str(), v1.data(), v1.size(), 0) >= 0 &&
               Q7Lget_val(f.g2, e2.name.c_str(), v2.data(), v2.size(), 0) >= 0;
    if (!got) {
        fail(r, format("cannot read the value of link <%s>", child.c_str()));
        return true;
    }
    std::string t1, t2;
    if (lt1 == Q7L_TYPE_SOFT) {
        t1 = v1.data();
        t2 = v2.data();
    } else {
        // "file\0object\0" shown as file:object.  A damaged value may
        // lack the inner terminator: every part stays inside the buffer.
        auto elink_text = [](const std::vector<char> &v) {
            const size_t n = strnlen(v.data(), v.size());
            const char *obj = n + 1 < v.size() ? v.data() + n + 1 : "";
            const size_t rest = n + 1 < v.size() ? v.size() - n - 1 : 0;
            return std::string(v.data(), n) + ":" + std::string(obj, strnlen(obj, rest));
        };
        t1 = elink_text(v1);
        t2 = elink_text(v2);
    }
    ObjectStats st;
    if (t1 != t2) {
        st.found = 1;
        if (!quiet(r)) printf("%s: link to <%s> vs link to <%s>, difference (targets differ)\n", child.c_str(),
                              t1.c_str(), t2.c_str());
    }
    finish_object(r, child, st, false);
    return true;
}

// Compares the two start objects and everything below them.
void compare_tree(Run &r, const std::string &p1, const std::string &p2) {
    GroupStack stack;
    r.path1 = p1;
    r.path2 = p2;
    compare_object(r, stack, r.path1, r.path2, kNoNode, r.s1.file, p1, r.s2.file, p2);
    while (!stack.empty() && !r.stopped) {
        if (step_group(r, stack)) continue;
        leave(r.s1.ancestors, stack.back().a1);
        leave(r.s2.ancestors, stack.back().a2);
        stack.pop_back();
    }
}

q7id_t open_file(Run &r, const char *fname) {
    q7id_t f = Q7Fopen(fname, Q7F_ACC_RDONLY, 0);
    if (f < 0) fail(r, format("cannot open %s", fname));
    return f;
}

// Opens both files and compares the two start objects.
void run_comparison(Run &r, const char *objname1, const char *objname2) {
    diff_opt_t *opts = r.opts;
    const char *fname1 = r.s1.fname, *fname2 = r.s2.fname;
    r.s1.file = open_file(r, fname1);
    r.s2.file = r.s1.file >= 0 ? open_file(r, fname2) : -1;
    if (r.s1.file >= 0 && r.s2.file >= 0) {
        std::string p1 = normalise(objname1 ? objname1 : "/");
        std::string p2 = normalise(objname2 ? objname2 : (objname1 ? objname1 : "/"));
        Q7O_info2_t info{};
        if (Q7Oget_info_by_name2(r.s1.file, p1.c_str(), &info, Q7O_INFO_BASIC, 0) < 0) {
            fail(r, format("object <%s> not found in %s", p1.c_str(), fname1));
        } else if (Q7Oget_info_by_name2(r.s2.file, p2.c_str(), &info, Q7O_INFO_BASIC, 0) < 0) {
            fail(r, format("object <%s> not found in %s", p2.c_str(), fname2));
        } else if (is_excluded(r, p1) || is_excluded(r, p2)) {
            if (opts->mode_verbose) printf("excluded: <%s>\n", p1.c_str());
        } else {
            compare_tree(r, p1, p2);
        }
    }
}

} // namespace

extern "C" uint64_t q7diff(const char *fname1, const char *fname2, const char *objname1, const char *objname2,
                           diff_opt_t *opts) {
    // An exception that ends the run (out of memory on a damaged file) is
    // an error of the run: reported, and the run marked so.
    return q7tools_internal::api_call("q7diff", uint64_t{0}, [&]() -> uint64_t {
        if (!opts) {
            // Without the options record there is nowhere to report a result.
            Q7TOOLS_PUSH("q7diff", "no comparison options given");
            error_msg("no comparison options given");
            return 0;
        }
        opts->err_stat = 0;
        opts->equal_allowed = 1;
        opts->nfound = 0;
        opts->n_compared = 0;
        opts->n_not_compared = 0;

        Run r{opts, {}, {}, {}, false, {}, {}, {}};
        if (!fname1 || !fname2) {
            opts->err_stat = 1;
            error_msg("two files to compare are needed");
            return 0;
        }
        r.s1.fname = fname1;
        r.s2.fname = fname2;
        // The files are closed however the run ends.
        struct CloseFiles {
            Run &r;
            ~CloseFiles() {
                if (r.s1.file >= 0) Q7Fclose(r.s1.file);
                if (r.s2.file >= 0) Q7Fclose(r.s2.file);
            }
        } close_files{r};
        for (int32_t i = 0; i < opts->n_exclude; i++)
            if (opts->exclude && opts->exclude[i]) r.excluded.push_back(normalise(opts->exclude[i]));

        if (opts->mode_verbose && !quiet(r)) {
            std::string tol = "tolerances: ";
            tol += opts->delta_bool ? "absolute " + float_text(opts->delta, false) : "no absolute";
            tol += opts->percent_bool ? ", relative " + float_text(opts->percent, false) : ", no relative";
            tol += opts->strict_nan ? ", NaN differs from everything" : ", NaNs at the same place are equal";
            printf("%s\n", tol.c_str());
        }

        try {
            run_comparison(r, objname1, objname2);
        } catch (const std::exception &e) {
            // An allocation that failed on a damaged file ends the run as
            // an error, with what was found so far.
            fail(r, format("the comparison stopped: %s", e.what()), &empty_reason);
        }
        if (enable_error_stack > 0) q7tools_internal::report_tools_stack();
        fflush(stdout);
        return opts->nfound;
    }, [&] {
        if (opts) opts->err_stat = 1;
        fflush(stdout);
    });
}
