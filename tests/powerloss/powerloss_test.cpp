// Power cuts, simulated: every workload runs once on real files while the
// disk model records what it asks of the disk; then the power is cut after
// many different numbers of operations, the files are built as the disk
// would hold them, and each must open, pass SQLite's integrity check, and
// hold exactly the state of the last commit that returned success or of
// the commit under way at the cut: nothing flushed lost, no call half
// applied.  A file whose creation never completed may instead be missing
// or still be the earlier file.
//
// QUOR7_POWERLOSS_CUTS sets the number of cuts per workload and mode
// (default 70: about a thousand in all); `make powerloss` runs more.
#include "disk_model.hpp"

#include "q7gif.h"
#include "quor7.h"
#include "quor7_fault.h"
#include "repack.hpp"
#include "sqlite_integrity.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using q7pl::Recorder;

// ---------------------------------------------------------------------
// What a file holds, as one comparable text
// ---------------------------------------------------------------------

uint64_t fnv(const void *p, size_t n, uint64_t h = 1469598103934665603ull) {
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char *>(p)[i]) * 1099511628211ull;
    return h;
}

void describe(q7id_t loc, const std::string &path, std::string &out);

q7status_t describe_link(q7id_t group, const char *name, const Q7L_info_t *, void *data) {
    auto *ctx = static_cast<std::pair<std::string, std::string *> *>(data);
    q7id_t o = Q7Oopen(group, name, 0);
    if (o < 0) {
        *ctx->second += ctx->first + name + " unreadable\n";
        return 0;
    }
    describe(o, ctx->first + name, *ctx->second);
    Q7Oclose(o);
    return 0;
}

void describe(q7id_t obj, const std::string &path, std::string &out) {
    Q7O_info2_t info{};
    Q7Oget_info2(obj, &info, Q7O_INFO_BASIC);
    if (info.type == Q7O_TYPE_DATASET) {
        q7id_t sp = Q7Dget_space(obj), ty = Q7Dget_type(obj);
        q7ssize_t n = Q7Sget_simple_extent_npoints(sp);
        size_t esize = Q7Tget_size(ty);
        std::vector<unsigned char> v((size_t)(n > 0 ? n : 0) * esize + 1);
        bool ok = n >= 0 && Q7Dread(obj, ty, 0, 0, 0, v.data()) >= 0;
        char line[160];
        snprintf(line, sizeof line, "%s dataset %lld x %zu %016llx%s\n", path.c_str(), (long long)n, esize,
                 (unsigned long long)fnv(v.data(), v.size() - 1), ok ? "" : " unreadable");
        out += line;
        Q7Tclose(ty);
        Q7Sclose(sp);
        return;
    }
    out += path + " group\n";
    std::pair<std::string, std::string *> ctx{path == "/" ? "/" : path + "/", &out};
    q7size_t idx = 0;
    if (Q7Literate2(obj, &idx, describe_link, &ctx) < 0) out += path + " links unreadable\n";
}

const std::string kAbsent = "(no file)";

std::string describe_file(const std::string &file) {
    if (!fs::exists(file)) return kAbsent;
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    if (f < 0) return "(does not open)";
    std::string out;
    describe(f, "/", out);
    Q7Fclose(f);
    return out;
}

using q7test::sqlite_integrity;

// ---------------------------------------------------------------------
// Workloads
// ---------------------------------------------------------------------

// What a workload tells the checker: after each commit that returned
// success, the number of disk operations so far and the state then.
struct Commits {
    std::string file;
    std::vector<std::pair<size_t, std::string>> states;
    void note(q7id_t f) {
        std::string out;
        describe(f, "/", out);
        states.push_back({Recorder::get().ops(), out});
    }
    void note_closed() { states.push_back({Recorder::get().ops(), describe_file(file)}); }
};

struct Mode {
    const char *name;
    unsigned flags;  // Q7F_ACC_CONCURRENT_WRITE or 0
    int sync;
};

// Creates (replacing) or opens a file with the mode's flags and syncs.
q7id_t open_file(const std::string &file, const Mode &m, bool create) {
    q7id_t fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
    Q7Pset_fapl_sync(fapl, m.sync);
    q7id_t f = create ? Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC | m.flags, 0, fapl)
                      : Q7Fopen(file.c_str(), Q7F_ACC_RDWR | m.flags, fapl);
    Q7Pclose(fapl);
    return f;
}

q7id_t make_dataset(q7id_t f, const char *name, q7size_t n, q7size_t max, q7size_t chunk) {
    q7size_t dims[1] = {n}, maxd[1] = {max}, ch[1] = {chunk};
    q7id_t sp = Q7Screate_simple(1, dims, maxd);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, ch);
    q7id_t d = Q7Dcreate2(f, name, Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
    return d;
}

