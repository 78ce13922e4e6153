// storage_codecs.cpp - the compressing built-in filters: deflate (1),
// zstd (10) and lz4 (11).
//
// Contracts (every function here):
// - A forward pass replaces *buf with a block from Q7allocate_memory
//   holding the encoded bytes and returns their count; 0 with a record on
//   failure, *buf then untouched.
// - A reverse pass never produces more than `limit` bytes: it fails with a
//   record the moment the output would pass it, and allocates at most
//   about `limit` bytes for its output (the pipeline sets the bound from
//   the chunk's expected size).  Lengths stored in the data (an lz4 size
//   header, a zstd frame's content size) are trusted only after they are
//   checked against `limit` and against what the decoder really produced.
// - No SQL, no library state: a codec sees bytes and client data only.
//   The codec libraries' contexts are kept per thread and reused.
#include "storage_chunks.hpp"

#include <libdeflate.h>
#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <mutex>
#include <new>
#include <zstd_errors.h>

namespace q7::storage {

namespace {

uint64_t no_memory(const char *codec, const char *what) {
    Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "cannot allocate memory while %s a chunk (%s)", what, codec);
    return 0;
}

uint64_t too_large(const char *codec, uint64_t limit) {
    Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "%s: the chunk decodes to more than the %llu bytes it may hold", codec,
            (unsigned long long)limit);
    return 0;
}

uint64_t damaged(const char *codec, const char *why) {
    Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "%s: damaged chunk (%s)", codec, why);
    return 0;
}

// Hands `out` (n valid bytes, `cap` allocated) to the caller's buffer.
uint64_t hand_over(void *out, uint64_t n, uint64_t cap, uint64_t *buf_size, void **buf) {
    Q7free_memory(*buf);
    *buf = out;
    *buf_size = cap;
    return n;
}

// The forward pass over the caller's buffer: F reads it, and its output
// replaces it.
template <FromFilter F>
uint64_t forward(uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size, void **buf) {
    void *out = nullptr;
    uint64_t cap = 0;
    uint64_t n = F(ncd, cd, *buf, nbytes, &cap, &out);
    return n ? hand_over(out, n, cap, buf_size, buf) : 0;
}

// ---- codec contexts, shared by the threads that run filters -----------
//
// A codec context is costly to make (zstd's compressor takes its tables,
// about a megabyte at level 3) and the pipeline's worker threads live for
// one call, so contexts are not per thread: a filter call leases one from
// a small pool and gives it back.  The pool is a fixed array under its own
// lock (filters run while the caller holds the library lock), and needs no
// memory of its own: a thread-local context would, at its first use on a
// thread, register a destructor, which aborts the process when that
// registration finds no memory.
template <class T, void (*Free)(T *)>
class ContextPool {
public:
    T *take() {
        std::lock_guard<std::mutex> g(m_);
        return n_ ? slots_[--n_] : nullptr;
    }
    void give(T *ctx) {
        if (!ctx) return;
        {
            std::lock_guard<std::mutex> g(m_);
            if (n_ < kSlots) {
                slots_[n_++] = ctx;
                return;
            }
        }
        Free(ctx);
    }

private:
    static constexpr size_t kSlots = 8;
    std::mutex m_;
    T *slots_[kSlots] = {};
    size_t n_ = 0;
};

// A context leased for one filter call: made when the pool has none, given
// back when the call ends.
template <class Pool, class T>
struct Lease {
    Pool &pool;
    T *ctx;
    explicit Lease(Pool &p) : pool(p), ctx(p.take()) {}
    ~Lease() { pool.give(ctx); }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
};

// Pools live as long as the process (filters may run at exit).
template <class Pool>
Pool &pool_of() {
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool *p = new (storage) Pool;
    return *p;
}

void free_compressor(libdeflate_compressor *c) { libdeflate_free_compressor(c); }
void free_decompressor(libdeflate_decompressor *d) { libdeflate_free_decompressor(d); }
using CompressorPool = ContextPool<libdeflate_compressor, free_compressor>;
using DecompressorPool = ContextPool<libdeflate_decompressor, free_decompressor>;
// One pool of compressors per deflate level.
CompressorPool &compressors(int level) {
    alignas(CompressorPool) static unsigned char storage[10][sizeof(CompressorPool)];
    static CompressorPool *pools = [] {
        auto *p = reinterpret_cast<CompressorPool *>(storage);
        for (int i = 0; i < 10; ++i) new (&storage[i]) CompressorPool;
        return p;
    }();
    return pools[level];
}

