// Reference path table: lazy single walk, first-visit paths, direct path
// lookups, fake addresses, counters, and the failure paths.  The module
// under test is the one inside the tools library.
//
// The module keeps process-wide state that only a new process resets, so
// every case runs its body in a forked child.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kit_refpaths.h"
#include "q7tools.h"
#include "quor7.h"
#include "test_support.hpp"

extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

namespace {

// ---- seams -----------------------------------------------------------

int walks = 0;            // q7trav_visit calls made by the module
int fail_walk_after = -1; // >= 0: the walk fails after this many objects
int replay_first = 0;     // report the first object twice as a first visit
int fail_slist_create = 0;
int link_queries = 0;
int object_queries = 0;
int inserts = 0;

q7trav_obj_func_t module_cb = nullptr;
int objects_passed = 0;

int interposed_cb(const char *path, const Q7O_info2_t *oinfo, const char *seen, void *udata) {
    if (fail_walk_after >= 0 && objects_passed >= fail_walk_after) return -1;
    ++objects_passed;
    int r = module_cb(path, oinfo, seen, udata);
    if (replay_first && objects_passed == 1) r = module_cb(path, oinfo, nullptr, udata);
    return r;
}

} // namespace

// The test program defines these calls itself, so the module inside the
// tools library reaches them here (symbol interposition); each passes on
// to the library's own definition, found with dlsym(RTLD_NEXT).
template <class Fn>
Fn next_definition(const char *name) {
    void *sym = dlsym(RTLD_NEXT, name);
    if (!sym) {
        fprintf(stderr, "no definition of %s after the test program\n", name);
        abort();
    }
    return reinterpret_cast<Fn>(sym);
}

using visit_fn = int (*)(q7id_t, const char *, int, int, q7trav_obj_func_t, q7trav_lnk_func_t, void *, unsigned);
using slist_create_fn = Q7SL_t *(*)(int32_t, Q7SL_cmp_t);
using slist_insert_fn = q7status_t (*)(Q7SL_t *, void *, const void *);
using link_info_fn = q7status_t (*)(q7id_t, const char *, Q7L_info_t *, q7id_t);
using object_info_fn = q7status_t (*)(q7id_t, const char *, Q7O_info2_t *, unsigned, q7id_t);

q7status_t real_object_info(q7id_t loc, const char *name, Q7O_info2_t *info, unsigned fields, q7id_t lapl) {
    static const auto real = next_definition<object_info_fn>("Q7Oget_info_by_name2");
    return real(loc, name, info, fields, lapl);
}

extern "C" {
int q7trav_visit(q7id_t file, const char *path, int visit_root, int recurse, q7trav_obj_func_t obj,
                 q7trav_lnk_func_t lnk, void *udata, unsigned fields) {
    static const auto real = next_definition<visit_fn>("q7trav_visit");
    ++walks;
    module_cb = obj;
    objects_passed = 0;
    return real(file, path, visit_root, recurse, interposed_cb, lnk, udata, fields);
}
Q7SL_t *Q7SL_create(int32_t key_type, Q7SL_cmp_t cmp) {
    static const auto real = next_definition<slist_create_fn>("Q7SL_create");
    if (fail_slist_create) {
        --fail_slist_create;
        return nullptr;
    }
    return real(key_type, cmp);
}
q7status_t Q7SL_insert(Q7SL_t *slist, void *item, const void *key) {
    static const auto real = next_definition<slist_insert_fn>("Q7SL_insert");
    ++inserts;
    return real(slist, item, key);
}
q7status_t Q7Lget_info(q7id_t loc, const char *name, Q7L_info_t *info, q7id_t lapl) {
    static const auto real = next_definition<link_info_fn>("Q7Lget_info");
    ++link_queries;
    return real(loc, name, info, lapl);
}
q7status_t Q7Oget_info_by_name2(q7id_t loc, const char *name, Q7O_info2_t *info, unsigned fields, q7id_t lapl) {
    ++object_queries;
    return real_object_info(loc, name, info, fields, lapl);
}
}

