// q7ls - lists the objects of a Quor7 file: kind, datatype, shape,
// storage layout, filter pipeline, stored size, attributes and, on request, addresses,
// data values and the fixed-endian standard type of each dataset.  Also
// names the object at an address.
//
// Exit status: 0 when everything asked for was listed, 1 when something
// could not be read (a message says what), 2 for a bad command line.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "../tools/tools_shared.hpp"
#include "kit_refpaths.h"
#include "kit_typemap.h"
#include "q7tools.h"
#include "quor7.h"

namespace {

// At most this many values of a dataset or attribute are printed.
constexpr q7size_t kDataLimit = 20;

enum class FixedEndian { none, little, big };

struct Options {
    bool recursive = false;
    bool verbose = false;
    bool data = false;
    bool addresses = false;
    FixedEndian fixed = FixedEndian::none;
    const char *resolve = nullptr;
    const char *file = nullptr;
    const char *object = "/";
};

struct Listing {
    const Options *opts;
    q7id_t file;
    int failures = 0;
};

const char *const kUsage =
    "usage: q7ls [-r] [-v] [-d] [--addresses] [--fixed-endian little|big] FILE [OBJECT]\n"
    "       q7ls --resolve ADDRESS FILE\n"
    "\n"
    "Lists the objects of a Quor7 file: path, kind, datatype (class, size,\n"
    "byte order), dimensions and maximum dimensions, storage layout, filter\n"
    "pipeline and attributes.  Without OBJECT the listing starts at \"/\".\n"
    "A group is listed with its direct members; -r lists everything below it.\n"
    "\n"
    "  -h, --help                 print this help and exit\n"
    "  -r, --recursive            list groups recursively\n"
    "  -v, --verbose              also attribute values, hard-link counts,\n"
    "                             the number of chunks stored, and the stored\n"
    "                             size of datasets with nothing stored\n"
    "  -d, --data                 print data values of datasets and attributes\n"
    "                             (the first 20 in storage order, then \"...\")\n"
    "      --addresses            print each object's address\n"
    "      --fixed-endian ORDER   ORDER is little or big: for each dataset, the\n"
    "                             standard type of that byte order its element\n"
    "                             type maps to, or none\n"
    "      --resolve ADDRESS      print the path of the object at ADDRESS\n"
    "                             (decimal or 0x-prefixed hexadecimal) in FILE\n"
    "\n"
    "Exit status: 0 success, 1 something could not be read or found,\n"
    "2 bad command line.\n";

// ---------------------------------------------------------------------
// Datatypes and values
// ---------------------------------------------------------------------

const char *order_name(q7id_t type) {
    switch (Q7Tget_order(type)) {
    case Q7T_ORDER_LE: return "little-endian";
    case Q7T_ORDER_BE: return "big-endian";
    default: return "no byte order";
    }
}

std::string describe_type(q7id_t type) {
    char buf[128];
    const size_t size = Q7Tget_size(type);
    switch (Q7Tget_class(type)) {
    case Q7T_INTEGER:
        snprintf(buf, sizeof buf, "integer, %zu bytes, %s, %s", size, order_name(type),
                 Q7Tget_sign(type) == Q7T_SGN_NONE ? "unsigned" : "signed");
        return buf;
    case Q7T_FLOAT:
        snprintf(buf, sizeof buf, "float, %zu bytes, %s", size, order_name(type));
        return buf;
    case Q7T_BITFIELD:
        snprintf(buf, sizeof buf, "bit-field, %zu bytes, %s", size, order_name(type));
        return buf;
    case Q7T_TIME: snprintf(buf, sizeof buf, "time, %zu bytes", size); return buf;
    case Q7T_STRING: snprintf(buf, sizeof buf, "string, %zu bytes", size); return buf;
    case Q7T_OPAQUE: snprintf(buf, sizeof buf, "opaque, %zu bytes", size); return buf;
    case Q7T_COMPOUND: {
        snprintf(buf, sizeof buf, "compound, %zu bytes {", size);
        std::string out = buf;
        const int n = Q7Tget_nmembers(type);
        for (int i = 0; i < n; ++i) {
            char *name = Q7Tget_member_name(type, static_cast<unsigned>(i));
            q7id_t member = Q7Tget_member_type(type, static_cast<unsigned>(i));
            snprintf(buf, sizeof buf, " @%zu: ", Q7Tget_member_offset(type, static_cast<unsigned>(i)));
            out += (i ? "; " : "") + std::string(name ? name : "?") + buf + describe_type(member);
            if (member >= 0) Q7Tclose(member);
            Q7free_memory(name);
        }
        return out + "}";
    }
    default: return "unknown class";
    }
}

// Bytes of an element as an unsigned number, honouring the byte order.
uint64_t load_unsigned(const unsigned char *p, size_t size, bool big_endian) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) {
        const unsigned char byte = big_endian ? p[i] : p[size - 1 - i];
        v = (v << 8) | byte;
    }
    return v;
}

