// Datasets: selections against a reference array, chunk edges, byte
// order, extent changes, direct chunk I/O, other processes reading.
#include "storage_test_util.hpp"

#include <sqlite3.h>

#include <filesystem>
#include <random>
#include <thread>

using namespace q7st;

namespace {

class Datasets : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        name = dir.file("d.q7");
        f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
    }
    void TearDown() override {
        Q7Fclose(f);
        StorageTest::TearDown();
    }
    std::string name;
    q7id_t f = -1;
};

// The elements a hyperslab selects, as linear indices in row-major order.
std::vector<size_t> slab_indices(const std::vector<q7size_t> &dims, const std::vector<q7size_t> &start,
                                 const std::vector<q7size_t> &stride, const std::vector<q7size_t> &count,
                                 const std::vector<q7size_t> &block) {
    size_t r = dims.size();
    std::vector<size_t> out;
    std::vector<q7size_t> c(r, 0);
    for (;;) {
        bool in = true;
        size_t lin = 0;
        for (size_t i = 0; i < r; ++i) {
            q7size_t off = c[i] >= start[i] ? c[i] - start[i] : 0;
            in &= c[i] >= start[i] && off / stride[i] < count[i] && off % stride[i] < block[i];
            lin = lin * dims[i] + c[i];
        }
        if (in) out.push_back(lin);
        size_t i = r;
        while (i-- > 0) {
            if (++c[i] < dims[i]) break;
            c[i] = 0;
        }
        if (i == (size_t)-1) break;
    }
    return out;
}

// A 1-D memory space selecting n elements in runs of `run`, a gap after
// each run (runs of 5 end anywhere in a row of the file); `at` receives
// each selected element's position.
q7id_t padded_space(q7size_t n, q7size_t run, std::vector<size_t> &at) {
    const q7size_t full = n / run, rest = n % run, step = run + 1;
    q7id_t ms = space({(full + 1) * step});
    q7size_t m0 = 0, one = 1, tail = full * step;
    Q7Sselect_none(ms);
    if (full) Q7Sselect_hyperslab(ms, Q7S_SELECT_OR, &m0, &step, &full, &run);
    if (rest) Q7Sselect_hyperslab(ms, Q7S_SELECT_OR, &tail, nullptr, &one, &rest);
    at.clear();
    for (size_t j = 0; j < n; ++j) at.push_back(j / run * step + j % run);
    return ms;
}