namespace {

constexpr q7addr_t kUndef = 0xFFFFFFFFFFFFFFFFull;

// Runs body in a child process: the module's state starts as in a new
// process.  In sanitizer builds the child also checks for leaks.
template <class Body>
void in_fresh_process(Body body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        bool leaked = __lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0;
        fflush(stdout);
        _exit(::testing::Test::HasFailure() || leaked ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the case failed in its child process";
}

class RefPaths : public ::testing::Test {
protected:
    // /a                group
    // /a/alias          hard link to /b/d2 (reached first in name order)
    // /a/d1             dataset
    // /b                group
    // /b/d2             dataset
    // /b/sub/d3         dataset in a nested group
    // /c_soft           soft link to /a/d1
    // /d_ext            external link to other.q7:/x
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
        path_ = dir_.file("refs.q7");
        q7id_t f = Q7Fcreate(path_.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
        q7size_t dims[1] = {4};
        q7id_t space = Q7Screate_simple(1, dims, nullptr);
        ASSERT_GE(space, 0);
        for (const char *g : {"/a", "/b", "/b/sub"}) {
            q7id_t gid = Q7Gcreate2(f, g, 0, 0, 0);
            ASSERT_GE(gid, 0) << g;
            Q7Gclose(gid);
        }
        for (const char *d : {"/a/d1", "/b/d2", "/b/sub/d3"}) {
            q7id_t did = Q7Dcreate2(f, d, Q7T_NATIVE_INT_g, space, 0, 0, 0);
            ASSERT_GE(did, 0) << d;
            Q7Dclose(did);
        }
        ASSERT_GE(Q7Lcreate_hard(f, "/b/d2", f, "/a/alias", 0, 0), 0);
        ASSERT_GE(Q7Lcreate_soft("/a/d1", f, "/c_soft", 0, 0), 0);
        ASSERT_GE(Q7Lcreate_external("other.q7", "/x", f, "/d_ext", 0, 0), 0);
        Q7Sclose(space);
        ASSERT_GE(Q7Fclose(f), 0);
    }

    // Opens the test file (in the child) and counts from zero.
    q7id_t open_file() {
        q7id_t f = Q7Fopen(path_.c_str(), Q7F_ACC_RDONLY, 0);
        EXPECT_GE(f, 0);
        walks = link_queries = object_queries = inserts = 0;
        return f;
    }

    static q7addr_t address_of(q7id_t f, const char *path) {
        Q7O_info2_t info{};
        EXPECT_GE(real_object_info(f, path, &info, Q7O_INFO_BASIC, 0), 0) << path;
        return info.addr;
    }

    static std::string path_or_null(q7addr_t addr) {
        const char *p = lookup_ref_path(addr);
        return p ? p : "<null>";
    }

    q7test::TempDir dir_;
    std::string path_;
};

TEST_F(RefPaths, NothingIsWalkedBeforeAFileIsSet) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        EXPECT_EQ(lookup_ref_path(address_of(f, "/a")), nullptr);
        // File identifier 0 builds no table either.
        fill_ref_path_table(0);
        EXPECT_EQ(lookup_ref_path(address_of(f, "/a")), nullptr);
        // The fake address is used up but cannot be recorded.
        EXPECT_EQ(ref_path_table_gen_fake("/nowhere"), 0xFFFFFFFFFFFFFFFEull);
        EXPECT_EQ(walks, 0);
        EXPECT_EQ(fill_ref_path_table(f), 0);
        EXPECT_EQ(walks, 0);
        EXPECT_EQ(path_or_null(address_of(f, "/a")), "/a");
        EXPECT_EQ(path_or_null(0xFFFFFFFFFFFFFFFEull), "<null>");
        EXPECT_EQ(walks, 1);
        term_ref_path_table();
    });
}

TEST_F(RefPaths, TableIsBuiltOnceWithFirstVisitPaths) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        fill_ref_path_table(f);
        struct {
            const char *path;
            const char *recorded;
        } expected[] = {
            {"/", "/"},         {"/a", "/a"}, {"/a/d1", "/a/d1"}, {"/b", "/b"},
            {"/b/d2", "/a/alias"}, // first reached through /a/alias
            {"/b/sub", "/b/sub"},  {"/b/sub/d3", "/b/sub/d3"},
        };
        for (const auto &e : expected) EXPECT_EQ(path_or_null(address_of(f, e.path)), e.recorded) << e.path;
        EXPECT_EQ(walks, 1);
        // One entry per object: the second visit of /b/d2 records nothing.
        EXPECT_EQ(inserts, 7);
        EXPECT_EQ(lookup_ref_path(address_of(f, "/a/alias")), lookup_ref_path(address_of(f, "/b/d2")));
        // Addresses that name no object of the file.
        EXPECT_EQ(lookup_ref_path(12345678), nullptr);
        EXPECT_EQ(lookup_ref_path(kUndef), nullptr);
        EXPECT_EQ(walks, 1);
        term_ref_path_table();
    });
}