std::string hex_bytes(const unsigned char *p, size_t size) {
    std::string out = "0x";
    char b[3];
    for (size_t i = 0; i < size; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
    }
    return out;
}

template <class F>
std::string shortest(F value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

// One element, stored in the file's own representation of `type`.
std::string format_element(q7id_t type, const unsigned char *p) {
    const size_t size = Q7Tget_size(type);
    const bool big = Q7Tget_order(type) == Q7T_ORDER_BE;
    switch (Q7Tget_class(type)) {
    case Q7T_INTEGER: {
        if (size == 0 || size > 8) return hex_bytes(p, size);
        uint64_t u = load_unsigned(p, size, big);
        if (Q7Tget_sign(type) == Q7T_SGN_NONE) return std::to_string(u);
        if (size < 8 && (u >> (8 * size - 1)) & 1u) u |= ~uint64_t(0) << (8 * size);
        return std::to_string(static_cast<int64_t>(u));
    }
    case Q7T_FLOAT: {
        if (size == 4) {
            uint32_t bits = static_cast<uint32_t>(load_unsigned(p, 4, big));
            float f;
            memcpy(&f, &bits, sizeof f);
            return shortest(f);
        }
        if (size == 8) {
            uint64_t bits = load_unsigned(p, 8, big);
            double d;
            memcpy(&d, &bits, sizeof d);
            return shortest(d);
        }
        return hex_bytes(p, size);
    }
    case Q7T_BITFIELD:
        if (size >= 1 && size <= 8) {
            char buf[32];
            snprintf(buf, sizeof buf, "0x%0*" PRIx64, static_cast<int>(2 * size), load_unsigned(p, size, big));
            return buf;
        }
        return hex_bytes(p, size);
    case Q7T_STRING: {
        std::string out = "\"";
        for (size_t i = 0; i < size && p[i]; ++i) {
            const unsigned char c = p[i];
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c >= 0x7f) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\x%02x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }
    case Q7T_COMPOUND: {
        std::string out = "{";
        const int n = Q7Tget_nmembers(type);
        for (int i = 0; i < n; ++i) {
            char *name = Q7Tget_member_name(type, static_cast<unsigned>(i));
            q7id_t member = Q7Tget_member_type(type, static_cast<unsigned>(i));
            const size_t offset = Q7Tget_member_offset(type, static_cast<unsigned>(i));
            out += (i ? ", " : "") + std::string(name ? name : "?") + "=";
            if (member >= 0 && offset + Q7Tget_size(member) <= size) out += format_element(member, p + offset);
            else out += "?";
            if (member >= 0) Q7Tclose(member);
            Q7free_memory(name);
        }
        return out + "}";
    }
    default: return hex_bytes(p, size);
    }
}

std::string format_values(q7id_t type, const std::vector<unsigned char> &buf, q7size_t shown, q7size_t total) {
    const size_t size = Q7Tget_size(type);
    std::string out;
    for (q7size_t i = 0; i < shown; ++i) {
        if (i) out += ", ";
        out += format_element(type, buf.data() + i * size);
    }
    if (shown < total) out += shown ? ", ..." : "...";
    return out;
}

std::string format_dims(int rank, const q7size_t *dims) {
    std::string out = "{";
    for (int i = 0; i < rank; ++i) {
        if (i) out += ", ";
        out += dims[i] == Q7S_UNLIMITED ? std::string("Inf") : std::to_string(dims[i]);
    }
    return out + "}";
}

// Standard types named by the --fixed-endian line.
struct StandardName {
    const q7id_t *type;
    const char *name;
};
const StandardName kStandardNames[] = {
    {&Q7T_STD_I8LE_g, "STD_I8LE"},     {&Q7T_STD_I16LE_g, "STD_I16LE"},   {&Q7T_STD_I32LE_g, "STD_I32LE"},
    {&Q7T_STD_I64LE_g, "STD_I64LE"},   {&Q7T_STD_I8BE_g, "STD_I8BE"},     {&Q7T_STD_I16BE_g, "STD_I16BE"},
    {&Q7T_STD_I32BE_g, "STD_I32BE"},   {&Q7T_STD_I64BE_g, "STD_I64BE"},   {&Q7T_STD_U8LE_g, "STD_U8LE"},
    {&Q7T_STD_U16LE_g, "STD_U16LE"},   {&Q7T_STD_U32LE_g, "STD_U32LE"},   {&Q7T_STD_U64LE_g, "STD_U64LE"},
    {&Q7T_STD_U8BE_g, "STD_U8BE"},     {&Q7T_STD_U16BE_g, "STD_U16BE"},   {&Q7T_STD_U32BE_g, "STD_U32BE"},
    {&Q7T_STD_U64BE_g, "STD_U64BE"},   {&Q7T_STD_B8LE_g, "STD_B8LE"},     {&Q7T_STD_B16LE_g, "STD_B16LE"},
    {&Q7T_STD_B32LE_g, "STD_B32LE"},   {&Q7T_STD_B64LE_g, "STD_B64LE"},   {&Q7T_STD_B8BE_g, "STD_B8BE"},
    {&Q7T_STD_B16BE_g, "STD_B16BE"},   {&Q7T_STD_B32BE_g, "STD_B32BE"},   {&Q7T_STD_B64BE_g, "STD_B64BE"},
    {&Q7T_IEEE_F32LE_g, "IEEE_F32LE"}, {&Q7T_IEEE_F64LE_g, "IEEE_F64LE"}, {&Q7T_IEEE_F32BE_g, "IEEE_F32BE"},
    {&Q7T_IEEE_F64BE_g, "IEEE_F64BE"},
};

std::string standard_name(q7id_t type) {
    for (const auto &s : kStandardNames)
        if (Q7Tequal(type, *s.type) > 0) return s.name;
    return describe_type(type);
}

// ---------------------------------------------------------------------
// Reading a bounded number of values
// ---------------------------------------------------------------------

// Selects in `space` the first `count` elements in row-major order, as
// one hyperslab per (partial) row of the last dimension.
bool select_leading(q7id_t space, int rank, const q7size_t *dims, q7size_t count) {
    if (rank == 0) return Q7Sselect_all(space) >= 0;
    const q7size_t row = dims[rank - 1];
    q7size_t taken = 0;
    bool first = true;
    for (q7size_t r = 0; taken < count; ++r) {
        q7size_t start[Q7_MAX_RANK] = {0};
        q7size_t cnt[Q7_MAX_RANK];
        q7size_t rest = r;
        for (int d = rank - 2; d >= 0; --d) {
            start[d] = rest % dims[d];
            rest /= dims[d];
            cnt[d] = 1;
        }
        start[rank - 1] = 0;
        cnt[rank - 1] = std::min(row, count - taken);
        if (Q7Sselect_hyperslab(space, first ? Q7S_SELECT_SET : Q7S_SELECT_OR, start, nullptr, cnt, nullptr) < 0)
            return false;
        first = false;
        taken += cnt[rank - 1];
    }
    return true;
}

// Reads at most kDataLimit values of a dataset in its own representation.
bool read_dataset_values(q7id_t dset, q7id_t type, std::string &out) {
    q7id_t fspace = Q7Dget_space(dset);
    if (fspace < 0) return false;
    q7size_t dims[Q7_MAX_RANK];
    const int rank = Q7Sget_simple_extent_ndims(fspace);
    const q7ssize_t total = Q7Sget_simple_extent_npoints(fspace);
    bool ok = rank >= 0 && total >= 0 && Q7Sget_simple_extent_dims(fspace, dims, nullptr) >= 0;
    const q7size_t shown = ok ? std::min<q7size_t>(static_cast<q7size_t>(total), kDataLimit) : 0;
    if (ok && shown > 0) {
        std::vector<unsigned char> buf(shown * Q7Tget_size(type));
        if (shown == static_cast<q7size_t>(total)) {
            ok = Q7Dread(dset, type, Q7S_ALL, Q7S_ALL, 0, buf.data()) >= 0;
        } else {
            q7size_t mdims[1] = {shown};
            q7id_t mspace = Q7Screate_simple(1, mdims, nullptr);
            ok = mspace >= 0 && select_leading(fspace, rank, dims, shown) &&
                 Q7Dread(dset, type, mspace, fspace, 0, buf.data()) >= 0;
            if (mspace >= 0) Q7Sclose(mspace);
        }
        if (ok) out = format_values(type, buf, shown, static_cast<q7size_t>(total));
    } else if (ok) {
        out = "(no elements)";
    }
    Q7Sclose(fspace);
    return ok;
}

// ---------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------

void detail(const char *label, const std::string &text) { printf("    %-14s%s\n", label, text.c_str()); }

q7status_t collect_attr(q7id_t, const char *name, void *op_data) {
    static_cast<std::vector<std::string> *>(op_data)->push_back(name);
    return 0;
}

void list_attributes(Listing &l, q7id_t obj, const std::string &path) {
    std::vector<std::string> names;
    if (Q7Aiterate2(obj, nullptr, collect_attr, &names) < 0) {
        error_msg("cannot list the attributes of <%s>", path.c_str());
        ++l.failures;
        return;
    }
    for (const std::string &name : names) {
        q7id_t attr = Q7Aopen(obj, name.c_str(), 0);
        q7id_t type = attr >= 0 ? Q7Aget_type(attr) : -1;
        q7id_t space = attr >= 0 ? Q7Aget_space(attr) : -1;
        if (attr < 0 || type < 0 || space < 0) {
            error_msg("cannot open attribute \"%s\" of <%s>", name.c_str(), path.c_str());
            ++l.failures;
        } else {
            q7size_t dims[Q7_MAX_RANK];
            const int rank = Q7Sget_simple_extent_ndims(space);
            Q7Sget_simple_extent_dims(space, dims, nullptr);
            std::string text = name + " " + format_dims(rank, dims) + " " + describe_type(type);
            if (l.opts->verbose || l.opts->data) {
                const q7ssize_t total = Q7Sget_simple_extent_npoints(space);
                std::vector<unsigned char> buf(static_cast<size_t>(total > 0 ? total : 0) * Q7Tget_size(type));
                if (total >= 0 && Q7Aread(attr, type, buf.data()) >= 0) {
                    const q7size_t n = static_cast<q7size_t>(total);
                    text += " = " + format_values(type, buf, std::min(n, kDataLimit), n);
                } else {
                    error_msg("cannot read attribute \"%s\" of <%s>", name.c_str(), path.c_str());
                    ++l.failures;
                }
            }
            detail("Attribute:", text);
        }
        if (space >= 0) Q7Sclose(space);
        if (type >= 0) Q7Tclose(type);
        if (attr >= 0) Q7Aclose(attr);
    }
}

void list_pipeline(q7id_t dcpl) {
    const int n = Q7Pget_nfilters(dcpl);
    if (n <= 0) {
        detail("Filters:", "none");
        return;
    }
    for (int i = 0; i < n; ++i) {
        unsigned flags = 0;
        unsigned cd[32];
        size_t ncd = sizeof cd / sizeof cd[0];
        char name[256] = "";
        const q7filter_t id = Q7Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &ncd, cd, sizeof name, name,
                                             nullptr);
        // A stored entry without a name: the library's name of a built-in.
        if (!name[0]) Q7Zbuiltin_filter_name(id, name, sizeof name);
        std::string text = std::to_string(id) + " \"" + name + "\" {";
        for (size_t k = 0; k < ncd && k < sizeof cd / sizeof cd[0]; ++k) text += (k ? ", " : "") + std::to_string(cd[k]);
        text += "}";
        if (flags & Q7Z_FLAG_OPTIONAL) text += " optional";
        detail(i == 0 ? "Filters:" : "", text);
    }
}

