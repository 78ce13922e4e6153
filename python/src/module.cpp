// quor7._core: errors, the module's start and its table of functions.
#include "core.hpp"

namespace q7py {

std::mutex g_lib;

namespace {

struct Walk {
    LibraryError *out;
    size_t records = 0;
    size_t misses = 0;
};

// A record saying that a name looked up is not there: a link, an object on
// the way or an attribute that does not exist, or a path leading through
// something that is not a group.  A failure is a missing name only when
// every record on the stack is one of these: an external file that cannot
// be opened, a loop of soft links, a read error or a want of memory met on
// the way add records of their own, and the failure is then no KeyError.
bool lookup_miss(const Q7E_error2_t *err) {
    if (err->min_num == Q7E_NOTFOUND_g)
        return err->maj_num == Q7E_SYM_g || err->maj_num == Q7E_LINK_g || err->maj_num == Q7E_ATTR_g;
    return err->min_num == Q7E_BADTYPE_g && err->maj_num == Q7E_SYM_g;
}

q7status_t collect_record(unsigned, const Q7E_error2_t *err, void *data) {
    auto *walk = static_cast<Walk *>(data);
    if (err->desc && *err->desc) {
        if (!walk->out->message.empty()) walk->out->message += "; ";
        walk->out->message += err->desc;
    }
    ++walk->records;
    if (lookup_miss(err)) ++walk->misses;
    return 0;
}

} // namespace

LibraryError stack_error(const char *what) {
    LibraryError e;
    Walk walk{&e};
    Q7Ewalk2(0, Q7E_WALK_DOWNWARD, collect_record, &walk);
    Q7Eclear2(0);
    e.missing = walk.records > 0 && walk.misses == walk.records;
    if (e.message.empty()) e.message = std::string(what) + " failed";
    return e;
}

void raise(const LibraryError &e, bool missing_is_key) {
    if (missing_is_key && e.missing) throw Missing(e.message);
    throw Failure(e.message);
}

Temp &Temp::operator=(Temp &&o) noexcept {
    if (this != &o) {
        reset();
        id = o.id;
        closer = o.closer;
        o.id = -1;
    }
    return *this;
}

void Temp::reset() {
    if (id >= 0 && closer) closer(id);
    id = -1;
}

void check_buffer(const py::array &a, bool writable) {
    if (!(a.flags() & py::array::c_style)) throw py::value_error("the array must be C-contiguous");
    if (writable && !a.writeable()) throw py::value_error("the array is read-only");
}

} // namespace q7py

PYBIND11_MODULE(_core, m) {
    using namespace q7py;
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
        } catch (const Missing &e) {
            PyErr_SetString(PyExc_KeyError, e.what());
        } catch (const Failure &e) {
            PyErr_SetString(error.ptr(), e.what());
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

    m.def("library_version", [] {
        unsigned a = 0, b = 0, c = 0;
        call("Q7get_libversion", [&] { return Q7get_libversion(&a, &b, &c); });
        return py::make_tuple(a, b, c);
    });
    m.def("filter_available", [](int id) { return call("Q7Zfilter_avail", [&] { return Q7Zfilter_avail(id); }) > 0; });
    // The library's table of built-in filters: (identifier, default client
    // data) of a name; raises for a name that is not built in.
    m.def("builtin_filter", [](const std::string &name) {
        const q7filter_t id = call("Q7Zfilter_by_name", [&] { return Q7Zfilter_by_name(name.c_str()); });
        unsigned cd[8];
        const int n = call("Q7Zget_filter_defaults", [&] { return Q7Zget_filter_defaults(id, 8, cd); });
        return py::make_tuple(id, std::vector<unsigned>(cd, cd + (n < 8 ? n : 8)));
    });

    bind_files(m);
    bind_datasets(m);
    bind_attributes(m);
}
