// Filters run on worker threads, and the decoded-chunk cache: the bytes
// stored and the values read are the same for any thread count, a failing
// chunk leaves the records one thread leaves, plug-ins that allocate and
// push records work from the workers, and the cache saves decoding
// without ever showing what the file no longer holds; a scan's reads
// decode ahead without taking on the failures of what they read ahead.
#include "storage_test_util.hpp"

#include "storage_read_ahead.hpp"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>

#include <sys/wait.h>
#include <unistd.h>

using namespace q7st;

namespace {

constexpr q7size_t kRows = 256, kCols = 1024;
const std::vector<q7size_t> kChunk = {32, 128};  // 64 chunks of 16 KiB

// A smooth field plus sensor noise, quantized.
std::vector<int> field(int seed) {
    std::vector<int> v(kRows * kCols);
    std::mt19937 rng((unsigned)seed);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (q7size_t r = 0; r < kRows; ++r)
        for (q7size_t c = 0; c < kCols; ++c)
            v[r * kCols + c] = (int)(2000.0 * std::sin(r / 40.0) * std::cos(c / 90.0) + noise(rng)) + seed;
    return v;
}

q7id_t transfer(int nthreads) {
    q7id_t p = Q7Pcreate(Q7P_CLS_DATASET_XFER_ID_g);
    EXPECT_GE(Q7Pset_nthreads(p, nthreads), 0);
    return p;
}

// Every record of the default stack, all fields, one line each.
std::string full_stack() {
    std::string all;
    Q7Ewalk2(
        0, Q7E_WALK_UPWARD,
        [](unsigned, const Q7E_error2_t *e, void *out) -> q7status_t {
            char line[64];
            snprintf(line, sizeof line, ":%u %lld/%lld ", e->line, (long long)e->maj_num, (long long)e->min_num);
            *(std::string *)out += std::string(e->file_name) + line + e->func_name + ": " + e->desc + "\n";
            return 0;
        },
        &all);
    return all;
}

// Every stored chunk's bytes and mask, in order.
std::vector<std::string> stored_chunks(q7id_t d) {
    q7size_t n = 0;
    EXPECT_GE(Q7Dget_num_chunks(d, &n), 0);
    std::vector<std::string> out;
    for (q7size_t i = 0; i < n; ++i) {
        q7size_t off[2], size = 0;
        uint32_t mask = 0;
        EXPECT_GE(Q7Dget_chunk_info(d, i, off, &mask, &size), 0);
        std::string bytes(size, '\0');
        EXPECT_GE(Q7Dread_chunk(d, 0, off, &mask, bytes.data()), 0);
        out.push_back(std::to_string(mask) + ":" + bytes);
    }
    return out;
}

// Block i of the first row of blocks: read (empty on failure) or, given
// `write`, written (empty on failure, else `write`).  `stack`, when given,
// receives the records the call left.
std::vector<int> first_row_block(q7id_t d, int i, q7id_t xfer, const std::vector<int> *write = nullptr,
                                 std::string *stack = nullptr) {
    q7id_t fs = space({kRows, kCols}), ms = space({kChunk[0], kChunk[1]});
    q7size_t start[2] = {0, (q7size_t)i * kChunk[1]}, count[2] = {kChunk[0], kChunk[1]};
    Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
    std::vector<int> out(kChunk[0] * kChunk[1], -1);
    bool ok = write ? Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, xfer, write->data()) >= 0
                    : Q7Dread(d, Q7T_NATIVE_INT_g, ms, fs, xfer, out.data()) >= 0;
    if (stack) *stack = full_stack();
    Q7Sclose(fs);
    Q7Sclose(ms);
    if (write && ok) out = *write;
    if (!ok) out.clear();
    return out;
}

// What block i of the first row holds in the whole array v.
std::vector<int> first_row_block_of(const std::vector<int> &v, int i) {
    std::vector<int> out;
    for (q7size_t r = 0; r < kChunk[0]; ++r)
        for (q7size_t c = 0; c < kChunk[1]; ++c) out.push_back(v[r * kCols + (q7size_t)i * kChunk[1] + c]);
    return out;
}

