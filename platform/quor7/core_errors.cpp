// core_errors.cpp - error classes, error messages and error stacks: the
// default stack 0 that the library itself reports on, stacks created by
// callers, records that own copies of their texts, printing, walking and
// the automatic report that runs when an outermost public call fails.
#include "internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {
q7id_t Q7E_ERR_CLS_g = -1;
q7id_t Q7E_ARGS_g = -1, Q7E_RESOURCE_g = -1, Q7E_FILE_g = -1, Q7E_IO_g = -1, Q7E_DATASET_g = -1,
       Q7E_DATATYPE_g = -1, Q7E_DATASPACE_g = -1, Q7E_PLIST_g = -1, Q7E_LINK_g = -1, Q7E_SYM_g = -1,
       Q7E_ATTR_g = -1, Q7E_PLINE_g = -1, Q7E_PLUGIN_g = -1, Q7E_ERROR_g = -1, Q7E_ID_g = -1, Q7E_SLIST_g = -1,
       Q7E_FUNC_g = -1;
q7id_t Q7E_BADVALUE_g = -1, Q7E_BADTYPE_g = -1, Q7E_BADRANGE_g = -1, Q7E_BADID_g = -1, Q7E_NOSPACE_g = -1,
       Q7E_CANTOPENFILE_g = -1, Q7E_CANTCREATE_g = -1, Q7E_CANTCLOSEFILE_g = -1, Q7E_NOTQUOR7_g = -1,
       Q7E_EXISTS_g = -1, Q7E_NOTFOUND_g = -1, Q7E_READERROR_g = -1, Q7E_WRITEERROR_g = -1,
       Q7E_CANTCONVERT_g = -1, Q7E_UNSUPPORTED_g = -1, Q7E_CANTINIT_g = -1, Q7E_CANTLOAD_g = -1,
       Q7E_CALLBACK_g = -1, Q7E_CANTFILTER_g = -1, Q7E_NOFILTER_g = -1, Q7E_VERSION_g = -1,
       Q7E_CANTINSERT_g = -1;
}

namespace q7 {
namespace {

struct ErrClass : Object {
    std::string name, lib, version;
};

struct ErrMsg : Object {
    q7id_t cls = -1;
    Q7E_type_t type = Q7E_MAJOR;
    std::string text;
};

// A record keeps copies of every text it shows, so it stays printable
// after its class or messages are closed.
struct Record {
    q7id_t cls, maj, min;
    unsigned line;
    std::string func, file, desc;
    std::string cls_name, lib_name, version, maj_text, min_text;
};

struct AutoHandler {
    bool v2 = true;
    Q7E_auto2_t func2 = Q7Eprint_auto2;
    Q7E_auto1_t func1 = nullptr;
    void *data = nullptr;
};

struct ErrStack : Object {
    std::vector<Record> records;
    AutoHandler handler;
};

// Never destroyed, and made in static storage: the stack that tells of a
// failed allocation must not need one to exist.
ErrStack &default_stack() {
    alignas(ErrStack) static unsigned char storage[sizeof(ErrStack)];
    static ErrStack *s = new (storage) ErrStack;
    return *s;
}

// Stack 0 is the default stack; others must be open stack identifiers.
// Pushes a record (on the default stack) when the identifier is bad.
ErrStack *stack_of(q7id_t id, std::shared_ptr<ErrStack> &hold) {
    if (id == 0) return &default_stack();
    hold = get<ErrStack>(id, Q7I_ERROR_STACK);
    return hold.get();
}

std::string vformat(const char *fmt, va_list ap) {
    if (!fmt) return std::string();
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) return std::string(fmt);
    std::string out((size_t)n, '\0');
    std::vsnprintf(out.data(), (size_t)n + 1, fmt, ap);
    return out;
}

void fill_texts(Record &r) {
    if (auto c = std::dynamic_pointer_cast<ErrClass>(find_id(r.cls, Q7I_ERROR_CLASS))) {
        r.cls_name = c->name;
        r.lib_name = c->lib;
        r.version = c->version;
    } else {
        r.cls_name = r.lib_name = "(unknown error class)";
    }
    auto m1 = std::dynamic_pointer_cast<ErrMsg>(find_id(r.maj, Q7I_ERROR_MSG));
    r.maj_text = m1 ? m1->text : "(no major message)";
    auto m2 = std::dynamic_pointer_cast<ErrMsg>(find_id(r.min, Q7I_ERROR_MSG));
    r.min_text = m2 ? m2->text : "(no minor message)";
}

void print_stack(const ErrStack &s, FILE *out) {
    const std::string *last_cls = nullptr;
    q7id_t last_id = -1;
    unsigned n = 0;
    for (const Record &r : s.records) {
        if (!last_cls || last_id != r.cls || *last_cls != r.cls_name) {
            std::fprintf(out, "%s-DIAG: Error detected in %s (%s):\n", r.lib_name.c_str(), r.cls_name.c_str(),
                         r.version.c_str());
            last_cls = &r.cls_name;
            last_id = r.cls;
        }
        std::fprintf(out, "  #%03u: %s line %u in %s(): %s\n", n++, r.file.c_str(), r.line, r.func.c_str(),
                     r.desc.c_str());
        std::fprintf(out, "    major: %s\n", r.maj_text.c_str());
        std::fprintf(out, "    minor: %s\n", r.min_text.c_str());
    }
    std::fflush(out);
}

q7id_t new_class(const char *name, const char *lib, const char *version) {
    auto c = std::make_shared<ErrClass>();
    c->name = name;
    c->lib = lib;
    c->version = version;
    return register_id(Q7I_ERROR_CLASS, c);
}

q7id_t new_msg(q7id_t cls, Q7E_type_t type, const char *text) {
    auto m = std::make_shared<ErrMsg>();
    m->cls = cls;
    m->type = type;
    m->text = text;
    return register_id(Q7I_ERROR_MSG, m);
}

} // namespace

