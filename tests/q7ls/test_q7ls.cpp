// q7ls on files built here: what it lists, the bounded data output,
// addresses and their resolution, fixed-endian types, and the errors.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "quor7.h"
#include "test_support.hpp"

namespace {

using q7test::run;

std::string q7ls(const std::string &args) { return q7test::program("q7ls") + " " + args; }

// Lines of the listing that begin with `prefix` (after indentation).
std::vector<std::string> lines_with(const std::string &text, const std::string &prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, prefix.size(), prefix) == 0) out.push_back(line.substr(start));
    }
    return out;
}

bool has_line(const std::string &text, const std::string &line) {
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l == line) return true;
    return false;
}

class Q7ls : public ::testing::Test {
protected:
    // /grp                 group with attribute "units" = "m/s"
    // /grp/ints            int32 big-endian {3, 4} max {Inf, 4}, chunks {2, 4}, deflate 6; values 0..11
    // /grp/many            float64 {5, 7} contiguous; values i / 2
    // /grp/sub/deep        uint8 {2}
    // /grp/text            string of 4 bytes {2}
    // /alias               hard link to /grp/ints
    // /soft                soft link to /grp/many
    // /ext                 external link to other.q7:/x
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
        file_ = dir_.file("known.q7");
        q7id_t f = Q7Fcreate(file_.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
        q7id_t grp = Q7Gcreate2(f, "/grp", 0, 0, 0);
        ASSERT_GE(grp, 0);
        q7id_t sub = Q7Gcreate2(f, "/grp/sub", 0, 0, 0);
        ASSERT_GE(sub, 0);
        Q7Gclose(sub);

        q7size_t one[1] = {1};
        q7id_t aspace = Q7Screate_simple(1, one, nullptr);
        q7id_t str3 = Q7Tcopy(Q7T_C_S1_g);
        ASSERT_GE(Q7Tset_size(str3, 3), 0);
        q7id_t attr = Q7Acreate2(grp, "units", str3, aspace, 0, 0);
        ASSERT_GE(attr, 0);
        ASSERT_GE(Q7Awrite(attr, str3, "m/s"), 0);
        Q7Aclose(attr);
        Q7Sclose(aspace);
        Q7Tclose(str3);
        Q7Gclose(grp);

        {
            q7size_t dims[2] = {3, 4}, maxdims[2] = {Q7S_UNLIMITED, 4}, chunk[2] = {2, 4};
            q7id_t space = Q7Screate_simple(2, dims, maxdims);
            q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
            ASSERT_GE(Q7Pset_chunk(dcpl, 2, chunk), 0);
            unsigned level[1] = {6};
            ASSERT_GE(Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, Q7Z_FLAG_OPTIONAL, 1, level), 0);
            q7id_t d = Q7Dcreate2(f, "/grp/ints", Q7T_STD_I32BE_g, space, 0, dcpl, 0);
            ASSERT_GE(d, 0);
            int values[12];
            for (int i = 0; i < 12; ++i) values[i] = i - 3;
            ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, Q7S_ALL, Q7S_ALL, 0, values), 0);
            Q7Dclose(d);
            Q7Pclose(dcpl);
            Q7Sclose(space);
        }
        {
            q7size_t dims[2] = {5, 7};
            q7id_t space = Q7Screate_simple(2, dims, nullptr);
            q7id_t d = Q7Dcreate2(f, "/grp/many", Q7T_IEEE_F64LE_g, space, 0, 0, 0);
            ASSERT_GE(d, 0);
            double values[35];
            for (int i = 0; i < 35; ++i) values[i] = i / 2.0;
            ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_DOUBLE_g, Q7S_ALL, Q7S_ALL, 0, values), 0);
            Q7Dclose(d);
            Q7Sclose(space);
        }
        {
            q7size_t dims[1] = {2};
            q7id_t space = Q7Screate_simple(1, dims, nullptr);
            q7id_t d = Q7Dcreate2(f, "/grp/sub/deep", Q7T_STD_U8LE_g, space, 0, 0, 0);
            ASSERT_GE(d, 0);
            unsigned char v[2] = {200, 7};
            ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_UCHAR_g, Q7S_ALL, Q7S_ALL, 0, v), 0);
            Q7Dclose(d);
            q7id_t str4 = Q7Tcopy(Q7T_C_S1_g);
            ASSERT_GE(Q7Tset_size(str4, 4), 0);
            d = Q7Dcreate2(f, "/grp/text", str4, space, 0, 0, 0);
            ASSERT_GE(d, 0);
            ASSERT_GE(Q7Dwrite(d, str4, Q7S_ALL, Q7S_ALL, 0, "abcdxy\0\0"), 0);
            Q7Dclose(d);
            Q7Tclose(str4);
            Q7Sclose(space);
        }
        ASSERT_GE(Q7Lcreate_hard(f, "/grp/ints", f, "/alias", 0, 0), 0);
        ASSERT_GE(Q7Lcreate_soft("/grp/many", f, "/soft", 0, 0), 0);
        ASSERT_GE(Q7Lcreate_external("other.q7", "/x", f, "/ext", 0, 0), 0);
        ASSERT_GE(Q7Fclose(f), 0);
    }

    q7test::TempDir dir_;
    std::string file_;
};