struct Filter {
    q7filter_t id;
    std::vector<unsigned> cd;
};

class PipelineThreads : public StorageTest {
protected:
    // Only `plugin` of the build's plug-ins is found (two share id 260).
    void use_plugin(const char *plugin) {
        auto only = dir.path() / (std::string("plugins-") + plugin);
        std::filesystem::create_directories(only);
        std::filesystem::copy_file(std::filesystem::path(QUOR7_BUILD_PLUGIN_DIR) / plugin, only / plugin,
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_GE(Q7PLset_search_path(only.c_str()), 0);
    }

    q7id_t create(q7id_t f, const char *name, const std::vector<Filter> &filters,
                  const std::vector<q7size_t> &chunk = kChunk) {
        q7id_t dcpl = chunked_dcpl(chunk);
        for (const Filter &x : filters)
            Q7Pset_filter(dcpl, x.id, Q7Z_FLAG_MANDATORY, x.cd.size(), x.cd.empty() ? nullptr : x.cd.data());
        q7id_t s = space({kRows, kCols});
        q7id_t d = Q7Dcreate2(f, name, Q7T_NATIVE_INT_g, s, 0, dcpl, 0);
        Q7Sclose(s);
        Q7Pclose(dcpl);
        return d;
    }
};

TEST_F(PipelineThreads, SameBytesAndValuesForAnyThreadCount) {
    unsigned major = 0, minor = 0, release = 0;
    Q7get_libversion(&major, &minor, &release);
    struct Case {
        const char *name;
        const char *plugin;  // the one plug-in to find, if any
        std::vector<Filter> filters;
    } const cases[] = {
        {"shuffle_deflate", nullptr, {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_DEFLATE, {1}}}},
        {"bitshuffle_lz4", nullptr, {{Q7Z_FILTER_BITSHUFFLE, {}}, {Q7Z_FILTER_LZ4, {}}}},
        {"zstd_fletcher", nullptr, {{Q7Z_FILTER_ZSTD, {3}}, {Q7Z_FILTER_FLETCHER32, {}}}},
        // Plug-ins that allocate (group suffix) and call the library
        // (checked offset asks for the version) from the workers.
        {"group_suffix_lz4", "group_suffix_plugin.so", {{260, {}}, {Q7Z_FILTER_LZ4, {}}}},
        {"checked_offset", "checked_offset_plugin.so", {{260, {4, major, minor}}, {Q7Z_FILTER_ZSTD, {}}}},
    };
    const std::vector<int> whole = field(1), patch = field(2);
    // A patch that starts and ends inside chunks: stored chunks are read,
    // merged and encoded again.
    const q7size_t start[2] = {10, 5}, count[2] = {190, 1000};
    std::vector<int> expect = whole;
    for (q7size_t r = 0; r < count[0]; ++r)
        for (q7size_t c = 0; c < count[1]; ++c)
            expect[(start[0] + r) * kCols + start[1] + c] = patch[r * count[1] + c];

    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        if (k.plugin) use_plugin(k.plugin);
        std::vector<std::vector<std::string>> stored;
        for (int threads : {1, 4}) {
            q7id_t xfer = transfer(threads);
            std::string name = dir.file(std::string(k.name) + std::to_string(threads) + ".q7");
            q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
            q7id_t d = create(f, "v", k.filters);
            ASSERT_GE(d, 0) << full_stack();
            ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, xfer, whole.data()), 0) << full_stack();
            q7id_t fs = space({kRows, kCols});
            q7id_t ms = space({count[0], count[1]});
            Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
            ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, xfer, patch.data()), 0) << full_stack();
            stored.push_back(stored_chunks(d));
            // Read back whole and as a misaligned window, with each count,
            // through a handle without a chunk cache, so that every read
            // decodes.
            q7id_t nocache = Q7Pcreate(Q7P_CLS_DATASET_ACCESS_ID_g);
            Q7Pset_chunk_cache(nocache, 0);
            q7id_t rd = Q7Dopen2(f, "v", nocache);
            for (int read_threads : {1, 4}) {
                q7id_t rx = transfer(read_threads);
                std::vector<int> got(kRows * kCols, -1);
                ASSERT_GE(Q7Dread(rd, Q7T_NATIVE_INT_g, 0, 0, rx, got.data()), 0) << full_stack();
                EXPECT_EQ(got, expect);
                std::vector<int> window(count[0] * count[1], -1);
                ASSERT_GE(Q7Dread(rd, Q7T_NATIVE_INT_g, ms, fs, rx, window.data()), 0) << full_stack();
                EXPECT_TRUE(std::equal(window.begin(), window.end(), patch.begin()));
                // Into the other byte order: the bytes are swapped where
                // the elements are copied out, on whichever thread.
                std::vector<int> swapped(kRows * kCols, -1);
                ASSERT_GE(Q7Dread(rd, Q7T_STD_I32BE_g, 0, 0, rx, swapped.data()), 0) << full_stack();
                for (int &x : swapped) x = (int)__builtin_bswap32((uint32_t)x);
                EXPECT_EQ(swapped, expect);
                Q7Pclose(rx);
            }
            Q7Dclose(rd);
            Q7Pclose(nocache);
            Q7Sclose(ms);
            Q7Sclose(fs);
            Q7Dclose(d);
            Q7Fclose(f);
            Q7Pclose(xfer);
        }
        ASSERT_EQ(stored[0].size(), 64u);
        EXPECT_TRUE(stored[0] == stored[1]) << "stored bytes differ between 1 and 4 threads";
    }
}

