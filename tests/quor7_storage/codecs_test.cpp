// The built-in codecs (deflate, zstd, lz4, bitshuffle): one table of round
// trips through every codec and combination, the bitshuffle kernels
// against each other and the stored layout, damaged stored chunks, and
// decompression bombs that must fail within an allocation bound.
#include "storage_test_util.hpp"

#include "storage_internal.hpp"

#include <lz4.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cmath>
#include <cstring>
#include <random>

using namespace q7st;

#if defined(__SANITIZE_ADDRESS__)
#define Q7_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define Q7_TEST_ASAN 1
#endif
#endif

namespace {

struct Filter {
    q7filter_t id;
    std::vector<unsigned> cd;
};

struct Pipeline {
    const char *name;
    std::vector<Filter> filters;
};

const unsigned kZstdMinus5 = (unsigned)-5;  // level -5, two's complement

const std::vector<Pipeline> kPipelines = {
    {"deflate", {{Q7Z_FILTER_DEFLATE, {}}}},
    {"deflate0", {{Q7Z_FILTER_DEFLATE, {0}}}},
    {"zstd", {{Q7Z_FILTER_ZSTD, {}}}},
    {"zstd19", {{Q7Z_FILTER_ZSTD, {19}}}},
    {"zstd-5", {{Q7Z_FILTER_ZSTD, {kZstdMinus5}}}},
    {"lz4", {{Q7Z_FILTER_LZ4, {}}}},
    {"lz4_fast", {{Q7Z_FILTER_LZ4, {64}}}},
    {"bitshuffle", {{Q7Z_FILTER_BITSHUFFLE, {}}}},
    {"bitshuffle_zstd", {{Q7Z_FILTER_BITSHUFFLE, {}}, {Q7Z_FILTER_ZSTD, {}}}},
    {"bitshuffle_lz4", {{Q7Z_FILTER_BITSHUFFLE, {}}, {Q7Z_FILTER_LZ4, {}}}},
    {"shuffle_lz4", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_LZ4, {}}}},
    {"shuffle_deflate_fletcher", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_DEFLATE, {}}, {Q7Z_FILTER_FLETCHER32, {}}}},
    {"zstd_lz4_deflate", {{Q7Z_FILTER_ZSTD, {}}, {Q7Z_FILTER_LZ4, {}}, {Q7Z_FILTER_DEFLATE, {1}}}},
    // Deflate undone before a plug-in: bounded by the largest block only,
    // it inflates by streaming.
    {"byteshift_plugin_deflate", {{300, {}}, {Q7Z_FILTER_DEFLATE, {}}}},
};

// Contents: smooth, random (incompressible) and all zero.
std::vector<uint8_t> contents(int kind, size_t elems, size_t size) {
    std::vector<uint8_t> v(elems * size);
    std::mt19937 rng(7 + (unsigned)elems);
    for (size_t i = 0; i < elems; ++i) {
        uint64_t x = kind == 0 ? (uint64_t)(1000.0 + 900.0 * std::sin((double)i / 37.0)) : kind == 1 ? rng() : 0;
        if (kind == 1) x = x << 32 | rng();
        memcpy(&v[i * size], &x, size);
    }
    return v;
}

q7id_t type_of_size(size_t size) {
    switch (size) {
    case 1: return Q7T_NATIVE_UINT8_g;
    case 2: return Q7T_NATIVE_UINT16_g;
    case 4: return Q7T_NATIVE_UINT32_g;
    default: return Q7T_NATIVE_UINT64_g;
    }
}

q7id_t pipeline_dcpl(const std::vector<Filter> &filters, q7size_t chunk) {
    q7id_t dcpl = chunked_dcpl({chunk});
    for (const Filter &f : filters)
        EXPECT_GE(Q7Pset_filter(dcpl, f.id, Q7Z_FLAG_MANDATORY, f.cd.size(), f.cd.empty() ? nullptr : f.cd.data()),
                  0);
    return dcpl;
}

class Codecs : public StorageTest {};

