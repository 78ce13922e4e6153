// harness - see harness.hpp.
#include "harness.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "q7gif.h"
#include "q7tools.h"
#include "quor7.h"

namespace q7fuzz {

namespace {

uint32_t take_u32(const uint8_t *&p, size_t &left) {
    uint32_t v = 0;
    for (int i = 0; i < 4 && left > 0; ++i, ++p, --left) v |= uint32_t(*p) << (8 * i);
    return v;
}

uint8_t take_u8(const uint8_t *&p, size_t &left) {
    if (left == 0) return 0;
    --left;
    return *p++;
}

// Bytes needed to hold every element of a space in a type, or 0 when
// that is unknown or beyond the read limit.
uint64_t value_bytes(q7id_t space, q7id_t type) {
    const q7ssize_t n = Q7Sget_simple_extent_npoints(space);
    const size_t elem = Q7Tget_size(type);
    if (n <= 0 || elem == 0) return 0;
    if (uint64_t(n) > kReadLimit / elem) return 0;
    return uint64_t(n) * elem;
}

// ---- the walk ------------------------------------------------------------

struct Walk {
    q7id_t file = -1;
    Outcome out;
};

q7status_t collect_attr(q7id_t, const char *name, void *op_data) {
    static_cast<std::vector<std::string> *>(op_data)->push_back(name);
    return 0;
}

void read_attributes(Walk &w, const char *path) {
    q7id_t obj = Q7Oopen(w.file, path, 0);
    if (obj < 0) return;
    std::vector<std::string> names;
    if (Q7Aiterate2(obj, nullptr, collect_attr, &names) >= 0) {
        for (const std::string &name : names) {
            q7id_t attr = Q7Aopen(obj, name.c_str(), 0);
            if (attr < 0) continue;
            q7id_t type = Q7Aget_type(attr);
            q7id_t space = Q7Aget_space(attr);
            if (type >= 0 && space >= 0) {
                const uint64_t bytes = value_bytes(space, type);
                if (bytes > 0) {
                    std::vector<unsigned char> buf(bytes);
                    if (Q7Aread(attr, type, buf.data()) >= 0) ++w.out.values_read;
                }
                if (Q7Tget_class(type) == Q7T_COMPOUND) {
                    const int32_t n = Q7Tget_nmembers(type);
                    for (int32_t i = 0; i < n && i < 64; ++i) Q7free_memory(Q7Tget_member_name(type, unsigned(i)));
                }
            }
            if (type >= 0) Q7Tclose(type);
            if (space >= 0) Q7Sclose(space);
            Q7Aclose(attr);
        }
    }
    Q7Oclose(obj);
}

void read_dataset(Walk &w, const char *path) {
    q7id_t dset = Q7Dopen2(w.file, path, 0);
    if (dset < 0) return;
    q7id_t type = Q7Dget_type(dset);
    q7id_t space = Q7Dget_space(dset);
    if (type >= 0 && space >= 0) {
        q7size_t dims[Q7_MAX_RANK];
        const int rank = Q7Sget_simple_extent_ndims(space);
        if (rank >= 0 && rank <= Q7_MAX_RANK) Q7Sget_simple_extent_dims(space, dims, nullptr);
        const uint64_t bytes = value_bytes(space, type);
        if (bytes > 0) {
            std::vector<unsigned char> buf(bytes);
            if (Q7Dread(dset, type, Q7S_ALL, Q7S_ALL, 0, buf.data()) >= 0) ++w.out.values_read;
        }
        q7size_t nchunks = 0;
        if (Q7Dget_num_chunks(dset, &nchunks) >= 0) {
            for (q7size_t i = 0; i < nchunks && i < 8; ++i) {
                q7size_t offset[Q7_MAX_RANK] = {}, csize = 0;
                uint32_t mask = 0;
                if (Q7Dget_chunk_info(dset, i, offset, &mask, &csize) < 0 || csize > kReadLimit) continue;
                std::vector<unsigned char> raw(csize + 1);
                Q7Dread_chunk(dset, 0, offset, &mask, raw.data());
            }
        }
        q7id_t dcpl = Q7Dget_create_plist(dset);
        if (dcpl >= 0) {
            const int nf = Q7Pget_nfilters(dcpl);
            for (int i = 0; i < nf && i < 32; ++i) {
                unsigned flags = 0, cd[8];
                size_t ncd = 8;
                char name[64];
                Q7Pget_filter2(dcpl, unsigned(i), &flags, &ncd, cd, sizeof name, name, nullptr);
            }
            Q7Pclose(dcpl);
        }
    }
    if (type >= 0) Q7Tclose(type);
    if (space >= 0) Q7Sclose(space);
    Q7Dclose(dset);
}

int visit_obj(const char *path, const Q7O_info2_t *oinfo, const char *already_visited, void *udata) {
    Walk &w = *static_cast<Walk *>(udata);
    ++w.out.objects;
    if (already_visited) return 0;
    if (oinfo->type == Q7O_TYPE_DATASET) read_dataset(w, path);
    read_attributes(w, path);
    return 0;
}

int visit_lnk(const char *path, const Q7L_info_t *linfo, void *udata) {
    Walk &w = *static_cast<Walk *>(udata);
    ++w.out.objects;
    if (linfo->val_size == 0 || linfo->val_size > kReadLimit) return 0;
    std::vector<char> val(linfo->val_size);
    if (Q7Lget_val(w.file, path, val.data(), val.size(), 0) < 0) return 0;
    if (linfo->type == Q7L_TYPE_EXTERNAL) {
        unsigned flags = 0;
        const char *fname = nullptr, *obj = nullptr;
        Q7Lunpack_elink_val(val.data(), val.size(), &flags, &fname, &obj);
    }
    return 0;
}

// ---- filters ---------------------------------------------------------------

struct Plugin {
    std::string file;
    Q7Z_func_t filter = nullptr;
};

// The six filter plug-ins, in this order (the selector of an input picks
// one), from the directory named by QUOR7_FUZZ_PLUGIN_DIR or else the
// first directory of QUOR7_PLUGIN_PATH.
const char *const kPluginNames[] = {"byteshift_plugin_diff", "byteshift_plugin_dump", "checked_offset_plugin",
                                    "group_suffix_plugin",   "offset_plugin",         "scale_plugin"};

const std::vector<Plugin> &plugins() {
    static const std::vector<Plugin> list = [] {
        std::vector<Plugin> found;
        const char *env = getenv("QUOR7_FUZZ_PLUGIN_DIR");
        std::string dir = env && *env ? env : "";
        if (dir.empty()) {
            const char *path = getenv("QUOR7_PLUGIN_PATH");
            dir = path ? std::string(path).substr(0, std::string(path).find(':')) : "";
        }
        for (const char *name : kPluginNames) {
            const std::string file = dir + "/" + name + ".so";
            void *h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            auto info = h ? reinterpret_cast<Q7PL_get_plugin_info_t>(dlsym(h, "Q7PLget_plugin_info")) : nullptr;
            auto kind = h ? reinterpret_cast<Q7PL_get_plugin_type_t>(dlsym(h, "Q7PLget_plugin_type")) : nullptr;
            const auto *cls = info && kind && kind() == Q7PL_TYPE_FILTER ? static_cast<const Q7Z_class2_t *>(info())
                                                                         : nullptr;
            if (!cls || cls->version != Q7Z_CLASS_T_VERS || !cls->filter) {
                fprintf(stderr, "q7fuzz: cannot load the filter plug-in %s (%s)\n", file.c_str(),
                        h ? "no usable filter record" : dlerror());
                abort();
            }
            found.push_back({name, cls->filter});
        }
        return found;
    }();
    return list;
}

[[noreturn]] void contract_broken(const std::string &who, const char *what, uint64_t a, uint64_t b) {
    fprintf(stderr, "q7fuzz: filter %s broke the callback contract: %s (%llu, %llu)\n", who.c_str(), what,
            (unsigned long long)a, (unsigned long long)b);
    abort();
}

// The datasets whose pipelines hold the built-in filters: 256 32-bit
// integers in chunks of 64, through one of four pipelines (flags' bits 1
// and 2 choose): shuffle, deflate and fletcher32; bitshuffle and zstd;
// shuffle and lz4; deflate and lz4.
constexpr q7size_t kPipeElems = 256;
constexpr q7size_t kPipeChunk = 64;

struct PipeFilter {
    q7filter_t id;
    unsigned ncd, cd;
};
const std::vector<PipeFilter> kBuiltinPipelines[4] = {
    {{Q7Z_FILTER_SHUFFLE, 0, 0}, {Q7Z_FILTER_DEFLATE, 1, 6}, {Q7Z_FILTER_FLETCHER32, 0, 0}},
    {{Q7Z_FILTER_BITSHUFFLE, 0, 0}, {Q7Z_FILTER_ZSTD, 1, 3}},
    {{Q7Z_FILTER_SHUFFLE, 0, 0}, {Q7Z_FILTER_LZ4, 1, 1}},
    {{Q7Z_FILTER_DEFLATE, 1, 1}, {Q7Z_FILTER_LZ4, 1, 1}},
};

q7id_t pipeline_dataset(unsigned which) {
    static q7id_t file = Q7Fcreate(scratch_path("pipeline.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
    static q7id_t dsets[4] = {-1, -1, -1, -1};
    if (dsets[which] >= 0) return dsets[which];
    q7size_t dims[1] = {kPipeElems}, chunk[1] = {kPipeChunk};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    bool ok = file >= 0 && space >= 0 && dcpl >= 0 && Q7Pset_chunk(dcpl, 1, chunk) >= 0;
    for (const PipeFilter &f : kBuiltinPipelines[which])
        ok = ok && Q7Pset_filter(dcpl, f.id, Q7Z_FLAG_MANDATORY, f.ncd, &f.cd) >= 0;
    if (!ok) {
        fprintf(stderr, "q7fuzz: cannot set up the pipeline dataset\n");
        abort();
    }
    const std::string name = "pipeline" + std::to_string(which);
    q7id_t d = Q7Dcreate2(file, name.c_str(), Q7T_NATIVE_INT32_g, space, 0, dcpl, 0);
    if (d < 0) {
        fprintf(stderr, "q7fuzz: cannot create the pipeline dataset\n");
        abort();
    }
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return dsets[which] = d;
}

// Selector 0: flags' bits 1 and 2 choose the pipeline; the low bit between a stored chunk of fuzzed
// bytes (with a fuzzed filter mask) decoded by a read, and fuzzed values
// written through the pipeline, which must read back unchanged.
Outcome builtin_pipeline(uint32_t flags, const uint8_t *p, size_t left) {
    Outcome out;
    q7id_t dset = pipeline_dataset((flags >> 1) & 3);
    ++out.objects;
    std::vector<int32_t> back(kPipeElems);
    if (flags & 1) {
        const uint32_t mask = take_u32(p, left);
        const q7size_t chunk = take_u8(p, left) % (kPipeElems / kPipeChunk);
        const q7size_t offset[1] = {chunk * kPipeChunk};
        if (Q7Dwrite_chunk(dset, 0, mask, offset, left, p) >= 0) {
            out.accepted = true;
            if (Q7Dread(dset, Q7T_NATIVE_INT32_g, Q7S_ALL, Q7S_ALL, 0, back.data()) >= 0) ++out.values_read;
        }
        Q7Eclear2(0);
        return out;
    }
    std::vector<int32_t> values(kPipeElems);
    memcpy(values.data(), p, std::min(left, values.size() * sizeof(int32_t)));
    if (Q7Dwrite(dset, Q7T_NATIVE_INT32_g, Q7S_ALL, Q7S_ALL, 0, values.data()) < 0 ||
        Q7Dread(dset, Q7T_NATIVE_INT32_g, Q7S_ALL, Q7S_ALL, 0, back.data()) < 0) {
        fprintf(stderr, "q7fuzz: the built-in pipeline refused a plain write or its read-back\n");
        abort();
    }
    if (back != values) {
        fprintf(stderr, "q7fuzz: the built-in pipeline did not give back what was written\n");
        abort();
    }
    out.accepted = true;
    ++out.values_read;
    return out;
}

} // namespace

// ---- entry points ------------------------------------------------------------

Outcome gif_import(const uint8_t *data, size_t size) {
    quiet_library();
    Outcome out;
    q7gif_t gif{};
    char error[256];
    if (q7gif_read_memory(data, size, &gif, nullptr, nullptr, error, sizeof error) != 0) return out;
    out.accepted = true;
    out.objects = gif.screen ? gif.screen->image_count : 0;
    const std::string path = scratch_path("import.q7");
    if (WriteQuor(gif, path.c_str()) == 0) ++out.values_read;
    q7gif_free(&gif);
    Q7Eclear2(0);
    clear_scratch();
    return out;
}

Outcome open_walk(const uint8_t *data, size_t size) {
    quiet_library();
    const std::string path = scratch_path("walk.q7");
    write_bytes(path, data, size);
    Walk w;
    w.file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    if (w.file >= 0) {
        w.out.accepted = true;
        q7trav_visit(w.file, "/", 1, 1, visit_obj, visit_lnk, &w, Q7O_INFO_ALL);
        Q7Fclose(w.file);
    }
    Q7Eclear2(0);
    clear_scratch();
    return w.out;
}

Outcome diff_files(const uint8_t *data, size_t size) {
    quiet_library();
    static bool tools = [] {
        q7tools_setprogname("q7diff");
        q7tools_init();
        Q7Eset_auto2(Q7tools_ERR_STACK_g, nullptr, nullptr);
        return true;
    }();
    (void)tools;
    const uint8_t *p = data;
    size_t left = size;
    const uint8_t bits = take_u8(p, left);
    const uint32_t first = take_u32(p, left);
    const size_t n1 = left ? first % (left + 1) : 0;
    const std::string f1 = scratch_path("one.q7"), f2 = scratch_path("two.q7");
    write_bytes(f1, p, n1);
    write_bytes(f2, p + n1, left - n1);

    diff_opt_t opts;
    memset(&opts, 0, sizeof opts);
    opts.mode_quiet = 1;
    opts.delta_bool = bits & 1;
    opts.delta = (bits & 1) ? 0.5 : 0;
    opts.percent_bool = (bits >> 1) & 1 && !(bits & 1);
    opts.percent = opts.percent_bool ? 0.01 : 0;
    opts.strict_nan = (bits >> 2) & 1;
    opts.count_bool = (bits >> 3) & 1;
    opts.count = opts.count_bool ? 1 + (bits >> 4) : 0;
    const char *exclude[1] = {"/a"};
    if (bits & 0x80) {
        opts.n_exclude = 1;
        opts.exclude = exclude;
    }
    Outcome out;
    out.values_read = long(q7diff(f1.c_str(), f2.c_str(), nullptr, nullptr, &opts));
    out.accepted = !opts.err_stat;
    out.objects = opts.n_compared;
    Q7Eclear2(0);
    Q7Eclear2(Q7tools_ERR_STACK_g);
    clear_scratch();
    return out;
}

// Layout: selector (0: built-in pipeline, k: k-th plug-in), flags (4),
// client value count (1, at most 8) and values (4 each), buffer size (4,
// below 64 KiB), valid bytes (4, at most the buffer size), then the
// buffer's contents (the rest, zero-filled up to the buffer size).
Outcome filter_call(const uint8_t *data, size_t size) {
    quiet_library();
    const uint8_t *p = data;
    size_t left = size;
    const std::vector<Plugin> &list = plugins();
    const size_t which = take_u8(p, left) % (list.size() + 1);
    uint32_t flags = take_u32(p, left);
    if (which == 0) return builtin_pipeline(flags, p, left);

    const Plugin &pl = list[which - 1];
    const uint64_t ncd = take_u8(p, left) % 9;
    uint32_t cd[8] = {};
    for (uint64_t i = 0; i < ncd; ++i) cd[i] = take_u32(p, left);
    uint64_t buffer_size = take_u32(p, left) % (1u << 16);
    const uint64_t valid = take_u32(p, left) % (buffer_size + 1);
    void *buf = Q7allocate_memory(size_t(buffer_size), 1);
    if (!buf && buffer_size) abort();
    if (buffer_size) memcpy(buf, p, std::min<uint64_t>(left, buffer_size));

    const void *before = buf;
    const std::vector<unsigned char> contents(static_cast<unsigned char *>(buf),
                                              static_cast<unsigned char *>(buf) + buffer_size);
    uint64_t new_size = buffer_size;
    const uint64_t r = pl.filter(flags, ncd, ncd ? cd : nullptr, valid, &new_size, &buf);
    Outcome out;
    out.objects = 1;
    if (r > 0) {
        out.accepted = true;
        if (!buf) contract_broken(pl.file, "success with no buffer", r, new_size);
        if (r > new_size) contract_broken(pl.file, "more valid bytes than the buffer holds", r, new_size);
        // Touch every byte the filter claims is valid: a buffer that is
        // shorter than it says shows up under the address sanitizer.
        unsigned char sum = 0;
        for (uint64_t i = 0; i < r; ++i) sum = static_cast<unsigned char>(sum ^ static_cast<unsigned char *>(buf)[i]);
        volatile unsigned char sink = sum;
        (void)sink;
    } else if (valid > 0 && (buf != before || (new_size != buffer_size && new_size != 0) ||
                             (buffer_size && memcmp(buf, contents.data(), buffer_size) != 0))) {
        // A refusal must leave the caller's buffer, its address and its
        // size as they were.  A result of 0 is also what a call that
        // legitimately leaves no valid bytes returns: an in-place filter
        // given none (it still walks the whole buffer), or the name-suffix
        // filter undoing a stored empty name (size 0, contents untouched).
        // Those are not counted as refusals.
        contract_broken(pl.file, "refused but changed the buffer", new_size, buffer_size);
    }
    Q7free_memory(buf);
    Q7Eclear2(0);
    return out;
}

} // namespace q7fuzz
