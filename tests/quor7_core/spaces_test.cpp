// CoreSpaces and selections: extents, hyperslab checks, and the runs a
// selection turns into, against a brute-force reference.
#include "internal.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

class CoreSpaces : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
    }
    void TearDown() override { Q7Eset_auto2(0, Q7Eprint_auto2, nullptr); }
};

std::vector<q7::Run> runs_of(q7id_t id) { return q7::get<q7::Dataspace>(id, Q7I_DATASPACE)->runs(); }

TEST_F(CoreSpaces, ExtentsAndTheirLimits) {
    q7size_t dims[3] = {4, 5, 6}, maxd[3] = {8, Q7S_UNLIMITED, 6}, got[3], gotmax[3];
    q7id_t s = Q7Screate_simple(3, dims, maxd);
    ASSERT_GT(s, 0);
    EXPECT_EQ(Q7Sget_simple_extent_ndims(s), 3);
    EXPECT_EQ(Q7Sget_simple_extent_dims(s, got, gotmax), 3);
    EXPECT_EQ(got[2], 6u);
    EXPECT_EQ(gotmax[1], Q7S_UNLIMITED);
    EXPECT_EQ(Q7Sget_simple_extent_npoints(s), 120);
    EXPECT_EQ(Q7Sget_select_npoints(s), 120);
    q7id_t c = Q7Scopy(s);
    EXPECT_GE(Q7Sselect_none(s), 0);
    EXPECT_EQ(Q7Sget_select_npoints(s), 0);
    EXPECT_EQ(Q7Sget_select_npoints(c), 120);  // the copy is independent
    EXPECT_GE(Q7Sclose(s), 0);
    EXPECT_GE(Q7Sclose(c), 0);

    s = Q7Screate_simple(2, dims, nullptr);  // no maximum: same as current
    EXPECT_EQ(Q7Sget_simple_extent_dims(s, got, gotmax), 2);
    EXPECT_EQ(gotmax[0], 4u);
    EXPECT_EQ(gotmax[1], 5u);
    Q7Sclose(s);

    s = Q7Screate_simple(0, nullptr, nullptr);  // scalar: one element
    EXPECT_EQ(Q7Sget_simple_extent_npoints(s), 1);
    EXPECT_LT(Q7Sselect_hyperslab(s, 0, dims, nullptr, dims, nullptr), 0);
    Q7Sclose(s);

    q7size_t small_max[1] = {3};
    EXPECT_LT(Q7Screate_simple(1, dims, small_max), 0);  // dims > maxdims
    EXPECT_LT(Q7Screate_simple(33, dims, nullptr), 0);
    EXPECT_LT(Q7Screate_simple(-1, dims, nullptr), 0);
    EXPECT_LT(Q7Screate_simple(2, nullptr, nullptr), 0);
    q7size_t huge[2] = {1ull << 40, 1ull << 40};
    EXPECT_LT(Q7Screate_simple(2, huge, nullptr), 0);  // element count overflows
}

TEST_F(CoreSpaces, HyperslabChecksAgainstTheExtent) {
    q7size_t dims[2] = {10, 8};
    q7id_t s = Q7Screate_simple(2, dims, nullptr);
    auto sel = [&](q7size_t s0, q7size_t s1, q7size_t st0, q7size_t st1, q7size_t c0, q7size_t c1, q7size_t b0,
                   q7size_t b1) {
        q7size_t start[2] = {s0, s1}, stride[2] = {st0, st1}, count[2] = {c0, c1}, block[2] = {b0, b1};
        return Q7Sselect_hyperslab(s, 0, start, stride, count, block);
    };
    EXPECT_GE(sel(0, 0, 3, 2, 4, 4, 1, 2), 0);   // last block ends at 10 and 8 exactly
    EXPECT_LT(sel(0, 1, 3, 2, 4, 4, 1, 2), 0);   // one past the end in dim 1
    EXPECT_LT(sel(0, 0, 2, 1, 2, 2, 3, 1), 0);   // block larger than stride
    EXPECT_GE(sel(0, 0, 1, 1, 1, 1, 10, 8), 0);  // one block may exceed its stride
    EXPECT_LT(sel(0, 0, 1, 1, 0, 1, 1, 1), 0);   // count 0
    EXPECT_LT(sel(0, 0, 0, 1, 2, 1, 1, 1), 0);   // stride 0
    EXPECT_LT(sel(0, 0, 1, 1, 1, 1, 0, 1), 0);   // block 0
    EXPECT_LT(sel(~0ull, 0, 1, 1, 1, 1, 2, 1), 0);  // start + block wraps around
    q7size_t start[2] = {0, 0}, count[2] = {1, 1};
    EXPECT_LT(Q7Sselect_hyperslab(s, 2, start, nullptr, count, nullptr), 0);  // unknown operator
    EXPECT_GE(Q7Sselect_hyperslab(s, 0, start, nullptr, count, nullptr), 0);  // null stride and block
    EXPECT_EQ(Q7Sget_select_npoints(s), 1);
    Q7Sclose(s);
}

