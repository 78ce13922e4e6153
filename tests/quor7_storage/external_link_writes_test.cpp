// Creating and deleting through an external link: the change lands in the
// file that holds the parent group, whole, or is refused with nothing
// written in either file.
#include "storage_test_util.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <map>

using namespace q7st;

namespace {

// Every row of the tables that hold a file's contents, read with SQLite
// itself rather than through the library, so that a row written under the
// wrong parent (unreachable by any path) still shows.
using Tables = std::map<std::string, std::vector<std::string>>;

Tables read_tables(const std::string &path) {
    Tables out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << path << " with SQLite";
        sqlite3_close(db);
        return out;
    }
    for (const char *table : {"objects", "links", "datasets", "filters", "chunks", "attributes"}) {
        std::string sql = std::string("SELECT * FROM ") + table;
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << path << ": " << sqlite3_errmsg(db);
            continue;
        }
        auto &rows = out[table];
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const void *p = sqlite3_column_blob(s, i);
                row += std::string(p ? (const char *)p : "<null>", p ? (size_t)sqlite3_column_bytes(s, i) : 6);
                row += '|';
            }
            rows.push_back(row);
        }
        sqlite3_finalize(s);
        std::sort(rows.begin(), rows.end());
    }
    sqlite3_close(db);
    return out;
}

long rows_added(const Tables &before, const Tables &after, const char *table) {
    return (long)after.at(table).size() - (long)before.at(table).size();
}

Q7O_info2_t info(q7id_t loc, const char *path) {
    Q7O_info2_t i{};
    EXPECT_GE(Q7Oget_info_by_name2(loc, path, &i, Q7O_INFO_ALL, 0), 0) << path << "\n" << error_text();
    return i;
}

// The same object is reached as a:/ext/<rest> and as b:/sub/<rest>.
void same_object(q7id_t a, q7id_t b, const std::string &rest) {
    Q7O_info2_t via_a = info(a, ("ext/" + rest).c_str()), via_b = info(b, ("/sub/" + rest).c_str());
    EXPECT_EQ(via_a.addr, via_b.addr) << rest;
    EXPECT_EQ(via_a.fileno, via_b.fileno) << rest;
}

std::vector<int> read_ints(q7id_t loc, const char *path) {
    q7id_t d = Q7Dopen2(loc, path, 0);
    EXPECT_GE(d, 0) << path << "\n" << error_text();
    if (d < 0) return {};
    std::vector<int> v(extent(d).at(0));
    EXPECT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    Q7Dclose(d);
    return v;
}

int link_type(q7id_t loc, const char *path) {
    Q7L_info_t li{};
    if (Q7Lget_info(loc, path, &li, 0) < 0) return Q7L_TYPE_ERROR;
    return li.type;
}

class ExternalLinkWrites : public StorageTest {};