TEST_F(RefPaths, TableKeepsDescribingItsFileAfterAnotherIsSet) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        std::string other = dir_.file("other.q7");
        q7id_t g = Q7Fcreate(other.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(g, 0);
        q7id_t gid = Q7Gcreate2(g, "/only_here", 0, 0, 0);
        ASSERT_GE(gid, 0);
        Q7Gclose(gid);
        fill_ref_path_table(f);
        const q7addr_t d1 = address_of(f, "/a/d1");
        EXPECT_EQ(path_or_null(d1), "/a/d1");
        fill_ref_path_table(g);
        EXPECT_EQ(path_or_null(d1), "/a/d1");
        // Addresses are per file and may coincide; whatever the table holds
        // for this one came from the first file.
        EXPECT_NE(path_or_null(address_of(g, "/only_here")), "/only_here");
        EXPECT_EQ(walks, 1);
        // Direct lookups read the newly set file.
        EXPECT_EQ(ref_path_table_lookup("/only_here"), address_of(g, "/only_here"));
        EXPECT_EQ(ref_path_table_lookup("/a/d1"), kUndef);
        term_ref_path_table();
        Q7Fclose(g);
    });
}

TEST_F(RefPaths, PathLookupReadsTheFile) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        fill_ref_path_table(f);

        EXPECT_EQ(ref_path_table_lookup(nullptr), kUndef);
        EXPECT_EQ(ref_path_table_lookup(""), kUndef);
        EXPECT_EQ(link_queries + object_queries, 0);

        // The root: the object query only.
        EXPECT_EQ(ref_path_table_lookup("/"), address_of(f, "/"));
        EXPECT_EQ(link_queries, 0);
        EXPECT_EQ(object_queries, 1);

        link_queries = object_queries = 0;
        EXPECT_EQ(ref_path_table_lookup("/b/sub/d3"), address_of(f, "/b/sub/d3"));
        EXPECT_EQ(ref_path_table_lookup("/a/alias"), address_of(f, "/b/d2"));
        // A soft link (type 1) goes on to the object query, which follows it.
        EXPECT_EQ(ref_path_table_lookup("/c_soft"), address_of(f, "/a/d1"));
        EXPECT_EQ(link_queries, 3);
        EXPECT_EQ(object_queries, 3);

        // An external last link: no object query.
        link_queries = object_queries = 0;
        EXPECT_EQ(ref_path_table_lookup("/d_ext"), kUndef);
        EXPECT_EQ(link_queries, 1);
        EXPECT_EQ(object_queries, 0);

        EXPECT_EQ(ref_path_table_lookup("/missing"), kUndef);
        EXPECT_EQ(ref_path_table_lookup("/a/missing/deeper"), kUndef);
        // None of this needs the table.
        EXPECT_EQ(walks, 0);
    });
}