TEST_F(Q7ls, RecursiveListingDescribesEveryObject) {
    auto r = run(q7ls("-r " + file_));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string &out = r.out;
    // Objects in walk order: links by name, depth first; /grp/ints is
    // reached first as /alias.
    std::vector<std::string> heads;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '/') heads.push_back(std::regex_replace(line, std::regex(" +"), " "));
    const std::vector<std::string> expected = {
        "/ Group",
        "/alias Dataset",
        "/ext External link -> other.q7:/x",
        "/grp Group",
        "/grp/ints Dataset, same object as /alias",
        "/grp/many Dataset",
        "/grp/sub Group",
        "/grp/sub/deep Dataset",
        "/grp/text Dataset",
        "/soft Soft link -> /grp/many",
    };
    EXPECT_EQ(heads, expected) << out;

    char deflate[64] = "";
    ASSERT_GE(Q7Zget_filter_name(Q7Z_FILTER_DEFLATE, deflate, sizeof deflate), 0);
    for (const std::string &line : {
             std::string("    Type:         integer, 4 bytes, big-endian, signed"),
             std::string("    Dims:         {3, 4} max {Inf, 4}"),
             std::string("    Storage:      chunked {2, 4}"),
             "    Filters:      1 \"" + std::string(deflate) + "\" {6} optional",
             std::string("    Type:         float, 8 bytes, little-endian"),
             std::string("    Dims:         {5, 7} max {5, 7}"),
             std::string("    Storage:      contiguous"),
             std::string("    Filters:      none"),
             std::string("    Type:         integer, 1 bytes, little-endian, unsigned"),
             std::string("    Type:         string, 4 bytes"),
             std::string("    Attribute:    units {1} string, 3 bytes"),
         })
        EXPECT_TRUE(has_line(out, line)) << "missing: " << line << "\n" << out;
    // No values without -d or -v.
    EXPECT_TRUE(lines_with(out, "Data:").empty());
}

TEST_F(Q7ls, WithoutRecursionAGroupShowsItsDirectMembers) {
    auto top = run(q7ls(file_));
    ASSERT_EQ(top.status, 0) << top.err;
    EXPECT_NE(top.out.find("/grp "), std::string::npos);
    EXPECT_EQ(top.out.find("/grp/ints"), std::string::npos) << top.out;

    auto grp = run(q7ls(file_ + " /grp"));
    ASSERT_EQ(grp.status, 0) << grp.err;
    EXPECT_NE(grp.out.find("/grp/sub "), std::string::npos);
    EXPECT_NE(grp.out.find("/grp/text "), std::string::npos);
    EXPECT_EQ(grp.out.find("/grp/sub/deep"), std::string::npos) << grp.out;

    auto one = run(q7ls(file_ + " /grp/sub/deep"));
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(lines_with(one.out, "/").size(), 1u) << one.out;
}