bool fill(q7id_t d, q7size_t start, q7size_t count, int base) {
    std::vector<int> v(count);
    for (q7size_t i = 0; i < count; ++i) v[i] = base + (int)(i * 7);
    q7id_t fs_ = Q7Dget_space(d);
    q7size_t st[1] = {start}, cn[1] = {count};
    q7id_t ms = Q7Screate_simple(1, cn, nullptr);
    bool ok = Q7Sselect_hyperslab(fs_, Q7S_SELECT_SET, st, nullptr, cn, nullptr) >= 0 &&
              Q7Dwrite(d, Q7T_NATIVE_INT_g, ms, fs_, 0, v.data()) >= 0;
    Q7Sclose(ms);
    Q7Sclose(fs_);
    return ok;
}

using Workload = std::function<void(const std::string &dir, const Mode &, Commits &)>;

// Chunks written in bulk, then rewritten.
void bulk(const std::string &dir, const Mode &m, Commits &c) {
    q7id_t f = open_file(c.file, m, true);
    ASSERT_GE(f, 0);
    c.note(f);
    q7id_t d = make_dataset(f, "bulk", 96 * 1024, 96 * 1024, 8192);
    ASSERT_TRUE(fill(d, 0, 96 * 1024, 1));
    ASSERT_GE(Q7Fflush(f), 0);
    c.note(f);
    ASSERT_TRUE(fill(d, 0, 96 * 1024, 2));
    ASSERT_TRUE(fill(d, 40000, 30000, 3));
    Q7Dclose(d);
    ASSERT_GE(Q7Fclose(f), 0);
    c.note_closed();
    (void)dir;
}

// Many small calls, flushed now and then.
void small_calls(const std::string &, const Mode &m, Commits &c) {
    q7id_t f = open_file(c.file, m, true);
    ASSERT_GE(f, 0);
    c.note(f);
    q7id_t d = make_dataset(f, "cells", 4096, 4096, 512);
    char name[16];
    for (int i = 0; i < 90; ++i) {
        snprintf(name, sizeof name, "g%03d", i);
        Q7Gclose(Q7Gcreate2(f, name, 0, 0, 0));
        ASSERT_TRUE(fill(d, (q7size_t)(i * 37 % 4096), 1, i));
        if (i % 30 == 29) {
            ASSERT_GE(Q7Fflush(f), 0);
            c.note(f);
        }
    }
    Q7Dclose(d);
    ASSERT_GE(Q7Fclose(f), 0);
    c.note_closed();
}

// Growing, shrinking, rewriting and deleting in an existing file.
void reshape(const std::string &, const Mode &m, Commits &c) {
    q7id_t f = open_file(c.file, m, false);
    ASSERT_GE(f, 0);
    q7id_t d = Q7Dopen2(f, "grow", 0);
    for (int round = 0; round < 4; ++round) {
        q7size_t n = (q7size_t)(20000 + round * 15000);
        ASSERT_GE(Q7Dset_extent(d, &n), 0);
        ASSERT_TRUE(fill(d, n - 15000, 15000, 100 * round));
        if (round == 2) {
            q7size_t shrunk = 9000;
            ASSERT_GE(Q7Dset_extent(d, &shrunk), 0);
            ASSERT_GE(Q7Ldelete(f, "old", 0), 0);
        }
        ASSERT_GE(Q7Fflush(f), 0);
        c.note(f);
    }
    Q7Dclose(d);
    ASSERT_GE(Q7Fclose(f), 0);
    c.note_closed();
}

void prepare_reshape(const std::string &file) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d = make_dataset(f, "grow", 5000, Q7S_UNLIMITED, 4096);
    fill(d, 0, 5000, 9);
    Q7Dclose(d);
    Q7Gclose(Q7Gcreate2(f, "old", 0, 0, 0));
    q7id_t o = make_dataset(f, "old/data", 20000, 20000, 4096);
    fill(o, 0, 20000, 5);
    Q7Dclose(o);
    Q7Fclose(f);
}

// A file created anew over an earlier one, and a new file published under
// the name of an earlier one (as gif2q7 and q7repack do).
void replace_file(const std::string &, const Mode &m, Commits &c) {
    q7id_t f = open_file(c.file, m, true);
    ASSERT_GE(f, 0);
    c.note(f);
    q7id_t d = make_dataset(f, "fresh", 30000, 30000, 8192);
    ASSERT_TRUE(fill(d, 0, 30000, 77));
    Q7Dclose(d);
    ASSERT_GE(Q7Fclose(f), 0);
    c.note_closed();
}

