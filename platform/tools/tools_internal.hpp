// tools_internal.hpp - what the parts of the tools runtime share.
#pragma once

#include "q7tools.h"
#include "tools_shared.hpp"

#include <cstdarg>
#include <exception>
#include <new>
#include <string>
#include <utility>

namespace q7tools_internal {

std::string vformat(const char *fmt, va_list ap);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Pushes one record of the tools class on the tools stack (nothing when
// the runtime has not been started).
void push_tools_error(const char *file, const char *func, unsigned line, const char *msg);

// Hands the tools stack to its automatic-report function, if one is set,
// then clears the stack.
void report_tools_stack();

// Reports an exception that reached the frame of the public function
// `name`: a record on the tools stack ("out of memory" for bad_alloc,
// "internal failure: <what>" otherwise) and an error line on standard
// error.  Never throws.
void report_exception(const char *name, bool out_of_memory, const char *what) noexcept;

// The frame of every public function of the tools runtime:
//
//     extern "C" int q7do(...) {
//         return q7tools_internal::api_call("q7do", -1, [&]() -> int { ... });
//     }
//
// Nothing the body throws reaches the C caller: the exception is
// reported (report_exception), on_fail runs (to mark a result record
// failed; it must not throw) and the call returns failval.
template <class R, class Body, class OnFail>
R api_call(const char *name, R failval, Body &&body, OnFail &&on_fail) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        report_exception(name, true, nullptr);
    } catch (const std::exception &e) {
        report_exception(name, false, e.what());
    } catch (...) {
        report_exception(name, false, nullptr);
    }
    on_fail();
    return failval;
}

template <class R, class Body>
R api_call(const char *name, R failval, Body &&body) noexcept {
    return api_call(name, failval, std::forward<Body>(body), [] {});
}

// The same for a function without a result.
template <class Body>
void api_call_void(const char *name, Body &&body) noexcept {
    api_call(name, 0, [&] {
        body();
        return 0;
    });
}

// An object path: a group's path and a link name in it.
inline std::string join_path(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

constexpr const char *module_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/') base = p + 1;
    return base;
}

} // namespace q7tools_internal

// Records a failure on the tools stack in the name of the public function
// being served.
#define Q7TOOLS_PUSH(func, msg) \
    ::q7tools_internal::push_tools_error(::q7tools_internal::module_name(__FILE__), (func), __LINE__, (msg))