// Every pipeline, every element size, with edge chunks (extent not a
// multiple of the chunk), chunks of one element (smaller than any codec's
// header), bitshuffle blocks with a remainder, chunks never written, and
// the three kinds of contents; written, closed, reopened and read back.
TEST_F(Codecs, RoundTripEveryPipeline) {
    struct Shape {
        q7size_t extent, chunk, written;  // elements written from the start
    };
    const Shape shapes[] = {{1000, 64, 1000}, {3, 1, 3}, {5000, 2061, 5000}, {300, 100, 150}};
    std::string path = (dir.path() / "rt.q7").string();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    struct Made {
        std::string name;
        size_t size, written, extent;
        std::vector<uint8_t> data;
    };
    std::vector<Made> made;
    for (const Pipeline &p : kPipelines)
        for (size_t size : {1, 2, 4, 8})
            for (size_t s = 0; s < std::size(shapes); ++s)
                for (int kind = 0; kind < 3; ++kind) {
                    const Shape &sh = shapes[s];
                    Made m{std::string(p.name) + "_" + std::to_string(size) + "_" + std::to_string(s) + "_" +
                               std::to_string(kind),
                           size, sh.written, sh.extent, contents(kind, sh.written, size)};
                    q7id_t sp = space({sh.extent});
                    q7id_t dcpl = pipeline_dcpl(p.filters, sh.chunk);
                    q7id_t d = Q7Dcreate2(f, m.name.c_str(), type_of_size(size), sp, 0, dcpl, 0);
                    ASSERT_GE(d, 0) << m.name << error_text();
                    q7id_t mem = space({sh.written});
                    q7id_t sel = Q7Dget_space(d);
                    q7size_t start = 0, count = sh.written;
                    ASSERT_GE(Q7Sselect_hyperslab(sel, Q7S_SELECT_SET, &start, nullptr, &count, nullptr), 0);
                    ASSERT_GE(Q7Dwrite(d, type_of_size(size), mem, sel, 0, m.data.data()), 0) << m.name << error_text();
                    Q7Sclose(sel);
                    Q7Sclose(mem);
                    Q7Sclose(sp);
                    Q7Pclose(dcpl);
                    Q7Dclose(d);
                    made.push_back(std::move(m));
                }
    ASSERT_GE(Q7Fclose(f), 0);
    f = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0);
    // Through the cache, and without one: whole chunks are then decoded
    // straight into the caller's memory.
    q7id_t nocache = Q7Pcreate(Q7P_CLS_DATASET_ACCESS_ID_g);
    Q7Pset_chunk_cache(nocache, 0);
    for (const Made &m : made)
        for (q7id_t dapl : {(q7id_t)0, nocache}) {
            q7id_t d = Q7Dopen2(f, m.name.c_str(), dapl);
            ASSERT_GE(d, 0) << m.name;
            std::vector<uint8_t> back(m.extent * m.size, 0xAB);
            ASSERT_GE(Q7Dread(d, type_of_size(m.size), 0, 0, 0, back.data()), 0) << m.name << error_text();
            EXPECT_TRUE(std::equal(m.data.begin(), m.data.end(), back.begin())) << m.name;
            // Never written: the fill value (zeros).
            EXPECT_TRUE(
                std::all_of(back.begin() + (ptrdiff_t)m.data.size(), back.end(), [](uint8_t b) { return b == 0; }))
                << m.name;
            Q7Dclose(d);
        }
    Q7Pclose(nocache);
    Q7Fclose(f);
}

// The bitshuffle kernels give the same bytes, which are the stored layout
// of the format (row b*8+j, bit j of byte b, element i at bit i%8 of byte
// i/8), and undo themselves.
TEST_F(Codecs, BitshuffleKernelsAgreeWithTheLayout) {
    std::mt19937 rng(3);
    for (size_t size : {1, 2, 3, 4, 8})
        for (size_t count : {8, 16, 24, 40, 96, 408, 1024}) {
            std::vector<unsigned char> in(size * count), ref(size * count, 0), scratch(size * count);
            for (auto &b : in) b = (unsigned char)rng();
            for (size_t b = 0; b < size; ++b)
                for (int j = 0; j < 8; ++j)
                    for (size_t i = 0; i < count; ++i)
                        if (in[i * size + b] >> j & 1) ref[(b * 8 + j) * (count / 8) + i / 8] |= 1 << (i % 8);
            int ran = 0;
            for (int kernel = 0; kernel < 4; ++kernel) {
                std::vector<unsigned char> out(in.size()), back(in.size());
                if (!q7::storage::bitshuffle_kernel(kernel, false, in.data(), out.data(), size, count,
                                                    scratch.data()))
                    continue;
                ++ran;
                EXPECT_EQ(out, ref) << "kernel " << kernel << " size " << size << " count " << count;
                ASSERT_TRUE(q7::storage::bitshuffle_kernel(kernel, true, out.data(), back.data(), size, count,
                                                           scratch.data()));
                EXPECT_EQ(back, in) << "kernel " << kernel << " size " << size << " count " << count;
            }
            EXPECT_GE(ran, 1);
        }
#if defined(__x86_64__)
    // x86-64 always has SSE2: at least two kernels were compared.
    std::vector<unsigned char> z(64), o(64), s(64);
    EXPECT_TRUE(q7::storage::bitshuffle_kernel(1, false, z.data(), o.data(), 8, 8, s.data()));
#endif
}

