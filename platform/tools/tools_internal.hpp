// tools_internal.hpp - what the parts of the tools runtime share.
#pragma once

#include "q7tools.h"

#include <cstdarg>
#include <string>

namespace q7tools_internal {

std::string vformat(const char *fmt, va_list ap);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Pushes one record of the tools class on the tools stack (nothing when
// the runtime has not been started).
void push_tools_error(const char *file, const char *func, unsigned line, const char *msg);

// Hands the tools stack to its automatic-report function, if one is set,
// then clears the stack.
void report_tools_stack();

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
