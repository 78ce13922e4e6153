// Internal header of quor7._core, the Python extension over the public C
// API of libquor7 (boundary/quor7.h).  The extension only moves
// identifiers, names, shapes and buffers across; the Python package
// (python/quor7/) builds the mapping, indexing and dtype conventions on top.
//
// Locks.  Every library call is made while holding g_lib, and the error
// stack is read under the same lock right after a failed call: the library
// keeps one default error stack for the whole process, so another thread
// could otherwise clear it between a failure and its message.  Code holding
// g_lib touches no Python object and never waits for the GIL (a Python
// object's finalizer could run and hand the GIL to a thread that waits for
// g_lib), so the two locks cannot deadlock.  Calls that move data (reads,
// writes, chunk listings, commits) run with the GIL released.
#pragma once

#include "quor7.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace q7py {

namespace py = pybind11;

extern std::mutex g_lib;
using Lock = std::lock_guard<std::mutex>;

// A failed library call, with the messages of the error stack.  missing is
// set when the failure is nothing but a name that is not there.
struct LibraryError {
    std::string message;
    bool missing = false;
};

// Translated to quor7.Error (an OSError) when it reaches Python.
struct Failure : std::exception {
    explicit Failure(std::string m) : message(std::move(m)) {}
    const char *what() const noexcept override { return message.c_str(); }
    std::string message;
};

// Translated to KeyError.
struct Missing : Failure {
    using Failure::Failure;
};

// Reads and clears the default error stack; call with g_lib held, right
// after the failed call.
LibraryError stack_error(const char *what);

// Throws Missing for a missing name when missing_is_key, else Failure.
[[noreturn]] void raise(const LibraryError &e, bool missing_is_key = false);

// Runs one library call under g_lib, with the GIL released when nogil,
// and raises with the stack's messages when its result is negative.  f
// touches no Python object.
template <class F>
auto call(const char *what, F &&f, bool missing_is_key = false, bool nogil = false) {
    LibraryError err;
    bool failed;
    decltype(f()) r;
    {
        std::optional<py::gil_scoped_release> released;
        if (nogil) released.emplace();
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
    bool fail(const LibraryError &e) {
        if (!failed) {
            failed = true;
            err = e;
        }
        return false;
    }
};

// Runs f(op) under g_lib, with the GIL released when nogil (f must then
// touch no Python object at all), and raises after both are back.
template <class F>
auto run(F &&f, bool missing_is_key = false, bool nogil = false) {
    Op op;
    decltype(f(op)) r;
    {
        std::optional<py::gil_scoped_release> released;
        if (nogil) released.emplace();
        Lock l(g_lib);
        r = f(op);
    }
    if (op.failed) raise(op.err, missing_is_key);
    return r;
}

// An identifier the extension made for itself (type, dataspace, property
// list, attribute), closed when it goes out of scope.  Use with g_lib held.
struct Temp {
    q7id_t id = -1;
    q7status_t (*closer)(q7id_t) = nullptr;
    Temp() = default;
    Temp(q7id_t i, q7status_t (*c)(q7id_t)) : id(i), closer(c) {}
    Temp(const Temp &) = delete;
    Temp &operator=(const Temp &) = delete;
    Temp(Temp &&o) noexcept : id(o.id), closer(o.closer) { o.id = -1; }
    Temp &operator=(Temp &&o) noexcept;
    ~Temp() { reset(); }
    void reset();
    q7id_t release() {
        q7id_t i = id;
        id = -1;
        return i;
    }
};

// An identifier of a file, group or dataset owned by a Python object.  It
// is closed by close() or when the Python object goes away; afterwards
// every use raises ValueError instead of reaching the library with a stale
// number.
class Handle {
public:
    Handle(q7id_t id, int kind) : id_(id), kind_(kind) {}
    ~Handle();
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    q7id_t id() const {
        if (id_ < 0) throw py::value_error("the Quor7 object is closed");
        return id_;
    }
    bool open() const { return id_ >= 0; }
    int kind() const { return kind_; }
    void close();

private:
    static q7status_t close_id(q7id_t id, int kind);
    q7id_t id_;
    int kind_;
};

// An element type in plain C++, so that types are made and described under
// g_lib without touching Python.  In Python it is a descriptor tuple (see
// python/quor7/_types.py): ("i"|"u"|"f"|"b", size, order), ("S", size),
// ("V", size) or ("c", size, [(name, offset, descriptor), ...]).
struct TypeDesc {
    struct Member;
    std::string kind;
    size_t size = 0;
    int order = 0;  // 0 little-endian, 1 big-endian
    std::vector<Member> members;
};
struct TypeDesc::Member {
    std::string name;
    size_t offset = 0;
    TypeDesc type;
};

// Conversions from and to descriptor tuples; with the GIL held.
TypeDesc desc_from_py(const py::tuple &desc);
py::tuple desc_to_py(const TypeDesc &desc);
// A new type identifier for desc, or -1 with err filled in; with g_lib held.
q7id_t type_create(const TypeDesc &desc, LibraryError &err);
// The descriptor of a type identifier; false with err filled in; with
// g_lib held.
bool type_describe(q7id_t type, TypeDesc &out, LibraryError &err);

// Raises ValueError unless a is C-contiguous (and writable when asked).
void check_buffer(const py::array &a, bool writable);

// The functions of each area, added to the module.
void bind_files(py::module_ &m);
void bind_datasets(py::module_ &m);
void bind_attributes(py::module_ &m);

} // namespace q7py