// Bytes as a person reads them: "512 B", "1.2 MiB".
std::string size_text(q7size_t bytes) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024;
    size_t u = 0;
    while (v >= 1024 && u + 1 < sizeof units / sizeof units[0]) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

// Bytes the data takes in the file against its raw size (elements times
// element size): shown when something is stored, and always with -v.
void list_stored_size(Listing &l, q7id_t dset, q7id_t type, const q7size_t *dims, int rank) {
    const q7size_t stored = Q7Dget_storage_size(dset);
    if (stored == 0 && !l.opts->verbose) return;
    long double raw = static_cast<long double>(Q7Tget_size(type));
    for (int i = 0; i < rank; ++i) raw *= static_cast<long double>(dims[i]);
    std::string text = size_text(stored) + " of " +
                       (raw < 0x1p64L ? size_text(static_cast<q7size_t>(raw)) : std::string("more than 16.0 EiB"));
    char ratio[32] = "-";
    if (raw > 0) snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(static_cast<long double>(stored) / raw));
    detail("Stored:", text + " (" + ratio + ")");
}

// The dataset is open (the walk opened it through its group), or -1.
void list_dataset(Listing &l, q7id_t dset, const std::string &path) {
    if (dset < 0) {
        error_msg("cannot open dataset <%s>", path.c_str());
        ++l.failures;
        return;
    }
    q7id_t type = Q7Dget_type(dset);
    q7id_t space = Q7Dget_space(dset);
    q7id_t dcpl = Q7Dget_create_plist(dset);
    if (type < 0 || space < 0 || dcpl < 0) {
        error_msg("cannot read the description of dataset <%s>", path.c_str());
        ++l.failures;
    } else {
        detail("Type:", describe_type(type));
        q7size_t dims[Q7_MAX_RANK], maxdims[Q7_MAX_RANK];
        const int rank = Q7Sget_simple_extent_ndims(space);
        Q7Sget_simple_extent_dims(space, dims, maxdims);
        detail("Dims:", format_dims(rank, dims) + " max " + format_dims(rank, maxdims));
        q7size_t chunk[Q7_MAX_RANK];
        const int crank = Q7Pget_chunk(dcpl, Q7_MAX_RANK, chunk);
        if (crank > 0) {
            std::string text = "chunked " + format_dims(crank, chunk);
            q7size_t nchunks = 0;
            if (l.opts->verbose && Q7Dget_num_chunks(dset, &nchunks) >= 0)
                text += ", " + std::to_string(nchunks) + " stored";
            detail("Storage:", text);
        } else {
            detail("Storage:", "contiguous");
        }
        list_pipeline(dcpl);
        list_stored_size(l, dset, type, dims, rank);
        if (l.opts->fixed != FixedEndian::none) {
            q7id_t fixed = l.opts->fixed == FixedEndian::big ? q7tools_get_big_endian_type(type)
                                                             : q7tools_get_little_endian_type(type);
            if (fixed >= 0) {
                detail("Fixed-endian:", standard_name(fixed));
                Q7Tclose(fixed);
            } else {
                detail("Fixed-endian:", "none");
            }
        }
        list_attributes(l, dset, path);
        if (l.opts->data) {
            std::string values;
            if (read_dataset_values(dset, type, values)) {
                detail("Data:", values);
            } else {
                error_msg("cannot read the data of <%s>", path.c_str());
                ++l.failures;
            }
        }
    }
    if (dcpl >= 0) Q7Pclose(dcpl);
    if (space >= 0) Q7Sclose(space);
    if (type >= 0) Q7Tclose(type);
}

