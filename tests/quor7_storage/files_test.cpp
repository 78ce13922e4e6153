// Files, groups, links, objects and attributes.
#include "storage_test_util.hpp"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <set>

using namespace q7st;

namespace {

class Files : public StorageTest {};

TEST_F(Files, CreateFlagsReplaceOrRefuseAnExistingFile) {
    std::string name = dir.file("a.q7");
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_EXCL, 0, 0);
    ASSERT_GE(f, 0);
    ASSERT_GE(Q7Gclose(Q7Gcreate2(f, "g", 0, 0, 0)), 0);
    ASSERT_GE(Q7Fclose(f), 0);

    EXPECT_LT(Q7Fcreate(name.c_str(), Q7F_ACC_EXCL, 0, 0), 0);
    EXPECT_NE(error_text().find("already exists"), std::string::npos);
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    EXPECT_EQ(Q7Lexists(f, "g", 0), 1) << "a refused create must leave the file alone";
    Q7Fclose(f);

    f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    EXPECT_EQ(Q7Lexists(f, "g", 0), 0) << "flag 2 creates the file anew";
    // Replacing a file that is open here would pull it from under its user.
    EXPECT_LT(Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0), 0);
    Q7Fclose(f);
    EXPECT_LT(Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC | Q7F_ACC_EXCL, 0, 0), 0);
}

TEST_F(Files, ForeignTruncatedAndMissingFilesAreRefusedWithARecord) {
    std::string foreign = dir.file("foreign.q7");
    std::ofstream(foreign) << "just some text, long enough to look like a header of something else entirely, "
                              "but not a database at all.\n";
    EXPECT_LT(Q7Fopen(foreign.c_str(), Q7F_ACC_RDONLY, 0), 0);
    EXPECT_NE(error_text().find("not a Quor7 file: " + foreign), std::string::npos) << error_text();
    EXPECT_EQ(Q7Fis_accessible(foreign.c_str(), 0), 0);

    // A database of someone else: right engine, wrong application.
    std::string other = dir.file("other.db");
    ASSERT_EQ(q7test::run("sqlite3 " + other + " 'CREATE TABLE t(x); INSERT INTO t VALUES(1);' 2>/dev/null || "
                          "python3 -c \"import sqlite3; c=sqlite3.connect('" + other +
                          "'); c.execute('CREATE TABLE t(x)'); c.commit()\"")
                  .status,
              0);
    EXPECT_LT(Q7Fopen(other.c_str(), Q7F_ACC_RDONLY, 0), 0);
    EXPECT_NE(error_text().find("not a Quor7 file"), std::string::npos) << error_text();

    // A real file cut short.
    std::string good = dir.file("good.q7");
    q7id_t f = Q7Fcreate(good.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t sp = space({100000});
    q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT_g, sp, 0, 0, 0);
    std::vector<int> v(100000, 42);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    Q7Dclose(d);
    Q7Sclose(sp);
    ASSERT_GE(Q7Fclose(f), 0);
    std::string bytes = q7test::read_file(good);
    std::string cut = dir.file("cut.q7");
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    EXPECT_LT(Q7Fopen(cut.c_str(), Q7F_ACC_RDONLY, 0), 0);
    EXPECT_NE(error_text().find("not a Quor7 file: " + cut), std::string::npos) << error_text();
    EXPECT_EQ(Q7Fis_accessible(cut.c_str(), 0), 0);
    EXPECT_EQ(Q7Fis_accessible(good.c_str(), 0), 1);

    std::string missing = dir.file("missing.q7");
    EXPECT_LT(Q7Fopen(missing.c_str(), Q7F_ACC_RDWR, 0), 0);
    EXPECT_NE(error_text().find(missing), std::string::npos);
    EXPECT_LT(Q7Fis_accessible(missing.c_str(), 0), 0);
    std::ifstream probe(missing);
    EXPECT_FALSE(probe.good()) << "opening a missing file must not create it";
    EXPECT_LT(Q7Fopen(dir.path().c_str(), Q7F_ACC_RDONLY, 0), 0);
}

