// q7diff on files made here: exit status, what it prints, tolerances,
// NaNs, coordinates, trees, attributes, links and bad input files.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "q7files.hpp"
#include "test_support.hpp"

namespace {

using q7files::File;
using Doubles = std::vector<double>;

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

class Compare : public ::testing::Test {
protected:
    void SetUp() override { Q7open(); }
    std::string path(const std::string &name) { return dir_.file(name); }
    q7test::CommandResult diff(const std::string &args) {
        return q7test::run(q7test::program("q7diff") + " " + args);
    }
    // Two files holding one float64 dataset /d each.
    void two_series(const Doubles &a, const Doubles &b) {
        File f1(path("a.q7")), f2(path("b.q7"));
        q7files::dataset(f1.id(), "/d", Q7T_IEEE_F64LE_g, Q7T_NATIVE_DOUBLE_g, {a.size()}, a);
        q7files::dataset(f2.id(), "/d", Q7T_IEEE_F64LE_g, Q7T_NATIVE_DOUBLE_g, {b.size()}, b);
    }
    std::string ab() { return path("a.q7") + " " + path("b.q7"); }

    q7test::TempDir dir_;
};

TEST_F(Compare, ExitStatusOfEqualDifferentNotComparableAndFailedRuns) {
    two_series({1, 2, 3}, {1, 2, 3});
    auto same = diff(ab());
    EXPECT_EQ(same.status, 0) << same.out << same.err;
    EXPECT_EQ(same.out, "0 differences found\n");
    EXPECT_EQ(same.err, "");

    two_series({1, 2, 3}, {1, 2.5, 3});
    auto differ = diff(ab());
    EXPECT_EQ(differ.status, 1);
    EXPECT_EQ(differ.out,
              "/d[1]: 2 vs 2.5, difference 0.5\n"
              "/d: 1 difference\n"
              "1 difference found\n");

    {
        File f1(path("a.q7")), f2(path("b.q7"));
        q7files::group(f1.id(), "/only_here");
    }
    auto missing = diff(ab());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("not comparable: </only_here> exists in " + path("a.q7") + " only\n"),
              std::string::npos)
        << missing.out;
    EXPECT_NE(missing.out.find("0 differences found, 1 object not comparable"), std::string::npos);

    auto error = diff(path("a.q7") + " " + path("absent.q7"));
    EXPECT_EQ(error.status, 2);
    EXPECT_NE(error.err.find("q7diff error: cannot open " + path("absent.q7")), std::string::npos) << error.err;
    // The summary is printed on the error path too.
    EXPECT_NE(error.out.find("the comparison met an error"), std::string::npos) << error.out;
}

TEST_F(Compare, TolerancesCombineAndHoldAtTheirBounds) {
    // Differences 0.5, 0.5625, 1, 2, 10 against max magnitudes 1.5, 2.5625, 4, 10, 20.
    Doubles a{1, 2, 3, 8, 10}, b{1.5, 2.5625, 4, 10, 20};
    struct Case {
        const char *opts;
        const char *found;
    } cases[] = {
        {"", "5 differences found"},
        {"-d 0.5", "4 differences found"},       // 0.5 is not above 0.5
        {"-p 0.25", "2 differences found"},      // 1 is not above 0.25*4
        {"-d 0.5 -p 0.25", "1 difference found"}, // both bounds must be exceeded
        {"-d 10", "0 differences found"},
    };
    for (int swap = 0; swap < 2; swap++) {
        if (swap) two_series(b, a);
        else two_series(a, b);
        for (const Case &c : cases) {
            auto r = diff(std::string("-r ") + c.opts + " " + ab());
            EXPECT_NE(r.out.find(c.found), std::string::npos) << c.opts << " swap " << swap << "\n" << r.out;
            EXPECT_EQ(r.status, std::string(c.found)[0] == '0' ? 0 : 1) << c.opts;
        }
    }

    File f1(path("i1.q7")), f2(path("i2.q7"));
    std::vector<int64_t> i1{100, -5, INT64_MIN, INT64_MAX}, i2{103, 5, INT64_MIN, INT64_MIN};
    q7files::dataset(f1.id(), "/i", Q7T_STD_I64LE_g, Q7T_NATIVE_INT64_g, {4}, i1);
    q7files::dataset(f2.id(), "/i", Q7T_STD_I64BE_g, Q7T_NATIVE_INT64_g, {4}, i2);
    f1.close();
    f2.close();
    auto ints = diff("-d 3 " + path("i1.q7") + " " + path("i2.q7"));
    EXPECT_NE(ints.out.find("/i[1]: -5 vs 5, difference 10\n"), std::string::npos) << ints.out;
    // The difference of the extremes is exact, not wrapped.
    EXPECT_NE(ints.out.find("/i[3]: 9223372036854775807 vs -9223372036854775808, difference 18446744073709551615\n"),
              std::string::npos)
        << ints.out;
    EXPECT_NE(ints.out.find("2 differences found"), std::string::npos);
}

