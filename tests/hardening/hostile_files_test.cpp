// Files from others must run no SQL of their author's, allocate nothing a
// damaged count asks for, never hang and never lose data.  Each row crafts
// one kind of hostile file from a file the library wrote (through SQLite,
// or beside it on disk), then opens and walks it through the library and
// runs q7ls and q7diff on it: each must end with its clear record or
// message, within its time bound.
#include "craft_sql.hpp"
#include "error_stack.hpp"
#include "quor7.h"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using q7test::program;
using q7test::TempDir;

using q7craft::sql;

// Chunks stored in a file, read through SQLite.
int chunk_rows(const std::string &file) {
    sqlite3 *db = nullptr;
    int n = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
        sqlite3_exec(
            db, "SELECT count(*) FROM chunks",
            [](void *out, int, char **v, char **) {
                *(int *)out = atoi(v[0]);
                return 0;
            },
            &n, nullptr);
    sqlite3_close(db);
    return n;
}

// A small file: a group "g", a chunked int dataset "d" of 64 elements in
// chunks of 16, all written, and an int attribute "a" of 4 elements on it.
void base_file(const std::string &file) {
    const q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    ASSERT_GE(Q7Gclose(Q7Gcreate2(f, "g", 0, 0, 0)), 0);
    q7size_t dims[1] = {64}, chunk[1] = {16}, adims[1] = {4};
    const q7id_t space = Q7Screate_simple(1, dims, nullptr), dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    ASSERT_GE(Q7Pset_chunk(dcpl, 1, chunk), 0);
    const q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT_g, space, 0, dcpl, 0);
    ASSERT_GE(d, 0);
    std::vector<int> values(64, 7);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, values.data()), 0);
    const q7id_t aspace = Q7Screate_simple(1, adims, nullptr);
    const q7id_t a = Q7Acreate2(d, "a", Q7T_NATIVE_INT_g, aspace, 0, 0);
    ASSERT_GE(a, 0);
    ASSERT_GE(Q7Awrite(a, Q7T_NATIVE_INT_g, values.data()), 0);
    Q7Aclose(a);
    Q7Sclose(aspace);
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    ASSERT_GE(Q7Fclose(f), 0);
}

// Opens every member of the root group, reads every attribute and every
// dataset of at most 2^20 elements.  Returns "" when all of it worked,
// else the error stack of the first failure.
std::string walk(const std::string &file, unsigned flags = Q7F_ACC_RDONLY) {
    Q7Eclear2(0);
    const q7id_t f = Q7Fopen(file.c_str(), flags, 0);
    if (f < 0) return q7test::error_text();
    std::vector<std::string> names;
    q7size_t idx = 0;
    std::string failure;
    if (Q7Literate2(f, &idx,
                    [](q7id_t, const char *name, const Q7L_info_t *, void *out) -> q7status_t {
                        static_cast<std::vector<std::string> *>(out)->push_back(name);
                        return 0;
                    },
                    &names) < 0)
        failure = q7test::error_text();
    for (const std::string &name : names) {
        if (!failure.empty()) break;
        const q7id_t o = Q7Oopen(f, name.c_str(), 0);
        if (o < 0) {
            failure = q7test::error_text();
            break;
        }
        std::vector<std::string> attrs;
        q7size_t aidx = 0;
        if (Q7Aiterate2(o, &aidx,
                        [](q7id_t, const char *name, void *out) -> q7status_t {
                            static_cast<std::vector<std::string> *>(out)->push_back(name);
                            return 0;
                        },
                        &attrs) < 0)
            failure = q7test::error_text();
        for (const std::string &an : attrs) {
            const q7id_t a = Q7Aopen(o, an.c_str(), 0);
            std::vector<char> buf(1 << 20);
            if (a < 0 || Q7Aread(a, Q7T_NATIVE_INT_g, buf.data()) < 0) failure = q7test::error_text();
            if (a >= 0) Q7Aclose(a);
            if (!failure.empty()) break;
        }
        if (failure.empty() && Q7Iget_type(o) == Q7I_DATASET) {
            const q7id_t s = Q7Dget_space(o);
            const q7ssize_t n = s < 0 ? -1 : Q7Sget_simple_extent_npoints(s);
            if (s >= 0) Q7Sclose(s);
            std::vector<int> buf(n > 0 && n <= (1 << 20) ? (size_t)n : 0);
            if (n < 0 || (!buf.empty() && Q7Dread(o, Q7T_NATIVE_INT_g, 0, 0, 0, buf.data()) < 0))
                failure = q7test::error_text();
        }
        Q7Oclose(o);
    }
    Q7Fclose(f);
    return failure;
}