// ---- deflate (1): a zlib stream; client value 0 is the level 0..9 ------
//
// Written with libdeflate (the same zlib stream any zlib reads).  Read
// with libdeflate into a block of `limit` bytes when the bound is the
// chunk's own size; with zlib's streaming inflate, growing the block up to
// `limit`, when only the library's largest block bounds it.

uint64_t zlib_failed(int rc, const char *what) {
    if (rc == Z_MEM_ERROR) return no_memory("deflate", what);
    return damaged("deflate", "not a complete zlib stream");
}

uint64_t inflate_streaming(uint64_t nbytes, uint64_t *buf_size, void **buf, uint64_t limit) {
    uint64_t cap = nbytes < 2048 ? 4096 : nbytes * 2;
    if (cap > limit) cap = limit ? limit : 1;
    auto *out = (unsigned char *)Q7allocate_memory(cap, 0);
    if (!out) return 0;
    z_stream z{};
    if (int rc = inflateInit(&z); rc != Z_OK) {
        Q7free_memory(out);
        return zlib_failed(rc, "decompressing");
    }
    z.next_in = (Bytef *)*buf;
    uint64_t in_left = nbytes, produced = 0;
    int rc = Z_OK;
    bool over = false, oom = false;
    while (rc != Z_STREAM_END) {
        if (produced == cap) {
            if (cap >= limit) {
                over = true;
                break;
            }
            uint64_t bigger = cap > limit / 2 ? limit : cap * 2;
            auto *grown = (unsigned char *)Q7allocate_memory(bigger, 0);
            if (!grown) {
                oom = true;
                break;
            }
            memcpy(grown, out, produced);
            Q7free_memory(out);
            out = grown;
            cap = bigger;
        }
        uInt in_now = in_left > UINT32_MAX ? UINT32_MAX : (uInt)in_left;
        uInt room = cap - produced > UINT32_MAX ? UINT32_MAX : (uInt)(cap - produced);
        z.avail_in = in_now;
        z.next_out = out + produced;
        z.avail_out = room;
        rc = inflate(&z, Z_NO_FLUSH);
        in_left -= in_now - z.avail_in;
        produced += room - z.avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
        if (rc == Z_BUF_ERROR && in_left == 0 && produced < cap) break;  // truncated stream
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) {
        Q7free_memory(out);
        if (over) return too_large("deflate", limit);
        if (oom) return 0;  // Q7allocate_memory left the record
        return zlib_failed(rc, "decompressing");
    }
    return hand_over(out, produced, cap, buf_size, buf);
}

uint64_t inflate_whole(uint64_t nbytes, uint64_t *buf_size, void **buf, uint64_t limit) {
    Lease<DecompressorPool, libdeflate_decompressor> lease(pool_of<DecompressorPool>());
    if (!lease.ctx && !(lease.ctx = libdeflate_alloc_decompressor())) return no_memory("deflate", "decompressing");
    auto *out = (unsigned char *)Q7allocate_memory(limit ? limit : 1, 0);
    if (!out) return 0;
    size_t got = 0;
    libdeflate_result r = libdeflate_zlib_decompress(lease.ctx, *buf, nbytes, out, limit, &got);
    if (r != LIBDEFLATE_SUCCESS) {
        Q7free_memory(out);
        if (r == LIBDEFLATE_INSUFFICIENT_SPACE) return too_large("deflate", limit);
        return damaged("deflate", r == LIBDEFLATE_SHORT_OUTPUT ? "short output" : "not a valid zlib stream");
    }
    return hand_over(out, got, limit ? limit : 1, buf_size, buf);
}

} // namespace

