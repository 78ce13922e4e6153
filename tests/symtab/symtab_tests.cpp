// Symbol names and tables, the weighted dataset choice, the record type
// and the read-retry report.
#include <gtest/gtest.h>

#include "symtab_common.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

// ---- link seams -----------------------------------------------------------

namespace {
long malloc_calls = 0;
long malloc_fail_at = 0;  // 0: never fail; n: the nth call from now fails

int fetch_status = 0;
Q7F_retry_info_t fetch_result;
std::vector<void *> freed;
} // namespace

extern "C" void *__real_malloc(size_t);
extern "C" void *__wrap_malloc(size_t n) {
    if (malloc_fail_at > 0 && ++malloc_calls == malloc_fail_at) return nullptr;
    return __real_malloc(n);
}

extern "C" q7status_t __real_Q7Fget_metadata_read_retry_info(q7id_t, Q7F_retry_info_t *);
extern "C" q7status_t __wrap_Q7Fget_metadata_read_retry_info(q7id_t, Q7F_retry_info_t *info) {
    if (fetch_status < 0) return fetch_status;
    *info = fetch_result;
    return 0;
}

extern "C" q7status_t __real_Q7free_memory(void *);
extern "C" q7status_t __wrap_Q7free_memory(void *mem) {
    freed.push_back(mem);
    return __real_Q7free_memory(mem);
}

namespace {

std::string name_of(unsigned level, unsigned index) {
    char buf[MAX_SYMBOL_NAME_LEN];
    EXPECT_EQ(generate_name(buf, level, index), 0);
    return buf;
}

void expect_tables_empty() {
    for (int lev = 0; lev < NLEVELS; lev++) EXPECT_EQ(symbol_info[lev], nullptr) << lev;
}

} // namespace

// ---- names and tables -----------------------------------------------------

TEST(SymtabNames, LevelHyphenAndZeroPaddedIndex) {
    EXPECT_EQ(name_of(3, 7), "3-0007");
    EXPECT_EQ(name_of(0, 1599), "0-1599");
    EXPECT_EQ(name_of(4, 0), "4-0000");
    EXPECT_EQ(name_of(2, 10000), "2-10000");
    EXPECT_EQ(name_of(1, 123456789), "1-123456789");
    // The longest text the format can give fits the documented room.
    std::string longest = name_of(4294967295u, 4294967295u);
    EXPECT_EQ(longest, "4294967295-4294967295");
    EXPECT_EQ(longest.size() + 1, size_t{MAX_SYMBOL_NAME_LEN});
}

TEST(SymtabTables, GenerationFillsEveryLevelAndShutdownEmptiesThem) {
    const unsigned counts[NLEVELS] = {100, 200, 400, 800, 1600};
    expect_tables_empty();
    ASSERT_EQ(generate_symbols(), 0);
    std::set<std::string> names;
    for (unsigned lev = 0; lev < NLEVELS; lev++) {
        ASSERT_EQ(symbol_count[lev], counts[lev]);
        ASSERT_NE(symbol_info[lev], nullptr);
        for (unsigned u = 0; u < counts[lev]; u++) {
            const symbol_entry &e = symbol_info[lev][u];
            ASSERT_EQ(e.name, name_of(lev, u));
            EXPECT_EQ(e.dataset_id, -1);
            EXPECT_EQ(e.record_count, 0u);
            names.insert(e.name);
        }
    }
    EXPECT_EQ(names.size(), 3100u);
    EXPECT_STREQ(symbol_info[4][0].name, "4-0000");
    EXPECT_STREQ(symbol_info[4][1599].name, "4-1599");
    EXPECT_EQ(shutdown_symbols(), 0);
    expect_tables_empty();
}

TEST(SymtabTables, OutOfMemoryReportsAndLeavesNothingBehind) {
    // Fail the level-0 array, a name within level 0, the level-3 array and
    // the last name of all; each run must give -1, say why, and leave the
    // tables empty (the sanitizer build checks that nothing leaks).
    const long first_level3_call = 1 + 100 + 1 + 200 + 1 + 400 + 1;
    for (long nth : {1L, 50L, first_level3_call, 3100L + 5L}) {
        testing::internal::CaptureStderr();
        malloc_calls = 0;
        malloc_fail_at = nth;
        int rc = generate_symbols();
        std::string err = testing::internal::GetCapturedStderr();
        malloc_fail_at = 0;
        EXPECT_EQ(rc, -1) << "failing call " << nth;
        EXPECT_NE(err.find("generate_symbols: out of memory"), std::string::npos) << err;
        expect_tables_empty();
    }
    ASSERT_EQ(generate_symbols(), 0);
    EXPECT_STREQ(symbol_info[3][799].name, "3-0799");
    shutdown_symbols();
}

// ---- choice of a dataset ----------------------------------------------------

TEST(SymtabChoice, StaysInsideTheTablesWithLevelWeightsFourTwoOneOneOne) {
    ASSERT_EQ(generate_symbols(), 0);
    QRsrand(20261208u);
    const int draws = 90000;
    int per_level[NLEVELS] = {};
    for (int i = 0; i < draws; i++) {
        symbol_entry *e = choose_dataset();
        int found = -1;
        for (int lev = 0; lev < NLEVELS; lev++)
            if (e >= symbol_info[lev] && e < symbol_info[lev] + symbol_count[lev]) found = lev;
        ASSERT_GE(found, 0) << "entry outside every table";
        per_level[found]++;
    }
    const double expected[NLEVELS] = {4.0 / 9, 2.0 / 9, 1.0 / 9, 1.0 / 9, 1.0 / 9};
    for (int lev = 0; lev < NLEVELS; lev++)
        EXPECT_NEAR(per_level[lev] / double(draws), expected[lev], 0.01) << "level " << lev;
    EXPECT_NEAR(per_level[0] / double(per_level[2]), 4.0, 0.3);

    shutdown_symbols();
}

