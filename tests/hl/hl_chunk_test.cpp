// Whole-chunk I/O through the high-level wrappers.
#include "quor7.h"
#include "quor7_fault.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using q7test::TempDir;

// A file with an 8x6 chunked int dataset (chunks 4x3), optionally with
// the deflate filter in its pipeline.
struct ChunkedFile {
    explicit ChunkedFile(bool deflate = false) {
        Q7open();
        Q7Eset_auto2(0, nullptr, nullptr);
        file = Q7Fcreate(dir.file("chunks.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
        q7size_t dims[2] = {8, 6};
        q7size_t chunk[2] = {4, 3};
        q7id_t space = Q7Screate_simple(2, dims, nullptr);
        q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        Q7Pset_chunk(dcpl, 2, chunk);
        if (deflate) Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, Q7Z_FLAG_MANDATORY, 1, std::vector<unsigned>{6}.data());
        dset = Q7Dcreate2(file, "values", Q7T_NATIVE_INT_g, space, 0, dcpl, 0);
        Q7Sclose(space);
        Q7Pclose(dcpl);
    }
    ~ChunkedFile() {
        Q7Dclose(dset);
        Q7Fclose(file);
        Q7fault_clear();
    }
    TempDir dir;
    q7id_t file = -1;
    q7id_t dset = -1;
};

std::vector<int> read_all(q7id_t dset) {
    std::vector<int> v(48, -7);
    EXPECT_GE(Q7Dread(dset, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    return v;
}

TEST(HlChunk, WrittenChunksLandWhereTheOffsetSaysAndReadBackWithTheirMask) {
    ChunkedFile f;
    ASSERT_GE(f.dset, 0);
    std::vector<int> chunk(12);
    for (int i = 0; i < 12; ++i) chunk[size_t(i)] = 100 + i;
    q7size_t offset[2] = {4, 3};  // the last chunk
    ASSERT_GE(Q7DOwrite_chunk(f.dset, 0, 0, offset, chunk.size() * sizeof(int), chunk.data()), 0);

    auto all = read_all(f.dset);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 6; ++c) {
            int expected = (r >= 4 && c >= 3) ? 100 + (r - 4) * 3 + (c - 3) : 0;
            EXPECT_EQ(all[size_t(r * 6 + c)], expected) << r << "," << c;
        }

    std::vector<int> back(12, -1);
    uint32_t mask = 0xFFFFFFFFu;
    ASSERT_GE(Q7DOread_chunk(f.dset, 0, offset, &mask, back.data()), 0);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(back, chunk);
}

TEST(HlChunk, BytesAndMaskPassThePipelineUntouched) {
    ChunkedFile f(true);
    ASSERT_GE(f.dset, 0);
    // Stored with bit 0 set: the deflate filter was skipped for this chunk,
    // so an ordinary read must return the bytes as they are.
    std::vector<int> raw(12);
    for (int i = 0; i < 12; ++i) raw[size_t(i)] = -i * 1000;
    q7size_t offset[2] = {0, 0};
    ASSERT_GE(Q7DOwrite_chunk(f.dset, 0, 0x1u, offset, raw.size() * sizeof(int), raw.data()), 0);
    uint32_t mask = 0;
    std::vector<int> back(12, 0);
    ASSERT_GE(Q7DOread_chunk(f.dset, 0, offset, &mask, back.data()), 0);
    EXPECT_EQ(mask, 0x1u);
    EXPECT_EQ(back, raw);
    EXPECT_EQ(read_all(f.dset)[6 * 2 + 1], raw[2 * 3 + 1]);

    // A chunk written through the pipeline comes back compressed: its
    // stored bytes are not the values.
    std::vector<int> values(48, 5);
    ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT_g, 0, 0, 0, values.data()), 0);
    q7size_t stored = 0;
    ASSERT_GE(Q7Dget_chunk_storage_size(f.dset, offset, &stored), 0);
    ASSERT_GT(stored, 0u);
    ASSERT_LT(stored, 48u);
    std::vector<unsigned char> bytes(stored);
    ASSERT_GE(Q7DOread_chunk(f.dset, 0, offset, &mask, bytes.data()), 0);
    EXPECT_EQ(mask, 0u);
}

TEST(HlChunk, BadArgumentsFailWithoutTouchingTheFile) {
    ChunkedFile f;
    ASSERT_GE(f.dset, 0);
    int data[12] = {};
    q7size_t offset[2] = {0, 0};
    uint32_t mask = 0;
    EXPECT_LT(Q7DOwrite_chunk(f.dset, 0, 0, nullptr, sizeof data, data), 0);
    // A failure leaves a record that names the wrapper.
    EXPECT_GT(Q7Eget_num(0), 0);
    EXPECT_LT(Q7DOwrite_chunk(f.dset, 0, 0, offset, sizeof data, nullptr), 0);
    EXPECT_LT(Q7DOwrite_chunk(f.dset, 0, 0, offset, 0, data), 0);
    EXPECT_LT(Q7DOwrite_chunk(-1, 0, 0, offset, sizeof data, data), 0);
    q7size_t misaligned[2] = {1, 0};
    EXPECT_LT(Q7DOwrite_chunk(f.dset, 0, 0, misaligned, sizeof data, data), 0);
    EXPECT_LT(Q7DOread_chunk(f.dset, 0, nullptr, &mask, data), 0);
    EXPECT_LT(Q7DOread_chunk(f.dset, 0, offset, nullptr, data), 0);
    EXPECT_LT(Q7DOread_chunk(f.dset, 0, offset, &mask, nullptr), 0);
    q7size_t nchunks = 99;
    ASSERT_GE(Q7Dget_num_chunks(f.dset, &nchunks), 0);
    EXPECT_EQ(nchunks, 0u);
}

TEST(HlChunk, FaultPointsOfTheWrappers) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    ChunkedFile f;
    ASSERT_GE(f.dset, 0);
    int data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    q7size_t offset[2] = {0, 3};
    Q7fault_arm("Q7DOwrite_chunk", 1, 1);
    EXPECT_LT(Q7DOwrite_chunk(f.dset, 0, 0, offset, sizeof data, data), 0);
    EXPECT_GE(Q7DOwrite_chunk(f.dset, 0, 7, offset, sizeof data, data), 0);

    // keep_mask: success, the bytes arrive, the mask stays as it was.
    int back[12] = {};
    uint32_t mask = 0xABCDu;
    Q7fault_arm("Q7DOread_chunk:keep_mask", 1, 1);
    ASSERT_GE(Q7DOread_chunk(f.dset, 0, offset, &mask, back), 0);
    EXPECT_EQ(mask, 0xABCDu);
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    ASSERT_GE(Q7DOread_chunk(f.dset, 0, offset, &mask, back), 0);
    EXPECT_EQ(mask, 7u);
}

} // namespace
