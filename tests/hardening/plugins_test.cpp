// Broken plug-ins not covered by the storage suite: a record with identifier
// 0, and a filter that claims more bytes than its buffer holds.  Each is
// refused or contained with a clear error and leaves stored data intact.
#include "quor7.h"
#include "error_stack.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using q7test::error_text;

class BrokenPlugins : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
        f = Q7Fcreate(dir.file("p.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
    }
    void TearDown() override {
        Q7Fclose(f);
        Q7close();
    }
    q7id_t make(const char *name, q7filter_t filter, unsigned flags) {
        q7size_t dims[1] = {64}, chunk[1] = {16};
        q7id_t sp = Q7Screate_simple(1, dims, nullptr);
        q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        Q7Pset_chunk(dcpl, 1, chunk);
        if (filter) Q7Pset_filter(dcpl, filter, flags, 0, nullptr);
        q7id_t d = Q7Dcreate2(f, name, Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
        Q7Sclose(sp);
        Q7Pclose(dcpl);
        return d;
    }
    q7test::TempDir dir;
    q7id_t f = -1;
};

TEST_F(BrokenPlugins, IdentifierZeroIsRefusedByName) {
    ASSERT_GE(Q7PLset_search_path((std::string(HARDEN_PLUGIN_DIR) + "/zero").c_str()), 0);
    EXPECT_EQ(Q7Zfilter_avail(470), 0);
    EXPECT_LE(Q7Zfilter_avail(0), 0) << "identifier 0 is no filter at all";
    q7id_t d = make("d", 470, 0);
    std::vector<int> v(64, 7);
    Q7Eclear2(0);
    EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    std::string err = error_text();
    size_t at = err.find("hp_zero_id.so");
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_NE(err.find("identifier 0", at), std::string::npos) << err;
    q7size_t n = 9;
    EXPECT_GE(Q7Dget_num_chunks(d, &n), 0);
    EXPECT_EQ(n, 0u) << "nothing is stored by a refused write";
    Q7Dclose(d);
}

TEST_F(BrokenPlugins, OverrunningFilterIsContainedBothWays) {
    ASSERT_GE(Q7PLset_search_path((std::string(HARDEN_PLUGIN_DIR) + "/overrun").c_str()), 0);
    ASSERT_EQ(Q7Zfilter_avail(470), 1);
    std::vector<int> old(64), back(64, 0);
    for (int i = 0; i < 64; ++i) old[i] = i * i;
    q7id_t plain = make("plain", 0, 0);
    ASSERT_GE(Q7Dwrite(plain, Q7T_NATIVE_INT_g, 0, 0, 0, old.data()), 0);

    for (unsigned flags : {Q7Z_FLAG_MANDATORY, Q7Z_FLAG_OPTIONAL}) {
        std::string name = "over" + std::to_string(flags);
        q7id_t d = make(name.c_str(), 470, flags);
        ASSERT_GE(d, 0);
        Q7Eclear2(0);
        EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, old.data()), 0) << flags;
        EXPECT_NE(error_text().find("corrupt"), std::string::npos) << error_text();
        q7size_t n = 9;
        EXPECT_GE(Q7Dget_num_chunks(d, &n), 0);
        EXPECT_EQ(n, 0u);

        // Stored bytes that must go back through the filter: the read fails
        // instead of handing out bytes beyond the buffer.
        q7size_t off[1] = {0};
        ASSERT_GE(Q7Dwrite_chunk(d, 0, 0, off, 16 * sizeof(int), old.data()), 0);
        Q7Eclear2(0);
        EXPECT_LT(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
        EXPECT_NE(error_text().find("filter 470"), std::string::npos) << error_text();
        Q7Dclose(d);
    }
    // The unfiltered dataset beside it is untouched.
    ASSERT_GE(Q7Dread(plain, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_EQ(back, old);
    Q7Dclose(plain);
}

} // namespace