TEST_F(Q7ls, DataValuesAreBoundedAndInStorageOrder) {
    auto r = run(q7ls("-r -d " + file_));
    ASSERT_EQ(r.status, 0) << r.err;
    auto data = lines_with(r.out, "Data:");
    std::vector<std::string> values;
    for (auto &l : data) values.push_back(std::regex_replace(l, std::regex("^Data: +"), ""));
    // /alias (big-endian ints, all 12 shown), /grp/many (first 20 of 35 in
    // row-major order, across rows), /grp/sub/deep, /grp/text.
    ASSERT_EQ(values.size(), 4u) << r.out;
    EXPECT_EQ(values[0], "-3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8");
    EXPECT_EQ(values[1], "0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6, 6.5, 7, 7.5, 8, 8.5, 9, 9.5, ...");
    EXPECT_EQ(values[2], "200, 7");
    EXPECT_EQ(values[3], "\"abcd\", \"xy\"");
    EXPECT_TRUE(has_line(r.out, "    Attribute:    units {1} string, 3 bytes = \"m/s\"")) << r.out;
}

TEST_F(Q7ls, ValuesOfEveryClassAreDecodedFromTheirByteOrder) {
    const std::string path = dir_.file("classes.q7");
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    q7size_t dims[1] = {3};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    auto write = [&](const char *name, q7id_t file_type, q7id_t mem_type, const void *buf) {
        q7id_t d = Q7Dcreate2(f, name, file_type, space, 0, 0, 0);
        ASSERT_GE(d, 0) << name;
        ASSERT_GE(Q7Dwrite(d, mem_type, Q7S_ALL, Q7S_ALL, 0, buf), 0) << name;
        Q7Dclose(d);
    };
    const double f64[3] = {1.5, -2.25, 1e300};
    const float f32[3] = {0.1f, 3, -0.5f};
    const unsigned short b16[3] = {0x1234, 0xff, 0};
    const long long i64[3] = {INT64_MIN, 0, INT64_MAX};
    const unsigned char opaque_bytes[6] = {1, 2, 0xab, 0xcd, 0, 0xff};
    struct Pair {
        int a;
        double b;
    } pairs[3] = {{1, 0.5}, {-2, 2}, {3, -1}};
    write("f64be", Q7T_IEEE_F64BE_g, Q7T_NATIVE_DOUBLE_g, f64);
    write("f32be", Q7T_IEEE_F32BE_g, Q7T_NATIVE_FLOAT_g, f32);
    write("b16be", Q7T_STD_B16BE_g, Q7T_NATIVE_B16_g, b16);
    write("i64be", Q7T_STD_I64BE_g, Q7T_NATIVE_LLONG_g, i64);
    q7id_t opaque = Q7Tcreate(Q7T_OPAQUE, 2);
    write("opaque", opaque, opaque, opaque_bytes);
    q7id_t pair = Q7Tcreate(Q7T_COMPOUND, sizeof(Pair));
    ASSERT_GE(Q7Tinsert(pair, "a", offsetof(Pair, a), Q7T_NATIVE_INT_g), 0);
    ASSERT_GE(Q7Tinsert(pair, "b", offsetof(Pair, b), Q7T_NATIVE_DOUBLE_g), 0);
    write("pair", pair, pair, pairs);
    Q7Tclose(opaque);
    Q7Tclose(pair);
    Q7Sclose(space);
    ASSERT_GE(Q7Fclose(f), 0);

    auto r = run(q7ls("-d " + path));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> got;
    for (auto &l : lines_with(r.out, "Data:")) got.push_back(std::regex_replace(l, std::regex("^Data: +"), ""));
    const std::vector<std::string> expected = {
        "0x1234, 0x00ff, 0x0000",                       // /b16be
        "0.1, 3, -0.5",                                 // /f32be
        "1.5, -2.25, 1e+300",                           // /f64be
        "-9223372036854775808, 0, 9223372036854775807", // /i64be
        "0x0102, 0xabcd, 0x00ff",                       // /opaque
        "{a=1, b=0.5}, {a=-2, b=2}, {a=3, b=-1}",       // /pair
    };
    EXPECT_EQ(got, expected) << r.out;
}