// Random hyperslab writes into chunked datasets of rank 1 to 4 (chunks
// that do not divide the extent, and chunks spanning the trailing
// dimensions whole, whose pieces run over several rows), each checked
// against an in-memory model after reopening the file; reads use a
// different random slab.
TEST_F(Datasets, RandomHyperslabsMatchAReferenceArray) {
    std::mt19937 rng(1234);
    const std::vector<std::vector<q7size_t>> shapes = {{37},      {13, 11},  {7, 6, 9},
                                                       {4, 3, 5, 6}, {13, 11}, {7, 6, 9}, {4, 3, 5, 6}};
    const std::vector<std::vector<q7size_t>> chunks = {{8},       {4, 5},    {3, 4, 2},
                                                       {3, 2, 4, 5}, {4, 11}, {3, 6, 9}, {3, 2, 5, 6}};
    for (size_t k = 0; k < shapes.size(); ++k) {
        auto dims = shapes[k];
        size_t r = dims.size(), total = 1;
        for (auto d : dims) total *= d;
        q7id_t sp = space(dims), dcpl = chunked_dcpl(chunks[k]);
        std::string dn = "ds" + std::to_string(k);
        q7id_t d = Q7Dcreate2(f, dn.c_str(), Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
        ASSERT_GE(d, 0) << error_text();
        std::vector<int> model(total, 0);
        for (int round = 0; round < 12; ++round) {
            std::vector<q7size_t> start(r), stride(r), count(r), block(r);
            for (size_t i = 0; i < r; ++i) {
                stride[i] = 1 + rng() % 3;
                block[i] = 1 + rng() % stride[i];
                start[i] = rng() % dims[i];
                q7size_t room = dims[i] - start[i];
                q7size_t maxc = (room - block[i]) / stride[i] + 1;
                if (block[i] > room) block[i] = room, maxc = 1;
                count[i] = 1 + rng() % maxc;
            }
            auto idx = slab_indices(dims, start, stride, count, block);
            q7id_t fs = space(dims);
            ASSERT_GE(Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start.data(), stride.data(), count.data(), block.data()), 0);
            ASSERT_EQ((size_t)Q7Sget_select_npoints(fs), idx.size());
            // Memory: every other slot, or runs of 5 (below).
            const q7size_t n = idx.size();
            std::vector<size_t> at;
            q7id_t ms = padded_space(n, round % 2 ? 5 : 1, at);
            std::vector<int> buf(at.back() + 2, -1);
            for (size_t j = 0; j < n; ++j) {
                buf[at[j]] = round * 1000 + (int)j;
                model[idx[j]] = buf[at[j]];
            }
            ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, 0, buf.data()), 0) << error_text();
            Q7Sclose(fs);
            Q7Sclose(ms);
        }
        Q7Dclose(d);
        Q7Fclose(f);
        f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
        d = Q7Dopen2(f, dn.c_str(), 0);
        std::vector<int> all(total, -7);
        ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, all.data()), 0);
        EXPECT_EQ(all, model) << "shape " << k;
        {
            std::vector<size_t> at;
            q7id_t ms = padded_space(total, 5, at);
            std::vector<int> runs(at.back() + 2, -7);
            ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, ms, 0, 0, runs.data()), 0);
            for (size_t j = 0; j < total; ++j) ASSERT_EQ(runs[at[j]], model[j]) << "shape " << k << " elem " << j;
            Q7Sclose(ms);
        }
        for (int round = 0; round < 6; ++round) {
            std::vector<q7size_t> start(r), count(r);
            for (size_t i = 0; i < r; ++i) {
                start[i] = rng() % dims[i];
                count[i] = 1 + rng() % (dims[i] - start[i]);
            }
            std::vector<q7size_t> one(r, 1);
            auto idx = slab_indices(dims, start, one, count, one);
            q7id_t fs = space(dims);
            Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
            q7id_t ms = space({(q7size_t)idx.size()});
            std::vector<int> got(idx.size());
            ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, ms, fs, 0, got.data()), 0);
            for (size_t j = 0; j < idx.size(); ++j) ASSERT_EQ(got[j], model[idx[j]]) << "shape " << k << " elem " << j;
            Q7Sclose(fs);
            Q7Sclose(ms);
        }
        Q7Dclose(d);
        Q7Sclose(sp);
        Q7Pclose(dcpl);
        Q7Fclose(f);
        f = Q7Fopen(name.c_str(), Q7F_ACC_RDWR, 0);
    }
}

TEST_F(Datasets, RoundTripThroughAnotherProcess) {
    std::vector<q7size_t> dims{5, 9, 7};
    q7id_t sp = space(dims), dcpl = chunked_dcpl({2, 4, 3});
    q7id_t d = Q7Dcreate2(f, "cube", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    std::vector<int> v(5 * 9 * 7);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (int)(7 * i + 3);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    q7id_t sp2 = space({40000});
    q7id_t c = Q7Dcreate2(f, "flat", Q7T_NATIVE_INT_g, sp2, 0, 0, 0);
    std::vector<int> w(40000);
    for (size_t i = 0; i < w.size(); ++i) w[i] = (int)(7 * i + 3);
    ASSERT_GE(Q7Dwrite(c, Q7T_NATIVE_INT_g, 0, 0, 0, w.data()), 0);
    Q7Dclose(c);
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Sclose(sp2);
    Q7Pclose(dcpl);
    ASSERT_GE(Q7Fclose(f), 0);
    f = -1;
    auto r = q7test::run(std::string(PROBE) + " verify " + name + " cube");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ok 315\n");
    r = q7test::run(std::string(PROBE) + " verify " + name + " flat");
    EXPECT_EQ(r.out, "ok 40000\n") << r.err;
}

TEST_F(Datasets, FilesLeftOpenAtExitAreClosedWhole) {
    std::string other = dir.file("left.q7");
    auto r = q7test::run(std::string(PROBE) + " leave-open " + other);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names;
    for (auto &e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("left", 0) == 0) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"left.q7"}) << "no log left beside the file";
    r = q7test::run(std::string(PROBE) + " verify " + other + " v");
    EXPECT_EQ(r.out, "ok 1000\n") << r.err;
}