struct Row {
    const char *what;
    std::function<void(const std::string &dir, const std::string &file)> craft;
    const char *says;  // in the library's record
    double seconds;    // bound on every run of this row
    // Whether q7ls -r and q7diff reach the fault and so must fail (with a
    // message); the tools follow no soft or external link, so for those
    // rows they need only end in time.
    bool tools_fail = true;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(HostileFiles, RefusedWithAClearRecordInBoundedTime) {
    const char *schema = "its SQL schema holds";
    const std::vector<Row> rows = {
        {"a view in place of a table (an endless recursive query)",
         [](auto &, auto &f) {
             sql(f, "ALTER TABLE settings RENAME TO s0;"
                    "CREATE VIEW settings(key, value) AS WITH RECURSIVE r(k, v) AS (SELECT 'root', 1 UNION ALL "
                    "SELECT k, zeroblob(400000000) FROM r) SELECT k, v FROM r;");
         },
         schema, 10},
        {"a trigger that deletes every chunk when a link is added",
         [](auto &, auto &f) { sql(f, "CREATE TRIGGER t AFTER INSERT ON links BEGIN DELETE FROM chunks; END;"); },
         schema, 10},
        {"a virtual table", [](auto &, auto &f) { sql(f, "CREATE VIRTUAL TABLE v USING fts4(x);"); }, schema, 10},
        {"a view over a table-valued pragma",
         [](auto &, auto &f) { sql(f, "CREATE VIEW p AS SELECT * FROM pragma_table_info('links');"); }, schema, 10},
        {"an extra table", [](auto &, auto &f) { sql(f, "CREATE TABLE extra(x);"); }, schema, 10},
        {"an extra index", [](auto &, auto &f) { sql(f, "CREATE INDEX li ON links(type);"); }, schema, 10},
        {"an attribute whose element count times size wraps to its stored bytes",
         // 2^62 + 4 elements of 4 bytes: 16 bytes modulo 2^64.
         [](auto &, auto &f) { sql(f, "UPDATE attributes SET dims = X'0400000000000040';"); },
         "do not match its 16 stored bytes", 10},
        {"a dataset extent of 2^32 x 2^32 elements (the count wraps to 0)",
         [](auto &, auto &f) {
             sql(f, "UPDATE datasets SET dims = X'00000000010000000000000001000000',"
                    " maxdims = X'FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF', chunk = X'10000000000000001000000000000000';");
         },
         "more elements than can be counted", 10},
        {"soft links fanning out (10^15 lookups without a budget)",
         [](auto &, auto &f) {
             // a0 names a1 ten times, a1 names a2 ten times, ... a14 the root.
             std::string text = "BEGIN;";
             for (int i = 0; i < 15; ++i) {
                 std::string value;
                 for (int k = 0; k < 10; ++k) value += i == 14 ? "/" : "/a" + std::to_string(i + 1);
                 text += "INSERT INTO links(parent, name, type, value) VALUES(1, 'a" + std::to_string(i) + "', 1, '" +
                         value + "');";
             }
             sql(f, text + "COMMIT;");
         },
         "soft or external links followed in one lookup", 10, false},
        {"a link name holding /",
         [](auto &, auto &f) { sql(f, "UPDATE links SET name = 'g/x' WHERE name = 'g';"); },
         "which is not a member name", 10},
        {"a link named ..", [](auto &, auto &f) { sql(f, "UPDATE links SET name = '..' WHERE name = 'g';"); },
         "which is not a member name", 10},
        {"an external link to a FIFO",
         [](auto &dir, auto &f) {
             ASSERT_EQ(mkfifo((dir + "/fifo.q7").c_str(), 0600), 0);
             sql(f, "INSERT INTO links(parent, name, type, value) VALUES(1, 'e', 64, CAST('fifo.q7' || char(0) || '/' "
                    "|| char(0) AS BLOB));");
         },
         "is not a regular file", 10, false},
    };
    const std::string ls = program("q7ls"), diff = program("q7diff");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string file = dir.file("hostile.q7");
        base_file(file);
        row.craft(dir.path().string(), file);
        if (HasFatalFailure()) return;
        const int chunks = chunk_rows(file);
        auto start = std::chrono::steady_clock::now();
        const std::string record = walk(file);
        EXPECT_NE(record.find(row.says), std::string::npos) << "record: " << record;
        EXPECT_LT(seconds_since(start), row.seconds);
        // Opened for writing (a writer adds a group), nothing is lost.
        Q7Eclear2(0);
        const q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDWR, 0);
        if (f >= 0) {
            const q7id_t g = Q7Gcreate2(f, "new", 0, 0, 0);
            if (g >= 0) Q7Gclose(g);
            Q7Fclose(f);
        }
        EXPECT_EQ(chunk_rows(file), chunks);
        for (const std::string &command : {ls + " -r " + file, diff + " " + file + " " + file}) {
            start = std::chrono::steady_clock::now();
            const q7test::CommandResult r = q7test::run("timeout 60 " + command);
            EXPECT_LT(seconds_since(start), row.seconds) << command;
            EXPECT_LT(r.status, 124) << command;  // neither timed out nor killed by a signal
            if (row.tools_fail) {
                EXPECT_NE(r.status, 0) << command << "\n" << r.out.substr(0, 400);
                EXPECT_NE(r.err.find("error"), std::string::npos) << command << "\n" << r.err.substr(0, 400);
            }
        }
    }
}

