// storage_filters.cpp - the filter pipeline, the table of built-in
// filters (the one registry of their names, identifiers and default
// client data), shuffle and fletcher32, and filter registration.  The
// compressing codecs live in storage_codecs.cpp, bitshuffle in
// storage_bitshuffle.cpp.
//
// Contracts: encoding runs the filters in order; decoding undoes them in
// reverse order, each built-in told the most bytes it may produce (the
// chunk's expected size for the last one undone; for one before it, the
// most bytes the next filter's encoder can make of that bound when the
// next filter is built in, else the largest block the library accepts),
// and the output of a plug-in or registered filter checked against the
// same bound after its call.  No SQL here.
#include "storage_chunks.hpp"

namespace q7::storage {

namespace {

// ---- shuffle (2): bytes of equal significance grouped together -----------

// Shuffles (or undoes) nbytes from `in` to `out`; the bytes past the
// last whole element are copied.
void shuffle_bytes(const void *in, void *out, uint64_t nbytes, size_t size, bool reverse) {
    const auto *from = (const unsigned char *)in;
    auto *to = (unsigned char *)out;
    size_t n = size <= 1 || nbytes < size ? 0 : nbytes / size;
    if (n) byte_transpose(from, to, size, n, reverse);
    memcpy(to + n * size, from + n * size, nbytes - n * size);
}

uint64_t shuffle_run(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                     void **buf, uint64_t) {
    size_t size = ncd > 0 ? cd[0] : 0;
    if (size <= 1 || nbytes < size) return nbytes;
    auto *out = (unsigned char *)Q7allocate_memory(*buf_size, 0);
    if (!out) return 0;
    shuffle_bytes(*buf, out, nbytes, size, (flags & Q7Z_FLAG_REVERSE) != 0);
    Q7free_memory(*buf);
    *buf = out;
    return nbytes;
}

uint64_t shuffle_from(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, uint64_t *out_size,
                      void **out) {
    auto *to = (unsigned char *)Q7allocate_memory(nbytes ? nbytes : 1, 0);
    if (!to) return 0;
    shuffle_bytes(in, to, nbytes, ncd > 0 ? cd[0] : 0, false);
    *out = to;
    *out_size = nbytes ? nbytes : 1;
    return nbytes;
}

uint64_t shuffle_into(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, void *out,
                      uint64_t room) {
    if (nbytes != room) return kDeclined;
    shuffle_bytes(in, out, nbytes, ncd > 0 ? cd[0] : 0, true);
    return nbytes;
}

// ---- fletcher32 (3): checksum appended, checked and removed on read ------

uint32_t fletcher32(const unsigned char *p, size_t n) {
    uint32_t a = 0xffff, b = 0xffff;
    size_t words = n / 2;
    while (words) {
        size_t block = words > 360 ? 360 : words;
        words -= block;
        for (size_t i = 0; i < block; ++i, p += 2) {
            a += (uint32_t)p[0] << 8 | p[1];
            b += a;
        }
        a = (a & 0xffff) + (a >> 16);
        b = (b & 0xffff) + (b >> 16);
    }
    if (n & 1) {
        a += (uint32_t)p[0] << 8;
        b += a;
        a = (a & 0xffff) + (a >> 16);
        b = (b & 0xffff) + (b >> 16);
    }
    a = (a & 0xffff) + (a >> 16);
    b = (b & 0xffff) + (b >> 16);
    return b << 16 | a;
}

uint64_t fletcher32_run(uint32_t flags, uint64_t, const uint32_t *, uint64_t nbytes, uint64_t *buf_size,
                        void **buf, uint64_t) {
    if (flags & Q7Z_FLAG_REVERSE) {
        if (nbytes < 4) return 0;
        const auto *p = (const unsigned char *)*buf;
        uint32_t sum = fletcher32(p, nbytes - 4);
        const unsigned char *s = p + nbytes - 4;
        uint32_t stored = (uint32_t)s[0] | (uint32_t)s[1] << 8 | (uint32_t)s[2] << 16 | (uint32_t)s[3] << 24;
        return stored == sum ? nbytes - 4 : 0;
    }
    uint32_t sum = fletcher32((const unsigned char *)*buf, nbytes);
    if (*buf_size < nbytes + 4) {
        auto *out = (unsigned char *)Q7allocate_memory(nbytes + 4, 0);
        if (!out) return 0;
        memcpy(out, *buf, nbytes);
        Q7free_memory(*buf);
        *buf = out;
        *buf_size = nbytes + 4;
    }
    unsigned char *s = (unsigned char *)*buf + nbytes;
    for (int i = 0; i < 4; ++i) s[i] = (unsigned char)(sum >> (8 * i));
    return nbytes + 4;
}

uint64_t same_size(uint64_t, const uint32_t *, uint64_t n) { return n; }
uint64_t plus_checksum(uint64_t, const uint32_t *, uint64_t n) { return n + 4; }

// The public callback of a built-in: the bounded pass, bounded only by the
// largest block the library accepts.
template <BoundedFilter F>
uint64_t unbounded(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                   void **buf) {
    return F(flags, ncd, cd, nbytes, buf_size, buf, kMaxBlockBytes);
}

#define Q7_BUILTIN_CLASS(var, id, name, fn) \
    const Q7Z_class2_t var = {Q7Z_CLASS_T_VERS, id, 1, 1, name, nullptr, nullptr, unbounded<fn>}
Q7_BUILTIN_CLASS(kDeflate, Q7Z_FILTER_DEFLATE, "deflate", deflate_run);
Q7_BUILTIN_CLASS(kShuffle, Q7Z_FILTER_SHUFFLE, "shuffle", shuffle_run);
Q7_BUILTIN_CLASS(kFletcher, Q7Z_FILTER_FLETCHER32, "fletcher32", fletcher32_run);
Q7_BUILTIN_CLASS(kZstd, Q7Z_FILTER_ZSTD, "zstd", zstd_run);
Q7_BUILTIN_CLASS(kLz4, Q7Z_FILTER_LZ4, "lz4", lz4_run);
Q7_BUILTIN_CLASS(kBitshuffle, Q7Z_FILTER_BITSHUFFLE, "bitshuffle", bitshuffle_run);
#undef Q7_BUILTIN_CLASS

// The one registry of built-in filters.  Defaults are the client data
// written out when none is given (shuffle and bitshuffle take theirs from
// the dataset's type instead, see pipeline_set_local).
const BuiltinFilter kBuiltins[] = {
    {&kDeflate, deflate_run, deflate_into, deflate_from, deflate_max_encoded, "gzip", 1, {6, 0}},
    {&kShuffle, shuffle_run, shuffle_into, shuffle_from, same_size, nullptr, 0, {0, 0}},
    {&kFletcher, fletcher32_run, nullptr, nullptr, plus_checksum, nullptr, 0, {0, 0}},
    {&kZstd, zstd_run, zstd_into, zstd_from, zstd_max_encoded, nullptr, 1, {3, 0}},
    {&kLz4, lz4_run, lz4_into, lz4_from, lz4_max_encoded, nullptr, 1, {1, 0}},
    {&kBitshuffle, bitshuffle_run, bitshuffle_into, bitshuffle_from, same_size, nullptr, 0, {0, 0}},
};

// Filters registered in this process with Q7Zregister (records copied).
struct Registered {
    Q7Z_class2_t cls;
    std::string name;
};
// Never destroyed, like the plug-in loader's state (shutdown may run late).
std::map<q7filter_t, std::shared_ptr<Registered>> &registered() {
    static auto *m = new std::map<q7filter_t, std::shared_ptr<Registered>>;
    return *m;
}

std::string display_name(const FilterEntry &f, const FilterRef *ref) {
    if (ref && ref->cls && ref->cls->name) return ref->cls->name;
    if (!f.name.empty()) return f.name;
    return "unnamed";
}

// Runs one filter over buf.  The callback is C code (a plug-in) or an
// application's function: nothing thrown inside it may travel on through
// its frames, so an exception stops at the call and fails the pass, even
// for an optional filter, since the block it leaves cannot be trusted.
bool run_filter(const FilterEntry &f, const FilterRef &ref, bool reverse, BlockBuf &buf, size_t *buf_size,
                size_t *nbytes, uint64_t *result, uint64_t limit = kMaxBlockBytes) {
    const BuiltinFilter *builtin = builtin_by_class(ref.cls);
    uint64_t size = *buf_size;
    void *b = buf.get();
    uint32_t flags = (f.flags & ~Q7Z_FLAG_REVERSE) | (reverse ? Q7Z_FLAG_REVERSE : 0);
    bool threw = false;
    uint64_t r = q7::no_throw(uint64_t{0}, [&]() -> uint64_t {
        threw = true;
        const uint32_t *cd = f.cd_values.empty() ? nullptr : f.cd_values.data();
        uint64_t got = builtin ? builtin->run(flags, f.cd_values.size(), cd, *nbytes, &size, &b, limit)
                               : ref.cls->filter(flags, f.cd_values.size(), cd, *nbytes, &size, &b);
        threw = false;
        return got;
    });
    // The filter may have replaced the block: hold what it left.
    (void)buf.release();
    buf.reset(b);
    *buf_size = (size_t)size;
    *result = r;
    if (threw) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "filter %d (%s) failed with an exception while %s", f.id,
                display_name(f, &ref).c_str(), reverse ? "reading" : "writing");
        return false;
    }
    if (r > size) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g,
                "filter %d (%s) reported %llu valid bytes in a buffer of %llu; its result is refused as corrupt", f.id,
                display_name(f, &ref).c_str(), (unsigned long long)r, (unsigned long long)size);
        return false;
    }
    if (reverse && r > limit) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "filter %d (%s) produced %llu bytes, more than the %llu it may", f.id,
                display_name(f, &ref).c_str(), (unsigned long long)r, (unsigned long long)limit);
        return false;
    }
    return true;
}

} // namespace