// A stored deflate chunk written by the zlib writer of earlier releases
// (level 6) still reads; a chunk written now is a zlib stream zlib reads.
const unsigned char kZlibChunk[] = {
    0x78, 0x9c, 0x2d, 0xce, 0xa1, 0x0e, 0x81, 0x51, 0x1c, 0xc6, 0xe1, 0x23, 0xd8, 0x04, 0x36, 0x45, 0xa3, 0x11, 0x6d,
    0x02, 0x8d, 0x3b, 0xf8, 0x82, 0x62, 0x53, 0x34, 0xba, 0x62, 0x53, 0x6c, 0x8a, 0x2e, 0x88, 0x9f, 0x4d, 0x14, 0x05,
    0xdf, 0x25, 0xd8, 0x04, 0x36, 0x45, 0x14, 0x45, 0x9b, 0x2b, 0x70, 0x3c, 0x36, 0xe1, 0x49, 0xff, 0xdf, 0x79, 0x77,
    0x8a, 0x9f, 0x18, 0x4b, 0x94, 0xa9, 0x50, 0xa5, 0x41, 0x8b, 0x1e, 0x09, 0x23, 0xa6, 0xac, 0x48, 0xc9, 0xb8, 0xf1,
    0xa2, 0x18, 0x63, 0x6c, 0xd2, 0x67, 0x46, 0xca, 0x89, 0x37, 0xb5, 0x10, 0x42, 0xc2, 0x82, 0x03, 0x4f, 0xaa, 0xb9,
    0x10, 0x06, 0xac, 0xb9, 0x52, 0xb7, 0x31, 0x61, 0xff, 0xdf, 0x6b, 0x7b, 0xb7, 0xe0, 0x4c, 0x45, 0x3f, 0x26, 0xa3,
    0xa0, 0x1d, 0x71, 0xe4, 0xf7, 0xbf, 0x25, 0x0f, 0xba, 0xba, 0x2d, 0x92, 0x30, 0xe1, 0x42, 0x47, 0xb3, 0xfb, 0x77,
    0x1b, 0xf2, 0xee, 0x73, 0x5e, 0xfc, 0xf6, 0x1e, 0x0c, 0xdd, 0xef, 0x7c, 0x01, 0x05, 0x22, 0x93, 0x7b};

int32_t fixture_value(int i) { return (i * i) % 1000 - 500; }

TEST_F(Codecs, DeflateStaysTheZlibStream) {
    std::string path = (dir.path() / "z.q7").string();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t sp = space({128});
    q7id_t dcpl = pipeline_dcpl({{Q7Z_FILTER_DEFLATE, {6}}}, 64);
    q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT32_g, sp, 0, dcpl, 0);
    ASSERT_GE(d, 0);
    std::vector<int32_t> v(128);
    for (int i = 0; i < 128; ++i) v[i] = fixture_value(i % 64);
    q7size_t second = 64;
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data()), 0);
    // The old bytes replace the first chunk.
    q7size_t first = 0;
    ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, &first, sizeof kZlibChunk, kZlibChunk), 0);
    std::vector<int32_t> back(128);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT32_g, 0, 0, 0, back.data()), 0) << error_text();
    EXPECT_EQ(back, v);
    // The chunk written now: zlib inflates it to the values.
    q7size_t stored = 0;
    ASSERT_GE(Q7Dget_chunk_storage_size(d, &second, &stored), 0);
    std::vector<unsigned char> raw(stored);
    uint32_t mask = 1;
    ASSERT_GE(Q7Dread_chunk(d, 0, &second, &mask, raw.data()), 0);
    std::vector<int32_t> inflated(64);
    uLongf len = sizeof(int32_t) * 64;
    ASSERT_EQ(uncompress((Bytef *)inflated.data(), &len, raw.data(), (uLong)raw.size()), Z_OK);
    EXPECT_EQ(len, 256u);
    EXPECT_TRUE(std::equal(inflated.begin(), inflated.end(), v.begin()));
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(sp);
    Q7Fclose(f);
}