void publish_file(const std::string &dir, const Mode &m, Commits &c) {
    const std::string part = dir + "/out.q7.part";
    q7id_t f = open_file(part, m, true);
    ASSERT_GE(f, 0);
    q7id_t d = make_dataset(f, "image", 40000, 40000, 8192);
    ASSERT_TRUE(fill(d, 0, 40000, 11));
    Q7Dclose(d);
    ASSERT_GE(Q7Fclose(f), 0);
    ASSERT_GE(Q7Frename(part.c_str(), c.file.c_str()), 0);
    c.note_closed();
}

void prepare_earlier(const std::string &file) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d = make_dataset(f, "earlier", 30000, 30000, 8192);
    fill(d, 0, 30000, 55);
    Q7Dclose(d);
    Q7Fclose(f);
}

// gif2q7's way: the image writer fills a file under a temporary name,
// which is then published under the output's name.
void gif_import(const std::string &dir, const Mode &, Commits &c) {
    static q7gif_screen_t screen{};
    static q7gif_image_t image{};
    static std::vector<uint8_t> pixels(96 * 80);
    screen.packed = 0x80 | 0x01;
    screen.num_colours = 4;
    screen.image_count = 1;
    screen.screen_width = 96;
    screen.screen_height = 80;
    for (int i = 0; i < 12; ++i) screen.global_palette[i] = (uint8_t)(i * 20);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = (uint8_t)(i * 7 % 4);
    image.width = 96;
    image.height = 80;
    image.pixels = pixels.data();
    q7gif_image_t *images[1] = {&image};
    q7gif_t gif{&screen, images, 1};
    const std::string part = dir + "/out.q7.part";
    ASSERT_EQ(WriteQuor(gif, part.c_str()), 0);
    ASSERT_GE(Q7Frename(part.c_str(), c.file.c_str()), 0);
    c.note_closed();
}

// q7repack's way: a new file with another pipeline, published by rename.
void repack(const std::string &dir, const Mode &, Commits &c) {
    q7repack::Options o;
    o.in = dir + "/in.q7";
    o.out = c.file;
    o.force = true;
    o.mode = q7repack::Mode::quiet;
    o.filter_rules.push_back({"/", {{2, {}}, {1, {6}}}});
    ASSERT_EQ(q7repack::run(o), q7repack::kDone);
    c.note_closed();
}

void prepare_repack(const std::string &file) {
    prepare_earlier(file);
    std::string in = fs::path(file).parent_path() / "in.q7";
    q7id_t f = Q7Fcreate(in.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t d = make_dataset(f, "values", 50000, 50000, 8192);
    fill(d, 0, 50000, 3);
    Q7Dclose(d);
    Q7Gclose(Q7Gcreate2(f, "more", 0, 0, 0));
    Q7Fclose(f);
}

// The concurrent writer's pattern: grow by a record, write it, flush.
void appends(const std::string &, const Mode &m, Commits &c) {
    q7id_t f = open_file(c.file, m, true);
    ASSERT_GE(f, 0);
    c.note(f);
    q7id_t d = make_dataset(f, "records", 0, Q7S_UNLIMITED, 256);
    ASSERT_GE(Q7Fflush(f), 0);
    c.note(f);
    for (q7size_t n = 1; n <= 40; ++n) {
        q7size_t ext = n * 100;
        ASSERT_GE(Q7Dset_extent(d, &ext), 0);
        ASSERT_TRUE(fill(d, ext - 100, 100, (int)n));
        if (n % 4 == 0) {
            ASSERT_GE(Q7Fflush(f), 0);
            c.note(f);
        }
    }
    Q7Dclose(d);
    ASSERT_GE(Q7Fclose(f), 0);
    c.note_closed();
}

struct Case {
    const char *name;
    Workload run;
    std::function<void(const std::string &)> prepare;  // builds the file the workload starts from
    bool takes_mode = true;  // false: the program decides how it opens its files
};

const Case kCases[] = {
    {"bulk chunk writes", bulk, nullptr},
    {"many small calls", small_calls, nullptr},
    {"grow, shrink, rewrite, delete", reshape, prepare_reshape},
    {"create over an earlier file", replace_file, prepare_earlier},
    {"publish a new file by rename", publish_file, prepare_earlier},
    {"gif2q7's import", gif_import, prepare_earlier, false},
    {"q7repack's rewrite", repack, prepare_repack, false},
    {"concurrent writer's appends", appends, nullptr},
};

int cuts_per_run() {
    const char *env = std::getenv("QUOR7_POWERLOSS_CUTS");
    int n = env ? std::atoi(env) : 70;
    return n > 0 ? n : 70;
}

struct Tally {
    int cuts = 0, failures = 0;
    int damaged = 0;  // of the failures: does not open, or fails the integrity check
    int earlier = 0;  // of the failures: opens at an earlier commit (recent commits lost)
    std::string first_failure;
};

// Runs one workload under the recorder, then cuts the power `cuts` times.
// keep_all: every write issued arrived (a killed process, not a power cut).
Tally run_case(const Case &cs, const Mode &mode, int cuts, uint32_t seed, bool keep_all = false) {
    Tally t;
    q7test::TempDir work, scratch;
    Commits c;
    c.file = work.file("data.q7");
    if (cs.prepare) cs.prepare(c.file);
    Q7Eclear2(0);
    std::string before = describe_file(c.file);
    Recorder::get().start(work.file(""));
    c.states.push_back({0, before});
    cs.run(work.file(""), mode, c);
    Recorder::get().stop();
    if (::testing::Test::HasFatalFailure()) return t;
    size_t total = Recorder::get().ops();
    for (int k = 0; k < cuts; ++k) {
        // Spread over the whole log, including its very end.
        size_t cut = (size_t)((uint64_t)total * (k + 1) / cuts);
        uint32_t s = seed * 7919u + (uint32_t)k;
        fs::remove_all(scratch.file(""));
        fs::create_directories(scratch.file(""));
        Recorder::get().materialize(cut, s, scratch.file(""), keep_all);
        const std::string file = scratch.file("data.q7");
        std::string got = describe_file(file);
        // The last commit that returned before the cut, and the next one.
        size_t last = 0;
        while (last + 1 < c.states.size() && c.states[last + 1].first <= cut) ++last;
        bool ok = got == c.states[last].second || (last + 1 < c.states.size() && got == c.states[last + 1].second);
        std::string check = got == kAbsent ? "ok" : sqlite_integrity(file);
        ++t.cuts;
        if (!ok || check != "ok") {
            ++t.failures;
            bool older = false;
            for (size_t j = 0; j < last; ++j) older = older || got == c.states[j].second;
            if (check != "ok" || got == "(does not open)") ++t.damaged;
            else if (older) ++t.earlier;
            if (t.first_failure.empty())
                t.first_failure = "cut after " + std::to_string(cut) + " of " + std::to_string(total) +
                                  " operations, seed " + std::to_string(s) + ": integrity " + check + "\nfound:\n" +
                                  got + "expected:\n" + c.states[last].second;
        }
    }
    return t;
}

class PowerLoss : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Q7fault_enabled()) GTEST_SKIP() << "the file observer needs fault injection compiled in";
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
    }
    void TearDown() override { Q7close(); }
};