namespace {

thread_local RecordSink *t_sink = nullptr;
thread_local bool t_task_mode = false;

// What Q7Epush2 does with a record, whether it runs at once or is replayed
// from a pipeline task: the stack and identifiers are checked in the same
// order, with the same records, either way.
bool push_client_record(q7id_t err_stack, const char *file, const char *func, unsigned line, q7id_t cls_id,
                        q7id_t maj_id, q7id_t min_id, bool has_msg, std::string desc) {
    std::shared_ptr<ErrStack> hold;
    ErrStack *s = stack_of(err_stack, hold);
    if (!s) return false;
    if (!find_id(cls_id, Q7I_ERROR_CLASS)) {
        push_bad_id(cls_id, Q7I_ERROR_CLASS);
        return false;
    }
    if (!find_id(maj_id, Q7I_ERROR_MSG) || !find_id(min_id, Q7I_ERROR_MSG)) {
        push_bad_id(find_id(maj_id, Q7I_ERROR_MSG) ? min_id : maj_id, Q7I_ERROR_MSG);
        return false;
    }
    if (!has_msg) {
        Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "an error record needs a message");
        return false;
    }
    Record r{cls_id, maj_id, min_id, line, func ? func : "", file ? file : "", {}, {}, {}, {}, {}, {}};
    r.desc = std::move(desc);
    fill_texts(r);
    s->records.push_back(std::move(r));
    return true;
}

} // namespace

CaptureRecords::CaptureRecords(RecordSink &sink) noexcept : prev_(t_sink) { t_sink = &sink; }
CaptureRecords::~CaptureRecords() { t_sink = prev_; }
RecordSink *record_sink() { return t_sink; }

TaskMode::TaskMode() noexcept : prev_(t_task_mode) { t_task_mode = true; }
TaskMode::~TaskMode() { t_task_mode = prev_; }
bool in_task_mode() { return t_task_mode; }

void replay_records(const RecordSink &sink) {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    for (const PendingRecord &p : sink.records) {
        if (p.client) {
            push_client_record(p.stack, p.file.c_str(), p.func.c_str(), p.line, p.cls, p.maj, p.min, p.has_msg,
                               p.desc);
            continue;
        }
        Record r{p.cls, p.maj, p.min, p.line, p.func, p.file, p.desc, {}, {}, {}, {}, {}};
        fill_texts(r);
        default_stack().records.push_back(std::move(r));
    }
}

void push(const char *file, const char *func, unsigned line, q7id_t maj, q7id_t min, const char *fmt, ...) {
    if (RecordSink *sink = t_sink) {
        // Kept for the caller to replay: no stack and no registry from here.
        va_list ap;
        va_start(ap, fmt);
        std::string desc = vformat(fmt, ap);
        va_end(ap);
        sink->records.push_back(PendingRecord{0, Q7E_ERR_CLS_g, maj, min, line,
                                              sink->api ? sink->api : func ? func : "", file ? file : "",
                                              std::move(desc), false, true});
        return;
    }
    std::lock_guard<std::recursive_mutex> g(library_lock());
    if (const char *api = current_api()) func = api;
    Record r{Q7E_ERR_CLS_g, maj, min, line, func ? func : "", file ? file : "", {}, {}, {}, {}, {}, {}};
    va_list ap;
    va_start(ap, fmt);
    r.desc = vformat(fmt, ap);
    va_end(ap);
    fill_texts(r);
    default_stack().records.push_back(std::move(r));
}

