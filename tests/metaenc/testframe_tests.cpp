// The test harness: errors counted against the running test, selection,
// verbosity, the summary line and the exit status.
#include <gtest/gtest.h>

#include <q7testframe.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int calls_a, calls_b, cleanups;
int errors_seen_inside;

void test_two_errors() {
    calls_a++;
    TestErrPrintf("first %d\n", 1);
    TestErrPrintf("second %s\n", "two");
    errors_seen_inside = GetTestNumErrs();
}
void test_clean() { calls_b++; print_func("clean at %d\n", TestVerbosity); }
void count_cleanup() { cleanups++; }

struct HarnessRun {
    int status;
    std::string out;
};

HarnessRun run_main(std::vector<std::string> args) {
    args.insert(args.begin(), "harness");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    TestSetOutput(mem);
    int status = TestMain(static_cast<int>(args.size()), argv.data());
    TestSetOutput(nullptr);
    fclose(mem);
    HarnessRun r{status, std::string(buf, len)};
    free(buf);
    return r;
}

class MetaencHarness : public ::testing::Test {
protected:
    void SetUp() override {
        TestReset();
        calls_a = calls_b = cleanups = errors_seen_inside = 0;
        ASSERT_EQ(AddTest("errs", test_two_errors, count_cleanup, "reports two errors"), 0);
        ASSERT_EQ(AddTest("clean", test_clean, count_cleanup, "reports none"), 0);
    }
    void TearDown() override { TestReset(); }
};

} // namespace

TEST_F(MetaencHarness, CountsErrorsPerTestRunsCleanupsAndSummarises) {
    HarnessRun r = run_main({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(calls_a, 1);
    EXPECT_EQ(calls_b, 1);
    EXPECT_EQ(cleanups, 2);
    EXPECT_EQ(errors_seen_inside, 2);
    EXPECT_EQ(GetTestTotalErrs(), 2);
    EXPECT_EQ(r.out, "first 1\nsecond two\nerrs: FAILED with 2 errors\nclean at 4\n1 passed, 1 failed\n");
}

TEST_F(MetaencHarness, RunsOnlyTheNamedTestsAtTheGivenVerbosity) {
    HarnessRun r = run_main({"-v", "2", "-o", "clean"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(calls_a, 0);
    EXPECT_EQ(calls_b, 1);
    EXPECT_EQ(TestVerbosity, 2);
    EXPECT_EQ(r.out, "clean at 2\n1 passed, 0 failed\n");
}

TEST_F(MetaencHarness, RefusesBadCommandLinesAndBadRegistrationsWithoutRunning) {
    EXPECT_EQ(run_main({"-o", "missing"}).status, 2);
    EXPECT_EQ(run_main({"-v"}).status, 2);
    EXPECT_EQ(run_main({"-v", "x"}).status, 2);
    EXPECT_EQ(run_main({"--bogus"}).status, 2);
    EXPECT_EQ(calls_a + calls_b, 0);
    EXPECT_EQ(AddTest("errs", test_clean, nullptr, "duplicate"), -1);
    EXPECT_EQ(AddTest(nullptr, test_clean, nullptr, "no name"), -1);
    EXPECT_EQ(AddTest("nofunc", nullptr, nullptr, "no function"), -1);
    EXPECT_EQ(AddTest(std::string(Q7TEST_NAME_MAX, 'n').c_str(), test_clean, nullptr, "too long"), -1);
    // The refused registrations left the registry as it was.
    HarnessRun r = run_main({"-v", "0"});
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), "1 passed, 1 failed\n");
}
