// hl_internal.hpp - what the parts of libquor7_hl share.
#pragma once

#include "quor7.h"
#include "quor7_fault.h"
#include "quor7_hl.h"

#include <string>

namespace q7hl {

// Opens the storage library (idempotent) so that its predefined
// identifiers may be read.
void open_library();

// Pushes one error record of the library's class on the default stack,
// marks the current call failed and returns -1.
q7status_t fail(const char *func, unsigned line, q7id_t major, q7id_t minor, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

// True when the fault injector says this call of func is to fail; the
// failure is then already recorded and reported.
bool injected_fault(const char *func, unsigned line);

// Brackets one public call.  The storage library clears the default
// error stack at the start of each of its calls and reports each failed
// call on its own; while a high-level call runs, those reports are caught
// and their records kept, so that a failed high-level call leaves every
// record on the stack and is reported once, when it ends.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

private:
    unsigned is_v2_ = 1;
    Q7E_auto1_t func1_ = nullptr;
    Q7E_auto2_t func2_ = nullptr;
    void *data_ = nullptr;
    bool outermost_ = false;
};

// Closes identifiers at the end of a scope, ignoring the results.
struct DatasetCloser {
    q7id_t id = -1;
    ~DatasetCloser() { if (id >= 0) Q7Dclose(id); }
};
struct SpaceCloser {
    q7id_t id = -1;
    ~SpaceCloser() { if (id >= 0) Q7Sclose(id); }
};
struct TypeCloser {
    q7id_t id = -1;
    ~TypeCloser() { if (id >= 0) Q7Tclose(id); }
};
struct AttrCloser {
    q7id_t id = -1;
    ~AttrCloser() { if (id >= 0) Q7Aclose(id); }
};
struct PlistCloser {
    q7id_t id = -1;
    ~PlistCloser() { if (id >= 0) Q7Pclose(id); }
};

} // namespace q7hl

#define Q7HL_FAIL(maj, min, ...) ::q7hl::fail(__func__, __LINE__, maj, min, __VA_ARGS__)
#define Q7HL_ENTER() ::q7hl::open_library(); ::q7hl::CallScope q7hl_call_scope_
#define Q7HL_FAULT_POINT() (::q7hl::injected_fault(__func__, __LINE__))