void list_group(Listing &l, q7id_t group, const std::string &path) {
    if (group < 0) {
        error_msg("cannot open group <%s>", path.c_str());
        ++l.failures;
        return;
    }
    list_attributes(l, group, path);
}

int visit_object(Listing &l, const q7tools_internal::WalkItem &item) {
    const char *path = item.path.c_str();
    const Q7O_info2_t *info = item.info;
    const char *already_seen = item.already;
    const char *kind = info->type == Q7O_TYPE_GROUP ? "Group"
                       : info->type == Q7O_TYPE_DATASET ? "Dataset"
                       : info->type == Q7O_TYPE_NAMED_DATATYPE ? "Datatype"
                                                               : "Unknown object";
    if (already_seen) printf("%-24s %s, same object as %s\n", path, kind, already_seen);
    else printf("%-24s %s\n", path, kind);
    if (l.opts->addresses) detail("Address:", std::to_string(info->addr));
    if (already_seen) return 0;
    if (l.opts->verbose) detail("Hard links:", std::to_string(info->rc));
    if (info->type == Q7O_TYPE_DATASET) list_dataset(l, item.object, item.path);
    else if (info->type == Q7O_TYPE_GROUP) list_group(l, item.object, item.path);
    return 0;
}

int visit_link(Listing &l, const q7tools_internal::WalkItem &item) {
    const char *path = item.path.c_str();
    const Q7L_info_t *info = item.link;
    std::vector<char> value(info->val_size + 1, '\0');
    if (Q7Lget_val(item.parent, item.name.c_str(), value.data(), value.size(), 0) < 0) {
        error_msg("cannot read link <%s>", path);
        ++l.failures;
        return 0;
    }
    if (info->type == Q7L_TYPE_SOFT) {
        printf("%-24s Soft link -> %s\n", path, value.data());
    } else if (info->type == Q7L_TYPE_EXTERNAL) {
        const char *target_file = nullptr, *target_obj = nullptr;
        unsigned flags = 0;
        if (Q7Lunpack_elink_val(value.data(), info->val_size, &flags, &target_file, &target_obj) < 0) {
            error_msg("cannot decode external link <%s>", path);
            ++l.failures;
            return 0;
        }
        printf("%-24s External link -> %s:%s\n", path, target_file, target_obj);
    } else {
        printf("%-24s Link of type %d\n", path, static_cast<int>(info->type));
    }
    return 0;
}