// Records damaged behind the library's back are refused, not trusted.
TEST_F(Files, DamagedRecordsAreRefusedWithARecord) {
    std::string name = dir.file("damaged.q7");
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t sp = space({6});
    for (const char *n : {"bad_type", "bad_dims", "huge", "fine"}) Q7Dclose(Q7Dcreate2(f, n, Q7T_NATIVE_INT_g, sp, 0, 0, 0));
    Q7Sclose(sp);
    ASSERT_GE(Q7Fclose(f), 0);
    auto sql = [&](const std::string &q) {
        auto r = q7test::run("sqlite3 " + name + " \"" + q + "\"");
        ASSERT_EQ(r.status, 0) << r.err;
    };
    auto addr = [&](const char *link) {
        return "(SELECT target FROM links WHERE name = '" + std::string(link) + "')";
    };
    sql("UPDATE datasets SET type = X'FF' WHERE addr = " + addr("bad_type"));
    sql("UPDATE datasets SET dims = X'010203' WHERE addr = " + addr("bad_dims"));
    // 2^62 elements of 4 bytes: no writer could have stored that.
    sql("UPDATE datasets SET dims = X'0000000000000040', maxdims = X'0000000000000040' WHERE addr = " + addr("huge"));

    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0);
    for (const char *n : {"bad_type", "bad_dims", "huge"}) {
        EXPECT_LT(Q7Dopen2(f, n, 0), 0) << n;
        EXPECT_NE(error_text().find("damaged"), std::string::npos) << n << ": " << error_text();
    }
    q7id_t d = Q7Dopen2(f, "fine", 0);
    EXPECT_GE(d, 0) << "the rest of the file stays usable";
    Q7Dclose(d);
    Q7Fclose(f);

    sql("DELETE FROM settings");
    EXPECT_LT(Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0), 0);
    EXPECT_NE(error_text().find("no root group"), std::string::npos) << error_text();
}

TEST_F(Files, ReadOnlyFilesRefuseChangesAndNamesAreReported) {
    std::string name = dir.file("ro.q7");
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    Q7Gclose(Q7Gcreate2(f, "g", 0, 0, 0));
    Q7Fclose(f);
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0);
    EXPECT_LT(Q7Gcreate2(f, "h", 0, 0, 0), 0);
    EXPECT_NE(error_text().find("read-only"), std::string::npos);
    EXPECT_LT(Q7Ldelete(f, "g", 0), 0);
    q7id_t g = Q7Gopen2(f, "/g", 0);
    char buf[64];
    EXPECT_EQ(Q7Fget_name(g, buf, sizeof buf), (q7ssize_t)name.size());
    EXPECT_EQ(std::string(buf), name.substr(0, 63));
    EXPECT_EQ(Q7Iget_name(g, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "/g");
    EXPECT_EQ(Q7Iget_name(g, buf, 2), 2) << "the full length is returned even when cut";
    EXPECT_STREQ(buf, "/");
    q7id_t f2 = Q7Iget_file_id(g);
    EXPECT_EQ(Q7Iget_type(f2), Q7I_FILE);
    EXPECT_GE(Q7Fclose(f2), 0);
    Q7Gclose(g);
    EXPECT_GE(Q7Fflush(f), 0);
    EXPECT_GE(Q7Fclose(f), 0);
    EXPECT_LT(Q7Fclose(f), 0) << "a closed identifier is refused";
    // Reading leaves nothing beside the file once it is closed.
    std::vector<std::string> left;
    for (auto &e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"ro.q7"});
}

TEST_F(Files, InjectedFaultsFailCleanly) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    std::string name = dir.file("fault.q7");
    Q7fault_arm("Q7Fcreate", 1, 1);
    EXPECT_LT(Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0), 0);
    EXPECT_NE(error_text().find("Q7Fcreate"), std::string::npos);
    EXPECT_LT(Q7Fis_accessible(name.c_str(), 0), 0) << "a faulted create leaves no file";
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0);
    Q7fault_arm("Q7Fclose", 1, 1);
    EXPECT_LT(Q7Fclose(f), 0);
    EXPECT_EQ(Q7Iis_valid(f), 1) << "a faulted close leaves the file open";
    EXPECT_GE(Q7Fclose(f), 0);
    Q7fault_clear();
}