TEST_F(RefPaths, FakeAddressesAndCountersStartFresh) {
    in_fresh_process([&] {
        EXPECT_EQ(xid, 1);
        EXPECT_EQ(fake_xid, 0xFFFFFFFFFFFFFFFEull);
        EXPECT_EQ(get_next_xid(), 1);
        EXPECT_EQ(get_next_xid(), 2);
        EXPECT_EQ(xid, 3);

        q7id_t f = open_file();
        fill_ref_path_table(f);
        const q7addr_t first = ref_path_table_gen_fake("/made/up");
        const q7addr_t second = ref_path_table_gen_fake("/made/up");
        EXPECT_EQ(first, 0xFFFFFFFFFFFFFFFEull);
        EXPECT_EQ(second, 0xFFFFFFFFFFFFFFFDull);
        EXPECT_EQ(walks, 1); // the first fake entry built the table
        EXPECT_EQ(path_or_null(first), "/made/up");
        EXPECT_EQ(path_or_null(second), "/made/up");
        // The table's copy, not the caller's string.
        EXPECT_NE(lookup_ref_path(first), lookup_ref_path(second));
        EXPECT_EQ(get_fake_xid(), 0xFFFFFFFFFFFFFFFCull);
        EXPECT_EQ(fake_xid, 0xFFFFFFFFFFFFFFFBull);
        // A null path still uses up an address and records nothing.
        EXPECT_EQ(ref_path_table_gen_fake(nullptr), 0xFFFFFFFFFFFFFFFBull);
        EXPECT_EQ(lookup_ref_path(0xFFFFFFFFFFFFFFFBull), nullptr);
        EXPECT_EQ(path_or_null(address_of(f, "/a")), "/a");
        EXPECT_EQ(walks, 1);
        term_ref_path_table();
    });
}

TEST_F(RefPaths, FailedWalkKeepsThePartialTable) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        q7tools_setprogname("refpaths_test");
        q7tools_setstatus(0);
        fill_ref_path_table(f);
        fail_walk_after = 2; // "/" and "/a" are recorded, then the walk fails
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(path_or_null(address_of(f, "/a")), "/a");
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("refpaths_test error: unable to construct reference path table"), std::string::npos)
            << err;
        EXPECT_EQ(q7tools_getstatus(), 1);
        EXPECT_EQ(path_or_null(address_of(f, "/")), "/");
        EXPECT_EQ(lookup_ref_path(address_of(f, "/a/d1")), nullptr);
        EXPECT_EQ(lookup_ref_path(address_of(f, "/b")), nullptr);
        // The failed build counts as done: no second walk, and fake
        // entries go into the partial table.
        EXPECT_EQ(walks, 1);
        q7addr_t fake = ref_path_table_gen_fake("/late");
        EXPECT_EQ(path_or_null(fake), "/late");
        EXPECT_EQ(walks, 1);
        term_ref_path_table();
    });
}

TEST_F(RefPaths, FailedTableCreationLeavesNoTable) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        fill_ref_path_table(f);
        fail_slist_create = 2;
        EXPECT_EQ(lookup_ref_path(address_of(f, "/a")), nullptr);
        const q7addr_t fake = ref_path_table_gen_fake("/unrecorded");
        EXPECT_EQ(fake, 0xFFFFFFFFFFFFFFFEull);
        EXPECT_EQ(walks, 0);
        // Creation works again: the table is built now, without the fake.
        EXPECT_EQ(path_or_null(address_of(f, "/a")), "/a");
        EXPECT_EQ(walks, 1);
        EXPECT_EQ(lookup_ref_path(fake), nullptr);
        term_ref_path_table();
    });
}

TEST_F(RefPaths, TermReleasesAndALaterLookupBuildsAgain) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        fill_ref_path_table(f);
        const q7addr_t fake = ref_path_table_gen_fake("/fake");
        EXPECT_EQ(path_or_null(address_of(f, "/b")), "/b");
        EXPECT_EQ(term_ref_path_table(), 0);
        EXPECT_EQ(term_ref_path_table(), 0); // nothing left to release
        EXPECT_EQ(walks, 1);
        // A fresh table for the current file: the fake entry is gone.
        EXPECT_EQ(lookup_ref_path(fake), nullptr);
        EXPECT_EQ(walks, 2);
        EXPECT_EQ(path_or_null(address_of(f, "/b")), "/b");
        EXPECT_EQ(term_ref_path_table(), 0);
    });
}

TEST_F(RefPaths, RefusedEntryIsReleasedAndTheFirstStays) {
    in_fresh_process([&] {
        q7id_t f = open_file();
        fill_ref_path_table(f);
        replay_first = 1; // "/" is reported twice as a first visit
        EXPECT_EQ(path_or_null(address_of(f, "/")), "/");
        EXPECT_EQ(path_or_null(address_of(f, "/b/sub/d3")), "/b/sub/d3");
        term_ref_path_table();
        // In sanitizer builds the child's leak check covers the refused copy.
    });
}

} // namespace