// Walks the objects of the listing: each is opened through its parent
// group, never looked up again by its path.
int walk_file(Listing &l, const Options &opts) {
    q7tools_internal::Walker w;
    w.object = [&](const q7tools_internal::WalkItem &item) { return visit_object(l, item); };
    w.link = [&](const q7tools_internal::WalkItem &item) { return visit_link(l, item); };
    w.problem = [](const std::string &msg) { error_msg("%s", msg.c_str()); };
    try {
        return q7tools_internal::walk(l.file, q7tools_internal::normalise_walk_path(opts.object), true,
                                      opts.recursive, Q7O_INFO_ALL, w);
    } catch (const std::exception &e) {
        // Out of memory on a huge or damaged file.
        error_msg("the listing stopped: %s", e.what());
        return -1;
    }
}

int list_file(const Options &opts) {
    q7id_t file = Q7Fopen(opts.file, Q7F_ACC_RDONLY, 0);
    if (file < 0) {
        error_msg("cannot open <%s>: not a readable Quor7 file", opts.file);
        return 1;
    }
    Listing l{&opts, file};
    Q7O_info2_t info{};
    int rc = 0;
    if (Q7Oget_info_by_name2(file, opts.object, &info, Q7O_INFO_BASIC, 0) < 0) {
        error_msg("object <%s> not found in <%s>", opts.object, opts.file);
        rc = 1;
    } else if (walk_file(l, opts) < 0) {
        error_msg("cannot walk <%s> in <%s>", opts.object, opts.file);
        rc = 1;
    }
    fflush(stdout);
    if (l.failures) rc = 1;
    Q7Fclose(file);
    return rc;
}

