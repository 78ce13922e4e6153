// quor7._core: the Python extension over the public C API of libquor7
// (boundary/quor7.h).  It only moves identifiers, names, shapes and
// buffers across; the Python package (python/quor7/) builds the mapping,
// indexing and dtype conventions on top.
//
// Every library call is made while holding g_lib, and the error stack is
// read under the same lock right after a failed call: the library keeps one
// default error stack for the whole process, and bulk reads and writes run
// with the GIL released, so another Python thread could otherwise clear the
// stack between a failure and its message.  A thread holding g_lib never
// waits for the GIL, so the two locks cannot deadlock.
#include "quor7.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace py = pybind11;

namespace {

std::mutex g_lib;
using Lock = std::lock_guard<std::mutex>;

// A failed library call, with the messages of the error stack.  not_found
// is set when a record says a name or object does not exist, so that the
// package can raise KeyError for it.
struct LibraryError {
    std::string message;
    bool not_found = false;
    bool file_failed = false;
};

// Translated to quor7.Error (an OSError) when it reaches Python.
struct Failure : std::exception {
    explicit Failure(std::string m) : message(std::move(m)) {}
    const char *what() const noexcept override { return message.c_str(); }
    std::string message;
};

// Translated to KeyError.
struct Missing : std::exception {
    explicit Missing(std::string m) : message(std::move(m)) {}
    const char *what() const noexcept override { return message.c_str(); }
    std::string message;
};

q7status_t collect_record(unsigned, const Q7E_error2_t *err, void *data) {
    auto *out = static_cast<LibraryError *>(data);
    if (err->desc && *err->desc) {
        if (!out->message.empty()) out->message += "; ";
        out->message += err->desc;
    }
    // A name that is not there; a file that cannot be opened (behind an
    // external link) is a failure of its own, not a missing name.
    if (err->min_num == Q7E_NOTFOUND_g) out->not_found = true;
    if (err->maj_num == Q7E_FILE_g) out->file_failed = true;
    return 0;
}

// Reads the default error stack; call with g_lib held, right after the
// failed call.  The records are listed from the outermost call inwards.
LibraryError stack_error(const char *what) {
    LibraryError e;
    Q7Ewalk2(0, Q7E_WALK_DOWNWARD, collect_record, &e);
    Q7Eclear2(0);
    if (e.message.empty()) e.message = std::string(what) + " failed";
    return e;
}

[[noreturn]] void raise(const LibraryError &e, bool missing_is_key = false) {
    if (missing_is_key && e.not_found && !e.file_failed) throw Missing(e.message);
    throw Failure(e.message);
}

// Runs one library call under g_lib and raises with the stack's messages
// when its result is negative.
template <class F>
auto call(const char *what, F &&f, bool missing_is_key = false) {
    LibraryError err;
    bool failed;
    decltype(f()) r;
    {
        Lock l(g_lib);
        r = f();
        failed = r < 0;
        if (failed) err = stack_error(what);
    }
    if (failed) raise(err, missing_is_key);
    return r;
}

// One operation of several library calls under g_lib.  op(result, what)
// checks one call's result and reads the stack at the first failure, before
// any later call (the closing of a temporary identifier, say) clears it.
struct Op {
    LibraryError err;
    bool failed = false;
    template <class T>
    T operator()(T r, const char *what) {
        if (r < 0 && !failed) {
            failed = true;
            err = stack_error(what);
        }
        return r;
    }
    bool fail(std::string message) {
        if (!failed) {
            failed = true;
            err.message = std::move(message);
        }
        return false;
    }
};

template <class F>
auto run(F &&f, bool missing_is_key = false) {
    Op op;
    decltype(f(op)) r;
    {
        Lock l(g_lib);
        r = f(op);
    }
    if (op.failed) raise(op.err, missing_is_key);
    return r;
}

// An identifier the extension made for itself (type, dataspace, property
// list, attribute), closed when it goes out of scope.  Call with g_lib held.
struct Temp {
    q7id_t id = -1;
    q7status_t (*closer)(q7id_t) = nullptr;
    Temp() = default;
    Temp(q7id_t i, q7status_t (*c)(q7id_t)) : id(i), closer(c) {}
    Temp(const Temp &) = delete;
    Temp &operator=(const Temp &) = delete;
    Temp(Temp &&o) noexcept : id(o.id), closer(o.closer) { o.id = -1; }
    Temp &operator=(Temp &&o) noexcept {
        if (this != &o) {
            reset();
            id = o.id;
            closer = o.closer;
            o.id = -1;
        }
        return *this;
    }
    ~Temp() { reset(); }
    void reset() {
        if (id >= 0 && closer) closer(id);
        id = -1;
    }
};

// An identifier of a file, group or dataset owned by a Python object.  It
// is closed by close() or when the Python object goes away; afterwards
// every use raises ValueError instead of reaching the library with a stale
// number.
class Handle {
public:
    Handle(q7id_t id, int kind) : id_(id), kind_(kind) {}
    ~Handle() {
        if (id_ >= 0) {
            Lock l(g_lib);
            close_id();
        }
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    q7id_t id() const {
        if (id_ < 0) throw py::value_error("the Quor7 object is closed");
        return id_;
    }
    bool open() const { return id_ >= 0; }
    int kind() const { return kind_; }
    void close() {
        if (id_ < 0) return;
        LibraryError err;
        bool failed;
        {
            Lock l(g_lib);
            failed = close_id() < 0;
            if (failed) err = stack_error("close");
        }
        if (failed) raise(err);
    }

private:
    q7status_t close_id() {
        q7id_t id = id_;
        id_ = -1;
        switch (kind_) {
        case Q7I_FILE: return Q7Fclose(id);
        case Q7I_GROUP: return Q7Gclose(id);
        case Q7I_DATASET: return Q7Dclose(id);
        default: return Q7Oclose(id);
        }
    }
    q7id_t id_;
    int kind_;
};

// ---------------------------------------------------------------------
// Element types.  A type travels to Python as a descriptor tuple:
//   ("i"|"u"|"f"|"b", size, order)  order 0 little-endian, 1 big-endian
//   ("S", size)                      fixed-length byte string
//   ("V", size)                      opaque bytes
//   ("c", size, [(name, offset, descriptor), ...])  compound
// ---------------------------------------------------------------------

q7id_t predefined_number(char kind, size_t size, int order) {
    bool be = order == 1;
    if (kind == 'f') {
        if (size == 4) return be ? Q7T_IEEE_F32BE_g : Q7T_IEEE_F32LE_g;
        if (size == 8) return be ? Q7T_IEEE_F64BE_g : Q7T_IEEE_F64LE_g;
        return -1;
    }
    const q7id_t *table = nullptr;
    q7id_t i_le[4] = {Q7T_STD_I8LE_g, Q7T_STD_I16LE_g, Q7T_STD_I32LE_g, Q7T_STD_I64LE_g};
    q7id_t i_be[4] = {Q7T_STD_I8BE_g, Q7T_STD_I16BE_g, Q7T_STD_I32BE_g, Q7T_STD_I64BE_g};
    q7id_t u_le[4] = {Q7T_STD_U8LE_g, Q7T_STD_U16LE_g, Q7T_STD_U32LE_g, Q7T_STD_U64LE_g};
    q7id_t u_be[4] = {Q7T_STD_U8BE_g, Q7T_STD_U16BE_g, Q7T_STD_U32BE_g, Q7T_STD_U64BE_g};
    q7id_t b_le[4] = {Q7T_STD_B8LE_g, Q7T_STD_B16LE_g, Q7T_STD_B32LE_g, Q7T_STD_B64LE_g};
    q7id_t b_be[4] = {Q7T_STD_B8BE_g, Q7T_STD_B16BE_g, Q7T_STD_B32BE_g, Q7T_STD_B64BE_g};
    if (kind == 'i') table = be ? i_be : i_le;
    else if (kind == 'u') table = be ? u_be : u_le;
    else if (kind == 'b') table = be ? b_be : b_le;
    else return -1;
    switch (size) {
    case 1: return table[0];
    case 2: return table[1];
    case 4: return table[2];
    case 8: return table[3];
    default: return -1;
    }
}

// Builds a new type identifier from a descriptor; call with g_lib held.
// Returns -1 with err filled in on failure.
q7id_t type_from_desc(const py::tuple &desc, LibraryError &err) {
    std::string kind = desc[0].cast<std::string>();
    size_t size = desc[1].cast<size_t>();
    if (kind == "i" || kind == "u" || kind == "f" || kind == "b") {
        q7id_t base = predefined_number(kind[0], size, desc[2].cast<int>());
        if (base < 0) {
            err.message = "no " + kind + " type of " + std::to_string(size) + " bytes";
            return -1;
        }
        q7id_t t = Q7Tcopy(base);
        if (t < 0) err = stack_error("Q7Tcopy");
        return t;
    }
    if (kind == "S" || kind == "V") {
        q7id_t t = Q7Tcreate(kind == "S" ? Q7T_STRING : Q7T_OPAQUE, size);
        if (t < 0) err = stack_error("Q7Tcreate");
        return t;
    }
    if (kind == "c") {
        Temp t(Q7Tcreate(Q7T_COMPOUND, size), Q7Tclose);
        if (t.id < 0) {
            err = stack_error("Q7Tcreate");
            return -1;
        }
        for (auto item : desc[2].cast<py::list>()) {
            auto member = item.cast<py::tuple>();
            Temp mt(type_from_desc(member[2].cast<py::tuple>(), err), Q7Tclose);
            if (mt.id < 0) return -1;
            std::string name = member[0].cast<std::string>();
            if (Q7Tinsert(t.id, name.c_str(), member[1].cast<size_t>(), mt.id) < 0) {
                err = stack_error("Q7Tinsert");
                return -1;
            }
        }
        q7id_t id = t.id;
        t.id = -1;
        return id;
    }
    err.message = "unknown element type descriptor " + kind;
    return -1;
}

// Descriptor of a type identifier; call with g_lib held.
std::optional<py::tuple> desc_from_type(q7id_t type, LibraryError &err) {
    int32_t cls = Q7Tget_class(type);
    size_t size = Q7Tget_size(type);
    int order = Q7Tget_order(type) == Q7T_ORDER_BE ? 1 : 0;
    switch (cls) {
    case Q7T_INTEGER:
        return py::make_tuple(Q7Tget_sign(type) == Q7T_SGN_NONE ? "u" : "i", size, order);
    case Q7T_FLOAT:
        return py::make_tuple("f", size, order);
    case Q7T_BITFIELD:
        return py::make_tuple("b", size, order);
    case Q7T_STRING:
        return py::make_tuple("S", size);
    case Q7T_OPAQUE:
        return py::make_tuple("V", size);
    case Q7T_COMPOUND: {
        py::list members;
        int32_t n = Q7Tget_nmembers(type);
        for (int32_t i = 0; i < n; ++i) {
            char *name = Q7Tget_member_name(type, (unsigned)i);
            if (!name) {
                err = stack_error("Q7Tget_member_name");
                return std::nullopt;
            }
            std::string member_name(name);
            Q7free_memory(name);
            Temp mt(Q7Tget_member_type(type, (unsigned)i), Q7Tclose);
            if (mt.id < 0) {
                err = stack_error("Q7Tget_member_type");
                return std::nullopt;
            }
            auto sub = desc_from_type(mt.id, err);
            if (!sub) return std::nullopt;
            members.append(py::make_tuple(member_name, Q7Tget_member_offset(type, (unsigned)i), *sub));
        }
        return py::make_tuple("c", size, members);
    }
    case Q7T_NO_CLASS:
        err = stack_error("Q7Tget_class");
        return std::nullopt;
    default:
        err.message = "element type class " + std::to_string(cls) + " has no NumPy equivalent";
        return std::nullopt;
    }
}

// ---------------------------------------------------------------------
// Files, groups, objects
// ---------------------------------------------------------------------

std::unique_ptr<Handle> file_open(const std::string &path, unsigned flags) {
    q7id_t id = call("Q7Fopen", [&] { return Q7Fopen(path.c_str(), flags, 0); });
    return std::make_unique<Handle>(id, Q7I_FILE);
}

std::unique_ptr<Handle> file_create(const std::string &path, unsigned flags) {
    q7id_t id = call("Q7Fcreate", [&] { return Q7Fcreate(path.c_str(), flags, 0, 0); });
    return std::make_unique<Handle>(id, Q7I_FILE);
}

std::string read_name(q7ssize_t (*get)(q7id_t, char *, size_t), q7id_t id, const char *what) {
    LibraryError err;
    std::string out;
    bool failed = false;
    {
        Lock l(g_lib);
        q7ssize_t n = get(id, nullptr, 0);
        if (n >= 0) {
            out.assign((size_t)n + 1, '\0');
            n = get(id, out.data(), out.size());
        }
        if (n < 0) {
            failed = true;
            err = stack_error(what);
        } else {
            out.resize((size_t)n);
        }
    }
    if (failed) raise(err);
    return out;
}

std::unique_ptr<Handle> group_create(q7id_t loc, const std::string &name) {
    q7id_t id = call("Q7Gcreate2", [&] { return Q7Gcreate2(loc, name.c_str(), 0, 0, 0); });
    return std::make_unique<Handle>(id, Q7I_GROUP);
}

// Opens a group or dataset by name; returns the handle and its kind.
std::pair<std::unique_ptr<Handle>, int> object_open(q7id_t loc, const std::string &name) {
    int kind = 0;
    q7id_t id = call(
        "Q7Oopen",
        [&] {
            q7id_t o = Q7Oopen(loc, name.c_str(), 0);
            if (o >= 0) kind = Q7Iget_type(o);
            return o;
        },
        true);
    return {std::make_unique<Handle>(id, kind), kind};
}

bool link_exists(q7id_t loc, const std::string &name) {
    return call("Q7Lexists", [&] { return Q7Lexists(loc, name.c_str(), 0); }) > 0;
}

int link_type(q7id_t loc, const std::string &name) {
    Q7L_info_t info{};
    call("Q7Lget_info", [&] { return Q7Lget_info(loc, name.c_str(), &info, 0); }, true);
    return info.type;
}

// Soft link: (path,); external link: (file, object path).
py::tuple link_value(q7id_t loc, const std::string &name) {
    Q7L_info_t info{};
    std::vector<char> buf;
    call(
        "Q7Lget_val",
        [&] {
            q7status_t s = Q7Lget_info(loc, name.c_str(), &info, 0);
            if (s < 0) return s;
            buf.assign(info.val_size + 1, '\0');
            return Q7Lget_val(loc, name.c_str(), buf.data(), buf.size(), 0);
        },
        true);
    if (info.type == Q7L_TYPE_SOFT) return py::make_tuple(std::string(buf.data()));
    if (info.type == Q7L_TYPE_EXTERNAL) {
        const char *file = nullptr, *obj = nullptr;
        unsigned flags = 0;
        call("Q7Lunpack_elink_val",
             [&] { return Q7Lunpack_elink_val(buf.data(), info.val_size, &flags, &file, &obj); });
        return py::make_tuple(std::string(file), std::string(obj));
    }
    return py::make_tuple();
}

q7status_t collect_link(q7id_t, const char *name, const Q7L_info_t *, void *data) {
    static_cast<std::vector<std::string> *>(data)->emplace_back(name);
    return 0;
}

std::vector<std::string> link_names(q7id_t group) {
    std::vector<std::string> names;
    call("Q7Literate2", [&] { return Q7Literate2(group, nullptr, collect_link, &names); });
    return names;
}

q7status_t collect_attr(q7id_t, const char *name, void *data) {
    static_cast<std::vector<std::string> *>(data)->emplace_back(name);
    return 0;
}

// (address, object type, hard link count, file number, attribute count)
py::tuple object_info(q7id_t loc, const std::string &name) {
    Q7O_info2_t info{};
    call("Q7Oget_info_by_name2", [&] { return Q7Oget_info_by_name2(loc, name.c_str(), &info, Q7O_INFO_ALL, 0); },
         true);
    return py::make_tuple(info.addr, info.type, info.rc, info.fileno, info.num_attrs);
}

// ---------------------------------------------------------------------
// Datasets
// ---------------------------------------------------------------------

std::vector<q7size_t> to_dims(const std::vector<std::optional<q7size_t>> &v) {
    std::vector<q7size_t> out;
    for (auto &x : v) out.push_back(x ? *x : Q7S_UNLIMITED);
    return out;
}

std::unique_ptr<Handle> dataset_create(q7id_t loc, const std::string &name, const py::tuple &desc,
                                       const std::vector<q7size_t> &shape,
                                       const std::vector<std::optional<q7size_t>> &maxshape,
                                       const std::optional<std::vector<q7size_t>> &chunks,
                                       const std::vector<std::tuple<int, unsigned, std::vector<unsigned>>> &filters,
                                       const std::optional<std::string> &fill) {
    std::vector<q7size_t> maxdims = to_dims(maxshape);
    LibraryError err;
    q7id_t id;
    {
        Lock l(g_lib);
        id = [&]() -> q7id_t {
            Temp type(type_from_desc(desc, err), Q7Tclose);
            if (type.id < 0) return -1;
            Temp space(Q7Screate_simple((int)shape.size(), shape.data(), maxdims.data()), Q7Sclose);
            if (space.id < 0) {
                err = stack_error("Q7Screate_simple");
                return -1;
            }
            Temp dcpl(Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g), Q7Pclose);
            if (dcpl.id < 0) {
                err = stack_error("Q7Pcreate");
                return -1;
            }
            if (chunks && Q7Pset_chunk(dcpl.id, (int)chunks->size(), chunks->data()) < 0) {
                err = stack_error("Q7Pset_chunk");
                return -1;
            }
            for (auto &[fid, flags, cd] : filters)
                if (Q7Pset_filter(dcpl.id, fid, flags, cd.size(), cd.data()) < 0) {
                    err = stack_error("Q7Pset_filter");
                    return -1;
                }
            // One element in the dataset's own type, kept with the dataset.
            if (fill && (fill->size() != Q7Tget_size(type.id) ||
                         Q7Pset_fill_value(dcpl.id, type.id, fill->data()) < 0)) {
                err = stack_error("Q7Pset_fill_value");
                return -1;
            }
            q7id_t d = Q7Dcreate2(loc, name.c_str(), type.id, space.id, 0, dcpl.id, 0);
            if (d < 0) err = stack_error("Q7Dcreate2");
            return d;
        }();
    }
    if (id < 0) raise(err);
    return std::make_unique<Handle>(id, Q7I_DATASET);
}

// (shape, maxshape) with None for an unlimited maximum.
py::tuple dataset_shape(q7id_t dset) {
    std::vector<q7size_t> dims(Q7_MAX_RANK), maxdims(Q7_MAX_RANK);
    int rank = run([&](Op &op) {
        Temp space(op(Q7Dget_space(dset), "Q7Dget_space"), Q7Sclose);
        if (space.id < 0) return -1;
        return op(Q7Sget_simple_extent_dims(space.id, dims.data(), maxdims.data()), "Q7Sget_simple_extent_dims");
    });
    py::tuple shape(rank), maxshape(rank);
    for (int i = 0; i < rank; ++i) {
        shape[i] = py::int_(dims[i]);
        maxshape[i] = maxdims[i] == Q7S_UNLIMITED ? py::object(py::none()) : py::object(py::int_(maxdims[i]));
    }
    return py::make_tuple(shape, maxshape);
}

py::tuple dataset_type(q7id_t dset) {
    LibraryError err;
    std::optional<py::tuple> desc;
    {
        Lock l(g_lib);
        Temp type(Q7Dget_type(dset), Q7Tclose);
        if (type.id < 0) err = stack_error("Q7Dget_type");
        else desc = desc_from_type(type.id, err);
    }
    if (!desc) raise(err);
    return *desc;
}

// (chunk shape or None, [(id, name, [client data]), ...])
// The dataset's fill value: one element in its own type, as bytes.
py::bytes dataset_fill(q7id_t dset) {
    std::string value;
    run([&](Op &op) {
        Temp dcpl(op(Q7Dget_create_plist(dset), "Q7Dget_create_plist"), Q7Pclose);
        if (dcpl.id < 0) return -1;
        Temp type(op(Q7Dget_type(dset), "Q7Dget_type"), Q7Tclose);
        if (type.id < 0) return -1;
        value.assign(Q7Tget_size(type.id), '\0');
        return op(Q7Pget_fill_value(dcpl.id, type.id, value.data()), "Q7Pget_fill_value");
    });
    return py::bytes(value);
}

py::tuple dataset_layout(q7id_t dset) {
    std::vector<q7size_t> chunk(Q7_MAX_RANK);
    int rank = 0;
    std::vector<std::tuple<int, std::string, std::vector<unsigned>>> filters;
    run([&](Op &op) {
        Temp dcpl(op(Q7Dget_create_plist(dset), "Q7Dget_create_plist"), Q7Pclose);
        if (dcpl.id < 0) return -1;
        rank = op(Q7Pget_chunk(dcpl.id, Q7_MAX_RANK, chunk.data()), "Q7Pget_chunk");
        if (rank < 0) return -1;
        int n = op(Q7Pget_nfilters(dcpl.id), "Q7Pget_nfilters");
        if (n < 0) return -1;
        for (int i = 0; i < n; ++i) {
            std::vector<unsigned> cd(64);
            size_t ncd = cd.size();
            char name[256] = {0};
            unsigned flags = 0, config = 0;
            q7filter_t id = op(Q7Pget_filter2(dcpl.id, (unsigned)i, &flags, &ncd, cd.data(), sizeof name, name, &config),
                               "Q7Pget_filter2");
            if (id < 0) return -1;
            cd.resize(std::min(ncd, cd.size()));
            filters.emplace_back(id, std::string(name), cd);
        }
        return 0;
    });
    py::object chunks = py::none();
    if (rank > 0) chunks = py::cast(std::vector<q7size_t>(chunk.begin(), chunk.begin() + rank));
    return py::make_tuple(chunks, py::cast(filters));
}

using Selection = std::optional<std::tuple<std::vector<q7size_t>, std::vector<q7size_t>, std::vector<q7size_t>>>;

// Reads or writes the hyperslab (start, stride, count) of the dataset (the
// whole extent when sel is None) from or into buf, which holds exactly the
// selected elements in row-major order, with the dataset's own element
// type.  Runs without the GIL.
void transfer(q7id_t dset, const Selection &sel, void *buf, size_t nbytes, bool write) {
    Op op;
    {
        py::gil_scoped_release nogil;
        Lock l(g_lib);
        [&]() {
            Temp type(op(Q7Dget_type(dset), "Q7Dget_type"), Q7Tclose);
            if (type.id < 0) return;
            size_t elem = Q7Tget_size(type.id);
            Temp file_space, mem_space;
            q7size_t npoints;
            if (sel) {
                auto &[start, stride, count] = *sel;
                file_space = Temp(op(Q7Dget_space(dset), "Q7Dget_space"), Q7Sclose);
                if (file_space.id < 0 ||
                    op(Q7Sselect_hyperslab(file_space.id, Q7S_SELECT_SET, start.data(), stride.data(), count.data(),
                                           nullptr),
                       "Q7Sselect_hyperslab") < 0)
                    return;
                mem_space = Temp(op(Q7Screate_simple((int)count.size(), count.data(), nullptr), "Q7Screate_simple"),
                                 Q7Sclose);
                if (mem_space.id < 0) return;
                q7ssize_t n = op(Q7Sget_select_npoints(file_space.id), "Q7Sget_select_npoints");
                if (n < 0) return;
                npoints = (q7size_t)n;
            } else {
                Temp space(op(Q7Dget_space(dset), "Q7Dget_space"), Q7Sclose);
                if (space.id < 0) return;
                q7ssize_t n = op(Q7Sget_simple_extent_npoints(space.id), "Q7Sget_simple_extent_npoints");
                if (n < 0) return;
                npoints = (q7size_t)n;
            }
            if (npoints * elem != nbytes) {
                op.fail("buffer of " + std::to_string(nbytes) + " bytes for " + std::to_string(npoints) +
                        " elements of " + std::to_string(elem) + " bytes");
                return;
            }
            q7id_t ms = sel ? mem_space.id : Q7S_ALL, fs = sel ? file_space.id : Q7S_ALL;
            if (write)
                op(Q7Dwrite(dset, type.id, ms, fs, 0, buf), "Q7Dwrite");
            else
                op(Q7Dread(dset, type.id, ms, fs, 0, buf), "Q7Dread");
        }();
    }
    if (op.failed) raise(op.err);
}

void check_buffer(const py::array &a, bool writable) {
    if (!(a.flags() & py::array::c_style)) throw py::value_error("the array must be C-contiguous");
    if (writable && !a.writeable()) throw py::value_error("the array is read-only");
}

void dataset_read(q7id_t dset, const Selection &sel, py::array out) {
    check_buffer(out, true);
    transfer(dset, sel, out.mutable_data(), (size_t)out.nbytes(), false);
}

// Reads into a new array of dtype and shape whose memory comes from
// malloc, as a C program's buffer would: NumPy's own allocator asks the
// kernel for huge pages, whose faults may stall on memory compaction and
// made large reads several times slower than the same read in C.
py::array dataset_read_new(q7id_t dset, const Selection &sel, const py::dtype &dt,
                           const std::vector<py::ssize_t> &shape) {
    size_t n = (size_t)dt.itemsize();
    for (py::ssize_t d : shape) n *= (size_t)d;
    void *p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    py::capsule owner(p, [](void *q) { std::free(q); });
    py::array out(dt, shape, p, owner);
    if (n) transfer(dset, sel, p, n, false);
    return out;
}

void dataset_write(q7id_t dset, const Selection &sel, const py::array &data) {
    check_buffer(data, false);
    transfer(dset, sel, const_cast<void *>(data.data()), (size_t)data.nbytes(), true);
}

void dataset_set_extent(q7id_t dset, const std::vector<q7size_t> &dims) {
    call("Q7Dset_extent", [&] { return Q7Dset_extent(dset, dims.data()); });
}

// Stored bytes of the chunk at offset, past the pipeline: (filter mask, bytes).
py::tuple chunk_read(q7id_t dset, const std::vector<q7size_t> &offset) {
    q7size_t nbytes = 0;
    call("Q7Dget_chunk_storage_size", [&] { return Q7Dget_chunk_storage_size(dset, offset.data(), &nbytes); });
    std::string buf((size_t)nbytes, '\0');
    uint32_t mask = 0;
    call("Q7Dread_chunk", [&] { return Q7Dread_chunk(dset, 0, offset.data(), &mask, buf.data()); });
    return py::make_tuple(mask, py::bytes(buf));
}

// Offsets (in elements) of the stored chunks.
std::vector<std::vector<q7size_t>> chunk_offsets(q7id_t dset, int rank) {
    std::vector<std::vector<q7size_t>> out;
    call("Q7Dget_num_chunks", [&] {
        q7size_t n = 0;
        if (Q7Dget_num_chunks(dset, &n) < 0) return -1;
        for (q7size_t i = 0; i < n; ++i) {
            std::vector<q7size_t> off((size_t)std::max(rank, 1));
            uint32_t mask;
            q7size_t size;
            if (Q7Dget_chunk_info(dset, i, off.data(), &mask, &size) < 0) return -1;
            off.resize((size_t)rank);
            out.push_back(off);
        }
        return 0;
    });
    return out;
}

// ---------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------

std::vector<std::string> attr_names(q7id_t obj) {
    std::vector<std::string> names;
    call("Q7Aiterate2", [&] { return Q7Aiterate2(obj, nullptr, collect_attr, &names); });
    return names;
}

bool attr_exists(q7id_t obj, const std::string &name) {
    return call("Q7Aexists", [&] { return Q7Aexists(obj, name.c_str()); }) > 0;
}

// (descriptor, shape)
py::tuple attr_info(q7id_t obj, const std::string &name) {
    std::optional<py::tuple> desc;
    std::vector<q7size_t> dims(Q7_MAX_RANK);
    int rank = run(
        [&](Op &op) {
            Temp attr(op(Q7Aopen(obj, name.c_str(), 0), "Q7Aopen"), Q7Aclose);
            if (attr.id < 0) return -1;
            Temp type(op(Q7Aget_type(attr.id), "Q7Aget_type"), Q7Tclose);
            Temp space(op(Q7Aget_space(attr.id), "Q7Aget_space"), Q7Sclose);
            if (type.id < 0 || space.id < 0) return -1;
            int r = op(Q7Sget_simple_extent_dims(space.id, dims.data(), nullptr), "Q7Sget_simple_extent_dims");
            if (r < 0) return -1;
            LibraryError err;
            desc = desc_from_type(type.id, err);
            if (!desc) op.fail(err.message);
            return r;
        },
        true);
    dims.resize((size_t)rank);
    return py::make_tuple(*desc, py::tuple(py::cast(dims)));
}

void attr_read(q7id_t obj, const std::string &name, py::array out) {
    check_buffer(out, true);
    run(
        [&](Op &op) {
            Temp attr(op(Q7Aopen(obj, name.c_str(), 0), "Q7Aopen"), Q7Aclose);
            if (attr.id < 0) return -1;
            Temp type(op(Q7Aget_type(attr.id), "Q7Aget_type"), Q7Tclose);
            if (type.id < 0) return -1;
            Temp space(op(Q7Aget_space(attr.id), "Q7Aget_space"), Q7Sclose);
            q7ssize_t n = space.id < 0 ? -1 : op(Q7Sget_simple_extent_npoints(space.id), "Q7Sget_simple_extent_npoints");
            if (n < 0) return -1;
            if ((size_t)n * Q7Tget_size(type.id) != (size_t)out.nbytes()) {
                op.fail("attribute " + name + " does not fit the buffer");
                return -1;
            }
            return (int)op(Q7Aread(attr.id, type.id, out.mutable_data()), "Q7Aread");
        },
        true);
}

// Writes an attribute of the given type and shape, replacing one of that
// name.  One of the same type and shape is overwritten in place, in one
// call; otherwise the old one is deleted and a new one made.
void attr_write(q7id_t obj, const std::string &name, const py::tuple &desc, const std::vector<q7size_t> &shape,
                const py::array &data) {
    check_buffer(data, false);
    run([&](Op &op) {
        LibraryError err;
        Temp type(type_from_desc(desc, err), Q7Tclose);
        if (type.id < 0) return op.fail(err.message);
        Temp space(op(Q7Screate_simple((int)shape.size(), shape.data(), nullptr), "Q7Screate_simple"), Q7Sclose);
        if (space.id < 0) return false;
        q7tri_t exists = op(Q7Aexists(obj, name.c_str()), "Q7Aexists");
        if (exists < 0) return false;
        if (exists > 0) {
            Temp old(op(Q7Aopen(obj, name.c_str(), 0), "Q7Aopen"), Q7Aclose);
            if (old.id < 0) return false;
            Temp old_type(op(Q7Aget_type(old.id), "Q7Aget_type"), Q7Tclose);
            Temp old_space(op(Q7Aget_space(old.id), "Q7Aget_space"), Q7Sclose);
            if (old_type.id < 0 || old_space.id < 0) return false;
            std::vector<q7size_t> dims(Q7_MAX_RANK);
            int rank = op(Q7Sget_simple_extent_dims(old_space.id, dims.data(), nullptr), "Q7Sget_simple_extent_dims");
            if (rank < 0) return false;
            if (Q7Tequal(old_type.id, type.id) > 0 && std::vector<q7size_t>(dims.begin(), dims.begin() + rank) == shape)
                return op(Q7Awrite(old.id, type.id, data.data()), "Q7Awrite") >= 0;
            old.reset();
            if (op(Q7Adelete(obj, name.c_str()), "Q7Adelete") < 0) return false;
        }
        Temp attr(op(Q7Acreate2(obj, name.c_str(), type.id, space.id, 0, 0), "Q7Acreate2"), Q7Aclose);
        if (attr.id < 0) return false;
        return op(Q7Awrite(attr.id, type.id, data.data()), "Q7Awrite") >= 0;
    });
}

void attr_delete(q7id_t obj, const std::string &name) {
    call("Q7Adelete", [&] { return Q7Adelete(obj, name.c_str()); }, true);
}

} // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "Bindings of the Quor7 storage library's C API";
    {
        Lock l(g_lib);
        if (Q7open() < 0) throw std::runtime_error("the Quor7 library failed to start");
        // The package reports failures as exceptions carrying the stack's
        // messages; the library's own printing to standard error is off.
        Q7Eset_auto2(0, nullptr, nullptr);
    }

    static py::exception<Failure> error(m, "Error", PyExc_OSError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure &e) {
            PyErr_SetString(error.ptr(), e.what());
        } catch (const Missing &e) {
            PyErr_SetString(PyExc_KeyError, e.what());
        }
    });

    m.attr("__version__") = QUOR7_PY_VERSION;
    m.attr("UNLIMITED") = py::int_(Q7S_UNLIMITED);
    m.attr("ACC_RDONLY") = Q7F_ACC_RDONLY;
    m.attr("ACC_RDWR") = Q7F_ACC_RDWR;
    m.attr("ACC_TRUNC") = Q7F_ACC_TRUNC;
    m.attr("ACC_EXCL") = Q7F_ACC_EXCL;
    m.attr("KIND_FILE") = (int)Q7I_FILE;
    m.attr("KIND_GROUP") = (int)Q7I_GROUP;
    m.attr("KIND_DATASET") = (int)Q7I_DATASET;
    m.attr("LINK_HARD") = (int)Q7L_TYPE_HARD;
    m.attr("LINK_SOFT") = (int)Q7L_TYPE_SOFT;
    m.attr("LINK_EXTERNAL") = (int)Q7L_TYPE_EXTERNAL;
    m.attr("OBJ_GROUP") = (int)Q7O_TYPE_GROUP;
    m.attr("OBJ_DATASET") = (int)Q7O_TYPE_DATASET;

    py::class_<Handle>(m, "Handle")
        .def_property_readonly("id", &Handle::id)
        .def_property_readonly("open", &Handle::open)
        .def_property_readonly("kind", &Handle::kind)
        .def("close", &Handle::close);

    m.def("library_version", [] {
        unsigned a = 0, b = 0, c = 0;
        call("Q7get_libversion", [&] { return Q7get_libversion(&a, &b, &c); });
        return py::make_tuple(a, b, c);
    });
    m.def("file_open", &file_open);
    m.def("file_create", &file_create);
    m.def("flush", [](q7id_t id) { call("Q7Fflush", [&] { return Q7Fflush(id); }); });
    m.def("file_name", [](q7id_t id) { return read_name(Q7Fget_name, id, "Q7Fget_name"); });
    m.def("object_name", [](q7id_t id) { return read_name(Q7Iget_name, id, "Q7Iget_name"); });
    m.def("group_create", &group_create);
    m.def("object_open", &object_open);
    m.def("object_info", &object_info);
    m.def("link_exists", &link_exists);
    m.def("link_type", &link_type);
    m.def("link_value", &link_value);
    m.def("link_names", &link_names);
    m.def("link_create_soft", [](const std::string &target, q7id_t loc, const std::string &name) {
        call("Q7Lcreate_soft", [&] { return Q7Lcreate_soft(target.c_str(), loc, name.c_str(), 0, 0); });
    });
    m.def("link_create_external",
          [](const std::string &file, const std::string &obj, q7id_t loc, const std::string &name) {
              call("Q7Lcreate_external",
                   [&] { return Q7Lcreate_external(file.c_str(), obj.c_str(), loc, name.c_str(), 0, 0); });
          });
    m.def("link_create_hard", [](q7id_t obj, const std::string &obj_name, q7id_t loc, const std::string &name) {
        call("Q7Lcreate_hard", [&] { return Q7Lcreate_hard(obj, obj_name.c_str(), loc, name.c_str(), 0, 0); });
    });
    m.def("link_delete", [](q7id_t loc, const std::string &name) {
        call("Q7Ldelete", [&] { return Q7Ldelete(loc, name.c_str(), 0); }, true);
    });
    m.def("dataset_create", &dataset_create);
    m.def("dataset_shape", &dataset_shape);
    m.def("dataset_type", &dataset_type);
    m.def("dataset_layout", &dataset_layout);
    m.def("dataset_fill", &dataset_fill);
    m.def("dataset_read", &dataset_read);
    m.def("dataset_read_new", &dataset_read_new);
    m.def("dataset_write", &dataset_write);
    m.def("dataset_set_extent", &dataset_set_extent);
    m.def("chunk_read", &chunk_read);
    m.def("chunk_offsets", &chunk_offsets);
    m.def("attr_names", &attr_names);
    m.def("attr_exists", &attr_exists);
    m.def("attr_info", &attr_info);
    m.def("attr_read", &attr_read);
    m.def("attr_write", &attr_write);
    m.def("attr_delete", &attr_delete);
    m.def("filter_available", [](int id) { return call("Q7Zfilter_avail", [&] { return Q7Zfilter_avail(id); }) > 0; });
}