namespace core {

void open_errors() {
    Q7E_ERR_CLS_g = new_class("Quor7", "Quor7", "1.10.4");
    mark_predefined(Q7E_ERR_CLS_g);
    struct {
        q7id_t *slot;
        Q7E_type_t type;
        const char *text;
    } const msgs[] = {
        {&Q7E_ARGS_g, Q7E_MAJOR, "Invalid arguments"},
        {&Q7E_RESOURCE_g, Q7E_MAJOR, "Resource unavailable"},
        {&Q7E_FILE_g, Q7E_MAJOR, "File access"},
        {&Q7E_IO_g, Q7E_MAJOR, "Low-level I/O"},
        {&Q7E_DATASET_g, Q7E_MAJOR, "Dataset"},
        {&Q7E_DATATYPE_g, Q7E_MAJOR, "Datatype"},
        {&Q7E_DATASPACE_g, Q7E_MAJOR, "Dataspace"},
        {&Q7E_PLIST_g, Q7E_MAJOR, "Property list"},
        {&Q7E_LINK_g, Q7E_MAJOR, "Link"},
        {&Q7E_SYM_g, Q7E_MAJOR, "Group"},
        {&Q7E_ATTR_g, Q7E_MAJOR, "Attribute"},
        {&Q7E_PLINE_g, Q7E_MAJOR, "Filter pipeline"},
        {&Q7E_PLUGIN_g, Q7E_MAJOR, "Plug-in"},
        {&Q7E_ERROR_g, Q7E_MAJOR, "Error API"},
        {&Q7E_ID_g, Q7E_MAJOR, "Identifier"},
        {&Q7E_SLIST_g, Q7E_MAJOR, "Skip list"},
        {&Q7E_FUNC_g, Q7E_MAJOR, "Library call"},
        {&Q7E_BADVALUE_g, Q7E_MINOR, "Bad value"},
        {&Q7E_BADTYPE_g, Q7E_MINOR, "Wrong kind of object"},
        {&Q7E_BADRANGE_g, Q7E_MINOR, "Out of range"},
        {&Q7E_BADID_g, Q7E_MINOR, "Invalid identifier"},
        {&Q7E_NOSPACE_g, Q7E_MINOR, "Out of memory"},
        {&Q7E_CANTOPENFILE_g, Q7E_MINOR, "Cannot open file"},
        {&Q7E_CANTCREATE_g, Q7E_MINOR, "Cannot create"},
        {&Q7E_CANTCLOSEFILE_g, Q7E_MINOR, "Cannot close file"},
        {&Q7E_NOTQUOR7_g, Q7E_MINOR, "Not a Quor7 file"},
        {&Q7E_EXISTS_g, Q7E_MINOR, "Already exists"},
        {&Q7E_NOTFOUND_g, Q7E_MINOR, "Not found"},
        {&Q7E_READERROR_g, Q7E_MINOR, "Read failed"},
        {&Q7E_WRITEERROR_g, Q7E_MINOR, "Write failed"},
        {&Q7E_CANTCONVERT_g, Q7E_MINOR, "Cannot convert between datatypes"},
        {&Q7E_UNSUPPORTED_g, Q7E_MINOR, "Not supported"},
        {&Q7E_CANTINIT_g, Q7E_MINOR, "Cannot initialise"},
        {&Q7E_CANTLOAD_g, Q7E_MINOR, "Cannot load plug-in"},
        {&Q7E_CALLBACK_g, Q7E_MINOR, "Callback failed"},
        {&Q7E_CANTFILTER_g, Q7E_MINOR, "Filter failed"},
        {&Q7E_NOFILTER_g, Q7E_MINOR, "Filter not available"},
        {&Q7E_VERSION_g, Q7E_MINOR, "Wrong version"},
        {&Q7E_CANTINSERT_g, Q7E_MINOR, "Cannot insert"},
    };
    for (const auto &m : msgs) {
        *m.slot = new_msg(Q7E_ERR_CLS_g, m.type, m.text);
        mark_predefined(*m.slot);
    }
}

void close_errors() { default_stack().records.clear(); }

void clear_default_stack() { default_stack().records.clear(); }

void run_auto_report() {
    ErrStack &s = default_stack();
    AutoHandler h = s.handler;  // the handler may change it while running
    if (h.v2) {
        if (h.func2) h.func2(0, h.data);
    } else if (h.func1) {
        h.func1(h.data);
    }
}

} // namespace core
} // namespace q7

