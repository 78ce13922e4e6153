// The allocation-failure sweep: each workload of oom_workload runs once to
// count its allocations, then again and again with allocation N failing,
// for a sample of N (every point with QUOR7_OOM_STRIDE=1, as `make
// oomsweep` does).  Every run must end by success or by a clean failure,
// never by a signal, a success whose effect is missing, or a record that
// names another cause; afterwards a clean process must find the files at
// their last commit and SQLite must find them sound.
//
// Environment: QUOR7_OOM_STRIDE (every k-th point; default: about
// QUOR7_OOM_RUNS points, 800, per workload), QUOR7_OOM_OFFSET (first point
// minus one; default varies by day so that the points change), QUOR7_OOM_JOBS
// (runs at once, default 2).
#include "test_support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

#ifndef OOMSWEEP_SKIP

long env_long(const char *name, long fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::atol(v) : fallback;
}

struct Child {
    int status = -1;  // exit status; -1 when killed by a signal
    int signal = 0;
    bool timed_out = false;
    std::string out, err;
};

// Runs the workload program with `args`, adding `extra` to the environment.
Child run_workload(const std::vector<std::string> &args, const std::vector<std::string> &extra,
                   const std::string &capture) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "QUOR7_OOM_", 10) != 0) env.push_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char *> envp, argv;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string prog = OOM_WORKLOAD;
    argv.push_back(prog.data());
    std::vector<std::string> a = args;
    for (auto &s : a) argv.push_back(s.data());
    argv.push_back(nullptr);

    std::string out_file = capture + ".out", err_file = capture + ".err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Child c;
    int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        c.err = std::string("cannot start ") + prog + ": " + std::strerror(rc);
        return c;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int raw = 0;
    for (;;) {
        pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline && !c.timed_out) {
            c.timed_out = true;
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (WIFEXITED(raw)) c.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) c.signal = WTERMSIG(raw);
    c.out = q7test::read_file(out_file);
    c.err = q7test::read_file(err_file);
    fs::remove(out_file);
    fs::remove(err_file);
    return c;
}

