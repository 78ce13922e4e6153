// The library frame: version checks, the allocator, fault injection,
// identifiers of every family refused cleanly, close and reopen.
#include "quor7.h"
#include "quor7_fault.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <thread>
#include <cstring>
#include <unistd.h>

namespace {

class CoreLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7fault_clear();
    }
    void TearDown() override {
        Q7fault_clear();
        Q7Eset_auto2(0, Q7Eprint_auto2, nullptr);
    }
};

TEST_F(CoreLibrary, VersionQueryAndCheck) {
    unsigned a = 0, b = 0, c = 0;
    ASSERT_GE(Q7get_libversion(&a, &b, &c), 0);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 10u);
    EXPECT_EQ(c, 4u);
    EXPECT_GE(Q7get_libversion(nullptr, nullptr, nullptr), 0);
    EXPECT_GE(Q7check_version(1, 10, 4), 0);

    Q7Eset_auto2(0, nullptr, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_LT(Q7check_version(1, 8, 0), 0);  // warns, never aborts
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("1.8.0"), std::string::npos) << err;
    EXPECT_NE(err.find("1.10.4"), std::string::npos) << err;
    EXPECT_EQ(Q7Eget_num(0), 1);
}

TEST_F(CoreLibrary, AllocatorIsMallocCompatible) {
    auto *p = static_cast<unsigned char *>(Q7allocate_memory(64, 1));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0) << i;
    p = static_cast<unsigned char *>(std::realloc(p, 128));  // malloc's block
    ASSERT_NE(p, nullptr);
    std::free(p);
    void *z = Q7allocate_memory(0, 0);
    EXPECT_NE(z, nullptr);
    EXPECT_GE(Q7free_memory(z), 0);
    EXPECT_GE(Q7free_memory(nullptr), 0);
}

TEST_F(CoreLibrary, FaultsHitTheNthCallForCountCalls) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    Q7Eset_auto2(0, nullptr, nullptr);
    long before = Q7fault_calls("Q7allocate_memory");
    Q7fault_arm("Q7allocate_memory", 2, 2);
    std::vector<bool> failed;
    for (int i = 0; i < 5; ++i) {
        void *p = Q7allocate_memory(8, 0);
        failed.push_back(p == nullptr);
        Q7free_memory(p);
    }
    EXPECT_EQ(failed, (std::vector<bool>{false, true, true, false, false}));
    EXPECT_EQ(Q7fault_calls("Q7allocate_memory"), before + 5);

    Q7fault_arm("Q7get_libversion", 1, -1);  // every call from now on
    unsigned a;
    EXPECT_LT(Q7get_libversion(&a, &a, &a), 0);
    EXPECT_LT(Q7get_libversion(&a, &a, &a), 0);
    EXPECT_EQ(Q7Eget_num(0), 1);  // "injected fault in Q7get_libversion"
    Q7fault_disarm("Q7get_libversion");
    EXPECT_GE(Q7get_libversion(&a, &a, &a), 0);

    Q7fault_arm("Q7Tcopy", 1, 1);
    EXPECT_LT(Q7Tcopy(Q7T_NATIVE_INT_g), 0);
    q7id_t t = Q7Tcopy(Q7T_NATIVE_INT_g);
    EXPECT_GT(t, 0);
    Q7Tclose(t);

    Q7fault_clear();
    EXPECT_EQ(Q7fault_calls("Q7Tcopy"), 0);
}

// Runs in a child process whose QUOR7_FAULTS is set (see below).
TEST(CoreFaultsFromEnvChild, ArmedBeforeFirstUse) {
    if (!std::getenv("Q7_CORE_TEST_CHILD")) GTEST_SKIP() << "only run as a child";
    Q7Eset_auto2(0, nullptr, nullptr);
    unsigned a;
    EXPECT_GE(Q7get_libversion(&a, &a, &a), 0);
    EXPECT_LT(Q7get_libversion(&a, &a, &a), 0);
    EXPECT_GE(Q7get_libversion(&a, &a, &a), 0);
    EXPECT_LT(Q7Tcopy(Q7T_NATIVE_INT_g), 0);
    EXPECT_LT(Q7Tcopy(Q7T_NATIVE_INT_g), 0);
}

TEST(CoreFaultsFromEnv, ReadByOpen) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    auto r = q7test::run("Q7_CORE_TEST_CHILD=1 QUOR7_FAULTS='Q7get_libversion@2,junk,Q7Tcopy@1x-1' '" +
                         std::string(self) + "' --gtest_filter=CoreFaultsFromEnvChild.*");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("junk"), std::string::npos) << r.err;  // malformed entry reported
}