TEST_F(Datasets, EdgeChunksAbsentChunksAndContiguousLayout) {
    q7id_t sp = space({10, 10}), dcpl = chunked_dcpl({4, 4});
    q7id_t d = Q7Dcreate2(f, "edge", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    q7size_t start[2] = {8, 8}, count[2] = {2, 2};
    q7id_t fs = space({10, 10});
    Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
    q7id_t ms = space({4});
    int corner[4] = {1, 2, 3, 4};
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, 0, corner), 0);
    q7size_t n = 0;
    ASSERT_GE(Q7Dget_num_chunks(d, &n), 0);
    EXPECT_EQ(n, 1u) << "only the touched chunk is stored";
    q7size_t off[2] = {8, 8}, bytes = 0;
    ASSERT_GE(Q7Dget_chunk_storage_size(d, off, &bytes), 0);
    EXPECT_EQ(bytes, 64u) << "an edge chunk is stored whole";
    std::vector<int> all(100, -1);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, all.data()), 0);
    EXPECT_EQ(all[88], 1);
    EXPECT_EQ(all[99], 4);
    EXPECT_EQ(all[0], 0) << "absent chunks read as zeros";
    int sum = 0;
    for (int x : all) sum += x;
    EXPECT_EQ(sum, 10);
    Q7Dclose(d);

    // Contiguous data spanning several stored segments.
    q7id_t big = space({300000});
    q7id_t c = Q7Dcreate2(f, "contig", Q7T_NATIVE_DOUBLE_g, big, 0, 0, 0);
    std::vector<double> v(300000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (double)i * 0.5;
    ASSERT_GE(Q7Dwrite(c, Q7T_NATIVE_DOUBLE_g, 0, 0, 0, v.data()), 0);
    q7size_t s0 = 131000, c0 = 2000;
    q7id_t cs = space({300000});
    Q7Sselect_hyperslab(cs, Q7S_SELECT_SET, &s0, nullptr, &c0, nullptr);
    q7id_t cm = space({2000});
    std::vector<double> part(2000);
    ASSERT_GE(Q7Dread(c, Q7T_NATIVE_DOUBLE_g, cm, cs, 0, part.data()), 0);
    EXPECT_EQ(part[0], 65500.0);
    EXPECT_EQ(part[1999], (131000 + 1999) * 0.5);
    EXPECT_LT(Q7Dget_num_chunks(c, &n), 0) << "a contiguous dataset has no chunks";
    q7size_t grow = 400000;
    EXPECT_LT(Q7Dset_extent(c, &grow), 0);
    EXPECT_LT(Q7Dread(c, Q7T_NATIVE_DOUBLE_g, ms, 0, 0, part.data()), 0) << "element counts differ";
    EXPECT_NE(error_text().find("elements"), std::string::npos);
    Q7Dclose(c);
    for (q7id_t s : {sp, fs, ms, big, cs, cm}) Q7Sclose(s);
    Q7Pclose(dcpl);
}