using namespace q7;

// ---------------------------------------------------------------------
// Classes and messages
// ---------------------------------------------------------------------

extern "C" q7id_t Q7Eregister_class(const char *cls_name, const char *lib_name, const char *version) {
    return q7::api_call("Q7Eregister_class", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        if (!cls_name || !lib_name || !version) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "class name, library name and version are required");
            return api_.fail(-1);
        }
        return new_class(cls_name, lib_name, version);
    });
}

extern "C" q7status_t Q7Eunregister_class(q7id_t cls_id) {
    return q7::api_call("Q7Eunregister_class", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!find_id(cls_id, Q7I_ERROR_CLASS)) {
            push_bad_id(cls_id, Q7I_ERROR_CLASS);
            return api_.fail(-1);
        }
        if (!release_id(cls_id, Q7I_ERROR_CLASS)) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "the library's own error class cannot be unregistered");
            return api_.fail(-1);
        }
        return 0;
    });
}

extern "C" q7id_t Q7Ecreate_msg(q7id_t cls_id, Q7E_type_t msg_type_arg, const char *msg) {
    // A C caller may pass any number: it is read as one, and checked,
    // before it is taken as a message kind.
    int kind;
    std::memcpy(&kind, &msg_type_arg, sizeof kind);
    return q7::api_call("Q7Ecreate_msg", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        const Q7E_type_t msg_type = kind == Q7E_MINOR ? Q7E_MINOR : Q7E_MAJOR;
        if (!find_id(cls_id, Q7I_ERROR_CLASS)) {
            push_bad_id(cls_id, Q7I_ERROR_CLASS);
            return api_.fail(-1);
        }
        if ((kind != Q7E_MAJOR && kind != Q7E_MINOR) || !msg) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "a message needs a text and the kind major (0) or minor (1)");
            return api_.fail(-1);
        }
        return new_msg(cls_id, msg_type, msg);
    });
}

extern "C" q7status_t Q7Eclose_msg(q7id_t msg_id) {
    return q7::api_call("Q7Eclose_msg", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!find_id(msg_id, Q7I_ERROR_MSG)) {
            push_bad_id(msg_id, Q7I_ERROR_MSG);
            return api_.fail(-1);
        }
        if (!release_id(msg_id, Q7I_ERROR_MSG)) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "the library's own error messages cannot be closed");
            return api_.fail(-1);
        }
        return 0;
    });
}

extern "C" q7ssize_t Q7Eget_msg(q7id_t msg_id, Q7E_type_t *type, char *msg, size_t size) {
    return q7::api_call("Q7Eget_msg", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        auto m = get<ErrMsg>(msg_id, Q7I_ERROR_MSG);
        if (!m) return api_.fail(-1);
        if (type) *type = m->type;
        if (msg && size > 0) std::snprintf(msg, size, "%s", m->text.c_str());
        return (q7ssize_t)m->text.size();
    });
}

// ---------------------------------------------------------------------
// Stacks and records
// ---------------------------------------------------------------------

extern "C" q7id_t Q7Ecreate_stack(void) {
    return q7::api_call("Q7Ecreate_stack", q7id_t{-1}, [&](q7::ApiCall &) -> q7id_t {
        return register_id(Q7I_ERROR_STACK, std::make_shared<ErrStack>());
    });
}

extern "C" q7status_t Q7Eclose_stack(q7id_t stack_id) {
    return q7::api_call("Q7Eclose_stack", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (stack_id == 0) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "the default error stack cannot be closed");
            return api_.fail(-1);
        }
        if (!release_id(stack_id, Q7I_ERROR_STACK)) {
            push_bad_id(stack_id, Q7I_ERROR_STACK);
            return api_.fail(-1);
        }
        return 0;
    });
}

extern "C" q7status_t Q7Epush2(q7id_t err_stack, const char *file, const char *func, unsigned line, q7id_t cls_id,
                               q7id_t maj_id, q7id_t min_id, const char *msg, ...) {
    // The argument list can only be opened here, in the variadic function
    // itself; the frame below formats it.
    va_list ap;
    va_start(ap, msg);
    q7status_t rc = q7::api_call("Q7Epush2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::string desc = msg ? vformat(msg, ap) : std::string();
        if (RecordSink *sink = t_sink) {
            // A plug-in's record from a pipeline task: checked and pushed
            // when the caller replays the task's records.
            sink->records.push_back(PendingRecord{err_stack, cls_id, maj_id, min_id, line, func ? func : "",
                                                  file ? file : "", std::move(desc), true, msg != nullptr});
            return 0;
        }
        if (!push_client_record(err_stack, file, func, line, cls_id, maj_id, min_id, msg != nullptr, std::move(desc)))
            return api_.fail(-1);
        return 0;
    });
    va_end(ap);
    return rc;
}