// ---- damaged and hostile stored chunks ------------------------------------

std::vector<unsigned char> zlib_of(const std::vector<unsigned char> &in) {
    std::vector<unsigned char> out(compressBound((uLong)in.size()));
    uLongf n = out.size();
    EXPECT_EQ(compress2(out.data(), &n, in.data(), (uLong)in.size(), 9), Z_OK);
    out.resize(n);
    return out;
}

// zlib stream of `zeros` zero bytes, made without holding them.
std::vector<unsigned char> zlib_of_zeros(uint64_t zeros) {
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, 9), Z_OK);
    std::vector<unsigned char> block(1 << 20, 0), out, room(1 << 16);
    for (uint64_t left = zeros;;) {
        uInt now = (uInt)std::min<uint64_t>(left, block.size());
        z.next_in = block.data();
        z.avail_in = now;
        left -= now;
        int flush = left ? Z_NO_FLUSH : Z_FINISH;
        int rc;
        do {
            z.next_out = room.data();
            z.avail_out = (uInt)room.size();
            rc = deflate(&z, flush);
            out.insert(out.end(), room.data(), room.data() + (room.size() - z.avail_out));
        } while (z.avail_out == 0);
        if (rc == Z_STREAM_END) break;
    }
    deflateEnd(&z);
    return out;
}

std::vector<unsigned char> lz4_chunk(const std::vector<unsigned char> &in, uint64_t declared) {
    std::vector<unsigned char> out(8 + LZ4_compressBound((int)in.size()));
    int n = LZ4_compress_default((const char *)in.data(), (char *)out.data() + 8, (int)in.size(), (int)out.size() - 8);
    out.resize(8 + (size_t)n);
    for (int i = 0; i < 8; ++i) out[i] = (unsigned char)(declared >> (8 * i));
    return out;
}

std::vector<unsigned char> zstd_frame(const std::vector<unsigned char> &in) {
    std::vector<unsigned char> out(ZSTD_compressBound(in.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3));
    return out;
}

// A frame of `zeros` zero bytes that records no content size.
std::vector<unsigned char> zstd_stream_of_zeros(uint64_t zeros) {
    ZSTD_CCtx *c = ZSTD_createCCtx();
    std::vector<unsigned char> block(1 << 20, 0), out, room(ZSTD_CStreamOutSize());
    for (uint64_t left = zeros;;) {
        size_t now = (size_t)std::min<uint64_t>(left, block.size());
        left -= now;
        ZSTD_inBuffer in{block.data(), now, 0};
        ZSTD_EndDirective end = left ? ZSTD_e_continue : ZSTD_e_end;
        size_t rc;
        do {
            ZSTD_outBuffer o{room.data(), room.size(), 0};
            rc = ZSTD_compressStream2(c, &o, &in, end);
            out.insert(out.end(), room.data(), room.data() + o.pos);
        } while (end == ZSTD_e_end ? rc != 0 : in.pos < in.size);
        if (!left) break;
    }
    ZSTD_freeCCtx(c);
    return out;
}

struct Hostile {
    const char *name;
    std::vector<Filter> filters;
    std::function<std::vector<unsigned char>()> bytes;
    const char *says;  // part of the error text
};

constexpr q7size_t kChunkElems = 512;  // 2 KiB of int32
std::vector<unsigned char> chunk_values() {
    std::vector<unsigned char> v(kChunkElems * 4);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (unsigned char)(i * 7 / 13);
    return v;
}

