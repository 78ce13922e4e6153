// storage_filters.cpp - the filter pipeline, the built-in filters
// (deflate, shuffle, fletcher32) and filter registration.
#include "storage_internal.hpp"

#include <zlib.h>

namespace q7::storage {

namespace {

// ---- deflate (1): zlib; client value 0 is the level ----------------------

// zlib allocates for itself; when that fails the record must say so, or
// the failed call would blame the data.
uint64_t zlib_failed(int rc, const char *what) {
    if (rc == Z_MEM_ERROR) Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory while %s a chunk", what);
    return 0;
}

uint64_t deflate_filter(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                        void **buf) {
    if (flags & Q7Z_FLAG_REVERSE) {
        uint64_t cap = *buf_size > nbytes ? *buf_size : nbytes;
        cap = cap < 4096 ? 4096 : cap * 2;
        auto *out = (unsigned char *)Q7allocate_memory(cap, 0);
        if (!out) return 0;
        z_stream z{};
        if (int rc = inflateInit(&z); rc != Z_OK) {
            Q7free_memory(out);
            return zlib_failed(rc, "decompressing");
        }
        z.next_in = (Bytef *)*buf;
        uint64_t in_left = nbytes;
        uint64_t produced = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (produced == cap) {
                uint64_t bigger = cap * 2;
                auto *grown = (unsigned char *)Q7allocate_memory(bigger, 0);
                if (!grown) break;
                memcpy(grown, out, produced);
                Q7free_memory(out);
                out = grown;
                cap = bigger;
            }
            uInt in_now = in_left > UINT32_MAX ? UINT32_MAX : (uInt)in_left;
            uInt out_room = cap - produced > UINT32_MAX ? UINT32_MAX : (uInt)(cap - produced);
            z.avail_in = in_now;
            z.next_out = out + produced;
            z.avail_out = out_room;
            rc = inflate(&z, Z_NO_FLUSH);
            in_left -= in_now - z.avail_in;
            produced += out_room - z.avail_out;
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
            if (rc == Z_BUF_ERROR && in_left == 0 && produced < cap) break;  // truncated stream
        }
        inflateEnd(&z);
        if (rc != Z_STREAM_END) {
            Q7free_memory(out);
            return zlib_failed(rc, "decompressing");
        }
        Q7free_memory(*buf);
        *buf = out;
        *buf_size = cap;
        return produced;
    }
    int level = ncd > 0 ? (int)cd[0] : 6;
    if (ncd > 0 && cd[0] > 9) return 0;
    uLong bound = compressBound((uLong)nbytes);
    auto *out = (unsigned char *)Q7allocate_memory(bound, 0);
    if (!out) return 0;
    uLongf out_len = bound;
    if (int rc = compress2(out, &out_len, (const Bytef *)*buf, (uLong)nbytes, level); rc != Z_OK) {
        Q7free_memory(out);
        return zlib_failed(rc, "compressing");
    }
    Q7free_memory(*buf);
    *buf = out;
    *buf_size = bound;
    return out_len;
}

// ---- shuffle (2): bytes of equal significance grouped together -----------

uint64_t shuffle_filter(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                        void **buf) {
    size_t size = ncd > 0 ? cd[0] : 0;
    if (size <= 1 || nbytes < size) return nbytes;
    auto *out = (unsigned char *)Q7allocate_memory(*buf_size, 0);
    if (!out) return 0;
    const auto *in = (const unsigned char *)*buf;
    size_t n = nbytes / size;
    if (flags & Q7Z_FLAG_REVERSE) {
        for (size_t b = 0; b < size; ++b)
            for (size_t e = 0; e < n; ++e) out[e * size + b] = in[b * n + e];
    } else {
        for (size_t b = 0; b < size; ++b)
            for (size_t e = 0; e < n; ++e) out[b * n + e] = in[e * size + b];
    }
    memcpy(out + n * size, in + n * size, nbytes - n * size);
    Q7free_memory(*buf);
    *buf = out;
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

uint64_t fletcher32_filter(uint32_t flags, uint64_t, const uint32_t *, uint64_t nbytes, uint64_t *buf_size,
                           void **buf) {
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

const Q7Z_class2_t kDeflate = {Q7Z_CLASS_T_VERS, Q7Z_FILTER_DEFLATE, 1, 1, "deflate", nullptr, nullptr,
                               deflate_filter};
const Q7Z_class2_t kShuffle = {Q7Z_CLASS_T_VERS, Q7Z_FILTER_SHUFFLE, 1, 1, "shuffle", nullptr, nullptr,
                               shuffle_filter};
const Q7Z_class2_t kFletcher = {Q7Z_CLASS_T_VERS, Q7Z_FILTER_FLETCHER32, 1, 1, "fletcher32", nullptr, nullptr,
                                fletcher32_filter};

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
                size_t *nbytes, uint64_t *result) {
    uint64_t size = *buf_size;
    void *b = buf.get();
    uint32_t flags = (f.flags & ~Q7Z_FLAG_REVERSE) | (reverse ? Q7Z_FLAG_REVERSE : 0);
    bool threw = false;
    uint64_t r = q7::no_throw(uint64_t{0}, [&]() -> uint64_t {
        threw = true;
        uint64_t got = ref.cls->filter(flags, f.cd_values.size(), f.cd_values.empty() ? nullptr : f.cd_values.data(),
                                       *nbytes, &size, &b);
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
    return true;
}

} // namespace

const Q7Z_class2_t *builtin_filter(q7filter_t id) {
    switch (id) {
    case Q7Z_FILTER_DEFLATE: return &kDeflate;
    case Q7Z_FILTER_SHUFFLE: return &kShuffle;
    case Q7Z_FILTER_FLETCHER32: return &kFletcher;
    default: return nullptr;
    }
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

void forget_registered_filters() { registered().clear(); }

void pipeline_set_local(std::vector<FilterEntry> &pipe, const Datatype &type) {
    for (FilterEntry &f : pipe) {
        if (f.id == Q7Z_FILTER_SHUFFLE && f.cd_values.empty()) f.cd_values.push_back((unsigned)type.size);
        if (f.name.empty()) {
            FilterRef ref;
            if (find_filter(f.id, ref, false) && ref.cls->name) f.name = ref.cls->name;
        }
    }
}

bool pipeline_encode(const std::vector<FilterEntry> &pipe, BlockBuf &buf, size_t *buf_size, size_t *nbytes,
                     uint32_t *mask) {
    *mask = 0;
    for (size_t i = 0; i < pipe.size(); ++i) {
        const FilterEntry &f = pipe[i];
        bool optional = (f.flags & Q7Z_FLAG_OPTIONAL) != 0;
        FilterRef ref;
        if (!find_filter(f.id, ref, !optional) || !ref.cls->encoder_present) {
            if (optional) {
                *mask |= 1u << i;
                continue;
            }
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "mandatory filter %d (%s) is not available for writing", f.id,
                    display_name(f, &ref).c_str());
            return false;
        }
        uint64_t r = 0;
        if (!run_filter(f, ref, false, buf, buf_size, nbytes, &r)) return false;
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
    return true;
}

bool pipeline_decode(const std::vector<FilterEntry> &pipe, uint32_t mask, BlockBuf &buf, size_t *buf_size,
                     size_t *nbytes, size_t expect) {
    for (size_t i = pipe.size(); i-- > 0;) {
        if (i < 32 && (mask & (1u << i))) continue;
        const FilterEntry &f = pipe[i];
        FilterRef ref;
        if (!find_filter(f.id, ref, true) || !ref.cls->decoder_present) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "filter %d (%s) is not available for reading", f.id,
                    display_name(f, &ref).c_str());
            return false;
        }
        uint64_t r = 0;
        if (!run_filter(f, ref, true, buf, buf_size, nbytes, &r)) return false;
        if (r == 0) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "filter %d (%s) failed while reading", f.id,
                    display_name(f, &ref).c_str());
            return false;
        }
        *nbytes = (size_t)r;
    }
    if (*nbytes != expect) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "chunk decodes to %zu bytes instead of %zu", *nbytes, expect);
        return false;
    }
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
        return 0;
    });
}

q7status_t Q7Zunregister(q7filter_t id) {
    return q7::api_call("Q7Zunregister", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (registered().erase(id) == 0 && !drop_plugin_filter(id)) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_NOTFOUND_g, "filter %d is not registered", id);
            return api_.fail(-1);
        }
        return 0;
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