const BuiltinFilter *builtin_filters(size_t *count) {
    *count = sizeof kBuiltins / sizeof kBuiltins[0];
    return kBuiltins;
}

const BuiltinFilter *builtin_by_id(q7filter_t id) {
    for (const BuiltinFilter &b : kBuiltins)
        if (b.cls->id == id) return &b;
    return nullptr;
}

const BuiltinFilter *builtin_by_class(const Q7Z_class2_t *cls) {
    for (const BuiltinFilter &b : kBuiltins)
        if (b.cls == cls) return &b;
    return nullptr;
}

const BuiltinFilter *builtin_by_name(const char *name) {
    if (!name) return nullptr;
    for (const BuiltinFilter &b : kBuiltins)
        if (strcmp(b.cls->name, name) == 0 || (b.alias && strcmp(b.alias, name) == 0)) return &b;
    return nullptr;
}

const Q7Z_class2_t *builtin_filter(q7filter_t id) {
    const BuiltinFilter *b = builtin_by_id(id);
    return b ? b->cls : nullptr;
}

bool find_filter(q7filter_t id, FilterRef &out, bool report) {
    auto &reg = registered();
    auto it = reg.find(id);
    if (it != reg.end()) {
        out.cls = &it->second->cls;
        out.keep = it->second;
        return true;
    }
    if (const Q7Z_class2_t *b = builtin_filter(id)) {
        out.cls = b;
        out.keep.reset();
        return true;
    }
    if (id > Q7Z_FILTER_RESERVED - 1 && id <= Q7Z_FILTER_MAX) return find_plugin_filter(id, out, report);
    if (report) {
        if (id == Q7Z_FILTER_SZIP || id == Q7Z_FILTER_NBIT || id == Q7Z_FILTER_SCALEOFFSET)
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "filter %d is not available in this library", id);
        else
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "filter %d is not available", id);
    }
    return false;
}

