// hl_internal.hpp - what the parts of libquor7_hl share.
#pragma once

#include "quor7.h"
#include "quor7_fault.h"
#include "quor7_hl.h"

#include <exception>
#include <new>
#include <string>

namespace q7hl {

// Opens the storage library (idempotent) so that its predefined
// identifiers may be read.
void open_library();

// Keeps one error record of the library's class for the default stack,
// marks the current call failed and returns -1.  Never throws: when not
// even the record can be kept, the call is still marked failed.
q7status_t fail(const char *func, unsigned line, q7id_t major, q7id_t minor, const char *fmt, ...) noexcept
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

// What the body of a public call is handed: the public function's name,
// for the records it keeps (Q7HL_FAIL uses it).
struct Call {
    const char *name;
};

// The frame of every public function of the library:
//
//     q7status_t Q7IMdo(q7id_t loc_id) {
//         return q7hl::api_call("Q7IMdo", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
//             ...                        // failures: return Q7HL_FAIL(maj, min, "...");
//         });
//     }
//
// It opens the storage library, brackets the call in a CallScope, fails
// it at once with failval when an injected fault is armed for it, and
// catches every exception of the body: std::bad_alloc becomes an "out of
// memory" record, anything else an internal-error record, and the call
// returns failval.  The body's own closers run first, and the records are
// kept inside the scope, so that the failed call is reported once with
// everything the storage library said before the exception.
template <class R, class Body>
R api_call(const char *name, R failval, Body &&body) noexcept {
    try {
        open_library();
        CallScope scope;
        if (injected_fault(name, __LINE__)) return failval;
        Call call{name};
        try {
            return body(call);
        } catch (const std::bad_alloc &) {
            fail(name, __LINE__, Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory");
        } catch (const std::exception &e) {
            fail(name, __LINE__, Q7E_FUNC_g, Q7E_CANTINIT_g, "internal failure: %s", e.what());
        } catch (...) {
            fail(name, __LINE__, Q7E_FUNC_g, Q7E_CANTINIT_g, "internal failure");
        }
        return failval;
    } catch (...) {
        return failval;  // the call scope could not be set up
    }
}

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

// A failure record in the name of the public function being served, from
// the body of its api_call (where call_ is the Call handed to it).
#define Q7HL_FAIL(maj, min, ...) ::q7hl::fail(call_.name, __LINE__, maj, min, __VA_ARGS__)