uint64_t deflate_into(uint64_t, const uint32_t *, const void *in, uint64_t nbytes, void *out, uint64_t room) {
    if (room >= kMaxBlockBytes) return kDeclined;  // the ordinary pass streams such blocks
    Lease<DecompressorPool, libdeflate_decompressor> lease(pool_of<DecompressorPool>());
    if (!lease.ctx && !(lease.ctx = libdeflate_alloc_decompressor())) return no_memory("deflate", "decompressing");
    size_t got = 0;
    libdeflate_result r = libdeflate_zlib_decompress(lease.ctx, in, nbytes, out, room, &got);
    if (r == LIBDEFLATE_INSUFFICIENT_SPACE) return too_large("deflate", room);
    if (r != LIBDEFLATE_SUCCESS)
        return damaged("deflate", r == LIBDEFLATE_SHORT_OUTPUT ? "short output" : "not a valid zlib stream");
    return got;
}

uint64_t deflate_max_encoded(uint64_t, const uint32_t *, uint64_t n) {
    // zlib's and libdeflate's worst cases are both well inside this: stored
    // blocks cost 5 bytes per 64 KiB, the stream 6, libdeflate pads a little.
    return n + n / 64 + 128;
}

uint64_t deflate_run(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                     void **buf, uint64_t limit) {
    if (flags & Q7Z_FLAG_REVERSE) {
        // libdeflate needs the whole output room at once: used when the bound
        // is the chunk's own size (below the library's largest block).
        if (limit < kMaxBlockBytes) return inflate_whole(nbytes, buf_size, buf, limit);
        return inflate_streaming(nbytes, buf_size, buf, limit);
    }
    return forward<deflate_from>(ncd, cd, nbytes, buf_size, buf);
}

uint64_t deflate_from(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, uint64_t *out_size,
                      void **out) {
    if (ncd > 0 && cd[0] > 9) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "deflate: level %u is not 0..9", cd[0]);
        return 0;
    }
    int level = ncd > 0 ? (int)cd[0] : 6;
    Lease<CompressorPool, libdeflate_compressor> lease(compressors(level));
    if (!lease.ctx && !(lease.ctx = libdeflate_alloc_compressor(level))) return no_memory("deflate", "compressing");
    size_t bound = libdeflate_zlib_compress_bound(lease.ctx, nbytes);
    auto *to = (unsigned char *)Q7allocate_memory(bound, 0);
    if (!to) return 0;
    size_t n = libdeflate_zlib_compress(lease.ctx, in, nbytes, to, bound);
    if (n == 0) {
        Q7free_memory(to);
        return damaged("deflate", "the compressor refused the block");
    }
    *out = to;
    *out_size = bound;
    return n;
}

// ---- zstd (10): one zstd frame; client value 0 is the level -------------
//
// The level is a signed int stored as its two's-complement bit pattern
// (4294967295 is level -1); default 3.  The frame records its content
// size; a frame without one is read by streaming, up to `limit`.

namespace {

void free_cctx(ZSTD_CCtx *c) { ZSTD_freeCCtx(c); }
void free_dctx(ZSTD_DCtx *d) { ZSTD_freeDCtx(d); }
using CCtxPool = ContextPool<ZSTD_CCtx, free_cctx>;
using DCtxPool = ContextPool<ZSTD_DCtx, free_dctx>;

uint64_t zstd_failed(size_t rc, const char *what) {
    if (ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation) return no_memory("zstd", what);
    return damaged("zstd", ZSTD_getErrorName(rc));
}

} // namespace

uint64_t zstd_max_encoded(uint64_t, const uint32_t *, uint64_t n) { return ZSTD_compressBound(n) + 64; }

uint64_t zstd_into(uint64_t, const uint32_t *, const void *in, uint64_t nbytes, void *out, uint64_t room) {
    // Only a single frame that declares exactly the expected size; any
    // other takes the ordinary pass, which says what is wrong with it.
    size_t frame = ZSTD_findFrameCompressedSize(in, nbytes);
    if (ZSTD_isError(frame) || frame != nbytes || ZSTD_getFrameContentSize(in, nbytes) != room) return kDeclined;
    Lease<DCtxPool, ZSTD_DCtx> lease(pool_of<DCtxPool>());
    if (!lease.ctx && !(lease.ctx = ZSTD_createDCtx())) return no_memory("zstd", "decompressing");
    size_t got = ZSTD_decompressDCtx(lease.ctx, out, room, in, nbytes);
    if (ZSTD_isError(got)) return zstd_failed(got, "decompressing");
    if (got != room) return damaged("zstd", "the frame holds fewer bytes than it declares");
    return got;
}