TEST_F(Datasets, ByteOrderConversionAndRefusedConversions) {
    q7id_t sp = space({6}), dcpl = chunked_dcpl({4});
    q7id_t d = Q7Dcreate2(f, "be", Q7T_STD_I32BE_g, sp, 0, dcpl, 0);
    int v[6] = {1, -1, 0x01020304, 77, -5, 6};
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v), 0);
    unsigned char raw[16];
    uint32_t mask = 7;
    q7size_t off = 0;
    ASSERT_GE(Q7Dread_chunk(d, 0, &off, &mask, raw), 0);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(raw[3], 1) << "stored most significant byte first";
    EXPECT_EQ(raw[8], 0x01);
    EXPECT_EQ(raw[11], 0x04);
    int back[6] = {};
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back), 0);
    EXPECT_EQ(std::vector<int>(back, back + 6), std::vector<int>(v, v + 6));
    ASSERT_GE(Q7Dread(d, Q7T_STD_I32BE_g, 0, 0, 0, back), 0);
    EXPECT_EQ(back[0], __builtin_bswap32(1));

    double dd[6];
    EXPECT_LT(Q7Dread(d, Q7T_NATIVE_DOUBLE_g, 0, 0, 0, dd), 0);
    EXPECT_NE(error_text().find("convert"), std::string::npos) << error_text();
    EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_FLOAT_g, 0, 0, 0, dd), 0);
    EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_SHORT_g, 0, 0, 0, v), 0);

    q7id_t fd = Q7Dcreate2(f, "fbe", Q7T_IEEE_F64BE_g, sp, 0, 0, 0);
    double x[6] = {1.5, -2.25, 1e300, 0, 3, 4};
    ASSERT_GE(Q7Dwrite(fd, Q7T_NATIVE_DOUBLE_g, 0, 0, 0, x), 0);
    double y[6] = {};
    ASSERT_GE(Q7Dread(fd, Q7T_IEEE_F64LE_g, 0, 0, 0, y), 0);
    EXPECT_EQ(y[2], 1e300);
    Q7Dclose(fd);
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
}

TEST_F(Datasets, ExtentGrowsAndShrinksWithinTheMaximum) {
    q7size_t unl = Q7S_UNLIMITED;
    q7id_t sp = space({3, 4}, {unl, 4}), dcpl = chunked_dcpl({2, 3});
    q7id_t d = Q7Dcreate2(f, "grow", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    ASSERT_GE(d, 0);
    std::vector<int> v(12);
    for (int i = 0; i < 12; ++i) v[i] = i + 1;
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    q7size_t bigger[2] = {6, 4};
    ASSERT_GE(Q7Dset_extent(d, bigger), 0);
    EXPECT_EQ(extent(d), (std::vector<q7size_t>{6, 4}));
    std::vector<int> all(24, -1);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, all.data()), 0);
    EXPECT_EQ(all[11], 12);
    EXPECT_EQ(all[12], 0) << "new rows read as zeros";
    q7size_t wider[2] = {6, 5};
    EXPECT_LT(Q7Dset_extent(d, wider), 0) << "beyond the maximum";

    // Shrinking then growing again must not bring old values back.
    q7size_t small[2] = {1, 4};
    ASSERT_GE(Q7Dset_extent(d, small), 0);
    ASSERT_GE(Q7Dset_extent(d, bigger), 0);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, all.data()), 0);
    EXPECT_EQ(std::vector<int>(all.begin(), all.begin() + 4), std::vector<int>({1, 2, 3, 4}));
    for (size_t i = 4; i < 24; ++i) ASSERT_EQ(all[i], 0) << i;
    Q7Dclose(d);

    // The shape, chunking and pipeline come back after a reopen.
    Q7Fclose(f);
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    d = Q7Dopen2(f, "grow", 0);
    q7id_t s = Q7Dget_space(d);
    q7size_t dims[2], maxd[2];
    Q7Sget_simple_extent_dims(s, dims, maxd);
    EXPECT_EQ(dims[0], 6u);
    EXPECT_EQ(maxd[0], Q7S_UNLIMITED);
    EXPECT_EQ(maxd[1], 4u);
    q7id_t p = Q7Dget_create_plist(d);
    q7size_t ch[2];
    EXPECT_EQ(Q7Pget_chunk(p, 2, ch), 2);
    EXPECT_EQ(ch[1], 3u);
    q7id_t t = Q7Dget_type(d);
    EXPECT_EQ(Q7Tequal(t, Q7T_NATIVE_INT_g), 1);
    EXPECT_LT(Q7Dset_extent(d, small), 0) << "read-only file";
    Q7Tclose(t);
    Q7Pclose(p);
    Q7Sclose(s);
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
}