TEST_F(CoreLibrary, BadIdentifiersOfEveryFamilyFailWithARecord) {
    Q7Eset_auto2(0, nullptr, nullptr);
    q7id_t space = Q7Screate_simple(0, nullptr, nullptr);
    q7id_t closed = Q7Tcopy(Q7T_NATIVE_INT_g);
    Q7Tclose(closed);
    const q7id_t bad[] = {-1, 0, closed, space /* wrong kind for all but dataspaces */};
    for (q7id_t id : bad) {
        auto expect_fail = [&](bool failed, const char *what) {
            EXPECT_TRUE(failed) << what << " accepted " << id;
            EXPECT_GE(Q7Eget_num(0), 1) << what << " left no record for " << id;
        };
        expect_fail(Q7Tget_class(id) == Q7T_NO_CLASS, "Q7Tget_class");
        expect_fail(Q7Tget_size(id) == 0, "Q7Tget_size");
        expect_fail(Q7Tclose(id) < 0, "Q7Tclose");
        expect_fail(Q7Tequal(id, Q7T_NATIVE_INT_g) < 0, "Q7Tequal");
        expect_fail(Q7Pget_nfilters(id) < 0, "Q7Pget_nfilters");
        expect_fail(Q7Pclose(id) < 0, "Q7Pclose");
        expect_fail(Q7Pcreate(id) < 0, "Q7Pcreate");
        expect_fail(Q7Eget_num(id == 0 ? -1 : id) < 0, "Q7Eget_num");
        expect_fail(Q7Ecreate_msg(id, Q7E_MAJOR, "m") < 0, "Q7Ecreate_msg");
        expect_fail(Q7Iget_type(id == space ? -5 : id) == Q7I_BADID, "Q7Iget_type");
        if (id != space) {
            expect_fail(Q7Sget_select_npoints(id) < 0, "Q7Sget_select_npoints");
            expect_fail(Q7Sclose(id) < 0, "Q7Sclose");
            EXPECT_EQ(Q7Iis_valid(id), 0) << id;  // an answer, not a failure
        }
    }
    EXPECT_EQ(Q7Iis_valid(space), 1);
    Q7Sclose(space);
}

TEST_F(CoreLibrary, CloseReleasesEverythingAndOpenStartsAfresh) {
    q7id_t t = Q7Tcopy(Q7T_NATIVE_INT_g);
    q7id_t old_int = Q7T_NATIVE_INT_g;
    ASSERT_GT(t, 0);
    ASSERT_GE(Q7close(), 0);
    EXPECT_EQ(Q7T_NATIVE_INT_g, -1);
    ASSERT_GE(Q7open(), 0);
    ASSERT_GE(Q7open(), 0);  // idempotent
    EXPECT_GT(Q7T_NATIVE_INT_g, 0);
    EXPECT_NE(Q7T_NATIVE_INT_g, old_int);  // identifiers are never reused
    Q7Eset_auto2(0, nullptr, nullptr);
    EXPECT_EQ(Q7Iis_valid(t), 0);
    EXPECT_EQ(Q7Iis_valid(old_int), 0);
    EXPECT_EQ(Q7Tget_size(Q7T_NATIVE_INT_g), 4u);
}

TEST_F(CoreLibrary, ConcurrentCallsFromSeveralThreads) {
    Q7Eset_auto2(0, nullptr, nullptr);
    std::atomic<int> bad{0};
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            q7id_t t = Q7Tcopy(Q7T_NATIVE_INT_g);
            q7size_t d = (q7size_t)(i % 7 + 1);
            q7id_t s = Q7Screate_simple(1, &d, nullptr);
            if (t < 0 || s < 0 || Q7Tget_size(t) != 4 || Q7Sget_select_npoints(s) != (q7ssize_t)d) ++bad;
            if (Q7Tclose(t) < 0 || Q7Sclose(s) < 0) ++bad;
            if (Q7Tclose(t) >= 0) ++bad;  // a second close must fail
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(work);
    for (auto &th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(CoreLibrary, PortableRandomNumbers) {
    QRsrand(17);
    std::vector<int> first;
    for (int i = 0; i < 1000; ++i) {
        int v = QRrand();
        ASSERT_GE(v, 0);
        first.push_back(v);
    }
    QRsrand(17);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(QRrand(), first[i]);
    std::sort(first.begin(), first.end());
    EXPECT_GT(std::unique(first.begin(), first.end()) - first.begin(), 990);

    FILE *f = std::tmpfile();
    EXPECT_EQ(QRfprintf(f, "%d-%s", 42, "x"), 4);
    std::fclose(f);
}

} // namespace