class Links : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        name = dir.file("links.q7");
        f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
    }
    void TearDown() override {
        Q7Fclose(f);
        StorageTest::TearDown();
    }
    Q7O_info2_t info(q7id_t loc, const char *path) {
        Q7O_info2_t i{};
        EXPECT_GE(Q7Oget_info_by_name2(loc, path, &i, Q7O_INFO_ALL, 0), 0) << path << "\n" << error_text();
        return i;
    }
    std::string name;
    q7id_t f = -1;
};

TEST_F(Links, PathsAbsoluteAndRelativeReachTheSameObjects) {
    q7id_t a = Q7Gcreate2(f, "a", 0, 0, 0);
    q7id_t b = Q7Gcreate2(a, "b", 0, 0, 0);
    ASSERT_GE(b, 0);
    q7id_t c = Q7Gcreate2(f, "/a/b/c", 0, 0, 0);
    ASSERT_GE(c, 0);
    EXPECT_LT(Q7Gcreate2(f, "x/y", 0, 0, 0), 0) << "missing intermediate group";
    EXPECT_LT(Q7Gcreate2(f, "a", 0, 0, 0), 0) << "name taken";
    EXPECT_NE(error_text().find("already exists"), std::string::npos);

    Q7O_info2_t root = info(f, "/"), viaRel = info(a, "b/c"), viaAbs = info(f, "/a//b/./c");
    EXPECT_EQ(viaRel.addr, viaAbs.addr);
    EXPECT_NE(root.addr, viaAbs.addr);
    std::set<q7addr_t> addrs{root.addr, info(f, "a").addr, info(f, "a/b").addr, viaAbs.addr};
    EXPECT_EQ(addrs.size(), 4u);
    for (q7addr_t x : addrs) {
        EXPECT_NE(x, 0u);
        EXPECT_NE(x, Q7_ADDR_UNDEF);
    }
    EXPECT_EQ(root.type, Q7O_TYPE_GROUP);
    EXPECT_EQ(root.fileno, viaAbs.fileno);
    char buf[32];
    Q7Iget_name(c, buf, sizeof buf);
    EXPECT_STREQ(buf, "/a/b/c");
    Q7Gclose(a);
    Q7Gclose(b);
    Q7Gclose(c);

    // Addresses stay the same across a reopen.
    q7addr_t before = info(f, "a/b").addr;
    Q7Fclose(f);
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDWR, 0);
    EXPECT_EQ(info(f, "a/b").addr, before);
}