TEST_F(CoreSpaces, RunsAreFewWhereRowsAndBlocksAreWhole) {
    q7size_t d1[1] = {1000000};
    q7id_t s = Q7Screate_simple(1, d1, nullptr);
    ASSERT_EQ(runs_of(s).size(), 1u);
    q7size_t start = 0, count = 1, block = 1000000;
    ASSERT_GE(Q7Sselect_hyperslab(s, 0, &start, nullptr, &count, &block), 0);
    auto r = runs_of(s);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].length, 1000000u);
    start = 10, count = 1000, block = 5;
    q7size_t stride = 7;
    ASSERT_GE(Q7Sselect_hyperslab(s, 0, &start, &stride, &count, &block), 0);
    r = runs_of(s);
    ASSERT_EQ(r.size(), 1000u);
    EXPECT_EQ(r[999].start, 10u + 999 * 7);
    EXPECT_EQ(r[999].length, 5u);
    Q7Sclose(s);

    // Whole rows of a 3-D extent: one run; whole planes with a column
    // window: one run per selected row.
    q7size_t d3[3] = {50, 40, 30};
    s = Q7Screate_simple(3, d3, nullptr);
    q7size_t st3[3] = {10, 0, 0}, c3[3] = {1, 1, 1}, b3[3] = {5, 40, 30};
    ASSERT_GE(Q7Sselect_hyperslab(s, 0, st3, nullptr, c3, b3), 0);
    r = runs_of(s);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].start, 10u * 1200);
    EXPECT_EQ(r[0].length, 5u * 1200);
    q7size_t st3b[3] = {0, 2, 3}, b3b[3] = {50, 4, 20};
    ASSERT_GE(Q7Sselect_hyperslab(s, 0, st3b, nullptr, c3, b3b), 0);
    EXPECT_EQ(runs_of(s).size(), 50u * 4);
    Q7Sclose(s);
}

// Reference: mark every element of every slab, read the runs off the marks.
std::vector<q7::Run> brute_force(const q7::Dataspace &sp) {
    const size_t n = sp.extent_points();
    std::vector<char> mark(n, 0);
    const int rank = sp.rank;
    for (const auto &h : sp.slabs) {
        std::vector<q7size_t> idx(rank, 0);  // position per dim in [0, count*block)
        for (;;) {
            q7size_t lin = 0;
            for (int k = 0; k < rank; ++k) {
                q7size_t c = h.start[k] + (idx[k] / h.block[k]) * h.stride[k] + idx[k] % h.block[k];
                lin = lin * sp.dims[k] + c;
            }
            mark[lin] = 1;
            int k = rank - 1;
            while (k >= 0 && ++idx[k] == h.count[k] * h.block[k]) idx[k--] = 0;
            if (k < 0) break;
        }
    }
    std::vector<q7::Run> out;
    for (size_t i = 0; i < n; ++i) {
        if (!mark[i]) continue;
        if (!out.empty() && out.back().start + out.back().length == i) ++out.back().length;
        else out.push_back(q7::Run{i, 1});
    }
    return out;
}

TEST_F(CoreSpaces, RunsMatchBruteForceOverRandomSlabsAndUnions) {
    std::mt19937 rng(20261208);
    auto pick = [&](q7size_t lo, q7size_t hi) { return lo + rng() % (hi - lo + 1); };
    for (int iter = 0; iter < 600; ++iter) {
        int rank = (int)pick(1, 3);
        std::vector<q7size_t> dims(rank);
        for (auto &d : dims) d = pick(1, 13);
        q7id_t s = Q7Screate_simple(rank, dims.data(), nullptr);
        ASSERT_GT(s, 0);
        int nslabs = (int)pick(1, 4);
        for (int j = 0; j < nslabs; ++j) {
            std::vector<q7size_t> start(rank), stride(rank), count(rank), block(rank);
            for (int k = 0; k < rank; ++k) {
                start[k] = pick(0, dims[k] - 1);
                q7size_t room = dims[k] - start[k];
                block[k] = pick(1, room);
                stride[k] = pick(block[k], block[k] + 3);
                // the largest count that still fits
                q7size_t maxc = (room - block[k]) / stride[k] + 1;
                count[k] = pick(1, maxc);
            }
            ASSERT_GE(Q7Sselect_hyperslab(s, j == 0 ? 0 : 1, start.data(), stride.data(), count.data(),
                                          block.data()),
                      0);
        }
        auto sp = q7::get<q7::Dataspace>(s, Q7I_DATASPACE);
        auto got = sp->runs();
        auto want = brute_force(*sp);
        ASSERT_EQ(got.size(), want.size()) << "iteration " << iter;
        q7size_t total = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].start, want[i].start);
            EXPECT_EQ(got[i].length, want[i].length);
            total += want[i].length;
        }
        EXPECT_EQ((q7size_t)Q7Sget_select_npoints(s), total);
        Q7Sclose(s);
    }
}

TEST_F(CoreSpaces, UnionWithEverythingStaysEverything) {
    q7size_t d[2] = {3, 4};
    q7id_t s = Q7Screate_simple(2, d, nullptr);
    q7size_t start[2] = {1, 1}, count[2] = {1, 1};
    ASSERT_GE(Q7Sselect_hyperslab(s, 1, start, nullptr, count, nullptr), 0);
    EXPECT_EQ(Q7Sget_select_npoints(s), 12);
    ASSERT_GE(Q7Sselect_none(s), 0);
    ASSERT_GE(Q7Sselect_hyperslab(s, 1, start, nullptr, count, nullptr), 0);
    EXPECT_EQ(Q7Sget_select_npoints(s), 1);
    auto r = runs_of(s);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].start, 5u);
    Q7Sclose(s);
}

} // namespace
