// The q7diff entry point linked with a logging stand-in runtime: call
// order, silencing and restoring of error printing, and the exit-status
// rule including counts the real comparison cannot reach in a test.
#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace {

q7test::CommandResult run_seam(const std::string &env, const std::string &args = "a b") {
    return q7test::run(env + " " + q7test::program("q7diff_seam") + " " + args);
}

TEST(EntryPoint, CallsRunInOrderAndPrintingStaysOffByDefault) {
    auto r = run_seam("SEAM_COUNT=0");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "setprogname q7diff\n"
              "setstatus 0\n"
              "init default=off\n"
              "parse argc=3 slots=null tools=off\n"
              "diff a b obj1 (null) default=off tools=off\n"
              "print_info err=0 equal=1\n"
              "close\n");
}

TEST(EntryPoint, ErrorStackLevelDecidesWhetherPrintingIsRestored) {
    auto on = run_seam("SEAM_ENABLE=1");
    EXPECT_NE(on.out.find("diff a b obj1 (null) default=restored tools=restored\n"), std::string::npos) << on.out;
    auto high = run_seam("SEAM_ENABLE=7");
    EXPECT_NE(high.out.find("default=restored tools=restored"), std::string::npos) << high.out;
    for (const char *level : {"SEAM_ENABLE=0", "SEAM_ENABLE=-3"}) {
        auto off = run_seam(level);
        EXPECT_NE(off.out.find("diff a b obj1 (null) default=off tools=off\n"), std::string::npos)
            << level << "\n" << off.out;
    }
}

TEST(EntryPoint, ExitStatusRule) {
    struct Case {
        const char *env;
        int status;
    } cases[] = {
        {"SEAM_COUNT=0 SEAM_EQUAL=1 SEAM_ERR=0", 0},
        {"SEAM_COUNT=0 SEAM_EQUAL=0 SEAM_ERR=0", 1},
        {"SEAM_COUNT=5 SEAM_EQUAL=1 SEAM_ERR=0", 1},
        {"SEAM_COUNT=5 SEAM_EQUAL=0 SEAM_ERR=0", 1},
        // Low 32 bits all zero: the whole count decides.
        {"SEAM_COUNT=0x100000000 SEAM_EQUAL=1 SEAM_ERR=0", 1},
        {"SEAM_COUNT=0x300000000 SEAM_EQUAL=1 SEAM_ERR=0", 1},
        // The error status wins over everything else.
        {"SEAM_COUNT=5 SEAM_EQUAL=1 SEAM_ERR=1", 2},
        {"SEAM_COUNT=0 SEAM_EQUAL=1 SEAM_ERR=1", 2},
        {"SEAM_COUNT=0 SEAM_EQUAL=0 SEAM_ERR=-1", 2},
    };
    for (const Case &c : cases) {
        auto r = run_seam(c.env);
        EXPECT_EQ(r.status, c.status) << c.env << "\n" << r.out << r.err;
        // The summary and the shutdown happen on every path, last of all.
        const std::string tail = "close\n";
        ASSERT_GE(r.out.size(), tail.size()) << c.env;
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << c.env;
        EXPECT_NE(r.out.find("print_info"), std::string::npos) << c.env;
    }
}

} // namespace