int resolve_address(const Options &opts) {
    errno = 0;
    char *end = nullptr;
    const unsigned long long address = strtoull(opts.resolve, &end, 0);
    if (errno || end == opts.resolve || *end || opts.resolve[0] == '-') {
        error_msg("not an address: \"%s\"", opts.resolve);
        return 2;
    }
    q7id_t file = Q7Fopen(opts.file, Q7F_ACC_RDONLY, 0);
    if (file < 0) {
        error_msg("cannot open <%s>: not a readable Quor7 file", opts.file);
        return 1;
    }
    fill_ref_path_table(file);
    const char *path = lookup_ref_path(static_cast<q7addr_t>(address));
    int rc = 0;
    if (path) {
        printf("%s\n", path);
    } else {
        error_msg("no object at address %llu in <%s>", address, opts.file);
        rc = 1;
    }
    if (q7tools_getstatus() != 0) rc = 1;
    term_ref_path_table();
    Q7Fclose(file);
    return rc;
}

void usage_error(const char *msg) {
    if (msg) error_msg("%s", msg);
    fputs(kUsage, stderr);
}

} // namespace

int main(int argc, char *argv[]) {
    q7tools_setprogname("q7ls");
    q7tools_setstatus(0);
    Q7open();
    // Failures are reported by this program in its own words.
    Q7Eset_auto2(0, nullptr, nullptr);
    q7tools_init();

    enum { OPT_ADDRESSES = 256, OPT_FIXED, OPT_RESOLVE };
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"recursive", no_argument, nullptr, 'r'},
        {"verbose", no_argument, nullptr, 'v'},
        {"data", no_argument, nullptr, 'd'},
        {"addresses", no_argument, nullptr, OPT_ADDRESSES},
        {"fixed-endian", required_argument, nullptr, OPT_FIXED},
        {"resolve", required_argument, nullptr, OPT_RESOLVE},
        {nullptr, 0, nullptr, 0},
    };
    Options opts;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+hrvd", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            fputs(kUsage, stdout);
            q7tools_close();
            return 0;
        case 'r': opts.recursive = true; break;
        case 'v': opts.verbose = true; break;
        case 'd': opts.data = true; break;
        case OPT_ADDRESSES: opts.addresses = true; break;
        case OPT_FIXED:
            if (strcmp(optarg, "little") == 0) opts.fixed = FixedEndian::little;
            else if (strcmp(optarg, "big") == 0) opts.fixed = FixedEndian::big;
            else {
                usage_error("--fixed-endian takes little or big");
                q7tools_close();
                return 2;
            }
            break;
        case OPT_RESOLVE: opts.resolve = optarg; break;
        default:
            usage_error((std::string("bad option or missing argument: ") + argv[optind - 1]).c_str());
            q7tools_close();
            return 2;
        }
    }
    const int rest = argc - optind;
    if (rest < 1 || rest > (opts.resolve ? 1 : 2)) {
        usage_error(rest < 1 ? "no file given" : "too many arguments");
        q7tools_close();
        return 2;
    }
    opts.file = argv[optind];
    if (rest == 2) opts.object = argv[optind + 1];

    const int rc = opts.resolve ? resolve_address(opts) : list_file(opts);
    q7tools_close();
    return rc;
}