TEST_F(Compare, NaNsAndInfinities) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    two_series({nan, nan, 1, inf, inf}, {nan, 1, nan, inf, -inf});
    auto lenient = diff("-p 1 " + ab());
    EXPECT_EQ(lenient.status, 1);
    EXPECT_NE(lenient.out.find("/d[1]: nan vs 1, difference nan\n"), std::string::npos) << lenient.out;
    EXPECT_NE(lenient.out.find("/d[4]: inf vs -inf, difference inf\n"), std::string::npos) << lenient.out;
    EXPECT_NE(lenient.out.find("3 differences found"), std::string::npos);
    EXPECT_NE(diff("--strict-nan " + ab()).out.find("4 differences found"), std::string::npos);

    // A file equals itself unless NaNs must differ.
    EXPECT_EQ(diff(path("a.q7") + " " + path("a.q7")).status, 0);
    auto strict_self = diff("--strict-nan " + path("a.q7") + " " + path("a.q7"));
    EXPECT_EQ(strict_self.status, 1);
    EXPECT_NE(strict_self.out.find("2 differences found"), std::string::npos) << strict_self.out;
}

TEST_F(Compare, CoordinatesAcrossChunkEdgesAndByteOrders) {
    // 3-D, chunks that do not divide the extent; the second file is
    // contiguous and big-endian, which must not matter.
    std::vector<float> v(2 * 3 * 5);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<float>(i) * 0.5f;
    std::vector<float> w = v;
    w[1 * 15 + 2 * 5 + 4] += 1;  // [1,2,4]
    w[0 * 15 + 1 * 5 + 3] -= 2;  // [0,1,3]
    {
        File f1(path("a.q7")), f2(path("b.q7"));
        q7files::dataset(f1.id(), "/cube", Q7T_IEEE_F32LE_g, Q7T_NATIVE_FLOAT_g, {2, 3, 5}, v, {1, 2, 3});
        q7files::dataset(f2.id(), "/cube", Q7T_IEEE_F32BE_g, Q7T_NATIVE_FLOAT_g, {2, 3, 5}, w);
    }
    auto r = diff(ab());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "/cube[0,1,3]: 4 vs 2, difference 2\n"
              "/cube[1,2,4]: 14.5 vs 15.5, difference 1\n"
              "/cube: 2 differences\n"
              "2 differences found\n");

    auto limited = diff("-n 1 -S " + ab());
    EXPECT_EQ(count_of(limited.out, "/cube["), 1u) << limited.out;
    EXPECT_NE(limited.out.find("/cube: 2 differences\n"), std::string::npos);
    EXPECT_NE(limited.out.find("/cube: 30 elements compared, 2 differ (6.66667%), largest absolute difference 2, "
                               "largest relative difference 0.5\n"),
              std::string::npos)
        << limited.out;
}

TEST_F(Compare, CountLimitKeepsCountingAndReportModeDropsCountLines) {
    Doubles a(100, 1.0), b(100, 1.0);
    for (int i = 0; i < 10; i++) b[static_cast<size_t>(i * 7)] = 2.0;
    two_series(a, b);
    auto r = diff("-n 3 " + ab());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.out, "vs"), 3u) << r.out;
    EXPECT_NE(r.out.find("/d: 10 differences\n10 differences found\n"), std::string::npos) << r.out;

    auto report = diff("-r " + ab());
    EXPECT_EQ(count_of(report.out, "vs"), 10u);
    EXPECT_EQ(report.out.find("/d: 10 differences"), std::string::npos);
    EXPECT_EQ(diff("-q " + ab()).out, "");
    EXPECT_EQ(diff("-q " + ab()).status, 1);
}

