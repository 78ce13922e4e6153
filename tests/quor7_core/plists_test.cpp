// Property lists: classes, chunk shapes and the filter pipeline.
#include "quor7.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class CorePlists : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
        dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        ASSERT_GT(dcpl, 0);
    }
    void TearDown() override {
        Q7Pclose(dcpl);
        Q7Eset_auto2(0, Q7Eprint_auto2, nullptr);
    }
    q7id_t dcpl = -1;
};

TEST_F(CorePlists, ChunkShapeOnlyOnDatasetCreationLists) {
    EXPECT_EQ(Q7Pget_class(dcpl), Q7P_CLS_DATASET_CREATE_ID_g);
    EXPECT_EQ(Q7Iget_type(Q7P_CLS_DATASET_CREATE_ID_g), Q7I_GENPROP_CLS);
    EXPECT_EQ(Q7Pget_chunk(dcpl, 0, nullptr), 0);  // contiguous until set
    q7size_t chunk[2] = {4, 6};
    ASSERT_GE(Q7Pset_chunk(dcpl, 2, chunk), 0);
    q7size_t got[2] = {0, 0};
    EXPECT_EQ(Q7Pget_chunk(dcpl, 2, got), 2);
    EXPECT_EQ(got[1], 6u);
    q7size_t one[1] = {0};
    EXPECT_EQ(Q7Pget_chunk(dcpl, 1, one), 2);  // fills only the room given
    EXPECT_EQ(one[0], 4u);

    q7size_t zero[2] = {4, 0};
    EXPECT_LT(Q7Pset_chunk(dcpl, 2, zero), 0);
    EXPECT_LT(Q7Pset_chunk(dcpl, 0, chunk), 0);
    EXPECT_LT(Q7Pset_chunk(dcpl, 33, chunk), 0);
    EXPECT_EQ(Q7Pget_chunk(dcpl, 2, got), 2);  // refusals change nothing

    q7id_t fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
    ASSERT_GT(fapl, 0);
    EXPECT_LT(Q7Pset_chunk(fapl, 2, chunk), 0);
    EXPECT_LT(Q7Pset_filter(fapl, 257, 0, 0, nullptr), 0);
    EXPECT_GE(Q7Pclose(fapl), 0);
    EXPECT_LT(Q7Pcreate(dcpl), 0);  // a list is not a class

    q7id_t copy = Q7Pcopy(dcpl);
    ASSERT_GT(copy, 0);
    EXPECT_GE(Q7Pset_chunk(copy, 1, chunk), 0);
    EXPECT_EQ(Q7Pget_chunk(dcpl, 2, got), 2);  // the copy is independent
    EXPECT_GE(Q7Pclose(copy), 0);
}

TEST_F(CorePlists, FilterPipelineInOrderWithEveryOutArgumentOptional) {
    const unsigned cd[3] = {5, 6, 7};
    ASSERT_GE(Q7Pset_filter(dcpl, 257, Q7Z_FLAG_OPTIONAL, 1, cd), 0);
    ASSERT_GE(Q7Pset_filter(dcpl, 4000, Q7Z_FLAG_MANDATORY, 3, cd), 0);  // not available: allowed
    ASSERT_GE(Q7Pset_filter(dcpl, 0, 0, 0, nullptr), 0);
    ASSERT_GE(Q7Pset_filter(dcpl, 4000, 0, 0, nullptr), 0);  // twice is allowed
    EXPECT_EQ(Q7Pget_nfilters(dcpl), 4);

    EXPECT_EQ(Q7Pget_filter2(dcpl, 1, nullptr, nullptr, nullptr, 0, nullptr, nullptr), 4000);
    unsigned flags = 99, vals[2] = {0, 0}, config = 99;
    size_t n = 2;
    char name[32];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(Q7Pget_filter2(dcpl, 1, &flags, &n, vals, sizeof name, name, &config), 4000);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(n, 3u);  // count stored, although room was 2
    EXPECT_EQ(vals[0], 5u);
    EXPECT_EQ(vals[1], 6u);
    EXPECT_STREQ(name, "");  // no plug-in provides filter 4000
    EXPECT_EQ(config, 0u);

    EXPECT_EQ(Q7Pget_filter2(dcpl, 0, &flags, nullptr, nullptr, 0, nullptr, nullptr), 257);
    EXPECT_EQ(flags, Q7Z_FLAG_OPTIONAL);

    ASSERT_GE(Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 0, nullptr), 0);
    char small[4];
    EXPECT_EQ(Q7Pget_filter2(dcpl, 4, nullptr, nullptr, nullptr, sizeof small, small, &config), 1);
    EXPECT_STREQ(small, "def");  // truncated to the room given, terminated
    EXPECT_EQ(config, 3u);

    EXPECT_EQ(Q7Pget_filter2(dcpl, 5, nullptr, nullptr, nullptr, 0, nullptr, nullptr), Q7Z_FILTER_ERROR);
    EXPECT_LT(Q7Pset_filter(dcpl, -1, 0, 0, nullptr), 0);
    EXPECT_LT(Q7Pset_filter(dcpl, 65536, 0, 0, nullptr), 0);
    EXPECT_LT(Q7Pset_filter(dcpl, 257, 0x100, 0, nullptr), 0);
    EXPECT_LT(Q7Pset_filter(dcpl, 257, 0, 2, nullptr), 0);
    EXPECT_EQ(Q7Pget_nfilters(dcpl), 5);
}

} // namespace