// A file dataspace of an older extent: placed in the current one by
// default, refused with same_extent (reads fill nothing, writes store
// nothing), for callers that select again on failure.
TEST_F(Datasets, SameExtentRefusesASelectionOfAnotherExtent) {
    q7size_t unl = Q7S_UNLIMITED;
    q7id_t sp = space({2, 3}, {unl, 3}), dcpl = chunked_dcpl({2, 3});
    q7id_t d = Q7Dcreate2(f, "e", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    std::vector<int> v{1, 2, 3, 4, 5, 6};
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    q7id_t old = space({2, 3}), ms = space({3});
    q7size_t start[2] = {1, 0}, count[2] = {1, 3}, grown[2] = {4, 3};
    Q7Sselect_hyperslab(old, Q7S_SELECT_SET, start, nullptr, count, nullptr);
    ASSERT_GE(Q7Dset_extent(d, grown), 0);
    q7id_t strict = Q7Pcreate(Q7P_CLS_DATASET_XFER_ID_g);
    int same = -1;
    ASSERT_GE(Q7Pset_same_extent(strict, 1), 0);
    ASSERT_GE(Q7Pget_same_extent(strict, &same), 0);
    EXPECT_EQ(same, 1);
    std::vector<int> row(3, -1);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, ms, old, 0, row.data()), 0) << error_text();
    EXPECT_EQ(row, (std::vector<int>{4, 5, 6}));
    row.assign(3, -1);
    EXPECT_LT(Q7Dread(d, Q7T_NATIVE_INT_g, ms, old, strict, row.data()), 0);
    EXPECT_NE(error_text().find("has the extent (4, 3), the file dataspace (2, 3)"), std::string::npos)
        << error_text();
    EXPECT_EQ(row, std::vector<int>(3, -1));
    std::vector<int> nine(3, 9);
    EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, old, strict, nine.data()), 0);
    std::vector<int> all(12, -1);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, strict, all.data()), 0) << "the whole extent is always the same";
    EXPECT_EQ(all, (std::vector<int>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0}));
    Q7Pclose(strict);
    Q7Sclose(ms);
    Q7Sclose(old);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
    Q7Dclose(d);
}

TEST_F(Datasets, DirectChunkBytesAndMasksAreKeptAsGiven) {
    q7size_t unl = Q7S_UNLIMITED;
    q7id_t sp = space({8}, {unl}), dcpl = chunked_dcpl({4});
    q7id_t d = Q7Dcreate2(f, "direct_chunk_io", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    int init[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, init), 0);
    int four[4] = {0, 11, 22, 33};
    q7size_t off = 4;
    ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, &off, 16, four), 0);
    int back[8];
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back), 0);
    EXPECT_EQ(back[3], 3);
    EXPECT_EQ(back[5], 11);

    // Odd sizes and masks are stored verbatim.
    const char odd[5] = {'a', 'b', 'c', 'd', 'e'};
    off = 0;
    ASSERT_GE(Q7Dwrite_chunk(d, 0, 0x5, &off, 5, odd), 0);
    q7size_t size = 0;
    ASSERT_GE(Q7Dget_chunk_storage_size(d, &off, &size), 0);
    EXPECT_EQ(size, 5u);
    char got[5];
    uint32_t mask = 0;
    ASSERT_GE(Q7Dread_chunk(d, 0, &off, &mask, got), 0);
    EXPECT_EQ(mask, 0x5u);
    EXPECT_EQ(std::string(got, 5), "abcde");
    q7size_t n = 0, where = 99, csize = 0;
    uint32_t cmask = 0;
    ASSERT_GE(Q7Dget_num_chunks(d, &n), 0);
    EXPECT_EQ(n, 2u);
    ASSERT_GE(Q7Dget_chunk_info(d, 1, &where, &cmask, &csize), 0);
    EXPECT_EQ(where, 4u);
    EXPECT_EQ(csize, 16u);
    EXPECT_LT(Q7Dget_chunk_info(d, 2, &where, &cmask, &csize), 0);

    // Offsets must name a chunk inside the extent.
    off = 2;
    EXPECT_LT(Q7Dwrite_chunk(d, 0, 0, &off, 16, four), 0);
    EXPECT_NE(error_text().find("multiple"), std::string::npos);
    off = 8;
    EXPECT_LT(Q7Dwrite_chunk(d, 0, 0, &off, 16, four), 0);
    EXPECT_LT(Q7Dread_chunk(d, 0, &off, &mask, got), 0);
    q7size_t grow = 12;
    ASSERT_GE(Q7Dset_extent(d, &grow), 0);
    EXPECT_LT(Q7Dread_chunk(d, 0, &off, &mask, got), 0) << "no chunk stored there yet";
    ASSERT_GE(Q7Dget_chunk_storage_size(d, &off, &size), 0);
    EXPECT_EQ(size, 0u);
    ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, &off, 16, four), 0);
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
}