TEST_F(ExternalLinkWrites, ChangesLandInTheFileHoldingTheParentOrNowhere) {
    struct Paths {
        std::string a, b, c;
    };
    struct Row {
        const char *what;
        bool read_only;  // file a opened read-only
        // A fault point of the library armed for the call: it fails one of
        // the call's later steps, so that a change is seen to be undone
        // whole.  (A file's own triggers no longer run: files with any are
        // refused.)
        const char *fault;
        // The call on file a; true when it succeeded.  Identifiers it gets
        // back are used and closed here.
        std::function<bool(q7id_t a, const Paths &)> call;
        const char *refusal;  // the record of a refused call; null when it must succeed
        long objects, links, attributes;  // rows added to file b's tables
        // Checks through fresh opens of both files.
        std::function<void(q7id_t a, q7id_t b, const Paths &)> check;
    };
    auto none = [](q7id_t, q7id_t, const Paths &) {};
    const std::vector<Row> rows = {
        {"group", false, nullptr,
         [](q7id_t a, const Paths &p) {
             q7id_t g = Q7Gcreate2(a, "ext/new", 0, 0, 0);
             if (g < 0) return false;
             // The identifier stands for the group in b: a group made
             // through it lands there too.
             char file[512] = "";
             Q7Fget_name(g, file, sizeof file);
             EXPECT_EQ(std::string(file), p.b);
             EXPECT_GE(Q7Gclose(Q7Gcreate2(g, "child", 0, 0, 0)), 0) << error_text();
             Q7Gclose(g);
             return true;
         },
         nullptr, 2, 2, 0,
         [](q7id_t a, q7id_t b, const Paths &) {
             EXPECT_EQ(Q7Lexists(a, "ext/new/child", 0), 1);
             same_object(a, b, "new");
             same_object(a, b, "new/child");
             EXPECT_EQ(info(b, "/sub/new").type, Q7O_TYPE_GROUP);
         }},
        {"dataset", false, nullptr,
         [](q7id_t a, const Paths &p) {
             q7id_t sp = space({3});
             q7id_t d = Q7Dcreate2(a, "ext/new", Q7T_NATIVE_INT_g, sp, 0, 0, 0);
             Q7Sclose(sp);
             if (d < 0) return false;
             char file[512] = "";
             Q7Fget_name(d, file, sizeof file);
             EXPECT_EQ(std::string(file), p.b);
             int v[3] = {7, 8, 9};
             EXPECT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v), 0) << error_text();
             Q7Dclose(d);
             return true;
         },
         nullptr, 1, 1, 0,
         [](q7id_t a, q7id_t b, const Paths &) {
             EXPECT_EQ(read_ints(b, "/sub/new"), (std::vector<int>{7, 8, 9}));
             EXPECT_EQ(read_ints(a, "ext/new"), (std::vector<int>{7, 8, 9}));
             same_object(a, b, "new");
         }},
        {"soft link", false, nullptr,
         [](q7id_t a, const Paths &) { return Q7Lcreate_soft("/sub/target", a, "ext/new", 0, 0) >= 0; }, nullptr, 0,
         1, 0,
         [](q7id_t a, q7id_t b, const Paths &) {
             EXPECT_EQ(link_type(b, "/sub/new"), Q7L_TYPE_SOFT);
             // Its path is followed in b, the file holding it.
             EXPECT_EQ(read_ints(a, "ext/new"), (std::vector<int>{1, 2, 3, 4}));
             same_object(a, b, "new");
         }},
        {"external link", false, nullptr,
         [](q7id_t a, const Paths &p) { return Q7Lcreate_external(p.c.c_str(), "/x", a, "ext/new", 0, 0) >= 0; },
         nullptr, 0, 1, 0,
         [](q7id_t a, q7id_t b, const Paths &p) {
             EXPECT_EQ(link_type(b, "/sub/new"), Q7L_TYPE_EXTERNAL);
             same_object(a, b, "new");
             q7id_t c = Q7Fopen(p.c.c_str(), Q7F_ACC_RDONLY, 0);
             EXPECT_EQ(info(a, "ext/new").addr, info(c, "/x").addr);
             EXPECT_EQ(info(a, "ext/new").fileno, info(c, "/x").fileno);
             Q7Fclose(c);
         }},
        {"hard link within b", false, nullptr,
         [](q7id_t a, const Paths &) { return Q7Lcreate_hard(a, "ext/target", a, "ext/new", 0, 0) >= 0; }, nullptr, 0,
         1, 0,
         [](q7id_t a, q7id_t b, const Paths &) {
             EXPECT_EQ(link_type(b, "/sub/new"), Q7L_TYPE_HARD);
             EXPECT_EQ(info(b, "/sub/new").addr, info(b, "/sub/target").addr);
             EXPECT_EQ(info(b, "/sub/target").rc, 2u);
             same_object(a, b, "new");
         }},
        {"hard link from b to an object of a", false, nullptr,
         [](q7id_t a, const Paths &) { return Q7Lcreate_hard(a, "local", a, "ext/new", 0, 0) >= 0; },
         "a hard link cannot join two files", 0, 0, 0, none},
        {"hard link from a to an object of b", false, nullptr,
         [](q7id_t a, const Paths &) { return Q7Lcreate_hard(a, "ext/target", a, "new", 0, 0) >= 0; },
         "a hard link cannot join two files", 0, 0, 0, none},
        {"group under a name taken in b", false, nullptr,
         [](q7id_t a, const Paths &) {
             q7id_t g = Q7Gcreate2(a, "ext/target", 0, 0, 0);
             if (g < 0) return false;
             Q7Gclose(g);
             return true;
         },
         "already exists", 0, 0, 0, none},
        {"group through a read-only file", true, nullptr,
         [](q7id_t a, const Paths &) {
             q7id_t g = Q7Gcreate2(a, "ext/new", 0, 0, 0);
             if (g < 0) return false;
             Q7Gclose(g);
             return true;
         },
         "read-only", 0, 0, 0, none},
        {"delete a group and what it holds", false, nullptr,
         [](q7id_t a, const Paths &) { return Q7Ldelete(a, "ext/box", 0) >= 0; }, nullptr, -2, -2, -1,
         [](q7id_t a, q7id_t b, const Paths &) {
             EXPECT_EQ(Q7Lexists(b, "/sub/box", 0), 0);
             EXPECT_EQ(Q7Lexists(a, "ext/box", 0), 0);
             EXPECT_EQ(read_ints(a, "ext/target"), (std::vector<int>{1, 2, 3, 4}));
         }},
        {"delete failing part way", false,
         "storage:release-object",
         [](q7id_t a, const Paths &) { return Q7Ldelete(a, "ext/box", 0) >= 0; }, "injected fault", 0, 0, 0,
         [](q7id_t a, q7id_t b, const Paths &) {
             EXPECT_EQ(Q7Lexists(a, "ext/box/inner", 0), 1);
             same_object(a, b, "box/inner");
         }},
        {"hard link within b failing part way", false,
         "storage:link-count",
         [](q7id_t a, const Paths &) { return Q7Lcreate_hard(a, "ext/target", a, "ext/new", 0, 0) >= 0; },
         "injected fault", 0, 0, 0, none},
        {"delete a missing link", false, nullptr, [](q7id_t a, const Paths &) { return Q7Ldelete(a, "ext/none", 0) >= 0; },
         "not found", 0, 0, 0, none},
        {"attribute on a group opened through the link", false, nullptr,
         [](q7id_t a, const Paths &) {
             q7id_t g = Q7Gopen2(a, "ext", 0);
             q7id_t sp = space({1});
             q7id_t at = Q7Acreate2(g, "added", Q7T_NATIVE_INT_g, sp, 0, 0);
             Q7Aclose(at);
             Q7Sclose(sp);
             Q7Gclose(g);
             return at >= 0;
         },
         nullptr, 0, 0, 1,
         [](q7id_t, q7id_t b, const Paths &) {
             q7id_t g = Q7Gopen2(b, "/sub", 0);
             EXPECT_EQ(Q7Aexists(g, "added"), 1);
             Q7Gclose(g);
         }},
        {"attribute deleted through the link", false, nullptr,
         [](q7id_t a, const Paths &) {
             q7id_t g = Q7Gopen2(a, "ext", 0);
             q7status_t r = Q7Adelete(g, "note");
             Q7Gclose(g);
             return r >= 0;
         },
         nullptr, 0, 0, -1,
         [](q7id_t, q7id_t b, const Paths &) {
             q7id_t g = Q7Gopen2(b, "/sub", 0);
             EXPECT_EQ(Q7Aexists(g, "note"), 0);
             Q7Gclose(g);
         }},
    };

    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.what);
        std::string n = std::to_string(i);
        Paths p{dir.file("a" + n + ".q7"), dir.file("b" + n + ".q7"), dir.file("c" + n + ".q7")};

        // c: /x.  b: /sub holding dataset "target", group "box" (with an
        // attribute and a dataset), attribute "note".  a: group "local" and
        // "ext" -> b:/sub.
        q7id_t c = Q7Fcreate(p.c.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(c, 0);
        Q7Gclose(Q7Gcreate2(c, "x", 0, 0, 0));
        Q7Fclose(c);
        q7id_t b = Q7Fcreate(p.b.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(b, 0);
        q7id_t sub = Q7Gcreate2(b, "sub", 0, 0, 0);
        q7id_t sp = space({4});
        q7id_t d = Q7Dcreate2(b, "/sub/target", Q7T_NATIVE_INT_g, sp, 0, 0, 0);
        int v[4] = {1, 2, 3, 4};
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v), 0);
        Q7Dclose(d);
        q7id_t box = Q7Gcreate2(b, "/sub/box", 0, 0, 0);
        ASSERT_GE(Q7Aclose(Q7Acreate2(box, "tag", Q7T_NATIVE_INT_g, sp, 0, 0)), 0);
        Q7Gclose(box);
        Q7Dclose(Q7Dcreate2(b, "/sub/box/inner", Q7T_NATIVE_INT_g, sp, 0, 0, 0));
        ASSERT_GE(Q7Aclose(Q7Acreate2(sub, "note", Q7T_NATIVE_INT_g, sp, 0, 0)), 0);
        Q7Gclose(sub);
        Q7Sclose(sp);
        ASSERT_GE(Q7Fclose(b), 0);
        q7id_t a = Q7Fcreate(p.a.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(a, 0);
        Q7Gclose(Q7Gcreate2(a, "local", 0, 0, 0));
        ASSERT_GE(Q7Lcreate_external(p.b.c_str(), "/sub", a, "ext", 0, 0), 0);
        ASSERT_GE(Q7Fclose(a), 0);
        Tables a_before = read_tables(p.a), b_before = read_tables(p.b);

        a = Q7Fopen(p.a.c_str(), row.read_only ? Q7F_ACC_RDONLY : Q7F_ACC_RDWR, 0);
        ASSERT_GE(a, 0);
        if (row.fault) Q7fault_arm(row.fault, 1, 1);
        bool ok = row.call(a, p);
        if (row.fault) Q7fault_disarm(row.fault);
        std::string errors = error_text();
        ASSERT_GE(Q7Fclose(a), 0);
        if (row.refusal) {
            EXPECT_FALSE(ok) << "the call must be refused";
            EXPECT_NE(errors.find(row.refusal), std::string::npos) << errors;
        } else {
            EXPECT_TRUE(ok) << errors;
        }

        Tables a_after = read_tables(p.a), b_after = read_tables(p.b);
        EXPECT_EQ(a_after, a_before) << "nothing may change in the file holding the link";
        EXPECT_EQ(rows_added(b_before, b_after, "objects"), row.objects);
        EXPECT_EQ(rows_added(b_before, b_after, "links"), row.links);
        EXPECT_EQ(rows_added(b_before, b_after, "attributes"), row.attributes);
        if (row.refusal) {
            EXPECT_EQ(b_after, b_before) << "a refused call writes nothing";
        }

        a = Q7Fopen(p.a.c_str(), Q7F_ACC_RDONLY, 0);
        b = Q7Fopen(p.b.c_str(), Q7F_ACC_RDONLY, 0);
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        if (row.refusal) {
            EXPECT_EQ(Q7Lexists(a, "ext/new", 0), 0);
        }
        row.check(a, b, p);
        Q7Fclose(b);
        Q7Fclose(a);
    }
}

} // namespace