namespace {
uint64_t g_filters_epoch = 1;
}
uint64_t filters_epoch() { return g_filters_epoch; }
void note_filters_changed() { ++g_filters_epoch; }

void forget_registered_filters() {
    registered().clear();
    note_filters_changed();
}

void pipeline_set_local(std::vector<FilterEntry> &pipe, const Datatype &type) {
    for (FilterEntry &f : pipe) {
        if ((f.id == Q7Z_FILTER_SHUFFLE || f.id == Q7Z_FILTER_BITSHUFFLE) && f.cd_values.empty())
            f.cd_values.push_back((unsigned)type.size);
        // The block is written out, so that the stored format never depends
        // on a default that may change.
        if (f.id == Q7Z_FILTER_BITSHUFFLE && f.cd_values.size() == 1)
            f.cd_values.push_back(bitshuffle_default_block(f.cd_values[0]));
        if (f.name.empty()) {
            FilterRef ref;
            if (find_filter(f.id, ref, false) && ref.cls->name) f.name = ref.cls->name;
        }
    }
}

bool resolve_for_tasks(const std::vector<FilterEntry> &pipe, bool reading, std::vector<FilterRef> &refs) {
    refs.assign(pipe.size(), FilterRef{});
    for (size_t i = 0; i < pipe.size(); ++i) {
        const FilterEntry &f = pipe[i];
        // An application's own filter was written for calls made under the
        // library lock, and may call anything: it runs on the caller.
        if (registered().count(f.id)) return false;
        bool found = find_filter(f.id, refs[i], false);
        bool usable = found && (reading ? refs[i].cls->decoder_present : refs[i].cls->encoder_present);
        if (usable) continue;
        // A missing filter: only an optional one skipped while writing
        // leaves no record; any other is reported by the caller's own run.
        if (reading || !(f.flags & Q7Z_FLAG_OPTIONAL)) return false;
        refs[i] = FilterRef{};
    }
    return true;
}

