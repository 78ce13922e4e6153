// Files from others must not hang, crash or exhaust the tools: deep
// nesting, link names holding "/", huge sparse or wrapping extents and a
// wrapping attribute, each crafted into the SQLite tables of a file the
// library made, then run through q7ls, q7diff, q7repack and q7topng.  Each
// run must end with its clear message and exit status within its time
// bound; the deep walks also within a small stack, and in time linear in
// the nesting (5,000 levels against 500).
#include "craft_sql.hpp"
#include "q7tools.h"
#include "quor7.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using q7test::program;
using q7test::TempDir;

// The deepest nesting the tools walk (kMaxWalkDepth of the tools runtime).
constexpr int kWalkLimit = 8192;

using q7craft::sql;

void empty_file(const std::string &file) {
    const q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    ASSERT_GE(Q7Fclose(f), 0);
}

// A chain of `depth` groups, each named "g", below the root group.
void nested(const std::string &file, int depth) {
    empty_file(file);
    std::string text = "BEGIN;";
    for (int i = 0; i < depth; ++i)
        text += "INSERT INTO objects(kind, nlinks) VALUES (0, 1);"
                "INSERT INTO links(parent, name, type, target) VALUES ("
                + std::string(i == 0 ? "(SELECT value FROM settings WHERE key = 'root')" : "last_insert_rowid() - 1") +
                ", 'g', 0, last_insert_rowid());";
    sql(file, text + "COMMIT;");
}

// A 1-D int dataset "d" of 64 elements in chunks of 16, chunks 0 and 2
// written (with `first` as its first value), its extent then set to
// `dims` (unsigned 64-bit little-endian numbers as SQL hex).
void chunked(const std::string &file, int first, const std::string &dims_hex, const std::string &maxdims_hex) {
    const q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    q7size_t dims[1] = {64}, maxdims[1] = {Q7S_UNLIMITED}, chunk[1] = {16};
    const q7id_t space = Q7Screate_simple(1, dims, maxdims), dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    ASSERT_GE(Q7Pset_chunk(dcpl, 1, chunk), 0);
    const q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT_g, space, 0, dcpl, 0);
    ASSERT_GE(d, 0);
    std::vector<int> values(16, 7);
    values[0] = first;
    for (q7size_t at : {q7size_t{0}, q7size_t{32}}) {
        q7size_t start[1] = {at}, count[1] = {16};
        const q7id_t fs = Q7Dget_space(d), ms = Q7Screate_simple(1, count, nullptr);
        ASSERT_GE(Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr), 0);
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs, 0, values.data()), 0);
        Q7Sclose(ms);
        Q7Sclose(fs);
    }
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    ASSERT_GE(Q7Fclose(f), 0);
    sql(file, "UPDATE datasets SET dims = X'" + dims_hex + "', maxdims = X'" + maxdims_hex + "';");
}

// An 8-bit image with its palette, the palette list then claiming
// 2^61 + 1 elements of 8 bytes: their byte count wraps to 8.
void wrapping_palette_list(const std::string &file) {
    const q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    std::vector<unsigned char> pixels(4 * 3, 1), colours(4 * 3, 200);
    const q7size_t pal_dims[2] = {4, 3};
    ASSERT_GE(Q7IMmake_image_8bit(f, "image", 4, 3, pixels.data()), 0);
    ASSERT_GE(Q7IMmake_palette(f, "palette", pal_dims, colours.data()), 0);
    ASSERT_GE(Q7IMlink_palette(f, "image", "palette"), 0);
    ASSERT_GE(Q7Fclose(f), 0);
    sql(file, "UPDATE attributes SET dims = X'0100000000000020' WHERE name = 'Q7IM_PALETTES';");
}

struct Row {
    const char *what;
    std::string command;  // run with a 60 s timeout around the program
    int status;
    const char *says;     // text expected in standard output or error
    double seconds;       // time bound of the run
    int baseline = -1;    // row whose time this one may exceed at most kLinearRatio times
};

// 10 times the objects: about 10 times the time when the walk is linear,
// about 100 times when it is quadratic (as before: 0.47 s against 59 s).
constexpr double kLinearRatio = 40;

