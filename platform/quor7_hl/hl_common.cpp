// Error reporting shared by the high-level calls.
#include "hl_internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace q7hl {

namespace {

// The source module named in error records.
constexpr const char *kModule = "quor7_hl";

struct SavedRecord {
    q7id_t cls, major, minor;
    unsigned line;
    std::string func, file, desc;
};

// State of the outermost high-level call in progress.  The library is
// used from one thread at a time.
int call_depth = 0;
bool call_failed = false;
std::vector<SavedRecord> pending;

// Called by the storage library's walk, which must not see an exception:
// a record that cannot be kept ends the walk.
q7status_t keep_record(unsigned, const Q7E_error2_t *err, void *) {
    try {
        pending.push_back({err->cls_id, err->maj_num, err->min_num, err->line, err->func_name ? err->func_name : "",
                           err->file_name ? err->file_name : "", err->desc ? err->desc : ""});
        return 0;
    } catch (...) {
        return -1;
    }
}

// Installed as the automatic report while a high-level call runs: keeps
// the records of each failed storage-library call.
q7status_t keep_report(q7id_t stack, void *) {
    Q7Ewalk2(stack, Q7E_WALK_UPWARD, keep_record, nullptr);
    return 0;
}

void push_record(const SavedRecord &r) {
    Q7Epush2(0, r.file.c_str(), r.func.c_str(), r.line, r.cls, r.major, r.minor, "%s", r.desc.c_str());
}

void run_report(unsigned is_v2, Q7E_auto1_t func1, Q7E_auto2_t func2, void *data) {
    if (is_v2) {
        if (func2) func2(0, data);
    } else if (func1) {
        func1(data);
    }
}

} // namespace

void open_library() { Q7open(); }

CallScope::CallScope() {
    outermost_ = call_depth++ == 0;
    if (!outermost_) return;
    call_failed = false;
    pending.clear();
    Q7Eclear2(0);
    Q7Eauto_is_v2(0, &is_v2_);
    if (is_v2_)
        Q7Eget_auto2(0, &func2_, &data_);
    else
        Q7Eget_auto1(&func1_, &data_);
    Q7Eset_auto2(0, keep_report, nullptr);
}

CallScope::~CallScope() {
    --call_depth;
    if (!outermost_) return;
    Q7Eclear2(0);
    if (is_v2_)
        Q7Eset_auto2(0, func2_, data_);
    else
        Q7Eset_auto1(func1_, data_);
    if (call_failed) {
        for (const auto &r : pending) push_record(r);
        run_report(is_v2_, func1_, func2_, data_);
    }
    pending.clear();
    call_failed = false;
}

q7status_t fail(const char *func, unsigned line, q7id_t major, q7id_t minor, const char *fmt, ...) noexcept {
    char message[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    if (call_depth > 0) {
        call_failed = true;
        try {
            pending.push_back(SavedRecord{Q7E_ERR_CLS_g, major, minor, line, func, kModule, message});
        } catch (...) {
            // Out of memory: the call is reported with the records kept so far.
        }
    } else {
        // Outside any call scope: report now.
        Q7Epush2(0, kModule, func, line, Q7E_ERR_CLS_g, major, minor, "%s", message);
        unsigned is_v2 = 1;
        Q7E_auto1_t func1 = nullptr;
        Q7E_auto2_t func2 = nullptr;
        void *data = nullptr;
        Q7Eauto_is_v2(0, &is_v2);
        if (is_v2)
            Q7Eget_auto2(0, &func2, &data);
        else
            Q7Eget_auto1(&func1, &data);
        run_report(is_v2, func1, func2, data);
    }
    return -1;
}

bool injected_fault(const char *func, unsigned line) {
    if (!Q7fault_should_fail(func)) return false;
    fail(func, line, Q7E_FUNC_g, Q7E_CANTINIT_g, "injected fault in %s", func);
    return true;
}

} // namespace q7hl