TEST_F(Links, SoftExternalAndHardLinks) {
    Q7Gclose(Q7Gcreate2(f, "data", 0, 0, 0));
    q7id_t sp = space({4});
    q7id_t d = Q7Dcreate2(f, "data/v", Q7T_NATIVE_INT_g, sp, 0, 0, 0);
    int vals[4] = {1, 2, 3, 4};
    Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, vals);
    Q7Dclose(d);

    ASSERT_GE(Q7Lcreate_soft("/data/v", f, "soft", 0, 0), 0);
    ASSERT_GE(Q7Lcreate_soft("nowhere", f, "dangling", 0, 0), 0);
    ASSERT_GE(Q7Lcreate_hard(f, "data/v", f, "hard", 0, 0), 0);

    // An external link into a second file.
    std::string other = dir.file("other.q7");
    q7id_t f2 = Q7Fcreate(other.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d2 = Q7Dcreate2(f2, "w", Q7T_NATIVE_INT_g, sp, 0, 0, 0);
    int other_vals[4] = {9, 8, 7, 6};
    Q7Dwrite(d2, Q7T_NATIVE_INT_g, 0, 0, 0, other_vals);
    Q7Dclose(d2);
    Q7Fclose(f2);
    ASSERT_GE(Q7Lcreate_external(other.c_str(), "/w", f, "ext", 0, 0), 0);

    Q7L_info_t li;
    ASSERT_GE(Q7Lget_info(f, "soft", &li, 0), 0);
    EXPECT_EQ(li.type, Q7L_TYPE_SOFT);
    EXPECT_EQ(li.val_size, strlen("/data/v") + 1);
    ASSERT_GE(Q7Lget_info(f, "hard", &li, 0), 0);
    EXPECT_EQ(li.type, Q7L_TYPE_HARD);
    EXPECT_EQ(li.address, info(f, "data/v").addr);
    ASSERT_GE(Q7Lget_info(f, "ext", &li, 0), 0);
    EXPECT_EQ(li.type, Q7L_TYPE_EXTERNAL);
    std::vector<char> val(li.val_size);
    ASSERT_GE(Q7Lget_val(f, "ext", val.data(), val.size(), 0), 0);
    const char *file = nullptr, *obj = nullptr;
    unsigned flags = 99;
    ASSERT_GE(Q7Lunpack_elink_val(val.data(), val.size(), &flags, &file, &obj), 0);
    EXPECT_EQ(std::string(file), other);
    EXPECT_STREQ(obj, "/w");
    EXPECT_LT(Q7Lunpack_elink_val("abc", 3, &flags, &file, &obj), 0);
    char sval[64];
    ASSERT_GE(Q7Lget_val(f, "soft", sval, sizeof sval, 0), 0);
    EXPECT_STREQ(sval, "/data/v");
    EXPECT_LT(Q7Lget_val(f, "hard", sval, sizeof sval, 0), 0);

    // Every route reads the same data.
    for (const char *path : {"soft", "hard", "/data/v"}) {
        q7id_t x = Q7Dopen2(f, path, 0);
        ASSERT_GE(x, 0) << path;
        int got[4] = {};
        ASSERT_GE(Q7Dread(x, Q7T_NATIVE_INT_g, 0, 0, 0, got), 0);
        EXPECT_EQ(got[3], 4) << path;
        Q7Dclose(x);
    }
    q7id_t x = Q7Oopen(f, "ext", 0);
    ASSERT_GE(x, 0) << error_text();
    int got[4] = {};
    ASSERT_GE(Q7Dread(x, Q7T_NATIVE_INT_g, 0, 0, 0, got), 0);
    EXPECT_EQ(got[0], 9);
    EXPECT_NE(info(f, "ext").fileno, info(f, "hard").fileno);
    Q7Oclose(x);
    EXPECT_LT(Q7Dopen2(f, "dangling", 0), 0);
    EXPECT_EQ(Q7Lexists(f, "dangling", 0), 1) << "the link itself exists";
    EXPECT_EQ(Q7Lexists(f, "nothing/below", 0), 0);
    EXPECT_LT(Q7Gopen2(f, "data/v", 0), 0) << "a dataset is not a group";

    // Two hard links: the object lives until the last one goes.
    EXPECT_EQ(info(f, "hard").rc, 2u);
    ASSERT_GE(Q7Ldelete(f, "data/v", 0), 0);
    EXPECT_EQ(info(f, "hard").rc, 1u);
    EXPECT_EQ(Q7Lexists(f, "data/v", 0), 0);
    EXPECT_LT(Q7Dopen2(f, "soft", 0), 0) << "the soft link now points nowhere";
    ASSERT_GE(Q7Ldelete(f, "hard", 0), 0);
    EXPECT_LT(Q7Ldelete(f, "hard", 0), 0);
    Q7Sclose(sp);
}

