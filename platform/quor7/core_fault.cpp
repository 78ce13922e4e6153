// core_fault.cpp - fault injection: named operations whose nth call (and
// the following count-1 calls) fail on purpose, so tests can reach the
// failure paths of the library and of the code built on it.
#include "internal.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#ifdef QUOR7_FAULT_INJECTION

namespace {

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct FaultPoint {
    long calls = 0;      // calls seen since start (or Q7fault_clear)
    bool armed = false;
    long base = 0;       // calls seen when the fault was armed
    long nth = 1;
    long count = 1;      // -1: every call from the nth on
};

// Its own lock: the fault table is consulted while the library lock is
// held, and tests arm faults from any thread.
std::mutex &fault_lock() {
    static std::mutex *m = new std::mutex;
    return *m;
}

std::unordered_map<std::string, FaultPoint, StringHash, std::equal_to<>> &points() {
    static auto *p = new std::unordered_map<std::string, FaultPoint, StringHash, std::equal_to<>>;
    return *p;
}

FaultPoint &point(std::string_view name) {
    auto &ps = points();
    auto it = ps.find(name);
    if (it == ps.end()) it = ps.emplace(std::string(name), FaultPoint{}).first;
    return it->second;
}

} // namespace

// The fault table is consulted by every public call's frame and armed by
// tests, so none of these functions may throw: a table that cannot grow
// (out of memory) leaves the operation unarmed and uncounted.

extern "C" void Q7fault_arm(const char *operation, long nth, long count) {
    if (!operation) return;
    q7::no_throw(false, [&] {
        std::lock_guard<std::mutex> g(fault_lock());
        FaultPoint &p = point(operation);
        p.armed = true;
        p.base = p.calls;
        p.nth = nth < 1 ? 1 : nth;
        p.count = count < 0 ? -1 : count;
        return true;
    });
}

extern "C" void Q7fault_disarm(const char *operation) {
    if (!operation) return;
    q7::no_throw(false, [&] {
        std::lock_guard<std::mutex> g(fault_lock());
        auto &ps = points();
        auto it = ps.find(std::string_view(operation));
        if (it != ps.end()) it->second.armed = false;
        return true;
    });
}

extern "C" void Q7fault_clear(void) {
    q7::no_throw(false, [] {
        std::lock_guard<std::mutex> g(fault_lock());
        points().clear();
        return true;
    });
}

extern "C" long Q7fault_calls(const char *operation) {
    if (!operation) return 0;
    return q7::no_throw(0L, [&] {
        std::lock_guard<std::mutex> g(fault_lock());
        auto &ps = points();
        auto it = ps.find(std::string_view(operation));
        return it == ps.end() ? 0L : it->second.calls;
    });
}

extern "C" int Q7fault_should_fail(const char *operation) {
    if (!operation) return 0;
    return q7::no_throw(0, [&] {
        std::lock_guard<std::mutex> g(fault_lock());
        FaultPoint &p = point(operation);
        ++p.calls;
        if (!p.armed) return 0;
        long k = p.calls - p.base;  // 1 for the first call after arming
        if (k < p.nth) return 0;
        if (p.count < 0) return 1;
        return k < p.nth + p.count ? 1 : 0;
    });
}

extern "C" int Q7fault_enabled(void) { return 1; }

bool q7::any_fault_armed() {
    return q7::no_throw(true, [] {
        std::lock_guard<std::mutex> g(fault_lock());
        for (const auto &entry : points())
            if (entry.second.armed) return true;
        return false;
    });
}

namespace {
Q7fault_file_observer g_file_observer;
bool g_observing_files = false;
} // namespace

extern "C" void Q7fault_observe_files(const Q7fault_file_observer *observer) {
    q7::no_throw(false, [&] {
        std::lock_guard<std::recursive_mutex> g(q7::library_lock());
        g_observing_files = observer != nullptr;
        if (observer) g_file_observer = *observer;
        return true;
    });
}

// Called from the library's file steps, which must not see an exception
// of a test's observer.
extern "C" void Q7fault_file_event(int kind, const char *path, const char *other, int result) {
    if (!g_observing_files) return;
    const Q7fault_file_observer &o = g_file_observer;
    q7::no_throw(false, [&] {
        switch (kind) {
        case Q7FAULT_FILE_RENAMED: if (o.renamed) o.renamed(o.user_data, path, other, result); break;
        case Q7FAULT_FILE_LINKED: if (o.linked) o.linked(o.user_data, path, other, result); break;
        case Q7FAULT_FILE_UNLINKED: if (o.unlinked) o.unlinked(o.user_data, path, result); break;
        case Q7FAULT_FILE_SYNCED: if (o.synced) o.synced(o.user_data, path, 0, result); break;
        case Q7FAULT_DIR_SYNCED: if (o.synced) o.synced(o.user_data, path, 1, result); break;
        default: break;
        }
        return true;
    });
}

namespace q7::core {

// QUOR7_FAULTS="op@nth[xcount],op@nth[xcount],..."; malformed entries are
// reported on standard error and skipped.
void arm_faults_from_env() {
    const char *env = std::getenv("QUOR7_FAULTS");
    if (!env || !*env) return;
    std::string all(env);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t comma = all.find(',', pos);
        if (comma == std::string::npos) comma = all.size();
        std::string item = all.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) continue;
        size_t at = item.rfind('@');
        bool ok = at != std::string::npos && at > 0 && at + 1 < item.size();
        long nth = 0, count = 1;
        if (ok) {
            const char *s = item.c_str() + at + 1;
            char *end = nullptr;
            nth = std::strtol(s, &end, 10);
            ok = end != s && nth >= 1;
            if (ok && *end == 'x') {
                const char *c = end + 1;
                count = std::strtol(c, &end, 10);
                ok = end != c;
            }
            ok = ok && *end == '\0';
        }
        if (!ok) {
            std::fprintf(stderr, "QUOR7_FAULTS: ignoring malformed entry \"%s\" (expected operation@nth[xcount])\n",
                         item.c_str());
            continue;
        }
        Q7fault_arm(item.substr(0, at).c_str(), nth, count);
    }
}

} // namespace q7::core

#else // fault injection compiled out: every call is a no-op

extern "C" void Q7fault_arm(const char *, long, long) {}
extern "C" void Q7fault_disarm(const char *) {}
extern "C" void Q7fault_clear(void) {}
extern "C" long Q7fault_calls(const char *) { return 0; }
extern "C" int Q7fault_should_fail(const char *) { return 0; }
extern "C" int Q7fault_enabled(void) { return 0; }
bool q7::any_fault_armed() { return false; }
extern "C" void Q7fault_observe_files(const Q7fault_file_observer *) {}
extern "C" void Q7fault_file_event(int, const char *, const char *, int) {}

namespace q7::core {
void arm_faults_from_env() {}
} // namespace q7::core

#endif