TEST_F(Compare, TreesExclusionsAndKindsThatCannotBeCompared) {
    std::vector<int32_t> one{1}, two{2};
    {
        File f1(path("a.q7")), f2(path("b.q7"));
        for (q7id_t f : {f1.id(), f2.id()}) {
            q7files::group(f, "/g");
            q7files::group(f, "/g/sub");
        }
        q7files::dataset(f1.id(), "/g/sub/x", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {1}, one);
        q7files::dataset(f2.id(), "/g/sub/x", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {1}, two);
        q7files::dataset(f1.id(), "/g/gone", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {1}, one);
        q7files::dataset(f1.id(), "/kind", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {1}, one);
        q7files::group(f2.id(), "/kind");
        q7files::dataset(f1.id(), "/cls", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {1}, one);
        q7files::dataset(f2.id(), "/cls", Q7T_IEEE_F32LE_g, Q7T_NATIVE_INT32_g, std::vector<q7size_t>{1},
                         std::vector<int32_t>{});
        q7files::dataset(f1.id(), "/shape", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {2, 3}, std::vector<int32_t>(6, 0));
        q7files::dataset(f2.id(), "/shape", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {3, 2}, std::vector<int32_t>(6, 0));
        q7files::soft_link(f1.id(), "/g", "/soft");
        q7files::soft_link(f2.id(), "/g/sub", "/soft");
    }
    auto all = diff(ab());
    EXPECT_EQ(all.status, 1);
    for (const char *line : {"/g/sub/x[0]: 1 vs 2, difference 1\n",
                             "/soft: link to </g> vs link to </g/sub>, difference (targets differ)\n",
                             "not comparable: </cls> datasets of different class (integer, float)\n",
                             "not comparable: </shape> datasets of different dimensions ([2,3], [3,2])\n"})
        EXPECT_NE(all.out.find(line), std::string::npos) << line << "\n" << all.out;
    EXPECT_NE(all.out.find("not comparable: </g/gone> exists in"), std::string::npos);
    EXPECT_NE(all.out.find("not comparable: </kind> is a dataset in"), std::string::npos);
    EXPECT_NE(all.out.find("2 differences found, 4 objects not comparable"), std::string::npos) << all.out;

    auto excluded = diff("--exclude-path /g --exclude-path /kind --exclude-path cls --exclude-path /shape/ "
                         "--exclude-path /soft " + ab());
    EXPECT_EQ(excluded.status, 0) << excluded.out;
    EXPECT_EQ(excluded.out, "0 differences found\n");

    // Naming objects: only those are compared.
    auto named = diff(ab() + " /g/sub");
    EXPECT_EQ(named.status, 1);
    EXPECT_NE(named.out.find("1 difference found\n"), std::string::npos) << named.out;
    auto nowhere = diff(ab() + " /g/none");
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_NE(nowhere.err.find("object </g/none> not found in " + path("a.q7")), std::string::npos) << nowhere.err;
}

