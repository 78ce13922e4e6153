// Runs the real chunkwrap_test program, clean and with faults injected
// into the libraries through QUOR7_FAULTS, and checks what it prints,
// its exit status and the file it leaves.
#include "quor7.h"
#include "quor7_hl.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

using q7test::TempDir;

const std::string kWriteTesting = "Testing Q7DOwrite_chunk wrapper" + std::string(62 - 23, ' ');
const std::string kReadTesting = "Testing Q7DOread_chunk wrapper" + std::string(62 - 22, ' ');
const std::string kAllPassed = "All direct chunk read/write wrapper tests passed.\n";
const std::string kFailed = "*** TESTS FAILED ***\n";

q7test::CommandResult run_in(const TempDir &dir, const std::string &faults = "") {
    std::string env = faults.empty() ? "" : "QUOR7_FAULTS='" + faults + "' ";
    return q7test::run("cd '" + dir.path().string() + "' && " + env + q7test::program("chunkwrap_test"));
}

// The verdict a failed test prints after its "Testing" prefix, with the
// line number taken out (its value belongs to the program's source).
std::string failed_block(const std::string &procedure) {
    return "*FAILED*\n   at chunkwrap_test:LINE in " + procedure + "()...\n*FAILED*\n";
}

std::string without_line_numbers(const std::string &out) {
    return std::regex_replace(out, std::regex("chunkwrap_test:[0-9]+ in"), "chunkwrap_test:LINE in");
}

// Error reports printed (one per failed outermost library call that
// reports automatically).
size_t reports(const std::string &err) {
    size_t n = 0;
    for (size_t at = err.find("#000:"); at != std::string::npos; at = err.find("#000:", at + 1)) ++n;
    return n;
}

int line_of(const std::string &out, const std::string &procedure) {
    std::smatch m;
    std::regex at("chunkwrap_test:([0-9]+) in " + procedure);
    return std::regex_search(out, m, at) ? std::stoi(m[1]) : -1;
}

// The dataset as an ordinary read sees it, and chunk k as stored.
std::vector<int> read_dataset(const std::string &path) {
    std::vector<int> values(8, -1);
    q7id_t file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    if (file < 0) return {};
    q7id_t dset = Q7Dopen2(file, "direct_chunk_io", 0);
    bool ok = dset >= 0 && Q7Dread(dset, Q7T_NATIVE_INT_g, 0, 0, 0, values.data()) >= 0;
    Q7Dclose(dset);
    Q7Fclose(file);
    return ok ? values : std::vector<int>{};
}