TEST_F(PipelineThreads, FailingChunkGivesTheRecordsOfOneThread) {
    // Reading: two chunks hold deflate streams of the wrong length (100
    // and 200 bytes); the first in order is the one reported.  In tiles,
    // and in full-width chunks, which a read through a handle without a
    // cache decodes straight into the caller's memory.  Every other column
    // is a piece of its own: the workers copy out the 2,048 of a tile, and
    // leave the 16,384 of a full-width chunk to the calling thread.
    struct Shape {
        std::vector<q7size_t> chunk;
        int bad[2];
    } const shapes[] = {{kChunk, {5, 20}}, {{kRows / 8, kCols}, {3, 6}}};
    q7id_t nocache = Q7Pcreate(Q7P_CLS_DATASET_ACCESS_ID_g);
    Q7Pset_chunk_cache(nocache, 0);
    for (const Shape &sh : shapes) {
        SCOPED_TRACE(sh.chunk[1]);
        q7id_t f = Q7Fcreate(dir.file("bad.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
        q7id_t d = create(f, "v", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_DEFLATE, {}}}, sh.chunk);
        std::vector<int> v = field(3);
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
        q7id_t rd = Q7Dopen2(f, "v", nocache);
        for (int threads : {1, 4}) {
            q7id_t xfer = transfer(threads);
            std::vector<int> got(kRows * kCols, -1), swapped(kRows * kCols, -1);
            ASSERT_GE(Q7Dread(rd, Q7T_NATIVE_INT_g, 0, 0, xfer, got.data()), 0) << full_stack();
            EXPECT_EQ(got, v);
            ASSERT_GE(Q7Dread(rd, Q7T_STD_I32BE_g, 0, 0, xfer, swapped.data()), 0) << full_stack();
            for (int &x : swapped) x = (int)__builtin_bswap32((uint32_t)x);
            EXPECT_EQ(swapped, v);
            const q7size_t start[2] = {0, 1}, stride[2] = {1, 2}, count[2] = {kRows, kCols / 2};
            q7id_t fs = space({kRows, kCols}), ms = space({kRows * kCols / 2});
            Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, stride, count, nullptr);
            std::vector<int> odd(kRows * kCols / 2, -1);
            ASSERT_GE(Q7Dread(rd, Q7T_NATIVE_INT_g, ms, fs, xfer, odd.data()), 0) << full_stack();
            for (size_t i = 0; i < odd.size(); ++i)
                if (odd[i] != v[2 * i + 1]) FAIL() << "element " << 2 * i + 1 << " with " << threads << " threads";
            Q7Sclose(ms);
            Q7Sclose(fs);
            Q7Pclose(xfer);
        }
        const q7size_t per_row = kCols / sh.chunk[1];
        for (int k = 0; k < 2; ++k) {
            size_t length = k ? 200 : 100;
            std::vector<unsigned char> raw(length, 7), packed(compressBound((uLong)length));
            uLongf n = (uLongf)packed.size();
            ASSERT_EQ(compress2(packed.data(), &n, raw.data(), (uLong)raw.size(), 6), Z_OK);
            q7size_t off[2] = {sh.bad[k] / per_row * sh.chunk[0], sh.bad[k] % per_row * sh.chunk[1]};
            ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, off, n, packed.data()), 0);
        }
        std::string one;
        for (q7id_t handle : {d, rd})
            for (int threads : {1, 4}) {
                q7id_t xfer = transfer(threads);
                std::vector<int> got(kRows * kCols);
                EXPECT_LT(Q7Dread(handle, Q7T_NATIVE_INT_g, 0, 0, xfer, got.data()), 0);
                std::string stack = full_stack();
                EXPECT_NE(stack.find("decodes to 100 bytes"), std::string::npos) << stack;
                EXPECT_EQ(stack.find("200 bytes"), std::string::npos) << stack;
                if (one.empty())
                    one = stack;
                else
                    EXPECT_EQ(stack, one);
                Q7Pclose(xfer);
            }
        Q7Dclose(rd);
        Q7Dclose(d);
        Q7Fclose(f);
    }
    Q7Pclose(nocache);
    // Writing: a plug-in that refuses its client data pushes its own
    // record with Q7Epush2, from a worker; the write stores nothing.
    use_plugin("checked_offset_plugin.so");
    std::string one;
    for (int threads : {1, 4}) {
        q7id_t xfer = transfer(threads);
        q7id_t f = Q7Fcreate(dir.file("refused" + std::to_string(threads) + ".q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
        q7id_t d = create(f, "v", {{Q7Z_FILTER_SHUFFLE, {}}, {260, {4, 999, 999}}});
        ASSERT_GE(d, 0) << full_stack();
        std::vector<int> v = field(4);
        EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, xfer, v.data()), 0);
        std::string stack = full_stack();
        EXPECT_NE(stack.find("Q7get_libversion does not match"), std::string::npos) << stack;
        if (threads == 1)
            one = stack;
        else
            EXPECT_EQ(stack, one);
        q7size_t n = 99;
        EXPECT_GE(Q7Dget_num_chunks(d, &n), 0);
        EXPECT_EQ(n, 0u);
        Q7Dclose(d);
        Q7Fclose(f);
        Q7Pclose(xfer);
    }
}