uint64_t zstd_run(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size, void **buf,
                  uint64_t limit) {
    if (flags & Q7Z_FLAG_REVERSE) {
        Lease<DCtxPool, ZSTD_DCtx> lease(pool_of<DCtxPool>());
        if (!lease.ctx && !(lease.ctx = ZSTD_createDCtx())) return no_memory("zstd", "decompressing");
        ZSTD_DCtx *dctx = lease.ctx;
        size_t frame = ZSTD_findFrameCompressedSize(*buf, nbytes);
        if (ZSTD_isError(frame)) return zstd_failed(frame, "decompressing");
        if (frame != nbytes) return damaged("zstd", "bytes after the frame");
        unsigned long long declared = ZSTD_getFrameContentSize(*buf, nbytes);
        if (declared == ZSTD_CONTENTSIZE_ERROR) return damaged("zstd", "bad frame header");
        if (declared != ZSTD_CONTENTSIZE_UNKNOWN) {
            if (declared > limit) return too_large("zstd", limit);
            uint64_t cap = declared ? declared : 1;
            auto *out = (unsigned char *)Q7allocate_memory(cap, 0);
            if (!out) return 0;
            size_t got = ZSTD_decompressDCtx(dctx, out, declared, *buf, nbytes);
            if (ZSTD_isError(got) || got != declared) {
                Q7free_memory(out);
                if (ZSTD_isError(got)) return zstd_failed(got, "decompressing");
                return damaged("zstd", "the frame holds fewer bytes than it declares");
            }
            return hand_over(out, got, cap, buf_size, buf);
        }
        // No content size: stream into a block grown up to the limit.
        ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
        uint64_t cap = nbytes * 4 < 4096 ? 4096 : nbytes * 4;
        if (cap > limit) cap = limit ? limit : 1;
        auto *out = (unsigned char *)Q7allocate_memory(cap, 0);
        if (!out) return 0;
        ZSTD_inBuffer in{*buf, nbytes, 0};
        uint64_t produced = 0;
        for (;;) {
            ZSTD_outBuffer o{out + produced, cap - produced, 0};
            size_t rc = ZSTD_decompressStream(dctx, &o, &in);
            produced += o.pos;
            if (ZSTD_isError(rc)) {
                Q7free_memory(out);
                return zstd_failed(rc, "decompressing");
            }
            if (rc == 0) break;  // frame complete
            if (produced < cap) {
                if (in.pos == in.size) {
                    Q7free_memory(out);
                    return damaged("zstd", "truncated frame");
                }
                continue;
            }
            if (cap >= limit) {
                Q7free_memory(out);
                return too_large("zstd", limit);
            }
            uint64_t bigger = cap > limit / 2 ? limit : cap * 2;
            auto *grown = (unsigned char *)Q7allocate_memory(bigger, 0);
            if (!grown) {
                Q7free_memory(out);
                return 0;
            }
            memcpy(grown, out, produced);
            Q7free_memory(out);
            out = grown;
            cap = bigger;
        }
        return hand_over(out, produced, cap, buf_size, buf);
    }
    return forward<zstd_from>(ncd, cd, nbytes, buf_size, buf);
}

uint64_t zstd_from(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, uint64_t *out_size,
                   void **out) {
    int level = ncd > 0 ? (int)(int32_t)cd[0] : 3;
    if (level < ZSTD_minCLevel() || level > ZSTD_maxCLevel()) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "zstd: level %d is not %d..%d", level, ZSTD_minCLevel(),
                ZSTD_maxCLevel());
        return 0;
    }
    Lease<CCtxPool, ZSTD_CCtx> lease(pool_of<CCtxPool>());
    if (!lease.ctx && !(lease.ctx = ZSTD_createCCtx())) return no_memory("zstd", "compressing");
    size_t bound = ZSTD_compressBound(nbytes);
    auto *to = (unsigned char *)Q7allocate_memory(bound, 0);
    if (!to) return 0;
    size_t n = ZSTD_compressCCtx(lease.ctx, to, bound, in, nbytes, level);
    if (ZSTD_isError(n)) {
        Q7free_memory(to);
        return zstd_failed(n, "compressing");
    }
    *out = to;
    *out_size = bound;
    return n;
}