TEST_F(PowerLoss, FlushedStateSurvivesEveryCutAndNoCallIsHalfApplied) {
    const Mode modes[] = {{"rollback journal", 0, 1}, {"concurrent writer (log)", Q7F_ACC_CONCURRENT_WRITE, 1}};
    int cuts = cuts_per_run(), total = 0;
    for (const Mode &m : modes) {
        for (size_t i = 0; i < std::size(kCases); ++i) {
            if (!kCases[i].takes_mode && m.flags) continue;
            SCOPED_TRACE(std::string(kCases[i].name) + ", " + m.name);
            Tally t = run_case(kCases[i], m, cuts, 20261208u + (uint32_t)i);
            total += t.cuts;
            EXPECT_EQ(t.failures, 0) << t.failures << " of " << t.cuts << " cuts failed; first: " << t.first_failure;
            std::printf("power loss: %-32s %-24s %4d cuts, %d failures\n", kCases[i].name, m.name, t.cuts,
                        t.failures);
        }
    }
    std::printf("power loss: %d cuts in all\n", total);
}

// Without syncs a killed process still leaves every file at a commit (the
// operating system keeps what was written); after a power cut nothing is
// promised, and what the cuts did is printed for the documentation.
TEST_F(PowerLoss, WithoutSyncsAKillIsSafeAndWhatAPowerCutDoesIsReported) {
    const Mode m{"syncs off", 0, 0};
    for (size_t i = 0; i < std::size(kCases); ++i) {
        if (!kCases[i].takes_mode) continue;
        SCOPED_TRACE(kCases[i].name);
        Tally killed = run_case(kCases[i], m, cuts_per_run() / 3 + 1, 4242u + (uint32_t)i, true);
        EXPECT_EQ(killed.failures, 0) << killed.first_failure;
        Tally cut = run_case(kCases[i], m, cuts_per_run() / 3 + 1, 4242u + (uint32_t)i);
        std::printf("power loss, syncs off: %-32s kills: %d, all at a commit: %s; power cuts: %d, at the last "
                    "commits: %d, at an earlier commit or no file: %d, damaged: %d, other: %d\n",
                    kCases[i].name, killed.cuts, killed.failures ? "no" : "yes", cut.cuts, cut.cuts - cut.failures,
                    cut.earlier, cut.damaged, cut.failures - cut.earlier - cut.damaged);
    }
}

} // namespace