std::vector<Hostile> hostile_chunks() {
    auto good = chunk_values();
    return {
        {"deflate_truncated", {{Q7Z_FILTER_DEFLATE, {}}},
         [=] {
             auto z = zlib_of(good);
             z.resize(z.size() / 2);
             return z;
         },
         "deflate"},
        {"deflate_garbage", {{Q7Z_FILTER_DEFLATE, {}}}, [] { return std::vector<unsigned char>(100, 0x5a); },
         "deflate"},
        {"deflate_too_long", {{Q7Z_FILTER_DEFLATE, {}}},
         [=] {
             auto more = good;
             more.push_back(1);
             return zlib_of(more);
         },
         "more than"},
        {"lz4_declares_more", {{Q7Z_FILTER_LZ4, {}}}, [=] { return lz4_chunk(good, good.size() + 100); }, "lz4"},
        {"lz4_declares_less", {{Q7Z_FILTER_LZ4, {}}}, [=] { return lz4_chunk(good, good.size() - 100); }, "lz4"},
        {"lz4_declares_huge", {{Q7Z_FILTER_LZ4, {}}}, [=] { return lz4_chunk(good, 1ull << 40); }, "more than"},
        {"lz4_header_only", {{Q7Z_FILTER_LZ4, {}}}, [] { return std::vector<unsigned char>(5, 0); }, "header"},
        {"zstd_truncated", {{Q7Z_FILTER_ZSTD, {}}},
         [=] {
             auto z = zstd_frame(good);
             z.resize(z.size() - 3);
             return z;
         },
         "zstd"},
        {"zstd_trailing", {{Q7Z_FILTER_ZSTD, {}}},
         [=] {
             auto z = zstd_frame(good);
             z.push_back(0);
             return z;
         },
         "zstd"},
        {"zstd_declares_more", {{Q7Z_FILTER_ZSTD, {}}}, [=] { return zstd_frame(std::vector<unsigned char>(good.size() * 2, 1)); },
         "more than"},
        {"zstd_garbage", {{Q7Z_FILTER_ZSTD, {}}}, [] { return std::vector<unsigned char>(64, 0x11); }, "zstd"},
        {"bitshuffle_short", {{Q7Z_FILTER_BITSHUFFLE, {}}}, [] { return std::vector<unsigned char>(100, 1); },
         "instead of"},
    };
}

// Each fails the read with a record naming the cause; none crashes.
TEST_F(Codecs, DamagedChunksFailCleanly) {
    std::string path = (dir.path() / "bad.q7").string();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    for (const Hostile &h : hostile_chunks()) {
        q7id_t sp = space({kChunkElems});
        q7id_t dcpl = pipeline_dcpl(h.filters, kChunkElems);
        q7id_t d = Q7Dcreate2(f, h.name, Q7T_NATIVE_INT32_g, sp, 0, dcpl, 0);
        ASSERT_GE(d, 0) << h.name;
        auto bytes = h.bytes();
        q7size_t at = 0;
        ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, &at, bytes.size(), bytes.data()), 0) << h.name;
        std::vector<int32_t> back(kChunkElems);
        EXPECT_LT(Q7Dread(d, Q7T_NATIVE_INT32_g, 0, 0, 0, back.data()), 0) << h.name;
        std::string cached = error_text();
        EXPECT_NE(cached.find(h.says), std::string::npos) << h.name << ": " << cached;
        // Decoded straight into the caller's memory, the same records.
        q7id_t nocache = Q7Pcreate(Q7P_CLS_DATASET_ACCESS_ID_g);
        Q7Pset_chunk_cache(nocache, 0);
        q7id_t direct = Q7Dopen2(f, h.name, nocache);
        EXPECT_LT(Q7Dread(direct, Q7T_NATIVE_INT32_g, 0, 0, 0, back.data()), 0) << h.name;
        EXPECT_EQ(error_text(), cached) << h.name;
        Q7Dclose(direct);
        Q7Pclose(nocache);
        Q7Dclose(d);
        Q7Pclose(dcpl);
        Q7Sclose(sp);
    }
    Q7Fclose(f);
}

