// q7repack throughput: a 256 MiB float64 dataset in 1 MiB chunks repacked
// with no filter change and with --filter 257:5, against the least a copy
// through the library does: Q7Dread of every chunk from the input and
// Q7Dwrite of it to a new file, in the same rounds.
//
// Every pass is timed from the start until its output is durable: the
// baseline until Q7Fclose of its default (synced) file has returned, a
// repack until Q7Frename has moved the finished file into place.  q7repack
// writes its file with syncs off and lets Q7Frename sync it once; the
// baseline written the same way is shown beside, as a reference.  Each
// benchmark iteration is one round of the three passes, so that load from
// other processes falls on all of them alike; the table at the end gives
// the median of each pass over the rounds and its ratio to the baseline.
// Before each pass the output of the previous round is removed and sync()
// flushes what earlier passes left dirty, outside the timing.
//
// Peak memory: the q7repack program itself, run as a child on the same
// file both ways; its resident-set high-water mark is read from wait4().
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "q7tools.h"
#include "quor7.h"
#include "repack.hpp"

namespace {

constexpr q7size_t kMiB = 1u << 20;
constexpr q7size_t kBytes = 256 * kMiB;
constexpr q7size_t kElems = kBytes / 8;
constexpr q7size_t kChunkElems = kMiB / 8;

const std::string kBaseline = "Q7Dread + Q7Dwrite to a new file";
const std::string kBaselineNoSync = "the same, syncs off, then Q7Frename";
const std::string kUnchanged = "q7repack, no filter change";
const std::string kOffset = "q7repack --filter 257:5";

std::map<std::string, std::vector<double>> g_seconds;
bool g_failed = false;

std::filesystem::path work_dir() {
    static std::filesystem::path dir = [] {
        auto d = std::filesystem::current_path() / "bench-repack-work";
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}
std::string in_work(const char *name) { return (work_dir() / name).string(); }

bool make_input(const std::string &path) {
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7size_t n = kElems, c = kChunkElems;
    q7id_t space = Q7Screate_simple(1, &n, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, &c);
    q7id_t d = Q7Dcreate2(f, "/series", Q7T_IEEE_F64LE_g, space, 0, dcpl, 0);
    std::vector<double> block(kChunkElems);
    q7id_t fs = Q7Dget_space(d), ms = Q7Screate_simple(1, &c, nullptr);
    bool ok = d >= 0;
    for (q7size_t start = 0; ok && start < kElems; start += kChunkElems) {
        for (q7size_t i = 0; i < kChunkElems; ++i) block[i] = static_cast<double>(start + i) * 0.25 + 1e-3 * (i % 7);
        ok = Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, &start, nullptr, &c, nullptr) >= 0 &&
             Q7Dwrite(d, Q7T_NATIVE_DOUBLE_g, ms, fs, 0, block.data()) >= 0;
    }
    Q7Sclose(fs);
    Q7Sclose(ms);
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return Q7Fclose(f) >= 0 && ok;
}

// The baseline: every chunk read with Q7Dread and written with Q7Dwrite
// to a dataset of the same shape in a new default file.
// With synced false the new file skips syncs and is made durable by
// Q7Frename, as q7repack writes its output.
bool read_write_copy(const std::string &in, const std::string &out, bool synced) {
    const std::string target = synced ? out : out + ".tmp";
    q7id_t fi = Q7Fopen(in.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t di = Q7Dopen2(fi, "/series", 0);
    q7id_t fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
    Q7Pset_fapl_sync(fapl, synced ? 1 : 0);
    q7id_t fo = Q7Fcreate(target.c_str(), Q7F_ACC_TRUNC, 0, fapl);
    Q7Pclose(fapl);
    q7size_t n = kElems, c = kChunkElems;
    q7id_t space = Q7Screate_simple(1, &n, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, &c);
    q7id_t dout = Q7Dcreate2(fo, "/series", Q7T_IEEE_F64LE_g, space, 0, dcpl, 0);
    std::vector<double> block(kChunkElems);
    q7id_t fsi = Q7Dget_space(di), fso = Q7Dget_space(dout), ms = Q7Screate_simple(1, &c, nullptr);
    bool ok = di >= 0 && dout >= 0;
    for (q7size_t start = 0; ok && start < kElems; start += kChunkElems) {
        ok = Q7Sselect_hyperslab(fsi, Q7S_SELECT_SET, &start, nullptr, &c, nullptr) >= 0 &&
             Q7Sselect_hyperslab(fso, Q7S_SELECT_SET, &start, nullptr, &c, nullptr) >= 0 &&
             Q7Dread(di, Q7T_NATIVE_DOUBLE_g, ms, fsi, 0, block.data()) >= 0 &&
             Q7Dwrite(dout, Q7T_NATIVE_DOUBLE_g, ms, fso, 0, block.data()) >= 0;
    }
    Q7Sclose(fsi);
    Q7Sclose(fso);
    Q7Sclose(ms);
    Q7Dclose(di);
    Q7Dclose(dout);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    Q7Fclose(fi);
    ok = Q7Fclose(fo) >= 0 && ok;
    return ok && (synced || Q7Frename(target.c_str(), out.c_str()) >= 0);
}

bool repack(const std::string &in, const std::string &out, const char *filter) {
    const char *argv[] = {"q7repack", "-q", "--filter", filter, in.c_str(), out.c_str()};
    const int argc = filter ? 6 : 4;
    if (!filter) {
        argv[2] = in.c_str();
        argv[3] = out.c_str();
    }
    q7repack::Options opts;
    std::string error;
    if (q7repack::parse_command_line(argc, argv, opts, &error) != q7repack::Parsed::run) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return q7repack::run(opts) == q7repack::kDone;
}

template <class F>
bool timed(const std::string &pass, const std::string &out, F &&body) {
    std::error_code ec;
    std::filesystem::remove(out, ec);
    sync();
    auto t0 = std::chrono::steady_clock::now();
    bool ok = body();
    g_seconds[pass].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return ok;
}

void round(benchmark::State &state) {
    const std::string in = in_work("in.q7"), out = in_work("out.q7");
    for (auto _ : state) {
        bool ok = timed(kBaseline, out, [&] { return read_write_copy(in, out, true); }) &&
                  timed(kBaselineNoSync, out, [&] { return read_write_copy(in, out, false); }) &&
                  timed(kUnchanged, out, [&] { return repack(in, out, nullptr); }) &&
                  timed(kOffset, out, [&] { return repack(in, out, "257:5"); });
        if (!ok) {
            g_failed = true;
            state.SkipWithError("a pass failed");
            break;
        }
    }
}

// Peak resident set of the q7repack program run on the input, in KiB; 0
// when it failed.
long program_peak_kib(const std::string &in, const char *filter) {
    const std::string out = in_work("peak.q7");
    std::error_code ec;
    std::filesystem::remove(out, ec);
    pid_t pid = fork();
    if (pid == 0) {
        if (filter) execl(Q7REPACK_PROGRAM, "q7repack", "-q", "--filter", filter, in.c_str(), out.c_str(), nullptr);
        else execl(Q7REPACK_PROGRAM, "q7repack", "-q", in.c_str(), out.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
    std::filesystem::remove(out, ec);
    return usage.ru_maxrss;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    Q7open();
    Q7Eset_auto2(0, nullptr, nullptr);
    q7tools_setprogname("bench_repack");
    q7tools_init();
    if (Q7Zfilter_avail(257) <= 0) {
        fprintf(stderr, "filter 257 is not available (offset_plugin not built or not on QUOR7_PLUGIN_PATH)\n");
        return 1;
    }
    const std::string in = in_work("in.q7");
    if (!make_input(in)) {
        fprintf(stderr, "cannot write the input file\n");
        return 1;
    }
    const long peak_unchanged = program_peak_kib(in, nullptr);
    const long peak_offset = program_peak_kib(in, "257:5");

    benchmark::RegisterBenchmark("repack/round_256MiB", round)->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    int rc = 1;
    if (g_failed) {
        fprintf(stderr, "a round failed: no table\n");
    } else if (!g_seconds[kBaseline].empty()) {
        rc = 0;
        const double base = median(g_seconds[kBaseline]);
        printf("\nmedian of %zu rounds, 256 MiB of float64 in 1 MiB chunks, start to durable output\n",
               g_seconds[kBaseline].size());
        printf("%-36s %8s %7s %6s  %s\n", "pass", "ms", "MiB/s", "ratio", "target");
        struct Row {
            const std::string &pass;
            double target;
        };
        for (const Row &row : {Row{kBaseline, 0}, Row{kBaselineNoSync, 0}, Row{kUnchanged, 1.3}, Row{kOffset, 1.4}}) {
            const double s = median(g_seconds[row.pass]);
            char target[32] = "";
            if (row.target > 0) {
                const bool met = s / base <= row.target;
                snprintf(target, sizeof target, "<= %.1f %s", row.target, met ? "met" : "NOT MET");
                if (!met) rc = 1;
            }
            printf("%-36s %8.0f %7.0f %6.2f  %s\n", row.pass.c_str(), 1000 * s, 256 / s, s / base, target);
        }
        printf("\npeak memory of the q7repack program (RSS high-water mark, target < 64 MiB)\n");
        for (auto [name, kib] : {std::pair{kUnchanged, peak_unchanged}, std::pair{kOffset, peak_offset}}) {
            if (kib == 0) {
                printf("%-36s failed: no figure\n", name.c_str());
                rc = 1;
                continue;
            }
            const bool met = kib < 64 * 1024;
            printf("%-36s %6.1f MiB  %s\n", name.c_str(), kib / 1024.0, met ? "met" : "NOT MET");
            if (!met) rc = 1;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(work_dir(), ec);
    q7tools_close();
    return rc;
}