class ChunkCache : public PipelineThreads {};

TEST_F(ChunkCache, RowByRowDecodesOnceAndStaysCurrent) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "needs the fault counters (QUOR7_FAULT_INJECTION)";
    std::string name = dir.file("cache.q7");
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d = create(f, "v", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_DEFLATE, {}}});
    std::vector<int> v = field(5);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    Q7Dclose(d);
    Q7Fclose(f);

    // Reads row r of an open dataset (one thread: the counts are exact).
    q7id_t one = transfer(1);
    auto row = [&](q7id_t dset, q7size_t r) {
        q7id_t fs = space({kRows, kCols}), ms = space({kCols});
        q7size_t start[2] = {r, 0}, count[2] = {1, kCols};
        Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
        std::vector<int> out(kCols, -1);
        EXPECT_GE(Q7Dread(dset, Q7T_NATIVE_INT_g, ms, fs, one, out.data()), 0) << full_stack();
        Q7Sclose(fs);
        Q7Sclose(ms);
        return out;
    };
    auto expect_row = [&](const std::vector<int> &all, q7size_t r) {
        return std::vector<int>(all.begin() + (long)(r * kCols), all.begin() + (long)((r + 1) * kCols));
    };
    // Chunks fetched (one allocation each) by reading every row.
    auto fetches_for_all_rows = [&](size_t cache_bytes) {
        q7id_t dapl = Q7Pcreate(Q7P_CLS_DATASET_ACCESS_ID_g);
        Q7Pset_chunk_cache(dapl, cache_bytes);
        q7id_t file = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
        q7id_t dset = Q7Dopen2(file, "v", dapl);
        long before = Q7fault_calls("Q7allocate_memory");
        for (q7size_t r = 0; r < kRows; ++r) EXPECT_EQ(row(dset, r), expect_row(v, r));
        long used = Q7fault_calls("Q7allocate_memory") - before;
        Q7Dclose(dset);
        Q7Fclose(file);
        Q7Pclose(dapl);
        return used;
    };
    long uncached = fetches_for_all_rows(0), cached = fetches_for_all_rows(Q7D_CHUNK_CACHE_DEFAULT);
    EXPECT_GE(uncached, (long)(kRows * (kCols / kChunk[1])));  // every row fetches its 8 chunks
    EXPECT_LT(cached * 8, uncached) << "cached " << cached << ", uncached " << uncached;

    // Whatever changes the stored chunks empties the cache: a write
    // through another handle, an undone write, another process's commit.
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDWR, 0);
    q7id_t reader = Q7Dopen2(f, "v", 0), writer = Q7Dopen2(f, "v", 0);
    EXPECT_EQ(row(reader, 40), expect_row(v, 40));
    std::vector<int> w = field(6);
    ASSERT_GE(Q7Dwrite(writer, Q7T_NATIVE_INT_g, 0, 0, 0, w.data()), 0);
    EXPECT_EQ(row(reader, 40), expect_row(w, 40));
    Q7fault_arm("storage:commit", 1, 1);
    EXPECT_LT(Q7Fflush(f), 0);  // the changes since the last flush are lost
    Q7fault_clear();
    EXPECT_EQ(row(reader, 40), expect_row(v, 40));
    Q7Dclose(reader);
    Q7Dclose(writer);
    Q7Fclose(f);

    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    reader = Q7Dopen2(f, "v", 0);
    EXPECT_EQ(row(reader, 100), expect_row(v, 100));
    auto r = q7test::run(std::string(PROBE) + " fill " + name + " v 77");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(row(reader, 100), std::vector<int>(kCols, 77));
    Q7Dclose(reader);
    Q7Fclose(f);
    Q7Pclose(one);
}

} // namespace