TEST(ChunkwrapProgram, CleanRunPassesAndLeavesTheFile) {
    TempDir dir;
    auto r = run_in(dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kWriteTesting + " PASSED\n" + kReadTesting + " PASSED\n" + kAllPassed);
    EXPECT_EQ(r.err, "");
    // Both chunks hold the directly written values, stored with mask 0.
    EXPECT_EQ(read_dataset(dir.file("q7do_compat.q7")), (std::vector<int>{0, 11, 22, 33, 0, 11, 22, 33}));
    q7id_t file = Q7Fopen(dir.file("q7do_compat.q7").c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(file, 0);
    q7id_t dset = Q7Dopen2(file, "direct_chunk_io", 0);
    ASSERT_GE(dset, 0);
    q7size_t offset[1] = {4};
    uint32_t mask = 0xFFFFFFFFu;
    int chunk[4] = {-1, -1, -1, -1};
    EXPECT_GE(Q7DOread_chunk(dset, 0, offset, &mask, chunk), 0);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(std::vector<int>(chunk, chunk + 4), (std::vector<int>{0, 11, 22, 33}));
    Q7Dclose(dset);
    Q7Fclose(file);
}

TEST(ChunkwrapProgram, ReplacesAFileLeftByAnEarlierRun) {
    TempDir dir;
    {
        FILE *old = std::fopen(dir.file("q7do_compat.q7").c_str(), "wb");
        ASSERT_NE(old, nullptr);
        std::fputs("left over from an earlier run, not a Quor7 file at all", old);
        std::fclose(old);
    }
    auto first = run_in(dir);
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    // A second run replaces the first run's file.
    auto second = run_in(dir);
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(read_dataset(dir.file("q7do_compat.q7")), (std::vector<int>{0, 11, 22, 33, 0, 11, 22, 33}));
}

TEST(ChunkwrapProgram, FileThatCannotBeCreatedPrintsOnlyTheSummary) {
    TempDir dir;
    auto r = run_in(dir, "Q7Fcreate@1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kFailed);
}

// A setup step failing after the file exists: no test runs, and the quiet
// clean-up of identifiers never made prints no report of its own.
TEST(ChunkwrapProgram, SetupFailuresEndTheRunBeforeAnyTest) {
    for (const char *fault : {"Q7Screate_simple@1", "Q7Pcreate@1", "Q7Pset_chunk@1", "Q7Dcreate2@1", "Q7Dwrite@1",
                              "Q7Sclose@1", "Q7Pclose@1"}) {
        SCOPED_TRACE(fault);
        TempDir dir;
        auto r = run_in(dir, fault);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kFailed);
        EXPECT_EQ(reports(r.err), 1u) << r.err;  // the injected fault's, none from the clean-up
    }
}

TEST(ChunkwrapProgram, FailedWriteTestStillRunsTheReadTest) {
    // The wrapper itself, the storage call under it, and the second chunk
    // after the first succeeded.
    for (const char *fault : {"Q7DOwrite_chunk@1", "Q7Dwrite_chunk@1", "Q7DOwrite_chunk@2"}) {
        SCOPED_TRACE(fault);
        TempDir dir;
        auto r = run_in(dir, fault);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(without_line_numbers(r.out),
                  kWriteTesting + failed_block("test_direct_chunk_write") + kReadTesting + " PASSED\n" + kFailed);
    }
}

TEST(ChunkwrapProgram, ReadWrapperThatLeavesTheMaskFailsTheReadTest) {
    TempDir dir;
    auto r = run_in(dir, "Q7DOread_chunk:keep_mask@1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_line_numbers(r.out),
              kWriteTesting + " PASSED\n" + kReadTesting + failed_block("test_direct_chunk_read") + kFailed);
    // On the second chunk too: the mask is preset again on every pass.
    TempDir dir2;
    auto r2 = run_in(dir2, "Q7DOread_chunk:keep_mask@2");
    EXPECT_EQ(r2.status, 1);
    EXPECT_EQ(line_of(r2.out, "test_direct_chunk_read"), line_of(r.out, "test_direct_chunk_read"));
}

// Each check of the read test has a place of its own in the "at" line;
// a failed check cleans up quietly and the run still closes the file.
TEST(ChunkwrapProgram, EachReadCheckReportsItsOwnLine) {
    const char *faults[] = {
        "Q7Screate_simple@2",    // memory dataspace (the setup made the first)
        "Q7Screate_simple@3",    // file dataspace
        "Q7Sselect_hyperslab@1", // selection
        "Q7Dread@1",             // selection read
        "Q7DOread_chunk@1",      // direct read
        "Q7Dread_chunk@1",       // the same check, failing in the storage call under the wrapper
        "Q7DOread_chunk:keep_mask@1",
        "Q7Sclose@2",            // closing the memory dataspace
        "Q7Sclose@3",            // closing the file dataspace
    };
    std::vector<int> lines;
    for (const char *fault : faults) {
        SCOPED_TRACE(fault);
        TempDir dir;
        auto r = run_in(dir, fault);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(without_line_numbers(r.out),
                  kWriteTesting + " PASSED\n" + kReadTesting + failed_block("test_direct_chunk_read") + kFailed);
        EXPECT_LE(reports(r.err), 1u) << r.err;  // none from the clean-up
        lines.push_back(line_of(r.out, "test_direct_chunk_read"));
    }
    // Distinct checks, in source order; the two direct-read faults meet
    // the same check.
    EXPECT_EQ(lines[4], lines[5]);
    lines.erase(lines.begin() + 5);
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_GT(lines[i], lines[i - 1]) << "check " << i;
}

TEST(ChunkwrapProgram, CloseFailuresAtTheEndFailTheRun) {
    for (const char *fault : {"Q7Fclose@1", "Q7Dclose@1"}) {
        SCOPED_TRACE(fault);
        TempDir dir;
        auto r = run_in(dir, fault);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kWriteTesting + " PASSED\n" + kReadTesting + " PASSED\n" + kFailed);
    }
}

} // namespace