TEST_F(Q7ls, AddressesResolveToTheirFirstPath) {
    auto r = run(q7ls("-r --addresses " + file_));
    ASSERT_EQ(r.status, 0) << r.err;
    // Each object heading is followed by its address line.
    std::map<std::string, std::string> address_of;
    std::istringstream in(r.out);
    std::string current;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '/') current = line.substr(0, line.find(' '));
        std::smatch m;
        if (std::regex_match(line, m, std::regex(" +Address: +([0-9]+)"))) address_of[current] = m[1];
    }
    ASSERT_EQ(address_of.size(), 8u) << r.out;
    EXPECT_EQ(address_of["/alias"], address_of["/grp/ints"]);
    EXPECT_NE(address_of["/grp"], address_of["/grp/sub"]);
    for (const auto &[path, addr] : address_of) {
        auto res = run(q7ls("--resolve " + addr + " " + file_));
        ASSERT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.out, (path == "/grp/ints" ? std::string("/alias") : path) + "\n");
        // Hexadecimal is taken too.
        if (path == "/grp/sub") {
            char hex[32];
            snprintf(hex, sizeof hex, "0x%llx", std::stoull(addr));
            EXPECT_EQ(run(q7ls(std::string("--resolve ") + hex + " " + file_)).out, "/grp/sub\n");
        }
    }
    auto missing = run(q7ls("--resolve 987654321987 " + file_));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("q7ls error: no object at address 987654321987"), std::string::npos) << missing.err;
    EXPECT_EQ(run(q7ls("--resolve twelve " + file_)).status, 2);
    EXPECT_EQ(run(q7ls("--resolve 12")).status, 2);
}

TEST_F(Q7ls, FixedEndianShowsTheMappedStandardType) {
    auto big = run(q7ls("-r --fixed-endian big " + file_));
    ASSERT_EQ(big.status, 0) << big.err;
    std::vector<std::string> expected_big = {"Fixed-endian: STD_I32BE", "Fixed-endian: IEEE_F64BE",
                                             "Fixed-endian: STD_U8BE", "Fixed-endian: none"};
    auto got = lines_with(big.out, "Fixed-endian:");
    for (auto &l : got) l = std::regex_replace(l, std::regex(" +"), " ");
    EXPECT_EQ(got, expected_big) << big.out;

    auto little = run(q7ls("-r --fixed-endian little " + file_ + " /grp/ints"));
    ASSERT_EQ(little.status, 0) << little.err;
    EXPECT_TRUE(has_line(little.out, "    Fixed-endian: STD_I32LE")) << little.out;
    EXPECT_EQ(run(q7ls("--fixed-endian middle " + file_)).status, 2);
}

TEST_F(Q7ls, ErrorsAndUsage) {
    auto help = run(q7ls("--help"));
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: q7ls"), std::string::npos);
    for (const char *opt : {"--resolve", "--fixed-endian", "--addresses", "-r", "-v", "-d"})
        EXPECT_NE(help.out.find(opt), std::string::npos) << opt;

    auto none = run(q7ls(""));
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("usage: q7ls"), std::string::npos);
    EXPECT_EQ(run(q7ls("--bogus " + file_)).status, 2);
    EXPECT_EQ(run(q7ls(file_ + " /grp extra")).status, 2);

    auto missing = run(q7ls(dir_.file("absent.q7")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("q7ls error: cannot open"), std::string::npos) << missing.err;

    std::string foreign = dir_.file("foreign.q7");
    FILE *fp = fopen(foreign.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fputs("this is plain text, not a Quor7 file\n", fp);
    fclose(fp);
    auto bad = run(q7ls(foreign));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("q7ls error: cannot open"), std::string::npos) << bad.err;

    auto obj = run(q7ls(file_ + " /nothing/here"));
    EXPECT_EQ(obj.status, 1);
    EXPECT_NE(obj.err.find("object </nothing/here> not found"), std::string::npos) << obj.err;
}

} // namespace

namespace {

// The value of a "Stored:" line, parsed back: stored bytes as printed,
// raw size and ratio.
struct StoredLine {
    std::string stored, raw;
    double ratio = -1;
};

std::vector<StoredLine> stored_lines(const std::string &out) {
    std::vector<StoredLine> found;
    const std::regex line(R"(^    Stored: +(.+) of (.+) \(([0-9.]+)\)$)");
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_match(l, m, line)) found.push_back({m[1], m[2], std::stod(m[3])});
    }
    return found;
}