// Bombs: a two-layer deflate stream of 256 MiB of zeros (a few hundred
// stored bytes), a zstd frame without content size and an lz4 header, all
// for a 2 KiB chunk.  Read in a child whose address space may grow by 64
// MiB only (no cap under the address sanitizer): each fails at once with
// the bound named, not for want of memory.
TEST_F(Codecs, BombsFailWithinAnAllocationBound) {
    const uint64_t huge = 256ull << 20;
    struct Bomb {
        const char *name;
        std::vector<Filter> filters;
        std::vector<unsigned char> bytes;
    };
    std::vector<Bomb> bombs = {
        {"deflate2", {{Q7Z_FILTER_DEFLATE, {}}, {Q7Z_FILTER_DEFLATE, {}}}, zlib_of(zlib_of_zeros(huge))},
        {"zstd", {{Q7Z_FILTER_ZSTD, {}}}, zstd_stream_of_zeros(huge)},
        {"lz4_shuffle", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_LZ4, {}}}, lz4_chunk(std::vector<unsigned char>(4096, 0), huge)},
    };
    std::string path = (dir.path() / "bomb.q7").string();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    for (const Bomb &b : bombs) {
        EXPECT_LT(b.bytes.size(), 64u << 10) << b.name;
        q7id_t sp = space({kChunkElems});
        q7id_t dcpl = pipeline_dcpl(b.filters, kChunkElems);
        q7id_t d = Q7Dcreate2(f, b.name, Q7T_NATIVE_INT32_g, sp, 0, dcpl, 0);
        q7size_t at = 0;
        ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, &at, b.bytes.size(), b.bytes.data()), 0);
        Q7Dclose(d);
        Q7Pclose(dcpl);
        Q7Sclose(sp);
    }
    ASSERT_GE(Q7Fclose(f), 0);
    for (const Bomb &b : bombs) {
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(pipefd[0]);
            alarm(20);
            q7id_t rf = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
            q7id_t d = Q7Dopen2(rf, b.name, 0);
            std::vector<int32_t> back(kChunkElems);
            // Everything the process needs is mapped: now cap what it may add.
            rlimit lim{};
            getrlimit(RLIMIT_AS, &lim);
            long pages = 0;
            if (FILE *st = fopen("/proc/self/statm", "r")) {
                if (fscanf(st, "%ld", &pages) != 1) pages = 0;
                fclose(st);
            }
            lim.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (64u << 20);
#ifndef Q7_TEST_ASAN  // the sanitizer's shadow memory does not fit such a cap
            setrlimit(RLIMIT_AS, &lim);
#endif
            q7status_t rc = Q7Dread(d, Q7T_NATIVE_INT32_g, 0, 0, 0, back.data());
            std::string text = std::to_string(rc) + "\n" + error_text();
            if (write(pipefd[1], text.data(), text.size()) < 0) _exit(2);
            _exit(0);
        }
        close(pipefd[1]);
        std::string got;
        char chunk[512];
        for (ssize_t n; (n = read(pipefd[0], chunk, sizeof chunk)) > 0;) got.append(chunk, (size_t)n);
        close(pipefd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << b.name << " status " << status;
        EXPECT_EQ(got.rfind("-1\n", 0), 0u) << b.name << ": " << got;
        EXPECT_NE(got.find("more than"), std::string::npos) << b.name << ": " << got;
        EXPECT_EQ(got.find("memory"), std::string::npos) << b.name << ": " << got;
    }
}

// A registered filter undone before deflate inflates its block to 1 MiB:
// refused right after its call against the bound deflate's input has
// (not only when the pipeline ends).
uint64_t inflating_filter(uint32_t flags, uint64_t, const uint32_t *, uint64_t nbytes, uint64_t *buf_size,
                          void **buf) {
    if (!(flags & Q7Z_FLAG_REVERSE)) return nbytes;
    void *big = Q7allocate_memory(1 << 20, 1);
    if (!big) return 0;
    Q7free_memory(*buf);
    *buf = big;
    *buf_size = 1 << 20;
    return 1 << 20;
}

TEST_F(Codecs, PluginOutputIsCheckedAfterItsCall) {
    const Q7Z_class2_t cls = {Q7Z_CLASS_T_VERS, 300, 1, 1, "inflating", nullptr, nullptr, inflating_filter};
    ASSERT_GE(Q7Zregister(&cls), 0);
    std::string path = (dir.path() / "plug.q7").string();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t sp = space({kChunkElems});
    q7id_t dcpl = pipeline_dcpl({{Q7Z_FILTER_DEFLATE, {}}, {300, {}}}, kChunkElems);
    q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT32_g, sp, 0, dcpl, 0);
    std::vector<int32_t> v(kChunkElems, 7);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data()), 0) << error_text();
    EXPECT_LT(Q7Dread(d, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data()), 0);
    EXPECT_NE(error_text().find("filter 300 (inflating) produced 1048576 bytes, more than"), std::string::npos)
        << error_text();
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(sp);
    Q7Fclose(f);
    Q7Zunregister(300);
}