extern "C" q7ssize_t Q7Eget_num(q7id_t stack_id) {
    return q7::api_call("Q7Eget_num", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        return (q7ssize_t)s->records.size();
    });
}

extern "C" q7status_t Q7Eclear2(q7id_t stack_id) {
    return q7::api_call("Q7Eclear2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        s->records.clear();
        return 0;
    });
}

extern "C" q7status_t Q7Eprint2(q7id_t stack_id, FILE *stream) {
    return q7::api_call("Q7Eprint2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        print_stack(*s, stream ? stream : stderr);
        return 0;
    });
}

extern "C" q7status_t Q7Eprint_auto2(q7id_t stack_id, void *stream) {
    return q7::api_call("Q7Eprint_auto2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        print_stack(*s, stream ? static_cast<FILE *>(stream) : stderr);
        return 0;
    });
}

extern "C" q7status_t Q7Ewalk2(q7id_t stack_id, Q7E_direction_t direction_arg, Q7E_walk2_t func, void *client_data) {
    // Read as a number and checked before it is taken as a direction.
    int way;
    std::memcpy(&way, &direction_arg, sizeof way);
    return q7::api_call("Q7Ewalk2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        const Q7E_direction_t direction = way == Q7E_WALK_DOWNWARD ? Q7E_WALK_DOWNWARD : Q7E_WALK_UPWARD;
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        if (!func || (way != Q7E_WALK_UPWARD && way != Q7E_WALK_DOWNWARD)) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADVALUE_g, "a walk needs a callback and the direction 0 or 1");
            return api_.fail(-1);
        }
        // The callback may push or clear: walk a snapshot.
        std::vector<Record> snap = s->records;
        size_t n = snap.size();
        for (size_t i = 0; i < n; ++i) {
            const Record &r = snap[direction == Q7E_WALK_UPWARD ? i : n - 1 - i];
            Q7E_error2_t e{r.cls, r.maj, r.min, r.line, r.func.c_str(), r.file.c_str(), r.desc.c_str(), stack_id};
            q7status_t rc = func((unsigned)i, &e, client_data);
            if (rc != 0) return rc;
        }
        return 0;
    });
}

// ---------------------------------------------------------------------
// Automatic reporting
// ---------------------------------------------------------------------

extern "C" q7status_t Q7Eauto_is_v2(q7id_t stack_id, unsigned *is_stack) {
    return q7::api_call("Q7Eauto_is_v2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        if (is_stack) *is_stack = s->handler.v2 ? 1u : 0u;
        return 0;
    });
}

extern "C" q7status_t Q7Eget_auto2(q7id_t stack_id, Q7E_auto2_t *func, void **client_data) {
    return q7::api_call("Q7Eget_auto2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        if (!s->handler.v2 && s->handler.func1) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADTYPE_g, "a version-1 handler is installed; use Q7Eget_auto1");
            return api_.fail(-1);
        }
        if (func) *func = s->handler.v2 ? s->handler.func2 : nullptr;
        if (client_data) *client_data = s->handler.data;
        return 0;
    });
}

extern "C" q7status_t Q7Eset_auto2(q7id_t stack_id, Q7E_auto2_t func, void *client_data) {
    return q7::api_call("Q7Eset_auto2", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        std::shared_ptr<ErrStack> hold;
        ErrStack *s = stack_of(stack_id, hold);
        if (!s) return api_.fail(-1);
        s->handler = AutoHandler{true, func, nullptr, client_data};
        return 0;
    });
}

extern "C" q7status_t Q7Eget_auto1(Q7E_auto1_t *func, void **client_data) {
    return q7::api_call("Q7Eget_auto1", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        const AutoHandler &h = default_stack().handler;
        if (h.v2 && h.func2) {
            Q7_PUSH(Q7E_ERROR_g, Q7E_BADTYPE_g, "a version-2 handler is installed; use Q7Eget_auto2");
            return api_.fail(-1);
        }
        if (func) *func = h.v2 ? nullptr : h.func1;
        if (client_data) *client_data = h.data;
        return 0;
    });
}

extern "C" q7status_t Q7Eset_auto1(Q7E_auto1_t func, void *client_data) {
    return q7::api_call("Q7Eset_auto1", q7status_t{-1}, [&](q7::ApiCall &) -> q7status_t {
        default_stack().handler = AutoHandler{false, nullptr, func, client_data};
        return 0;
    });
}
