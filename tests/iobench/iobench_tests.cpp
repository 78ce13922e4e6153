// q7iobench: its phase table, the relations between the timed phases,
// filter pipelines, and refusal of bad command lines.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

const std::string bench = q7test::program("q7iobench");

struct Row {
    double seconds;
    std::string rate;
};

// Timer number -> row of the printed table.
std::map<int, Row> table(const std::string &out) {
    std::map<int, Row> rows;
    std::regex row(R"(^\s*(\d+)  .{24} +([0-9.]+) +(\S+)$)");
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) rows[std::stoi(m[1])] = Row{std::stod(m[2]), m[3]};
    }
    return rows;
}

} // namespace

TEST(Iobench, SmallRunPrintsEveryPhaseWithConsistentTimes) {
    q7test::TempDir dir;
    std::string file = dir.file("bench.q7");
    auto r = q7test::run(bench + " --file " + file + " --size 512K --chunk 16K --iterations 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all 262144 elements read back intact"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(file));

    auto rows = table(r.out);
    ASSERT_EQ(rows.size(), 14u) << r.out;
    for (int t : {2, 3, 8, 9, 10, 11}) {
        EXPECT_GT(rows[t].seconds, 0.0) << t;
        EXPECT_NE(rows[t].rate, "-") << t;
    }
    for (int t : {0, 1, 4, 5, 6, 7, 12, 13}) EXPECT_EQ(rows[t].rate, "-") << t;
    const double slack = 1e-3;
    // Gross spans hold the fine spans and the phases around them.
    EXPECT_GE(rows[8].seconds + slack, rows[0].seconds + rows[1].seconds + rows[10].seconds);
    EXPECT_GE(rows[10].seconds + slack, rows[2].seconds);
    EXPECT_GE(rows[9].seconds + slack, rows[13].seconds + rows[11].seconds);
    EXPECT_GE(rows[11].seconds + slack, rows[3].seconds);
    // The open totals are the gaps between gross and fine starts.
    EXPECT_GE(rows[7].seconds + slack, rows[0].seconds + rows[1].seconds);
    EXPECT_LE(rows[7].seconds, rows[8].seconds + slack);
    EXPECT_GE(rows[5].seconds + slack, rows[13].seconds);
    EXPECT_LE(rows[5].seconds, rows[9].seconds + slack);
    // Lead-ins measure from program start or the previous fine start:
    // never the whole time since the epoch.
    EXPECT_LT(rows[6].seconds, 3600.0);
    EXPECT_LT(rows[4].seconds, 3600.0);
}

TEST(Iobench, FilterPipelinesRoundTripAndUnknownFiltersFail) {
    q7test::TempDir dir;
    std::string file = dir.file("bench.q7");
    auto r = q7test::run(bench + " --file " + file + " --size 256K --chunk 32K --filter 2 --filter 1:6 --keep");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("filters: 2 1:6"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("all 65536 elements read back intact"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(file));

    auto bad = q7test::run(bench + " --file " + file + " --size 64K --chunk 4K --filter 65000");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("filter 65000 is not available"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out.find("read back intact"), std::string::npos) << bad.out;
}

TEST(Iobench, HelpAndBadCommandLines) {
    auto help = q7test::run(bench + " --help");
    EXPECT_EQ(help.status, 0);
    for (const char *opt : {"--size", "--chunk", "--filter", "--iterations", "--file"})
        EXPECT_NE(help.out.find(opt), std::string::npos) << opt;

    struct Bad {
        const char *args, *message;
    };
    for (const Bad &b : {Bad{"--size 10", "multiples of 4"}, Bad{"--size 1X", "bad size"},
                         Bad{"--size 64K --chunk 128K", "larger than the dataset"},
                         Bad{"--filter x", "bad filter"}, Bad{"--filter 1:-3", "bad filter"},
                         Bad{"--iterations 0", "bad iteration count"}, Bad{"--size", "needs a value"},
                         Bad{"--frobnicate 1", "unknown option"}}) {
        auto r = q7test::run(bench + " " + b.args);
        EXPECT_EQ(r.status, 2) << b.args;
        EXPECT_NE(r.err.find(b.message), std::string::npos) << b.args << ": " << r.err;
    }
}