bool pipeline_encode(const std::vector<FilterEntry> &pipe, const std::vector<FilterRef> *refs, BlockBuf &buf,
                     size_t *buf_size, size_t *nbytes, uint32_t *mask, const void *src) {
    *mask = 0;
    // The input while it is still only in the caller's memory: the first
    // built-in that runs reads it from there, anything else from a copy.
    const void *pending = src;
    auto copy_in = [&] {
        buf.reset(Q7allocate_memory(*nbytes ? *nbytes : 1, 0));
        if (!buf) {
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "no memory for a chunk of %zu bytes", *nbytes);
            return false;
        }
        memcpy(buf.get(), pending, *nbytes);
        *buf_size = *nbytes ? *nbytes : 1;
        pending = nullptr;
        return true;
    };
    for (size_t i = 0; i < pipe.size(); ++i) {
        const FilterEntry &f = pipe[i];
        bool optional = (f.flags & Q7Z_FLAG_OPTIONAL) != 0;
        FilterRef ref;
        if (refs) ref = (*refs)[i];
        if (refs ? !ref.cls || !ref.cls->encoder_present
                 : !find_filter(f.id, ref, !optional) || !ref.cls->encoder_present) {
            if (optional) {
                *mask |= 1u << i;
                continue;
            }
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "mandatory filter %d (%s) is not available for writing", f.id,
                    display_name(f, &ref).c_str());
            return false;
        }
        uint64_t r = 0;
        const BuiltinFilter *b = pending ? builtin_by_class(ref.cls) : nullptr;
        if (b && b->from) {
            void *out = nullptr;
            uint64_t cap = 0;
            const uint32_t *cd = f.cd_values.empty() ? nullptr : f.cd_values.data();
            r = b->from(f.cd_values.size(), cd, pending, *nbytes, &cap, &out);
            if (r) {
                buf.reset(out);
                *buf_size = (size_t)cap;
                pending = nullptr;
            }
        } else {
            if (pending && !copy_in()) return false;
            if (!run_filter(f, ref, false, buf, buf_size, nbytes, &r)) return false;
        }
        if (r == 0) {
            if (optional) {
                *mask |= 1u << i;
                continue;
            }
            Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "mandatory filter %d (%s) failed while writing", f.id,
                    display_name(f, &ref).c_str());
            return false;
        }
        *nbytes = (size_t)r;
    }
    return !pending || copy_in();
}

