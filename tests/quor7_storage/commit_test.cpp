// When changes reach the file: calls stay pending until a flush or close,
// a failed call undoes only itself, a failed commit or sync leaves the old
// or the new contents (never a mix, and never success with the old), and a
// writer killed after its cache spilled leaves a journal that is rolled
// back, never applied to a file created later under the same name.
#include "storage_test_util.hpp"

#include "sqlite_integrity.hpp"

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

using namespace q7st;

class CommitTest : public StorageTest {};

// A filter that refuses chunks whose first value is 2032 or more, so that a
// write fails after storing its first chunks.
size_t refuse_late_chunks(unsigned flags, size_t, const unsigned *, size_t nbytes, size_t *, void **buf) {
    if (!(flags & Q7Z_FLAG_REVERSE) && nbytes >= sizeof(int) && *static_cast<int *>(*buf) >= 2032) return 0;
    return nbytes;
}
const Q7Z_class2_t kRefuser = {Q7Z_CLASS_T_VERS, 310, 1, 1, "refuse late chunks", nullptr, nullptr,
                               refuse_late_chunks};

std::vector<int> read_ints(q7id_t f, const char *name) {
    q7id_t d = Q7Dopen2(f, name, 0);
    if (d < 0) return {};
    q7id_t s = Q7Dget_space(d);
    std::vector<int> v((size_t)Q7Sget_simple_extent_npoints(s));
    Q7Sclose(s);
    if (!v.empty()) Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data());
    Q7Dclose(d);
    return v;
}

bool write_ints(q7id_t f, const char *name, const std::vector<int> &v) {
    q7id_t d = Q7Dopen2(f, name, 0);
    bool ok = d >= 0 && Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) >= 0;
    Q7Dclose(d);
    return ok;
}

std::vector<int> ramp(int base, size_t n) {
    std::vector<int> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = base + (int)i;
    return v;
}

// The base state: group "keep", 64-int dataset "d" (0, 1, ...), and an
// extendable dataset "log" of extent 0.
void make_base(const std::string &file, unsigned flags) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC | flags, 0, 0);
    ASSERT_GE(f, 0) << error_text();
    Q7Gclose(Q7Gcreate2(f, "keep", 0, 0, 0));
    q7id_t dcpl = chunked_dcpl({16});
    q7id_t s = space({64}), ls = space({0}, {Q7S_UNLIMITED});
    Q7Dclose(Q7Dcreate2(f, "d", Q7T_NATIVE_INT_g, s, 0, dcpl, 0));
    Q7Dclose(Q7Dcreate2(f, "log", Q7T_NATIVE_INT_g, ls, 0, dcpl, 0));
    Q7Sclose(s);
    Q7Sclose(ls);
    Q7Pclose(dcpl);
    ASSERT_TRUE(write_ints(f, "d", ramp(0, 64)));
    ASSERT_GE(Q7Fclose(f), 0) << error_text();
}

// The calls whose changes must reach the file together.
bool change(q7id_t f) {
    bool ok = true;
    q7id_t g = Q7Gcreate2(f, "g1", 0, 0, 0);
    ok = ok && g >= 0 && Q7Gclose(g) >= 0;
    ok = ok && write_ints(f, "d", ramp(1000, 64));
    q7id_t log = Q7Dopen2(f, "log", 0);
    q7size_t grown[1] = {32};
    ok = ok && log >= 0 && Q7Dset_extent(log, grown) >= 0;
    Q7Dclose(log);
    ok = ok && write_ints(f, "log", ramp(500, 32));
    ok = ok && Q7Ldelete(f, "keep", 0) >= 0;
    return ok;
}

enum class State { Old, New, Mixed };

State state_of(const std::string &file) {
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    if (f < 0) return State::Mixed;
    bool is_old = Q7Lexists(f, "keep", 0) > 0 && Q7Lexists(f, "g1", 0) == 0 && read_ints(f, "d") == ramp(0, 64) &&
                  read_ints(f, "log").empty();
    bool is_new = Q7Lexists(f, "keep", 0) == 0 && Q7Lexists(f, "g1", 0) > 0 && read_ints(f, "d") == ramp(1000, 64) &&
                  read_ints(f, "log") == ramp(500, 32);
    Q7Fclose(f);
    return is_old ? State::Old : is_new ? State::New : State::Mixed;
}