// A reader process watches a dataset that this process keeps growing.
TEST_F(Datasets, ConcurrentReaderSeesCommittedGrowth) {
    q7size_t unl = Q7S_UNLIMITED;
    q7id_t sp = space({0}, {unl}), dcpl = chunked_dcpl({64});
    q7id_t d = Q7Dcreate2(f, "log", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    ASSERT_GE(d, 0);
    Q7Fflush(f);
    q7test::CommandResult reader;
    std::thread t([&] { reader = q7test::run(std::string(PROBE) + " watch " + name + " log 1.5"); });
    q7size_t n = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1700);
    while (std::chrono::steady_clock::now() < end) {
        q7size_t grown = n + 50;
        ASSERT_GE(Q7Dset_extent(d, &grown), 0);
        q7id_t fs = space({grown});
        q7size_t cnt = 50;
        Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, &n, nullptr, &cnt, nullptr);
        q7id_t ms = space({50});
        std::vector<int> v(50);
        for (int i = 0; i < 50; ++i) v[i] = (int)n + i;
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, 0, v.data()), 0);
        Q7Sclose(fs);
        Q7Sclose(ms);
        n = grown;
        Q7Fflush(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t.join();
    EXPECT_EQ(reader.status, 0) << reader.out << reader.err;
    unsigned long long first = 0, last = 0;
    ASSERT_EQ(sscanf(reader.out.c_str(), "grew %llu -> %llu", &first, &last), 2) << reader.out;
    EXPECT_GT(last, first) << "the reader saw the dataset grow";
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
}

TEST_F(Datasets, RetryInfoCountsReadsThatWaitedOnABusyFile) {
    q7id_t sp = space({4});
    q7id_t d = Q7Dcreate2(f, "x", Q7T_NATIVE_INT_g, sp, 0, 0, 0);
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Fclose(f);
    f = Q7Fopen(name.c_str(), Q7F_ACC_CONCURRENT_READ, 0);
    ASSERT_GE(f, 0);
    Q7F_retry_info_t info;
    memset(&info, 0xff, sizeof info);
    ASSERT_GE(Q7Fget_metadata_read_retry_info(f, &info), 0);
    EXPECT_EQ(info.nbins, 3u) << "a maximum of 100 retries has 3 digits";
    for (auto *p : info.retries) EXPECT_EQ(p, nullptr) << "nothing retried yet";
    Q7Fclose(f);

    // Another process holds the file exclusively for a while; opening it
    // waits that out.
    FILE *holder = popen((std::string(PROBE) + " lock " + name + " 150").c_str(), "r");
    ASSERT_NE(holder, nullptr);
    char line[16] = {};
    ASSERT_NE(fgets(line, sizeof line, holder), nullptr);
    f = Q7Fopen(name.c_str(), Q7F_ACC_CONCURRENT_READ, 0);
    ASSERT_GE(f, 0) << error_text();
    EXPECT_EQ(pclose(holder), 0);
    EXPECT_EQ(Q7Lexists(f, "x", 0), 1);
    ASSERT_GE(Q7Fget_metadata_read_retry_info(f, &info), 0);
    unsigned counted = 0;
    for (unsigned i = 0; i < Q7F_NUM_METADATA_READ_RETRY_TYPES; ++i) {
        if (!info.retries[i]) continue;
        unsigned here = 0;
        for (unsigned b = 0; b < info.nbins; ++b) here += info.retries[i][b];
        EXPECT_GT(here, 0u) << "an array is handed out only for an item that retried";
        counted += here;
        Q7free_memory(info.retries[i]);
    }
    EXPECT_EQ(counted, 1u) << "one read waited";
    EXPECT_LT(Q7Fget_metadata_read_retry_info(f, nullptr), 0);
}

} // namespace