bool pipeline_decode(const std::vector<FilterEntry> &pipe, const std::vector<FilterRef> *resolved, uint32_t mask,
                     BlockBuf &buf, size_t *buf_size, size_t *nbytes, size_t expect, void *dest) {
    // Output bounds, from the last filter undone (index 0 side) outwards.
    std::vector<uint64_t> limit(pipe.size(), kMaxBlockBytes);
    std::vector<FilterRef> refs(pipe.size());
    uint64_t bound = expect;
    for (size_t i = 0; i < pipe.size(); ++i) {
        if (i < 32 && (mask & (1u << i))) continue;
        const FilterEntry &f = pipe[i];
        if (resolved) refs[i] = (*resolved)[i];
        if (resolved ? !refs[i].cls || !refs[i].cls->decoder_present
                     : !find_filter(f.id, refs[i], true) || !refs[i].cls->decoder_present) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "filter %d (%s) is not available for reading", f.id,
                    display_name(f, &refs[i]).c_str());
            return false;
        }
        limit[i] = bound;
        const BuiltinFilter *b = builtin_by_class(refs[i].cls);
        const uint32_t *cd = f.cd_values.empty() ? nullptr : f.cd_values.data();
        bound = b ? b->max_encoded(f.cd_values.size(), cd, bound) : kMaxBlockBytes;
        // Encoders may grow a block a little past the largest one accepted.
        if (bound > kMaxBlockBytes + (kMaxBlockBytes >> 4)) bound = kMaxBlockBytes + (kMaxBlockBytes >> 4);
    }
    // The last filter undone, which may write into `dest` itself.
    size_t last = pipe.size();
    for (size_t i = 0; i < pipe.size() && last == pipe.size(); ++i)
        if (!(i < 32 && (mask & (1u << i)))) last = i;
    bool in_dest = false;
    for (size_t i = pipe.size(); i-- > 0;) {
        if (i < 32 && (mask & (1u << i))) continue;
        const FilterEntry &f = pipe[i];
        uint64_t r = kDeclined;
        const BuiltinFilter *b = dest && i == last ? builtin_by_class(refs[i].cls) : nullptr;
        if (b && b->into) {
            const uint32_t *cd = f.cd_values.empty() ? nullptr : f.cd_values.data();
            r = b->into(f.cd_values.size(), cd, buf.get(), *nbytes, dest, expect);
            in_dest = r != kDeclined;
        }
        if (r == kDeclined && !run_filter(f, refs[i], true, buf, buf_size, nbytes, &r, limit[i])) return false;
        if (r == 0) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "filter %d (%s) failed while reading", f.id,
                    display_name(f, &refs[i]).c_str());
            return false;
        }
        *nbytes = (size_t)r;
    }
    if (*nbytes != expect) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "chunk decodes to %zu bytes instead of %zu", *nbytes, expect);
        return false;
    }
    if (dest && !in_dest) memcpy(dest, buf.get(), expect);
    return true;
}

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7tri_t Q7Zfilter_avail(q7filter_t id) {
    return q7::api_call("Q7Zfilter_avail", q7tri_t{-1}, [&](q7::ApiCall &api_) -> q7tri_t {
        if (id < 0 || id > Q7Z_FILTER_MAX) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADRANGE_g, "filter identifier %d is out of range", id);
            return api_.fail(-1);
        }
        FilterRef ref;
        return find_filter(id, ref, false) ? 1 : 0;
    });
}