namespace {

TEST_F(ChunkCache, ScansReadAheadAndDropTheirOwnFailures) {
    // Block 5 holds a deflate stream of the wrong length.  Reading blocks
    // 0 and 1 one at a time makes a scan: the second read also decodes
    // the blocks after it, 5 among them, on the workers.
    q7id_t f = Q7Fcreate(dir.file("scan.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d = create(f, "v", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_DEFLATE, {}}});
    std::vector<int> v = field(7);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    std::vector<unsigned char> raw(100, 7), packed(compressBound(100));
    uLongf n = (uLongf)packed.size();
    ASSERT_EQ(compress2(packed.data(), &n, raw.data(), (uLong)raw.size(), 6), Z_OK);
    q7size_t bad[2] = {0, 5 * kChunk[1]};
    ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, bad, n, packed.data()), 0);
    Q7Dclose(d);
    Q7Fclose(f);

    f = Q7Fopen(dir.file("scan.q7").c_str(), Q7F_ACC_RDONLY, 0);
    d = Q7Dopen2(f, "v", 0);
    q7id_t two = transfer(2), one = transfer(1);
    // Reads block i of the first row of blocks; the values, or empty with
    // the records in `stack`.
    std::string stack;
    auto block = [&](int i, q7id_t xfer) { return first_row_block(d, i, xfer, nullptr, &stack); };
    auto expect_block = [&](int i) { return first_row_block_of(v, i); };
    EXPECT_EQ(block(0, two), expect_block(0));
    EXPECT_EQ(block(1, two), expect_block(1)) << stack;
    EXPECT_EQ(stack, "");
    uint64_t taken = q7::storage::read_ahead_counts().taken;
    EXPECT_EQ(block(2, two), expect_block(2));
    EXPECT_EQ(q7::storage::read_ahead_counts().taken, taken + 1) << "block 2 was not read ahead";
    // The failed block was not kept: reading it fails as on one thread.
    EXPECT_TRUE(block(5, two).empty());
    std::string on_two = stack;
    EXPECT_NE(on_two.find("decodes to 100 bytes"), std::string::npos) << on_two;
    EXPECT_TRUE(block(5, one).empty());
    EXPECT_EQ(stack, on_two);
    EXPECT_EQ(block(6, two), expect_block(6));
    Q7Pclose(two);
    Q7Pclose(one);
    Q7Dclose(d);
    Q7Fclose(f);
}

} // namespace