namespace {

// Elements never written read as the fill value, kept with the dataset:
// before any write, beside a partial write, in regions an extent grew by
// (also after shrinking), in another byte order, and after reopening.
TEST_F(Datasets, FillValueStandsForEveryElementNeverWritten) {
    struct Row {
        const char *what;
        std::vector<q7size_t> chunk;  // empty: contiguous
        q7id_t file_type;
        int fill;
    } rows[] = {
        {"chunked", {16}, Q7T_NATIVE_INT_g, 7},
        {"contiguous", {}, Q7T_NATIVE_INT_g, -3},
        {"big-endian chunked", {16}, Q7T_STD_I32BE_g, 0x01020304},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const q7size_t n = 40;
        q7id_t dcpl = r.chunk.empty() ? Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g) : chunked_dcpl(r.chunk);
        ASSERT_GE(Q7Pset_fill_value(dcpl, Q7T_NATIVE_INT_g, &r.fill), 0);
        q7id_t s = r.chunk.empty() ? space({n}) : space({n}, {Q7S_UNLIMITED});
        q7id_t d = Q7Dcreate2(f, r.what, r.file_type, s, 0, dcpl, 0);
        Q7Pclose(dcpl);
        Q7Sclose(s);
        ASSERT_GE(d, 0) << error_text();
        auto read_all = [&](q7id_t ds) {
            q7id_t sp = Q7Dget_space(ds);
            std::vector<int> v((size_t)Q7Sget_simple_extent_npoints(sp));
            Q7Sclose(sp);
            EXPECT_GE(Q7Dread(ds, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << error_text();
            return v;
        };
        std::vector<int> expect(n, r.fill);
        EXPECT_EQ(read_all(d), expect) << "before any write";
        // Elements 10..19 written; the chunks they share keep the fill.
        std::vector<int> part(10, 5);
        q7size_t start[1] = {10}, count[1] = {10};
        q7id_t fs = Q7Dget_space(d), ms = space({10});
        Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, 0, part.data()), 0) << error_text();
        Q7Sclose(fs);
        Q7Sclose(ms);
        std::fill(expect.begin() + 10, expect.begin() + 20, 5);
        EXPECT_EQ(read_all(d), expect) << "beside a partial write";
        if (!r.chunk.empty()) {
            q7size_t shrunk = 15, grown = 50;
            ASSERT_GE(Q7Dset_extent(d, &shrunk), 0);
            ASSERT_GE(Q7Dset_extent(d, &grown), 0);
            expect.assign(grown, r.fill);
            std::fill(expect.begin() + 10, expect.begin() + 15, 5);
            EXPECT_EQ(read_all(d), expect) << "after shrinking and growing";
        }
        q7id_t dcpl2 = Q7Dget_create_plist(d);
        int got = 0;
        EXPECT_GE(Q7Pget_fill_value(dcpl2, Q7T_NATIVE_INT_g, &got), 0);
        EXPECT_EQ(got, r.fill);
        Q7Pclose(dcpl2);
        Q7Dclose(d);
        ASSERT_GE(Q7Fclose(f), 0);
        f = Q7Fopen(name.c_str(), Q7F_ACC_RDWR, 0);
        d = Q7Dopen2(f, r.what, 0);
        EXPECT_EQ(read_all(d), expect) << "reopened";
        Q7Dclose(d);
    }
    // A fill value of a type that does not convert to the dataset's.
    q7id_t dcpl = chunked_dcpl({4});
    char text = 'x';
    ASSERT_GE(Q7Pset_fill_value(dcpl, Q7T_C_S1_g, &text), 0);
    q7id_t s = space({8});
    EXPECT_LT(Q7Dcreate2(f, "refused", Q7T_NATIVE_INT_g, s, 0, dcpl, 0), 0);
    EXPECT_NE(error_text().find("fill value"), std::string::npos) << error_text();
    Q7Sclose(s);
    Q7Pclose(dcpl);
}

} // namespace
