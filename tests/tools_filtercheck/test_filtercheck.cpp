// The filter readability check against real pipelines of the storage
// library, with an empty plug-in path so that plug-in filters are missing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit_filtercheck.h"
#include "q7tools.h"
#include "quor7_fault.h"
#include "test_support.hpp"

namespace {

struct Record {
    q7id_t cls, maj, min, stack;
    unsigned line;
    std::string func, file, desc;
};

std::vector<Record> tools_records() {
    std::vector<Record> out;
    Q7Ewalk2(Q7tools_ERR_STACK_g, Q7E_WALK_UPWARD,
             [](unsigned, const Q7E_error2_t *e, void *data) -> q7status_t {
                 static_cast<std::vector<Record> *>(data)->push_back(
                     {e->cls_id, e->maj_num, e->min_num, e->stack_id, e->line, e->func_name, e->file_name, e->desc});
                 return 0;
             },
             &out);
    return out;
}

class FilterCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        q7tools_init();
        Q7Eset_auto2(0, nullptr, nullptr);
        ASSERT_GE(Q7PLset_search_path(empty_plugins_.path().c_str()), 0);
        Q7Eclear2(Q7tools_ERR_STACK_g);
        Q7fault_clear();
    }
    void TearDown() override {
        Q7fault_clear();
        for (q7id_t p : plists_) Q7Pclose(p);
    }
    q7id_t pipeline(const std::vector<q7filter_t> &filters) {
        q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        EXPECT_GE(dcpl, 0);
        const q7size_t chunk[1] = {16};
        EXPECT_GE(Q7Pset_chunk(dcpl, 1, chunk), 0);
        for (q7filter_t f : filters) EXPECT_GE(Q7Pset_filter(dcpl, f, Q7Z_FLAG_OPTIONAL, 0, nullptr), 0) << f;
        plists_.push_back(dcpl);
        return dcpl;
    }
    // Runs the check and returns what it wrote on standard error.
    std::string check(const char *name, q7id_t dcpl, int32_t *result) {
        ::testing::internal::CaptureStderr();
        *result = q7tools_canreadf(name, dcpl);
        return ::testing::internal::GetCapturedStderr();
    }

    q7test::TempDir empty_plugins_;
    std::vector<q7id_t> plists_;
};

TEST_F(FilterCheck, EmptyAndBuiltInPipelinesAreReadableWithoutQueries) {
    int32_t result = -5;
    long asked = Q7fault_calls("Q7Pget_filter2");
    EXPECT_EQ(check("/d", pipeline({}), &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Q7fault_calls("Q7Pget_filter2"), asked);

    long avail = Q7fault_calls("Q7Zfilter_avail");
    EXPECT_EQ(check("/d", pipeline({1, 2, 3, 5, 6}), &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Q7fault_calls("Q7Zfilter_avail"), avail);
    EXPECT_EQ(Q7Eget_num(Q7tools_ERR_STACK_g), 0);
}

TEST_F(FilterCheck, EachUnavailableFilterGivesOneWarningInPipelineOrder) {
    int32_t result = -5;
    EXPECT_EQ(check("/grp/data", pipeline({4, 300}), &result),
              "Warning: dataset </grp/data> cannot be read, SZIP filter is not available\n"
              "Warning: dataset </grp/data> cannot be read, user defined filter is not available\n");
    EXPECT_EQ(result, 0);

    EXPECT_EQ(check("twice", pipeline({300, 1, 300}), &result),
              "Warning: dataset <twice> cannot be read, user defined filter is not available\n"
              "Warning: dataset <twice> cannot be read, user defined filter is not available\n");
    EXPECT_EQ(result, 0);

    // No name: the same answer, nothing written.
    EXPECT_EQ(check(nullptr, pipeline({4, 300}), &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Q7Eget_num(Q7tools_ERR_STACK_g), 0);
}

TEST_F(FilterCheck, FilterZeroAndPluginRangeAreAskedOfTheLibrary) {
    // Filter 0 is asked about like a plug-in filter; nothing provides it.
    long before = Q7fault_calls("Q7Zfilter_avail");
    int32_t result = -5;
    EXPECT_EQ(check("/z", pipeline({0}), &result),
              "Warning: dataset </z> cannot be read, user defined filter is not available\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Q7fault_calls("Q7Zfilter_avail"), before + 1);

    // A filter registered in this process under an identifier above 6 is
    // available for reading, yet never counts as encodable.
    Q7Z_class2_t cls{Q7Z_CLASS_T_VERS, 7, 1, 1, "seven", nullptr, nullptr,
                     [](uint32_t, uint64_t, const uint32_t *, uint64_t nbytes, uint64_t *, void **) { return nbytes; }};
    ASSERT_GE(Q7Zregister(&cls), 0);
    EXPECT_EQ(check("/seven", pipeline({7}), &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(q7tools_can_encode(7), 0);
    Q7Zunregister(7);
}

TEST_F(FilterCheck, QueryFailuresAreRecordedOnTheToolsStack) {
    int32_t result = 5;
    // 1: the filter count cannot be had.
    q7id_t closed = pipeline({});
    ASSERT_GE(Q7Pclose(closed), 0);
    plists_.pop_back();
    EXPECT_EQ(check("/a", closed, &result), "");
    EXPECT_EQ(result, -1);

    // 2: the second identifier query fails after a first, unavailable filter.
    q7id_t p2 = pipeline({300, 1});
    Q7fault_arm("Q7Pget_filter2", 2, 1);
    EXPECT_EQ(check("/b", p2, &result),
              "Warning: dataset </b> cannot be read, user defined filter is not available\n");
    EXPECT_EQ(result, -1);
    Q7fault_clear();

    // 3: the availability query fails for the second plug-in filter; the
    //    filters after it are not examined.
    q7id_t p3 = pipeline({300, 301, 4});
    Q7fault_arm("Q7Zfilter_avail", 2, 1);
    EXPECT_EQ(check("/c", p3, &result),
              "Warning: dataset </c> cannot be read, user defined filter is not available\n");
    EXPECT_EQ(result, -1);
    Q7fault_clear();

    std::vector<Record> recs = tools_records();
    ASSERT_EQ(recs.size(), 3u);
    const char *messages[] = {"Q7Pget_nfilters failed", "Q7Pget_filter2 failed", "Q7Zfilter_avail failed"};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(recs[i].desc, messages[i]);
        EXPECT_EQ(recs[i].func, "q7tools_canreadf");
        EXPECT_EQ(recs[i].file, "kit_filtercheck");
        EXPECT_EQ(recs[i].cls, Q7tools_ERR_CLS_g);
        EXPECT_EQ(recs[i].maj, Q7E_tools_g);
        EXPECT_EQ(recs[i].min, Q7E_tools_min_id_g);
    }
    EXPECT_LT(recs[0].line, recs[1].line);
    EXPECT_LT(recs[1].line, recs[2].line);
}

TEST(FilterEncode, OnlyTheAlwaysPresentBuiltInsEncode) {
    for (q7filter_t f : {1, 2, 3, 5, 6}) EXPECT_EQ(q7tools_can_encode(f), 1) << f;
    for (q7filter_t f : {0, 4, 7, 256, 300, 65535, -1, -300}) EXPECT_EQ(q7tools_can_encode(f), 0) << f;
}

} // namespace
