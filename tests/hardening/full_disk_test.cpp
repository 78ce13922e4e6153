// A write that runs out of room on disk: the writer is told so, and the file
// keeps its earlier contents.  The "disk" is made full for one process with
// a file-size limit (RLIMIT_FSIZE), which the helper program sets itself.
#include "quor7.h"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr q7size_t kCount = 512 * 1024;  // 4 MiB of 64-bit values

std::vector<uint64_t> read_big(const std::string &file) {
    std::vector<uint64_t> v(kCount, 0);
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    EXPECT_GE(f, 0);
    q7id_t d = Q7Dopen2(f, "big", 0);
    EXPECT_GE(Q7Dread(d, Q7T_NATIVE_UINT64_g, 0, 0, 0, v.data()), 0);
    Q7Dclose(d);
    Q7Fclose(f);
    return v;
}

std::vector<uint64_t> xorshift_contents() {
    std::vector<uint64_t> v(kCount);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (auto &e : v) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        e = x;
    }
    return v;
}

TEST(FullDisk, FailedWriteSaysSoAndKeepsEarlierContents) {
    q7test::TempDir dir;
    const std::string file = dir.file("full.q7");
    ASSERT_GE(Q7open(), 0);
    Q7Eset_auto2(0, nullptr, nullptr);
    std::vector<uint64_t> old(kCount);
    for (q7size_t i = 0; i < kCount; ++i) old[i] = i * 3 + 1;
    {
        q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
        q7size_t dims[1] = {kCount}, chunk[1] = {64 * 1024};
        q7id_t sp = Q7Screate_simple(1, dims, nullptr);
        q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        Q7Pset_chunk(dcpl, 1, chunk);
        q7id_t d = Q7Dcreate2(f, "big", Q7T_NATIVE_UINT64_g, sp, 0, dcpl, 0);
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_UINT64_g, 0, 0, 0, old.data()), 0);
        Q7Dclose(d);
        Q7Sclose(sp);
        Q7Pclose(dcpl);
        ASSERT_GE(Q7Fclose(f), 0);
    }
    ASSERT_GT(std::filesystem::file_size(file), 4u << 20) << "the earlier contents are on disk";

    // Room for 1 MiB per file: the 4 MiB of new contents do not fit.
    std::string cmd = std::string(HARDEN_WRITER) + " fill " + file + " " + std::to_string(1024 * 1024);
    auto r = q7test::run(cmd);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("write failed"), std::string::npos) << r.out;
    EXPECT_GT(r.out.size(), std::string("write failed\n").size()) << "the error stack says why";
    EXPECT_TRUE(read_big(file) == old) << "earlier contents must survive the failed write";
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_STREQ((const char *)sqlite3_column_text(st, 0), "ok");
        sqlite3_finalize(st);
        sqlite3_close(db);
    }

    // With room enough the same write goes through, so the failure above
    // came from the limit and not from the helper.
    cmd = std::string(HARDEN_WRITER) + " fill " + file + " " + std::to_string(1ull << 30);
    r = q7test::run(cmd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(read_big(file) == xorshift_contents());
    Q7close();
}

} // namespace