// Q7Lexists answers 0 only when a row on the way is truly absent; a walk
// that cannot tell (a file that is there but does not open, a loop of
// links, SQLite out of memory) fails with a record of the real cause.
TEST_F(Links, ExistenceIsFalseOnlyForTrulyAbsentRows) {
    std::string foreign = dir.file("foreign.txt"), other = dir.file("other.q7");
    std::ofstream(foreign) << "not a data file\n";
    q7id_t f2 = Q7Fcreate(other.c_str(), Q7F_ACC_TRUNC, 0, 0);
    Q7Gclose(Q7Gcreate2(f2, "w", 0, 0, 0));
    Q7Gclose(Q7Gcreate2(f2, "w/inner", 0, 0, 0));
    ASSERT_GE(Q7Fclose(f2), 0);
    ASSERT_GE(Q7Lcreate_soft("nowhere", f, "dangling", 0, 0), 0);
    ASSERT_GE(Q7Lcreate_soft("/loop", f, "loop", 0, 0), 0);
    ASSERT_GE(Q7Lcreate_external(dir.file("missing.q7").c_str(), "/w", f, "gone", 0, 0), 0);
    ASSERT_GE(Q7Lcreate_external(foreign.c_str(), "/w", f, "foreign", 0, 0), 0);
    ASSERT_GE(Q7Lcreate_external(other.c_str(), "/w", f, "ext", 0, 0), 0);
    struct Case {
        const char *path;
        q7tri_t want;
        const char *record;  // for a failure
    } cases[] = {
        {"dangling/below", 0, nullptr},
        {"gone/below", 0, nullptr},
        {"ext/nothing", 0, nullptr},
        {"loop", 1, nullptr},
        {"loop/below", -1, "too many levels of links"},
        {"foreign/below", -1, "not a Quor7 file"},
    };
    for (const Case &c : cases) {
        q7tri_t got = Q7Lexists(f, c.path, 0);
        EXPECT_EQ(got < 0 ? -1 : got, c.want) << c.path << "\n" << error_text();
        if (c.want < 0) {
            EXPECT_NE(error_text().find(c.record), std::string::npos) << c.path << "\n" << error_text();
        }
    }

    // SQLite short of memory while it opens the file behind "ext": every
    // answer is the truth or a failure that says so, never "absent".
    ASSERT_GE(Q7Fclose(f), 0);
    f = Q7Fopen(name.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0);
    int failures = 0;
    q7tri_t got = -1;
    for (sqlite3_int64 headroom = 0; got < 0 && headroom < (64 << 20); headroom = headroom * 2 + 1024) {
        sqlite3_hard_heap_limit64(sqlite3_memory_used() + headroom);
        got = Q7Lexists(f, "ext/inner", 0);
        sqlite3_hard_heap_limit64(0);
        ASSERT_NE(got, 0) << "headroom " << headroom << "\n" << error_text();
        if (got < 0) {
            ++failures;
            EXPECT_NE(error_text().find("out of memory"), std::string::npos) << error_text();
            EXPECT_EQ(error_text().find("not found"), std::string::npos) << error_text();
        }
    }
    EXPECT_EQ(got, 1);
    EXPECT_GT(failures, 0) << "the memory limit never bit";
}

struct Visit {
    std::vector<std::string> names;
    std::vector<int> types;
    size_t stop_after = 1000;
};

q7status_t collect(q7id_t, const char *name, const Q7L_info_t *i, void *op) {
    auto *v = (Visit *)op;
    v->names.push_back(name);
    v->types.push_back(i->type);
    return v->names.size() >= v->stop_after ? 7 : 0;
}

TEST_F(Links, IterationVisitsLinksInNameOrderAndResumes) {
    for (const char *n : {"zeta", "Alpha", "beta", "a b", "_"}) Q7Gclose(Q7Gcreate2(f, n, 0, 0, 0));
    Q7Lcreate_soft("/zeta", f, "link", 0, 0);
    Visit v;
    q7size_t idx = 0;
    ASSERT_EQ(Q7Literate2(f, &idx, collect, &v), 0);
    EXPECT_EQ(v.names, (std::vector<std::string>{"Alpha", "_", "a b", "beta", "link", "zeta"}));
    EXPECT_EQ(idx, 6u);
    EXPECT_EQ(v.types[4], Q7L_TYPE_SOFT);

    Visit part;
    part.stop_after = 2;
    idx = 0;
    EXPECT_EQ(Q7Literate2(f, &idx, collect, &part), 7);
    EXPECT_EQ(idx, 2u);
    part.stop_after = 1000;
    EXPECT_EQ(Q7Literate2(f, &idx, collect, &part), 0);
    EXPECT_EQ(part.names, v.names);
}