// A relative external link names the file beside the linking file, even
// when the current directory holds a file of the same name; a file found
// in neither place is looked for along QUOR7_EXTLINK_PREFIX.
TEST(HostileFiles, RelativeExternalLinkResolvesBesideTheLinkingFile) {
    TempDir dir;
    const std::filesystem::path here = dir.path() / "here", there = dir.path() / "there", shelf = dir.path() / "shelf";
    for (const auto &p : {here, there, shelf}) std::filesystem::create_directory(p);
    auto make = [](const std::filesystem::path &file, const char *group) {
        const q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
        ASSERT_GE(Q7Gclose(Q7Gcreate2(f, group, 0, 0, 0)), 0);
        ASSERT_GE(Q7Fclose(f), 0);
    };
    make(there / "target.q7", "beside");
    make(here / "target.q7", "decoy");  // where the user stands
    make(shelf / "only.q7", "shelved");
    const std::filesystem::path linking = there / "main.q7";
    {
        const q7id_t f = Q7Fcreate(linking.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
        ASSERT_GE(Q7Lcreate_external("target.q7", "/beside", f, "ext", 0, 0), 0);
        ASSERT_GE(Q7Lcreate_external("only.q7", "/shelved", f, "shelved", 0, 0), 0);
        ASSERT_GE(Q7Fclose(f), 0);
    }
    const std::filesystem::path start = std::filesystem::current_path();
    std::filesystem::current_path(here);
    const std::string rel = "../there/main.q7";
    ::unsetenv("QUOR7_EXTLINK_PREFIX");
    const q7id_t f = Q7Fopen(rel.c_str(), Q7F_ACC_RDONLY, 0);
    EXPECT_GE(f, 0) << q7test::error_text();
    const q7id_t g = Q7Oopen(f, "ext", 0);
    EXPECT_GE(g, 0) << q7test::error_text();
    if (g >= 0) Q7Oclose(g);
    EXPECT_LT(Q7Oopen(f, "shelved", 0), 0);  // not beside, and no search path
    Q7Fclose(f);
    ::setenv("QUOR7_EXTLINK_PREFIX", ("/nonexistent:" + shelf.string()).c_str(), 1);
    const q7id_t f2 = Q7Fopen(rel.c_str(), Q7F_ACC_RDONLY, 0);
    const q7id_t s = Q7Oopen(f2, "shelved", 0);
    EXPECT_GE(s, 0) << q7test::error_text();
    if (s >= 0) Q7Oclose(s);
    Q7Fclose(f2);
    ::unsetenv("QUOR7_EXTLINK_PREFIX");
    // The tools, run from the decoy's directory, follow the link to the same file.
    const q7test::CommandResult r = q7test::run("timeout 60 " + program("q7ls") + " -r " + rel);
    std::filesystem::current_path(start);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("decoy"), std::string::npos) << r.out;
}

} // namespace