// ---- record type ----------------------------------------------------------------

TEST(SymtabRecordType, HoldsRecIdAtZeroAndOpaqueInfoAtEight) {
    q7id_t t = create_symbol_datatype();
    ASSERT_GE(t, 0);
    EXPECT_EQ(Q7Tget_class(t), Q7T_COMPOUND);
    EXPECT_EQ(Q7Tget_size(t), size_t{SYMBOL_RECORD_SIZE});
    ASSERT_EQ(Q7Tget_nmembers(t), 2);

    char *n0 = Q7Tget_member_name(t, 0);
    char *n1 = Q7Tget_member_name(t, 1);
    ASSERT_NE(n0, nullptr);
    ASSERT_NE(n1, nullptr);
    EXPECT_STREQ(n0, "rec_id");
    EXPECT_STREQ(n1, "info");
    Q7free_memory(n0);
    Q7free_memory(n1);
    EXPECT_EQ(Q7Tget_member_offset(t, 0), 0u);
    EXPECT_EQ(Q7Tget_member_offset(t, 1), 8u);

    q7id_t m0 = Q7Tget_member_type(t, 0);
    q7id_t m1 = Q7Tget_member_type(t, 1);
    ASSERT_GE(m0, 0);
    ASSERT_GE(m1, 0);
    EXPECT_GT(Q7Tequal(m0, Q7T_NATIVE_UINT64_g), 0);
    EXPECT_EQ(Q7Tget_class(m1), Q7T_OPAQUE);
    EXPECT_EQ(Q7Tget_size(m1), size_t{SYMBOL_INFO_SIZE});
    Q7Tclose(m0);
    Q7Tclose(m1);
    EXPECT_GE(Q7Tclose(t), 0);
    freed.clear();
}

// ---- retry report -----------------------------------------------------------------

namespace {

uint32_t *counters(std::initializer_list<uint32_t> values) {
    auto *a = static_cast<uint32_t *>(Q7allocate_memory(values.size() * sizeof(uint32_t) + 1, 0));
    size_t i = 0;
    for (uint32_t v : values) a[i++] = v;
    return a;
}

std::string report(q7id_t fid, int *rc) {
    testing::internal::CaptureStderr();
    *rc = print_metadata_retries_info(fid);
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(SymtabRetryReport, PrintsNonZeroBinsWithAdvancingBoundsAndReleasesEveryArray) {
    memset(&fetch_result, 0, sizeof fetch_result);
    fetch_status = 0;
    fetch_result.nbins = 4;
    fetch_result.retries[0] = counters({3, 0, 5, 0});   // zero bins skipped
    fetch_result.retries[7] = counters({0, 0, 0, 0});   // item line only
    fetch_result.retries[20] = counters({0, 2, 0, 11});
    std::vector<void *> expected_frees = {fetch_result.retries[0], fetch_result.retries[7],
                                          fetch_result.retries[20]};
    freed.clear();
    int rc = 0;
    std::string out = report(1, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out,
              "Metadata read retries for item 0:\n"
              "\t# of retries for 1 - 9 retries: 3\n"
              "\t# of retries for 100 - 999 retries: 5\n"
              "Metadata read retries for item 7:\n"
              "Metadata read retries for item 20:\n"
              "\t# of retries for 10 - 99 retries: 2\n"
              "\t# of retries for 1000 - 9999 retries: 11\n");
    EXPECT_EQ(freed, expected_frees);
}

TEST(SymtabRetryReport, ZeroBinsPrintItemLinesAndBoundsWrapInThirtyTwoBits) {
    memset(&fetch_result, 0, sizeof fetch_result);
    fetch_status = 0;
    fetch_result.nbins = 0;
    fetch_result.retries[2] = counters({});
    freed.clear();
    int rc = 0;
    EXPECT_EQ(report(1, &rc), "Metadata read retries for item 2:\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(freed.size(), 1u);

    // Eleven bins: the tenth and eleventh bounds are computed in unsigned
    // 32-bit arithmetic.
    memset(&fetch_result, 0, sizeof fetch_result);
    fetch_result.nbins = 11;
    fetch_result.retries[1] = counters({0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1});
    freed.clear();
    std::string out = report(1, &rc);
    uint32_t b9 = 1000000000u, b10 = b9 * 10u;
    EXPECT_EQ(out, "Metadata read retries for item 1:\n"
                   "\t# of retries for " + std::to_string(b9) + " - " + std::to_string(b10 - 1u) +
                   " retries: 1\n"
                   "\t# of retries for " + std::to_string(b10) + " - " + std::to_string(b10 * 10u - 1u) +
                   " retries: 1\n");
    EXPECT_EQ(freed.size(), 1u);
}

TEST(SymtabRetryReport, FailedFetchPrintsAndReleasesNothing) {
    fetch_status = -1;
    freed.clear();
    int rc = 0;
    EXPECT_EQ(report(1, &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(freed.empty());
    fetch_status = 0;
}