q7status_t Q7Zregister(const void *cls) {
    return q7::api_call("Q7Zregister", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        const auto *c = (const Q7Z_class2_t *)cls;
        if (!c) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no filter class record");
            return api_.fail(-1);
        }
        if (c->version != Q7Z_CLASS_T_VERS) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_VERSION_g, "filter class record version %d; only %d is known", c->version,
                    Q7Z_CLASS_T_VERS);
            return api_.fail(-1);
        }
        if (c->id <= 0 || c->id > Q7Z_FILTER_MAX) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "filter identifier %d is out of range", c->id);
            return api_.fail(-1);
        }
        if (!c->filter) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "filter %d has no callback", c->id);
            return api_.fail(-1);
        }
        auto r = std::make_shared<Registered>();
        r->cls = *c;
        r->name = c->name ? c->name : "";
        r->cls.name = r->name.c_str();
        registered()[c->id] = r;
        note_filters_changed();
        return 0;
    });
}

q7status_t Q7Zunregister(q7filter_t id) {
    return q7::api_call("Q7Zunregister", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        note_filters_changed();
        if (registered().erase(id) == 0 && !drop_plugin_filter(id)) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOTFOUND_g, "filter %d is not registered", id);
            return api_.fail(-1);
        }
        return 0;
    });
}

q7filter_t Q7Zfilter_by_name(const char *name) {
    return q7::api_call("Q7Zfilter_by_name", q7filter_t{Q7Z_FILTER_ERROR}, [&](q7::ApiCall &api_) -> q7filter_t {
        if (!name) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no filter name");
            return api_.fail(Q7Z_FILTER_ERROR);
        }
        const BuiltinFilter *b = builtin_by_name(name);
        if (!b) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOTFOUND_g, "no built-in filter is named \"%s\"", name);
            return api_.fail(Q7Z_FILTER_ERROR);
        }
        return b->cls->id;
    });
}

q7ssize_t Q7Zbuiltin_filter_name(q7filter_t id, char *name, size_t size) {
    return q7::api_call("Q7Zbuiltin_filter_name", q7ssize_t{-1}, [&](q7::ApiCall &) -> q7ssize_t {
        const BuiltinFilter *b = builtin_by_id(id);
        const char *n = b ? b->cls->name : "";
        size_t len = strlen(n);
        if (name && size > 0) {
            size_t k = len < size - 1 ? len : size - 1;
            memcpy(name, n, k);
            name[k] = '\0';
        }
        return (q7ssize_t)len;
    });
}

int Q7Zget_filter_defaults(q7filter_t id, size_t max_values, unsigned *values) {
    return q7::api_call("Q7Zget_filter_defaults", -1, [&](q7::ApiCall &api_) -> int {
        const BuiltinFilter *b = builtin_by_id(id);
        if (!b) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOTFOUND_g, "filter %d is not built in", id);
            return api_.fail(-1);
        }
        if (max_values > 0 && !values) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no room for the default client data");
            return api_.fail(-1);
        }
        for (unsigned i = 0; i < b->ndefaults && i < max_values; ++i) values[i] = b->defaults[i];
        return (int)b->ndefaults;
    });
}

q7ssize_t Q7Zget_filter_name(q7filter_t id, char *name, size_t size) {
    return q7::api_call("Q7Zget_filter_name", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        FilterRef ref;
        if (!find_filter(id, ref, true)) return api_.fail(-1);
        std::string n = ref.cls->name ? ref.cls->name : "";
        if (name && size > 0) {
            size_t k = n.size() < size - 1 ? n.size() : size - 1;
            memcpy(name, n.data(), k);
            name[k] = '\0';
        }
        return (q7ssize_t)n.size();
    });
}

} // extern "C"