using q7test::sqlite_integrity;

TEST_F(CommitTest, FailedCommitOrSyncLeavesOldOrNewNeverMixed) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection is not compiled in";
    const std::string file = dir.file("c.q7");
    struct Case {
        const char *point;   // fault point that fails
        bool by_close;       // end with Q7Fclose instead of Q7Fflush
        unsigned flags;      // open flags: default or concurrent writing
    } cases[] = {
        {"storage:commit", false, 0}, {"storage:commit", true, 0},
        {"storage:sync", false, 0},   {"storage:sync", true, 0},
        {"storage:sync", false, Q7F_ACC_CONCURRENT_WRITE}, {"storage:sync", true, Q7F_ACC_CONCURRENT_WRITE},
    };
    for (const Case &c : cases) {
        // Fail the first fault point reached, then the second, ... until a
        // run reaches the end without meeting the armed one.
        for (long nth = 1;; ++nth) {
            SCOPED_TRACE(std::string(c.point) + (c.by_close ? " at close" : " at flush") +
                         (c.flags ? ", concurrent writer" : "") + ", failing point " + std::to_string(nth));
            make_base(file, c.flags);
            q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDWR | c.flags, 0);
            ASSERT_GE(f, 0) << error_text();
            ASSERT_TRUE(change(f)) << error_text();
            long before = Q7fault_calls(c.point);
            Q7fault_arm(c.point, nth, 1);
            bool ended = c.by_close ? Q7Fclose(f) >= 0 : Q7Fflush(f) >= 0;
            bool hit = Q7fault_calls(c.point) - before >= nth;
            Q7fault_clear();
            if (!c.by_close) {
                EXPECT_GE(Q7Fclose(f), 0) << error_text();
            }
            State s = state_of(file);
            EXPECT_EQ(sqlite_integrity(file), "ok");
            if (ended) {
                EXPECT_EQ(s, State::New) << "success reported, but the changes are not all there";
            } else if (std::string(c.point) == "storage:commit") {
                EXPECT_EQ(s, State::Old);
            } else {
                EXPECT_NE(s, State::Mixed);
            }
            EXPECT_TRUE(ended || hit) << "failed without a fault";
            if (!hit || HasFailure()) break;
        }
    }
}

TEST_F(CommitTest, SyncSettingDecidesWhetherCommitsWaitForTheDisk) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection is not compiled in";
    for (int sync : {1, 0}) {
        q7id_t fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
        int got = -1;
        ASSERT_GE(Q7Pget_fapl_sync(fapl, &got), 0);
        EXPECT_EQ(got, 1) << "syncs are on by default";
        ASSERT_GE(Q7Pset_fapl_sync(fapl, sync), 0);
        Q7Pget_fapl_sync(fapl, &got);
        EXPECT_EQ(got, sync);
        long before = Q7fault_calls("storage:sync");
        q7id_t f = Q7Fcreate(dir.file("s.q7").c_str(), Q7F_ACC_TRUNC, 0, fapl);
        ASSERT_GE(f, 0) << error_text();
        Q7Gclose(Q7Gcreate2(f, "g", 0, 0, 0));
        ASSERT_GE(Q7Fclose(f), 0);
        Q7Pclose(fapl);
        long syncs = Q7fault_calls("storage:sync") - before;
        if (sync) {
            EXPECT_GT(syncs, 0);
        } else {
            EXPECT_EQ(syncs, 0);
        }
        f = Q7Fopen(dir.file("s.q7").c_str(), Q7F_ACC_RDONLY, 0);
        EXPECT_GT(Q7Lexists(f, "g", 0), 0);
        Q7Fclose(f);
    }
}