q7status_t count_attr(q7id_t, const char *name, void *op) {
    ((std::vector<std::string> *)op)->push_back(name);
    return 0;
}

TEST_F(Links, AttributesKeepTypeShapeAndValue) {
    q7id_t g = Q7Gcreate2(f, "g", 0, 0, 0);
    q7id_t sp = space({2, 3});
    q7id_t a = Q7Acreate2(g, "matrix", Q7T_STD_I16BE_g, sp, 0, 0);
    ASSERT_GE(a, 0);
    short m[6] = {1, -2, 300, -400, 5000, -6000};
    ASSERT_GE(Q7Awrite(a, Q7T_NATIVE_SHORT_g, m), 0);
    EXPECT_LT(Q7Awrite(a, Q7T_NATIVE_FLOAT_g, m), 0) << "no conversion from float to integer";
    Q7Aclose(a);
    q7id_t s1 = Q7Screate_simple(0, nullptr, nullptr);
    q7id_t b = Q7Acreate2(g, "b", Q7T_NATIVE_DOUBLE_g, s1, 0, 0);
    double pi = 3.25;
    Q7Awrite(b, Q7T_NATIVE_DOUBLE_g, &pi);
    Q7Aclose(b);
    EXPECT_LT(Q7Acreate2(g, "b", Q7T_NATIVE_INT_g, s1, 0, 0), 0);
    Q7Gclose(g);
    Q7Fclose(f);

    f = Q7Fopen(name.c_str(), Q7F_ACC_RDWR, 0);
    g = Q7Gopen2(f, "g", 0);
    EXPECT_EQ(Q7Aexists(g, "matrix"), 1);
    EXPECT_EQ(Q7Aexists(g, "none"), 0);
    a = Q7Aopen(g, "matrix", 0);
    ASSERT_GE(a, 0);
    q7id_t t = Q7Aget_type(a);
    EXPECT_EQ(Q7Tget_order(t), Q7T_ORDER_BE);
    EXPECT_EQ(Q7Tget_size(t), 2u);
    q7id_t s = Q7Aget_space(a);
    q7size_t dims[2];
    EXPECT_EQ(Q7Sget_simple_extent_dims(s, dims, nullptr), 2);
    EXPECT_EQ(dims[1], 3u);
    short back[6] = {};
    ASSERT_GE(Q7Aread(a, Q7T_NATIVE_SHORT_g, back), 0);
    EXPECT_EQ(std::vector<short>(back, back + 6), std::vector<short>(m, m + 6));
    unsigned char raw[12];
    ASSERT_GE(Q7Aread(a, Q7T_STD_I16BE_g, raw), 0);
    EXPECT_EQ(raw[4], 0x01);  // 300 = 0x012C, most significant byte first
    EXPECT_EQ(raw[5], 0x2C);
    std::vector<std::string> names;
    EXPECT_EQ(Q7Aiterate2(g, nullptr, count_attr, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"b", "matrix"}));
    Q7O_info2_t oi{};
    Q7Oget_info2(g, &oi, Q7O_INFO_ALL);
    EXPECT_EQ(oi.num_attrs, 2);
    EXPECT_GE(Q7Adelete(g, "b"), 0);
    EXPECT_LT(Q7Adelete(g, "b"), 0);
    Q7Oget_info2(g, &oi, Q7O_INFO_ALL);
    EXPECT_EQ(oi.num_attrs, 1);
    Q7Tclose(t);
    Q7Sclose(s);
    Q7Sclose(s1);
    Q7Sclose(sp);
    Q7Aclose(a);
    Q7Gclose(g);
}

} // namespace