// ---- lz4 (11): an 8-byte size header and one lz4 block -----------------
//
// Header: the decoded size, unsigned 64-bit little-endian; then the block
// (the lz4 block format, no frame).  Client value 0 is the acceleration,
// default 1.

namespace {
constexpr uint64_t kLz4Header = 8;
} // namespace

uint64_t lz4_max_encoded(uint64_t, const uint32_t *, uint64_t n) {
    return n > (uint64_t)LZ4_MAX_INPUT_SIZE ? n + n / 255 + 16 + kLz4Header
                                            : kLz4Header + (uint64_t)LZ4_compressBound((int)n);
}

uint64_t lz4_into(uint64_t, const uint32_t *, const void *in, uint64_t nbytes, void *out, uint64_t room) {
    const auto *p = (const unsigned char *)in;
    if (nbytes < kLz4Header + 1) return kDeclined;
    uint64_t declared = 0;
    for (int i = 7; i >= 0; --i) declared = declared << 8 | p[i];
    if (declared != room || declared > (uint64_t)LZ4_MAX_INPUT_SIZE || nbytes - kLz4Header > (uint64_t)INT32_MAX)
        return kDeclined;
    int got = LZ4_decompress_safe((const char *)p + kLz4Header, (char *)out, (int)(nbytes - kLz4Header),
                                  (int)declared);
    if (got < 0 || (uint64_t)got != declared)
        return damaged("lz4", got < 0 ? "the block does not decode to its declared size"
                                      : "the block holds fewer bytes than its header declares");
    return declared;
}

uint64_t lz4_run(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size, void **buf,
                 uint64_t limit) {
    const auto *in = (const unsigned char *)*buf;
    if (flags & Q7Z_FLAG_REVERSE) {
        if (nbytes < kLz4Header + 1) return damaged("lz4", "shorter than its header");
        uint64_t declared = 0;
        for (int i = 7; i >= 0; --i) declared = declared << 8 | in[i];
        if (declared > limit) return too_large("lz4", limit);
        if (declared > (uint64_t)LZ4_MAX_INPUT_SIZE || nbytes - kLz4Header > (uint64_t)INT32_MAX)
            return damaged("lz4", "block too large for lz4");
        uint64_t cap = declared ? declared : 1;
        auto *out = (char *)Q7allocate_memory(cap, 0);
        if (!out) return 0;
        int got = LZ4_decompress_safe((const char *)in + kLz4Header, out, (int)(nbytes - kLz4Header), (int)declared);
        if (got < 0 || (uint64_t)got != declared) {
            Q7free_memory(out);
            return damaged("lz4", got < 0 ? "the block does not decode to its declared size"
                                          : "the block holds fewer bytes than its header declares");
        }
        return hand_over(out, declared, cap, buf_size, buf);
    }
    return forward<lz4_from>(ncd, cd, nbytes, buf_size, buf);
}

uint64_t lz4_from(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, uint64_t *out_size,
                  void **out) {
    if (nbytes > (uint64_t)LZ4_MAX_INPUT_SIZE) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "lz4: a chunk of %llu bytes is too large", (unsigned long long)nbytes);
        return 0;
    }
    int accel = ncd > 0 ? (int)(cd[0] > 65537 ? 65537 : cd[0]) : 1;
    uint64_t bound = lz4_max_encoded(0, nullptr, nbytes);
    auto *to = (unsigned char *)Q7allocate_memory(bound, 0);
    if (!to) return 0;
    int n = LZ4_compress_fast((const char *)in, (char *)to + kLz4Header, (int)nbytes, (int)(bound - kLz4Header),
                              accel);
    if (n <= 0) {
        Q7free_memory(to);
        return damaged("lz4", "the compressor refused the block");
    }
    for (int i = 0; i < 8; ++i) to[i] = (unsigned char)(nbytes >> (8 * i));
    *out = to;
    *out_size = bound;
    return kLz4Header + (uint64_t)n;
}

} // namespace q7::storage
