// The tools runtime's process state: program name, exit status, the tools
// error class with its messages and stack, and the message printers that
// every command-line tool uses.
#include "q7tools.h"
#include "tools_internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

int32_t enable_error_stack = 0;

q7id_t Q7tools_ERR_STACK_g = -1;
q7id_t Q7tools_ERR_CLS_g = -1;
q7id_t Q7E_tools_g = -1;
q7id_t Q7E_tools_min_id_g = -1;

namespace {

std::string g_progname = "q7tools";
int32_t g_status = 0;
bool g_initialized = false;

// Writes "<program> <kind>: <message>" on standard error, adding the line
// end when the caller's format has none.  Standard output is flushed first
// so that the two streams stay in order on a shared terminal or pipe.
void print_line(const char *kind, const char *fmt, va_list ap) {
    std::string msg = q7tools_internal::vformat(fmt, ap);
    if (msg.empty() || msg.back() != '\n') msg.push_back('\n');
    fflush(stdout);
    fprintf(stderr, "%s %s: %s", g_progname.c_str(), kind, msg.c_str());
    fflush(stderr);
}

} // namespace

namespace q7tools_internal {

std::string vformat(const char *fmt, va_list ap) {
    if (!fmt) return std::string();
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

void push_tools_error(const char *file, const char *func, unsigned line, const char *msg) {
    if (Q7tools_ERR_STACK_g <= 0) return;
    // The text is handed over as an argument so that a '%' inside a path
    // cannot be taken for a conversion.
    Q7Epush2(Q7tools_ERR_STACK_g, file, func, line, Q7tools_ERR_CLS_g, Q7E_tools_g, Q7E_tools_min_id_g, "%s",
             msg);
}

void report_exception(const char *name, bool out_of_memory, const char *what) noexcept {
    // Fixed buffers: the report must not need the memory that ran out.
    char msg[512];
    if (out_of_memory)
        snprintf(msg, sizeof msg, "out of memory");
    else if (what)
        snprintf(msg, sizeof msg, "internal failure: %s", what);
    else
        snprintf(msg, sizeof msg, "internal failure");
    Q7TOOLS_PUSH(name, msg);
    fflush(stdout);
    fprintf(stderr, "%s error: %s: %s\n", g_progname.c_str(), name, msg);
    fflush(stderr);
}

void report_tools_stack() {
    if (Q7tools_ERR_STACK_g <= 0) return;
    if (Q7Eget_num(Q7tools_ERR_STACK_g) <= 0) return;
    Q7E_auto2_t func = nullptr;
    void *client_data = nullptr;
    if (Q7Eget_auto2(Q7tools_ERR_STACK_g, &func, &client_data) >= 0 && func) {
        fflush(stdout);
        func(Q7tools_ERR_STACK_g, client_data);
    }
    Q7Eclear2(Q7tools_ERR_STACK_g);
}

} // namespace q7tools_internal

// The status and the program name's text are plain reads and writes,
// which cannot throw; every other function has the runtime's frame.
extern "C" {

void q7tools_setprogname(const char *progname) {
    q7tools_internal::api_call_void("q7tools_setprogname", [&] { g_progname = progname ? progname : ""; });
}

const char *q7tools_getprogname(void) { return g_progname.c_str(); }

void q7tools_setstatus(int32_t status) { g_status = status; }

int32_t q7tools_getstatus(void) { return g_status; }

void q7tools_init(void) {
    q7tools_internal::api_call_void("q7tools_init", [] {
        if (g_initialized) return;
        Q7open();
        Q7tools_ERR_CLS_g = Q7Eregister_class("Quor7 tools", "q7tools", "1.10.4");
        if (Q7tools_ERR_CLS_g > 0) {
            Q7E_tools_g = Q7Ecreate_msg(Q7tools_ERR_CLS_g, Q7E_MAJOR, "Failure in tools library");
            Q7E_tools_min_id_g = Q7Ecreate_msg(Q7tools_ERR_CLS_g, Q7E_MINOR, "error in function");
        }
        Q7tools_ERR_STACK_g = Q7Ecreate_stack();
        g_initialized = true;
    });
}

void q7tools_close(void) {
    q7tools_internal::api_call_void("q7tools_close", [] {
        if (!g_initialized) return;
        fflush(stdout);
        if (Q7tools_ERR_STACK_g > 0) Q7Eclose_stack(Q7tools_ERR_STACK_g);
        if (Q7E_tools_min_id_g > 0) Q7Eclose_msg(Q7E_tools_min_id_g);
        if (Q7E_tools_g > 0) Q7Eclose_msg(Q7E_tools_g);
        if (Q7tools_ERR_CLS_g > 0) Q7Eunregister_class(Q7tools_ERR_CLS_g);
        Q7tools_ERR_STACK_g = -1;
        Q7tools_ERR_CLS_g = -1;
        Q7E_tools_g = -1;
        Q7E_tools_min_id_g = -1;
        g_initialized = false;
    });
}

// The argument list can only be opened in the variadic function itself;
// the frame formats and prints it.
void error_msg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    q7tools_internal::api_call_void("error_msg", [&] { print_line("error", fmt, ap); });
    va_end(ap);
}

void warn_msg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    q7tools_internal::api_call_void("warn_msg", [&] { print_line("warning", fmt, ap); });
    va_end(ap);
}

} // extern "C"