std::string last_step(const std::string &out) {
    size_t at = out.rfind("step ");
    if (at == std::string::npos) return "(before the first step)";
    size_t end = out.find('\n', at);
    return out.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

std::string tail(const std::string &s, size_t n = 900) { return s.size() > n ? "..." + s.substr(s.size() - n) : s; }

struct Outcome {
    long point = 0;
    Child run;
    Child verify;
};

// Copies the files a workload starts from into a fresh directory.
void fresh_copy(const fs::path &seed, const fs::path &dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (auto &e : fs::directory_iterator(seed)) fs::copy(e.path(), dir / e.path().filename());
}

std::string base_of(const std::string &workload, const fs::path &scratch) {
    Child list = run_workload({"list"}, {}, (scratch / "list").string());
    std::istringstream in(list.out);
    std::string name, base;
    while (in >> name >> base)
        if (name == workload) return base == "-" ? "" : base;
    ADD_FAILURE() << "oom_workload does not know workload " << workload << ": " << list.err;
    return "";
}

#endif

class OomSweep : public ::testing::TestWithParam<const char *> {};

TEST_P(OomSweep, EveryAllocationFailsCleanly) {
#ifdef OOMSWEEP_SKIP
    GTEST_SKIP() << OOMSWEEP_SKIP;
#else
    const std::string workload = GetParam();
    q7test::TempDir tmp;
    const fs::path seed = tmp.path() / "seed";
    fs::create_directories(seed);
    const std::string base = base_of(workload, tmp.path());
    std::string reproduce = "mkdir d && ";
    if (!base.empty()) {
        Child b = run_workload({"run", base, seed.string()}, {}, (tmp.path() / "base").string());
        ASSERT_EQ(b.status, 0) << "workload " << base << " fails without any failed allocation:\n" << b.err;
        reproduce += std::string(OOM_WORKLOAD) + " run " + base + " d && ";
    }

    // A clean run: how many allocations the library makes, and the proof
    // that the workload and its verification pass when nothing fails.
    fs::path clean = tmp.path() / "clean";
    fresh_copy(seed, clean);
    auto t0 = std::chrono::steady_clock::now();
    Child counted = run_workload({"run", workload, clean.string()}, {"QUOR7_OOM_COUNT=1"}, clean.string());
    ASSERT_EQ(counted.status, 0) << "workload " << workload << " fails without any failed allocation:\n"
                                 << counted.err;
    Child cv = run_workload({"verify", clean.string()}, {}, clean.string() + "-v");
    ASSERT_EQ(cv.status, 0) << "the files of a clean run do not verify:\n" << cv.err;
    long total = 0;
    size_t at = counted.err.rfind("allocations ");
    ASSERT_NE(at, std::string::npos) << counted.err;
    total = std::atol(counted.err.c_str() + at + 12);
    ASSERT_GT(total, 0);

    long stride = env_long("QUOR7_OOM_STRIDE", 0);
    if (stride <= 0) stride = std::max(1L, (total + env_long("QUOR7_OOM_RUNS", 800) - 1) / env_long("QUOR7_OOM_RUNS", 800));
    long offset = env_long("QUOR7_OOM_OFFSET", (long)(std::time(nullptr) / 86400)) % stride;
    std::vector<long> points;
    for (long n = offset + 1; n <= total; n += stride) points.push_back(n);

    std::vector<Outcome> outcomes(points.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < points.size();) {
            Outcome &o = outcomes[i];
            o.point = points[i];
            fs::path dir = tmp.path() / ("run-" + std::to_string(o.point));
            fresh_copy(seed, dir);
            o.run = run_workload({"run", workload, dir.string()}, {"QUOR7_OOM_FAIL_AT=" + std::to_string(o.point)},
                                 dir.string());
            o.verify = run_workload({"verify", dir.string()}, {}, dir.string() + "-v");
            fs::remove_all(dir);
        }
    };
    std::vector<std::thread> pool;
    for (long j = 0; j < std::max(1L, env_long("QUOR7_OOM_JOBS", 2)); ++j) pool.emplace_back(worker);
    for (auto &t : pool) t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    // Sorting the runs; every kind but the first two is a defect.
    std::map<std::string, std::vector<const Outcome *>> kinds;
    for (auto &o : outcomes) {
        const Child &r = o.run;
        auto says = [&](const char *text) { return r.err.find(text) != std::string::npos; };
        bool failure = r.status == 3 || r.status == 5 || r.status == 6;
        bool untrue = failure && (says("oom_workload: no record tells") || says("oom_workload: a record names"));
        bool unusable = failure && says("oom_workload: closing the library after the failure failed");
        if (untrue) kinds["failure without a true record"].push_back(&o);
        if (unusable) kinds["library unusable after the failure"].push_back(&o);
        if (r.timed_out) kinds["hung"].push_back(&o);
        else if (r.signal) kinds["ended by a signal"].push_back(&o);
        else if (r.status == 0) kinds["success"].push_back(&o);
        else if (r.status == 4) kinds["false success"].push_back(&o);
        else if (failure && !untrue && !unusable) kinds["clean failure"].push_back(&o);
        else if (!failure) kinds["unexpected exit status " + std::to_string(r.status)].push_back(&o);
        if (o.verify.status != 0) kinds["files not at their last commit"].push_back(&o);
    }
    std::printf("[ oomsweep ] %s: %ld allocations, %zu runs (every %ld-th from %ld), %.1f s:", workload.c_str(),
                total, points.size(), stride, offset + 1, seconds);
    for (auto &[kind, list] : kinds) std::printf(" %zu %s;", list.size(), kind.c_str());
    std::printf("\n");

    for (auto &[kind, list] : kinds) {
        if (kind == "success" || kind == "clean failure") continue;
        std::ostringstream msg;
        msg << list.size() << " of " << points.size() << " runs of workload " << workload << ": " << kind << "\n";
        // One example per step, and every point of each step.
        std::map<std::string, std::vector<long>> by_step;
        std::map<std::string, const Outcome *> example;
        for (const Outcome *o : list) {
            std::string step = last_step(o->run.out);
            by_step[step].push_back(o->point);
            if (!example.count(step)) example[step] = o;
        }
        for (auto &[step, pts] : by_step) {
            const Outcome *o = example[step];
            msg << "- step \"" << step << "\", points";
            for (size_t i = 0; i < pts.size() && i < 40; ++i) msg << ' ' << pts[i];
            if (pts.size() > 40) msg << " ...";
            msg << "\n  reproduce: " << reproduce << "QUOR7_OOM_FAIL_AT=" << o->point << ' ' << OOM_WORKLOAD << " run "
                << workload << " d\n";
            if (o->run.signal) msg << "  signal " << o->run.signal << " (" << strsignal(o->run.signal) << ")\n";
            msg << "  stderr: " << tail(o->run.err) << "\n";
            if (o->verify.status != 0) msg << "  verify: " << tail(o->verify.err) << "\n";
        }
        ADD_FAILURE() << msg.str();
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(Workloads, OomSweep, ::testing::Values("build", "reread", "update"),
                         [](const auto &info) { return std::string(info.param); });

} // namespace