TEST_F(CommitTest, PendingCallsAreHiddenUntilFlushAndAFailedCallUndoesOnlyItself) {
    const std::string file = dir.file("p.q7");
    make_base(file, 0);
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDWR, 0);
    ASSERT_GE(f, 0);
    // Another connection sees the file as last committed.
    auto committed_links = [&] {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "SELECT group_concat(name) FROM (SELECT name FROM links ORDER BY name)", -1, &st,
                           nullptr);
        std::string names = st && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)
                                ? (const char *)sqlite3_column_text(st, 0)
                                : "?";
        sqlite3_finalize(st);
        sqlite3_close(db);
        return names;
    };
    ASSERT_GE(Q7Gclose(Q7Gcreate2(f, "a", 0, 0, 0)), 0);
    EXPECT_EQ(committed_links(), "d,keep,log");
    // A second handle of the file in this process sees it at once (and
    // closing that handle commits the file).
    q7id_t f2 = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    EXPECT_GT(Q7Lexists(f2, "a", 0), 0);
    Q7Fclose(f2);
    EXPECT_EQ(committed_links(), "a,d,keep,log");

    // A write that fails after storing some of its chunks leaves none of them.
    ASSERT_GE(Q7Zregister(&kRefuser), 0);
    q7id_t dcpl = chunked_dcpl({16}), s = space({64});
    Q7Pset_filter(dcpl, 310, Q7Z_FLAG_MANDATORY, 0, nullptr);
    Q7Dclose(Q7Dcreate2(f, "filtered", Q7T_NATIVE_INT_g, s, 0, dcpl, 0));
    Q7Pclose(dcpl);
    Q7Sclose(s);
    ASSERT_TRUE(write_ints(f, "filtered", ramp(0, 64)));
    EXPECT_FALSE(write_ints(f, "filtered", ramp(2000, 64)));
    EXPECT_EQ(read_ints(f, "filtered"), ramp(0, 64));
    EXPECT_LT(Q7Gcreate2(f, "a", 0, 0, 0), 0);  // fails: the name is taken
    EXPECT_GT(Q7Lexists(f, "a", 0), 0);

    EXPECT_EQ(committed_links(), "a,d,keep,log");
    ASSERT_GE(Q7Fflush(f), 0) << error_text();
    EXPECT_EQ(committed_links(), "a,d,filtered,keep,log");
    ASSERT_GE(Q7Fclose(f), 0);
    f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    EXPECT_EQ(read_ints(f, "filtered"), ramp(0, 64));
    Q7Fclose(f);
}

TEST_F(CommitTest, KilledWriterJournalIsRolledBackAndNeverAppliedToANewFile) {
    const std::string file = dir.file("k.q7");
    // Larger than the page cache, so the writer spills overwritten pages
    // into the file before its commit, with their old contents journaled.
    constexpr size_t n = 24u << 20 >> 2;
    {
        q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
        q7id_t dcpl = chunked_dcpl({1u << 18});
        q7id_t s = space({n});
        Q7Dclose(Q7Dcreate2(f, "big", Q7T_NATIVE_INT_g, s, 0, dcpl, 0));
        Q7Sclose(s);
        Q7Pclose(dcpl);
        ASSERT_TRUE(write_ints(f, "big", ramp(0, n)));
        ASSERT_GE(Q7Fclose(f), 0);
    }
    FILE *p = popen((std::string(PROBE) + " hold " + file + " big").c_str(), "r");
    ASSERT_NE(p, nullptr);
    long pid = 0;
    ASSERT_EQ(fscanf(p, "held %ld", &pid), 1);
    ASSERT_EQ(kill((pid_t)pid, SIGKILL), 0);
    pclose(p);
    ASSERT_EQ(access((file + "-journal").c_str(), F_OK), 0) << "the writer left no journal";

    // A new file of the same name must not take the journal for its own.
    const std::string copy = dir.file("copy.q7");
    ASSERT_EQ(system(("cp " + file + " " + copy + " && cp " + file + "-journal " + copy + "-journal").c_str()), 0);
    q7id_t f = Q7Fcreate(copy.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0) << error_text();
    Q7Gclose(Q7Gcreate2(f, "fresh", 0, 0, 0));
    ASSERT_GE(Q7Fclose(f), 0);
    EXPECT_EQ(sqlite_integrity(copy), "ok");
    f = Q7Fopen(copy.c_str(), Q7F_ACC_RDONLY, 0);
    EXPECT_GT(Q7Lexists(f, "fresh", 0), 0);
    EXPECT_EQ(Q7Lexists(f, "big", 0), 0);
    Q7Fclose(f);

    // The killed writer's file opens at its last commit.
    f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0) << error_text();
    EXPECT_TRUE(read_ints(f, "big") == ramp(0, n)) << "the uncommitted overwrite shows";
    EXPECT_EQ(Q7Lexists(f, "held", 0), 0);
    Q7Fclose(f);
    EXPECT_EQ(sqlite_integrity(file), "ok");
}

