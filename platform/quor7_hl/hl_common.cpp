// Error reporting shared by the high-level calls.
#include "hl_internal.hpp"

#include <cstdarg>
#include <cstdio>

namespace q7hl {

namespace {

// The source module named in error records.
constexpr const char *kModule = "quor7_hl";

// Nesting depth of public calls and whether the outermost one failed.
// The library is used from one thread at a time.
int call_depth = 0;
bool call_failed = false;

} // namespace

void open_library() { Q7open(); }

CallScope::CallScope() {
    outermost_ = call_depth++ == 0;
    if (!outermost_) return;
    call_failed = false;
    Q7Eclear2(0);
    Q7Eauto_is_v2(0, &is_v2_);
    if (is_v2_) {
        Q7Eget_auto2(0, &func2_, &data_);
        Q7Eset_auto2(0, nullptr, nullptr);
    } else {
        Q7Eget_auto1(&func1_, &data_);
        Q7Eset_auto1(nullptr, nullptr);
    }
}

CallScope::~CallScope() {
    --call_depth;
    if (!outermost_) return;
    if (is_v2_) {
        Q7Eset_auto2(0, func2_, data_);
        if (call_failed && func2_) func2_(0, data_);
    } else {
        Q7Eset_auto1(func1_, data_);
        if (call_failed && func1_) func1_(data_);
    }
    call_failed = false;
}

q7status_t fail(const char *func, unsigned line, q7id_t major, q7id_t minor, const char *fmt, ...) {
    char message[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    Q7Epush2(0, kModule, func, line, Q7E_ERR_CLS_g, major, minor, "%s", message);
    call_failed = true;
    return -1;
}

bool injected_fault(const char *func, unsigned line) {
    if (!Q7fault_should_fail(func)) return false;
    fail(func, line, Q7E_FUNC_g, Q7E_CANTINIT_g, "injected fault in %s", func);
    return true;
}

} // namespace q7hl