// Each allocation a write or a read through a codec makes may fail in
// turn: the call fails with a record of the failed allocation, or, once
// no armed failure is reached any more, succeeds with the right values.
TEST_F(Codecs, EveryAllocationOfACodecCallMayFail) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection is not compiled in";
    std::string path = (dir.path() / "oom.q7").string();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    std::vector<int32_t> v(4096), back(4096);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (int32_t)(1000 * std::sin(i / 50.0));
    size_t failed = 0;
    for (const Pipeline &p : kPipelines) {
        q7id_t sp = space({4096});
        q7id_t dcpl = pipeline_dcpl(p.filters, 4096);
        q7id_t d = Q7Dcreate2(f, p.name, Q7T_NATIVE_INT32_g, sp, 0, dcpl, 0);
        ASSERT_GE(d, 0) << p.name;
        for (bool reading : {false, true})
            for (long nth = 1;; ++nth) {
                const long before = Q7fault_calls("Q7allocate_memory");
                Q7fault_arm("Q7allocate_memory", nth, 1);
                std::fill(back.begin(), back.end(), 0);
                q7status_t rc = reading ? Q7Dread(d, Q7T_NATIVE_INT32_g, 0, 0, 0, back.data())
                                        : Q7Dwrite(d, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data());
                Q7fault_disarm("Q7allocate_memory");
                const bool fired = Q7fault_calls("Q7allocate_memory") - before >= nth;
                if (rc < 0) {
                    ++failed;
                    EXPECT_TRUE(fired) << p.name << " failed without a fault at " << nth << ": " << error_text();
                    EXPECT_NE(error_text().find("injected fault in Q7allocate_memory"), std::string::npos)
                        << p.name << ": " << error_text();
                    if (!fired) break;
                    continue;
                }
                if (reading) {
                    EXPECT_EQ(back, v) << p.name << " at " << nth;
                }
                if (!fired) break;
                ASSERT_LT(nth, 200) << p.name;
            }
        Q7Dclose(d);
        Q7Pclose(dcpl);
        Q7Sclose(sp);
    }
    // Every codec allocates its output at least: each pipeline failed twice or more.
    EXPECT_GE(failed, 2 * kPipelines.size());
    Q7Fclose(f);
}

// The registry: names, aliases, identifiers and defaults.
TEST_F(Codecs, RegistryNamesIdentifiersDefaults) {
    struct Row {
        const char *name;
        q7filter_t id;
        int ndefaults;
        unsigned first;
    };
    const Row rows[] = {{"deflate", 1, 1, 6},    {"shuffle", 2, 0, 0}, {"fletcher32", 3, 0, 0},
                        {"zstd", 10, 1, 3},      {"lz4", 11, 1, 1},    {"bitshuffle", 12, 0, 0}};
    for (const Row &r : rows) {
        EXPECT_EQ(Q7Zfilter_by_name(r.name), r.id) << r.name;
        char name[32];
        EXPECT_EQ(Q7Zbuiltin_filter_name(r.id, name, sizeof name), (q7ssize_t)strlen(r.name));
        EXPECT_STREQ(name, r.name);
        unsigned cd[4] = {99, 99, 99, 99};
        EXPECT_EQ(Q7Zget_filter_defaults(r.id, 4, cd), r.ndefaults) << r.name;
        if (r.ndefaults) {
            EXPECT_EQ(cd[0], r.first) << r.name;
        }
        EXPECT_EQ(Q7Zfilter_avail(r.id), 1) << r.name;
    }
    EXPECT_EQ(Q7Zfilter_by_name("gzip"), Q7Z_FILTER_DEFLATE);
    EXPECT_EQ(Q7Zfilter_by_name("zstd3"), Q7Z_FILTER_ERROR);
    EXPECT_NE(error_text().find("zstd3"), std::string::npos);
    char name[8] = "x";
    EXPECT_EQ(Q7Zbuiltin_filter_name(257, name, sizeof name), 0);
    EXPECT_STREQ(name, "");
    EXPECT_LT(Q7Zget_filter_defaults(257, 0, nullptr), 0);
}

} // namespace