// A value SQLite cannot copy for want of memory must fail the call with an
// "out of memory" record, never store the link with its value missing.
TEST_F(CommitTest, ValueThatCannotBeBoundFailsTheCallInsteadOfStoringNothing) {
    const std::string big(256 << 10, 'x');
    struct Case {
        const char *name;
        std::function<q7status_t(q7id_t)> create;
        size_t value_bytes;  // of Q7Lget_val when created
    } cases[] = {
        {"soft", [&](q7id_t f) { return Q7Lcreate_soft(big.c_str(), f, "soft", 0, 0); }, big.size() + 1},
        {"external", [&](q7id_t f) { return Q7Lcreate_external(big.c_str(), "/x", f, "external", 0, 0); },
         big.size() + 4},
    };
    const std::string file = dir.file("bind.q7");
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0) << error_text();
    if (sqlite3_memory_used() <= 0) {
        Q7Fclose(f);
        GTEST_SKIP() << "SQLite does not count its memory here";
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Room for SQLite's own work, not for a copy of the value.
        sqlite3_hard_heap_limit64(sqlite3_memory_used() + (64 << 10));
        q7status_t rc = c.create(f);
        std::string err = rc < 0 ? error_text() : "";
        sqlite3_hard_heap_limit64(0);
        if (rc < 0) {
            EXPECT_NE(err.find("out of memory"), std::string::npos) << err;
            EXPECT_EQ(Q7Lexists(f, c.name, 0), 0);
        } else {
            std::vector<char> val(c.value_bytes + 16);
            EXPECT_EQ(Q7Lget_val(f, c.name, val.data(), val.size(), 0), 0) << error_text();
            EXPECT_TRUE(std::string(val.data()) == big)
                << "the link was stored with " << strlen(val.data()) << " of " << big.size() << " value bytes";
        }
    }
    EXPECT_GE(Q7Fclose(f), 0) << error_text();
}

// A callback that closes the file's identifiers from inside a call on the
// file is refused, as a flush there is: the identifiers stay open and the
// pending changes reach the file at the real close (they were dropped when
// such a close reported success).
q7id_t g_close_file = -1, g_close_dset = -1;
q7status_t g_inner_close[2] = {0, 0};
size_t close_from_inside(unsigned flags, size_t, const unsigned *, size_t nbytes, size_t *, void **) {
    if (!(flags & Q7Z_FLAG_REVERSE) && g_close_file >= 0) {
        g_inner_close[0] = Q7Dclose(g_close_dset);
        g_inner_close[1] = Q7Fclose(g_close_file);
        g_close_file = -1;
    }
    return nbytes;
}
const Q7Z_class2_t kCloser = {Q7Z_CLASS_T_VERS, 311, 1, 1, "close from inside", nullptr, nullptr,
                              close_from_inside};

TEST_F(CommitTest, ClosingTheFileFromInsideACallOnItIsRefusedAndKeepsThePendingChanges) {
    const std::string file = dir.file("inner.q7");
    ASSERT_GE(Q7Zregister(&kCloser), 0);
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    ASSERT_GE(f, 0) << error_text();
    q7id_t dcpl = chunked_dcpl({16}), s = space({64});
    Q7Pset_filter(dcpl, 311, Q7Z_FLAG_MANDATORY, 0, nullptr);
    q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT_g, s, 0, dcpl, 0);
    Q7Pclose(dcpl);
    Q7Sclose(s);
    ASSERT_GE(d, 0) << error_text();
    g_close_file = f;
    g_close_dset = d;
    EXPECT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, ramp(7, 64).data()), 0) << error_text();
    EXPECT_LT(g_inner_close[0], 0);
    EXPECT_LT(g_inner_close[1], 0);
    EXPECT_GE(Q7Dclose(d), 0) << error_text();
    EXPECT_GE(Q7Fclose(f), 0) << error_text();
    f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0) << error_text();
    EXPECT_EQ(read_ints(f, "d"), ramp(7, 64));
    Q7Fclose(f);
}

} // namespace