// "512 B", "8.1 KiB", "1.2 MiB" back to a number of bytes.
double bytes_of(const std::string &text) {
    std::istringstream in(text);
    double v = 0;
    std::string unit;
    in >> v >> unit;
    const std::map<std::string, double> scale = {{"B", 1}, {"KiB", 1024}, {"MiB", 1024.0 * 1024}};
    auto found = scale.find(unit);
    return found == scale.end() ? -1 : v * found->second;
}

TEST_F(Q7ls, StoredSizeAgainstRawSize) {
    // One dataset of 8 MiB of zeros in 1 MiB chunks through deflate, and
    // one dataset with nothing stored.
    q7id_t f = Q7Fopen(file_.c_str(), Q7F_ACC_RDWR, 0);
    ASSERT_GE(f, 0);
    q7size_t dims[1] = {1u << 20}, chunk[1] = {1u << 17};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    ASSERT_GE(Q7Pset_chunk(dcpl, 1, chunk), 0);
    unsigned level[1] = {9};
    ASSERT_GE(Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 1, level), 0);
    q7id_t big = Q7Dcreate2(f, "/zeros", Q7T_IEEE_F64LE_g, space, 0, dcpl, 0);
    ASSERT_GE(big, 0);
    std::vector<double> zeros(dims[0], 0.0);
    ASSERT_GE(Q7Dwrite(big, Q7T_NATIVE_DOUBLE_g, 0, 0, 0, zeros.data()), 0);
    const q7size_t stored = Q7Dget_storage_size(big);
    q7size_t sum = 0, n = 0;
    ASSERT_GE(Q7Dget_num_chunks(big, &n), 0);
    for (q7size_t i = 0; i < n; ++i) {
        q7size_t size = 0;
        ASSERT_GE(Q7Dget_chunk_info(big, i, nullptr, nullptr, &size), 0);
        sum += size;
    }
    EXPECT_EQ(stored, sum) << "the stored size is the sum of the stored chunks";
    EXPECT_GT(stored, 0u);
    Q7Dclose(big);
    q7id_t empty = Q7Dcreate2(f, "/empty", Q7T_IEEE_F64LE_g, space, 0, dcpl, 0);
    ASSERT_GE(empty, 0);
    EXPECT_EQ(Q7Dget_storage_size(empty), 0u);
    Q7Dclose(empty);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    ASSERT_GE(Q7Fclose(f), 0);

    auto zeros_listing = run(q7ls(file_ + " /zeros"));
    ASSERT_EQ(zeros_listing.status, 0) << zeros_listing.err;
    auto lines = stored_lines(zeros_listing.out);
    ASSERT_EQ(lines.size(), 1u) << zeros_listing.out;
    EXPECT_NEAR(bytes_of(lines[0].stored), static_cast<double>(stored), 0.05 * static_cast<double>(stored) + 1)
        << lines[0].stored << " for " << stored << " bytes";
    EXPECT_EQ(lines[0].raw, "8.0 MiB");
    EXPECT_LT(lines[0].ratio, 0.01) << "zeros compress to almost nothing";

    // The contiguous /grp/many stores its 35 doubles as they are.
    auto many = stored_lines(run(q7ls(file_ + " /grp/many")).out);
    ASSERT_EQ(many.size(), 1u);
    EXPECT_EQ(many[0].stored, "280 B");
    EXPECT_EQ(many[0].raw, "280 B");
    EXPECT_DOUBLE_EQ(many[0].ratio, 1.0);

    // Nothing stored: listed only with -v.
    EXPECT_TRUE(stored_lines(run(q7ls(file_ + " /empty")).out).empty());
    auto verbose = stored_lines(run(q7ls("-v " + file_ + " /empty")).out);
    ASSERT_EQ(verbose.size(), 1u);
    EXPECT_EQ(verbose[0].stored, "0 B");
    EXPECT_EQ(verbose[0].raw, "8.0 MiB");
    EXPECT_DOUBLE_EQ(verbose[0].ratio, 0.0);

    EXPECT_EQ(Q7Dget_storage_size(-1), 0u) << "a bad identifier gives 0";
}

} // namespace