TEST_F(Compare, AttributesAndCompoundMembers) {
    struct Rec {
        int32_t a;
        double b;
    };
    std::vector<Rec> r1{{1, 0.5}, {2, 1.5}};
    // The second file stores the members big-endian, in the other order:
    // b at offset 0, a at offset 12.
    auto put_be = [](unsigned char *p, uint64_t v, int n) {
        for (int i = 0; i < n; i++) p[i] = static_cast<unsigned char>(v >> (8 * (n - 1 - i)));
    };
    std::vector<unsigned char> r2(32, 0);
    const double b2[2] = {0.5, 1.75};
    for (int e = 0; e < 2; e++) {
        uint64_t bits;
        memcpy(&bits, &b2[e], 8);
        put_be(&r2[static_cast<size_t>(e) * 16], bits, 8);
        put_be(&r2[static_cast<size_t>(e) * 16 + 12], static_cast<uint64_t>(e + 1), 4);
    }
    {
        File f1(path("a.q7")), f2(path("b.q7"));
        q7id_t mem = Q7Tcreate(Q7T_COMPOUND, sizeof(Rec));
        Q7Tinsert(mem, "a", offsetof(Rec, a), Q7T_NATIVE_INT32_g);
        Q7Tinsert(mem, "b", offsetof(Rec, b), Q7T_NATIVE_DOUBLE_g);
        q7id_t be = Q7Tcreate(Q7T_COMPOUND, 16);
        Q7Tinsert(be, "a", 12, Q7T_STD_I32BE_g);
        Q7Tinsert(be, "b", 0, Q7T_IEEE_F64BE_g);
        q7files::dataset(f1.id(), "/rec", mem, mem, {2}, r1);
        q7files::dataset(f2.id(), "/rec", be, be, {2}, r2);
        Q7Tclose(mem);
        Q7Tclose(be);
        for (q7id_t f : {f1.id(), f2.id()}) q7files::group(f, "/g");
        q7files::attribute(f1.id(), "/g", "units", Q7T_STD_U16LE_g, Q7T_NATIVE_UINT16_g, {2},
                           std::vector<uint16_t>{7, 8});
        q7files::attribute(f2.id(), "/g", "units", Q7T_STD_U16LE_g, Q7T_NATIVE_UINT16_g, {2},
                           std::vector<uint16_t>{7, 9});
        q7files::attribute(f2.id(), "/g", "extra", Q7T_STD_U16LE_g, Q7T_NATIVE_UINT16_g, {1},
                           std::vector<uint16_t>{1});
    }
    auto r = diff(ab());
    EXPECT_EQ(r.status, 1);
    for (const char *line : {"/rec[1].b: 1.5 vs 1.75, difference 0.25\n", "/g@units[1]: 8 vs 9, difference 1\n",
                             "not comparable: </g@extra> is an attribute in"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("/rec[1].a"), std::string::npos);
}

TEST_F(Compare, HardLinkedObjectsAreComparedOnce) {
    Doubles v{1, 2}, w{1, 3};
    {
        File f1(path("a.q7")), f2(path("b.q7"));
        q7files::dataset(f1.id(), "/a", Q7T_IEEE_F64LE_g, Q7T_NATIVE_DOUBLE_g, {2}, v);
        q7files::dataset(f2.id(), "/a", Q7T_IEEE_F64LE_g, Q7T_NATIVE_DOUBLE_g, {2}, w);
        q7files::hard_link(f1.id(), "/a", "/b");
        q7files::hard_link(f2.id(), "/a", "/b");
        // Linked in one file, a copy in the other: compared as data.
        q7files::hard_link(f1.id(), "/a", "/c");
        q7files::dataset(f2.id(), "/c", Q7T_IEEE_F64LE_g, Q7T_NATIVE_DOUBLE_g, {2}, w);
    }
    auto r = diff("-v " + ab());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("/a[1]: 2 vs 3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("</b> is a hard link to </a>, already compared"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("/b[1]"), std::string::npos);
    EXPECT_NE(r.out.find("/c[1]: 2 vs 3"), std::string::npos);
    EXPECT_NE(r.out.find("2 differences found"), std::string::npos);
}

TEST_F(Compare, BrokenAndForeignFilesEndWithStatusTwo) {
    two_series({1, 2}, {1, 2});
    std::ofstream(path("text.q7")) << "this is not a data file\n";
    std::ofstream(path("empty.q7")).close();
    std::string bytes = q7test::read_file(path("a.q7"));
    std::ofstream(path("cut.q7"), std::ios::binary) << bytes.substr(0, bytes.size() / 3);
    std::string mangled = bytes;
    for (size_t i = 100; i < mangled.size(); i += 97) mangled[i] = static_cast<char>(mangled[i] ^ 0x5a);
    std::ofstream(path("mangled.q7"), std::ios::binary) << mangled;
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path("foreign.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    for (const char *bad : {"text.q7", "empty.q7", "cut.q7", "mangled.q7", "foreign.db", "."}) {
        for (bool first : {true, false}) {
            std::string args = first ? path(bad) + " " + path("b.q7") : path("a.q7") + " " + path(bad);
            auto r = diff(args);
            EXPECT_EQ(r.status, 2) << bad << "\n" << r.out << r.err;
            EXPECT_NE(r.err.find("q7diff error: "), std::string::npos) << bad << "\n" << r.err;
        }
    }

    // A read that fails half-way through a comparison.
    auto failed_read = q7test::run("QUOR7_FAULTS=Q7Dread@2 " + q7test::program("q7diff") + " " + ab());
    EXPECT_EQ(failed_read.status, 2);
    EXPECT_NE(failed_read.err.find("q7diff error: cannot read dataset </d> of " + path("b.q7") + ": "),
              std::string::npos)
        << failed_read.err;
    EXPECT_NE(failed_read.out.find("the comparison met an error"), std::string::npos);
}

TEST_F(Compare, ErrorStacksPrintOnlyWhenAsked) {
    two_series({1}, {1});
    auto silent = diff(path("a.q7") + " " + path("absent.q7"));
    auto loud = diff("--enable-error-stack " + path("a.q7") + " " + path("absent.q7"));
    EXPECT_EQ(silent.status, 2);
    EXPECT_EQ(loud.status, 2);
    // Without the option only the tool's own line is printed.
    EXPECT_EQ(count_of(silent.err, "\n"), 1u) << silent.err;
    EXPECT_GT(count_of(loud.err, "\n"), 1u) << loud.err;
    EXPECT_NE(loud.err.find("Q7Fopen"), std::string::npos) << loud.err;
}

TEST_F(Compare, DatasetsWithMissingFiltersAreNotComparable) {
    std::vector<int32_t> v(8, 1);
    {
        File f1(path("a.q7")), f2(path("b.q7"));
        for (q7id_t f : {f1.id(), f2.id()})
            q7files::dataset(f, "/z", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, {8}, v, {4}, {Q7Z_FILTER_SZIP});
    }
    auto r = diff(ab());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Warning: dataset </z> cannot be read, SZIP filter is not available\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("not comparable: </z>"), std::string::npos) << r.out;
}

} // namespace