double timed_run(const std::string &command, q7test::CommandResult &result) {
    const auto start = std::chrono::steady_clock::now();
    result = q7test::run(command);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(HostileWalks, ToolsEndCleanlyInBoundedTimeAndStack) {
    TempDir dir;
    const std::string n500 = dir.file("n500.q7"), n5000 = dir.file("n5000.q7"), deep = dir.file("deep.q7");
    nested(n500, 500);
    nested(n5000, 5000);
    nested(deep, kWalkLimit + 1);
    // A hard link named "s3/x" beside the group "s3", whose member "x"
    // leads back to the root: looked up as a path, the name reaches the
    // root again.
    const std::string slash = dir.file("slash.q7");
    empty_file(slash);
    sql(slash,
        "INSERT INTO objects(kind, nlinks) VALUES (0, 2);"
        "INSERT INTO links VALUES (1, 's3', 0, last_insert_rowid(), NULL);"
        "INSERT INTO links VALUES (1, 's3/x', 0, (SELECT max(addr) FROM objects), NULL);"
        "INSERT INTO links VALUES ((SELECT max(addr) FROM objects), 'x', 0, 1, NULL);"
        "UPDATE objects SET nlinks = 2 WHERE addr = 1;");
    // 2^62 elements, two chunks stored; the two files differ in one value.
    const std::string sparse1 = dir.file("sparse1.q7"), sparse2 = dir.file("sparse2.q7");
    chunked(sparse1, 1, "0000000000000040", "FFFFFFFFFFFFFFFF");
    chunked(sparse2, 2, "0000000000000040", "FFFFFFFFFFFFFFFF");
    // 2^32 x 2^32 elements: the count wraps to 0.
    const std::string wrap1 = dir.file("wrap1.q7"), wrap2 = dir.file("wrap2.q7");
    chunked(wrap1, 1, "00000000010000000000000001000000", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    chunked(wrap2, 2, "00000000010000000000000001000000", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    sql(wrap1, "UPDATE datasets SET chunk = X'10000000000000001000000000000000';");
    sql(wrap2, "UPDATE datasets SET chunk = X'10000000000000001000000000000000';");
    const std::string image = dir.file("image.q7");
    wrapping_palette_list(image);
    if (HasFatalFailure()) return;

    const std::string ls = program("q7ls"), diff = program("q7diff"), repack = program("q7repack"),
                      topng = program("q7topng");
    // The deep walks run with a 128 KiB stack: a walk recursing per level
    // overflows it.
    const std::string small_stack = "ulimit -s 128 && ";
    const std::string out = dir.file("out.q7");
    const char *too_deep = "nesting this deep is refused";
    const char *bad_name = "which is not a member name";
    const char *uncountable = "more elements than can be counted";
    const std::vector<Row> rows = {
        {"q7ls -r, 500 levels", ls + " -r " + n500, 0, "/g/g/g", 20},
        {"q7ls -r, 5000 levels, small stack", small_stack + ls + " -r " + n5000, 0, "/g/g/g", 60, 0},
        {"q7diff, 500 levels", diff + " " + n500 + " " + n500, 0, "0 differences found", 20},
        {"q7diff, 5000 levels, small stack", small_stack + diff + " " + n5000 + " " + n5000, 0,
         "0 differences found", 60, 2},
        {"q7repack, 5000 levels, small stack", small_stack + repack + " " + n5000 + " " + out, 0, "0 datasets", 60},
        {"q7ls -r past the depth limit", small_stack + ls + " -r " + deep, 1, too_deep, 60},
        {"q7diff past the depth limit", small_stack + diff + " " + deep + " " + deep, 2, too_deep, 60},
        {"q7repack past the depth limit", small_stack + repack + " --force " + deep + " " + out, 2, too_deep, 60},
        {"q7ls, link named with /", ls + " " + slash, 1, bad_name, 10},
        {"q7ls -r, link named with /", ls + " -r " + slash, 1, bad_name, 10},
        {"q7diff, link named with /", diff + " " + slash + " " + slash, 2, bad_name, 10},
        {"q7repack, link named with /", repack + " --force " + slash + " " + out, 2, bad_name, 10},
        {"q7diff, 2^62 sparse elements", diff + " " + sparse1 + " " + sparse2, 1, "/d[0]: 1 vs 2", 10},
        {"q7repack --filter, 2^62 sparse elements",
         repack + " --force --verify --filter deflate " + sparse1 + " " + out, 0, "equals", 10},
        {"q7diff, 2^32 x 2^32 elements", diff + " " + wrap1 + " " + wrap2, 2, uncountable, 10},
        {"q7repack, 2^32 x 2^32 elements", repack + " --force " + wrap1 + " " + out, 2, uncountable, 10},
        {"q7topng, palette list of a wrapping size", topng + " " + image + " image " + dir.file("o.png"), 1,
         "not an image", 10},
    };
    std::vector<double> times(rows.size(), 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.what);
        q7test::CommandResult r;
        // The best of two runs for rows taking part in a ratio.
        const bool ratio = row.baseline >= 0 || std::any_of(rows.begin(), rows.end(), [&](const Row &o) {
                               return o.baseline == static_cast<int>(i);
                           });
        times[i] = timed_run("timeout 60 sh -c '" + row.command + "'", r);
        if (ratio) {
            q7test::CommandResult again;
            times[i] = std::min(times[i], timed_run("timeout 60 sh -c '" + row.command + "'", again));
        }
        EXPECT_EQ(r.status, row.status) << r.err.substr(0, 400);
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos)
            << "expected \"" << row.says << "\" in: " << r.err.substr(0, 400) << r.out.substr(0, 400);
        EXPECT_LT(times[i], row.seconds);
        if (row.baseline >= 0) {
            EXPECT_LT(times[i], kLinearRatio * times[row.baseline])
                << times[i] << " s against " << times[row.baseline] << " s for a tenth of the levels";
        }
    }
    // A refused or failed repack leaves no file behind, its temporary file included.
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".q7repack-"), std::string::npos) << entry.path();
}

} // namespace