namespace {

TEST_F(ChunkCache, ReadAheadNeverOutlivesWhatItDependsOn) {
    // Blocks read ahead are decoded after the read that fetched them has
    // returned.  Whatever happens meanwhile, later reads get what the file
    // holds: after a write to one of them, across Q7close (which unloads
    // the plug-in decoding them), and in a child forked while they are
    // pending.  The plug-in allocates through the library on the workers.
    use_plugin("group_suffix_plugin.so");
    const std::string name = dir.file("ahead.q7");
    const std::vector<Filter> filters = {{260, {}}, {Q7Z_FILTER_LZ4, {}}};
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d = create(f, "v", filters);
    std::vector<int> v = field(8);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << full_stack();
    q7id_t two = transfer(2);
    auto io = [&](q7id_t ds, int i, std::vector<int> *write) { return first_row_block(ds, i, two, write); };
    auto expect_block = [&](int i) { return first_row_block_of(v, i); };
    // Reads blocks 0 and 1, which starts a scan: the blocks after them are
    // handed to the workers.
    auto start_scan = [&](q7id_t ds) {
        uint64_t handed = q7::storage::read_ahead_counts().handed;
        EXPECT_EQ(io(ds, 0, nullptr), expect_block(0));
        EXPECT_EQ(io(ds, 1, nullptr), expect_block(1));
        EXPECT_GT(q7::storage::read_ahead_counts().handed, handed) << "no scan was read ahead";
    };

    start_scan(d);
    std::vector<int> other(kChunk[0] * kChunk[1], 77);
    ASSERT_FALSE(io(d, 3, &other).empty()) << full_stack();
    for (size_t k = 0; k < other.size(); ++k) v[(k / kChunk[1]) * kCols + 3 * kChunk[1] + k % kChunk[1]] = 77;
    for (int i = 2; i < 6; ++i) EXPECT_EQ(io(d, i, nullptr), expect_block(i)) << "block " << i;

    Q7Dclose(d);
    d = Q7Dopen2(f, "v", 0);  // a cache of its own, empty
    start_scan(d);
    Q7Dclose(d);
    Q7Fclose(f);
    ASSERT_GE(Q7close(), 0);
    ASSERT_GE(Q7open(), 0);
    Q7Eset_auto2(0, nullptr, nullptr);
    use_plugin("group_suffix_plugin.so");
    two = transfer(2);
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    d = Q7Dopen2(f, "v", 0);

    start_scan(d);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    // The child reads on one thread (ThreadSanitizer cannot follow threads
    // started after a fork), which still takes the blocks pending from the
    // parent's workers.
    if (child == 0) two = transfer(1);
    bool ok = true;
    for (int i = 2; i < 8; ++i) ok = io(d, i, nullptr) == expect_block(i) && ok;
    if (child == 0) _exit(ok ? 0 : 1);
    EXPECT_TRUE(ok);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child read wrong blocks";
    Q7Pclose(two);
    Q7Dclose(d);
    Q7Fclose(f);
}

} // namespace
