// A writer killed with SIGKILL at random moments while it writes chunked
// data and flushes after each round: the file must always open at its last
// commit, every dataset must hold one whole call's write (earlier or newer,
// never a mix), every chunk appended to the log must hold its record,
// nothing flushed may be lost, and the database must pass SQLite's own
// integrity check.
#include "harden_pattern.hpp"
#include "sqlite_integrity.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct WriterRun {
    std::string out;      // what the writer printed before it died
    bool killed = false;  // true if our SIGKILL ended it
};

// Starts the writer and kills it delay_us later, counted from its start or,
// with after_first_write, from its first reported write (so the kill lands
// while data is being written, however slow the machine is today).
WriterRun run_and_kill(const std::string &file, uint64_t gen, long delay_us, bool after_first_write) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::string g = std::to_string(gen);
        execl(HARDEN_WRITER, HARDEN_WRITER, "crash", file.c_str(), g.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    WriterRun r;
    char buf[4096];
    ssize_t n;
    if (after_first_write) {
        while (r.out.find('\n') == std::string::npos && (n = read(fds[0], buf, sizeof buf)) > 0)
            r.out.append(buf, (size_t)n);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    kill(pid, SIGKILL);
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, (size_t)n);
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.killed = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    return r;
}

using q7test::sqlite_integrity;

// Per dataset, the generations found in the file, chunk by chunk (0: the
// chunk was never written).  Fails the test on a chunk that is not one
// whole write, on a fixed dataset whose chunks come from different calls,
// and on a log chunk that was added without its record.
std::map<std::string, std::vector<uint64_t>> read_back(q7id_t f, uint64_t newest, int kill_no) {
    std::map<std::string, std::vector<uint64_t>> gens;
    std::vector<std::pair<std::string, int>> sets;
    for (int ds = 0; ds < q7h::kFixedDatasets; ++ds) sets.push_back({q7h::kNames[ds], ds});
    sets.push_back({q7h::kLog, q7h::kFixedDatasets});
    for (auto &[name, ds] : sets) {
        q7id_t d = Q7Dopen2(f, name.c_str(), 0);
        if (d < 0) {
            // The writer may die before it has created everything.
            EXPECT_EQ(Q7Lexists(f, name.c_str(), 0), 0) << name << " exists but does not open, kill " << kill_no;
            continue;
        }
        q7id_t sp = Q7Dget_space(d);
        q7size_t n = 0;
        Q7Sget_simple_extent_dims(sp, &n, nullptr);
        Q7Sclose(sp);
        std::vector<uint64_t> v(n);
        EXPECT_GE(Q7Dread(d, Q7T_NATIVE_UINT64_g, 0, 0, 0, v.data()), 0) << name << ", kill " << kill_no;
        Q7Dclose(d);
        auto &g = gens[name];
        for (q7size_t c = 0; c * q7h::kChunk < n; ++c) {
            size_t first = c * q7h::kChunk;
            uint64_t gen = q7h::generation_of(v[first]);
            bool blank = v[first] == 0;
            for (size_t i = first; i < first + q7h::kChunk && i < n; ++i) {
                bool ok = blank ? v[i] == 0 : (q7h::generation_of(v[i]) == gen && q7h::fits(v[i], ds, i));
                if (!ok) {
                    ADD_FAILURE() << name << " chunk " << c << " mixes writes at element " << i << " (kill "
                                  << kill_no << ")";
                    break;
                }
            }
            EXPECT_LE(gen, newest) << name << " chunk " << c << " holds a generation never written";
            g.push_back(blank ? 0 : gen);
        }
        if (ds == q7h::kFixedDatasets) {
            EXPECT_EQ(std::count(g.begin(), g.end(), uint64_t{0}), 0) << "log grown without its record, kill " << kill_no;
        } else if (!g.empty()) {
            EXPECT_EQ(std::count(g.begin(), g.end(), g.front()), (long)g.size())
                << name << " holds parts of two writes, kill " << kill_no;
        }
    }
    return gens;
}

TEST(CrashSafety, KilledWriterLeavesWholeChunksAndLosesNothingReported) {
    q7test::TempDir dir;
    const std::string file = dir.file("crash.q7");
    std::mt19937 rng(20261208);
    // One run in four dies at any moment from its start (creating or
    // opening the file, making the layout); the others while writing.
    std::uniform_int_distribution<long> early(200, 40000), writing(0, 25000);
    ASSERT_GE(Q7open(), 0);
    Q7Eset_auto2(0, nullptr, nullptr);

    uint64_t next_gen = 1;
    std::map<std::string, uint64_t> reported;  // newest generation each dataset reported written
    std::map<std::string, size_t> log_chunks_reported;
    int kills = 0, runs_with_writes = 0, killed_before_file = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 100; ++k) {
        bool anywhere = k % 4 == 0;
        WriterRun r = run_and_kill(file, next_gen, anywhere ? early(rng) : writing(rng), !anywhere);
        ASSERT_TRUE(r.killed) << "writer ended on its own, run " << k << ": " << r.out;
        ++kills;
        uint64_t newest = next_gen - 1;
        std::istringstream in(r.out);
        std::string line, name;
        int lines = 0;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // an unterminated last line was cut off mid-print
            std::istringstream l(line);
            uint64_t g = 0;
            l >> name >> g;
            reported[name] = g;
            if (name == q7h::kLog) ++log_chunks_reported[name];
            newest = std::max(newest, g);
            ++lines;
        }
        runs_with_writes += lines > 0;
        // The writer may have started the next generation without reporting it.
        uint64_t started = std::max(newest + 1, next_gen);

        if (reported.empty() && access(file.c_str(), F_OK) != 0) {
            // Killed before the file was complete: then there is none.
            ++killed_before_file;
            continue;
        }
        q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
        if (f < 0) Q7Eprint2(0, stderr);
        ASSERT_GE(f, 0) << "file does not open after kill " << k;
        auto gens = read_back(f, started, k);
        Q7Fclose(f);
        for (auto &[ds, g] : reported) {
            ASSERT_TRUE(gens.count(ds)) << ds << " was written but is gone, kill " << k;
            auto &chunks = gens[ds];
            if (ds == q7h::kLog) {
                // every appended chunk the writer reported is still there
                size_t written = 0;
                for (uint64_t c : chunks) written += c != 0;
                EXPECT_GE(written, log_chunks_reported[ds]) << "kill " << k;
            } else {
                for (size_t c = 0; c < chunks.size(); ++c)
                    EXPECT_GE(chunks[c], g) << ds << " chunk " << c << " lost a reported write, kill " << k;
            }
        }
        ASSERT_EQ(sqlite_integrity(file), "ok") << "kill " << k;
        if (HasFailure()) break;
        next_gen = started + 1;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    Q7close();
    std::printf("crash safety: %d kills (%d before the file existed), %d runs reported writes, %llu generations, "
                "%.1f s\n",
                kills, killed_before_file, runs_with_writes, (unsigned long long)next_gen - 1, secs);
}

} // namespace
