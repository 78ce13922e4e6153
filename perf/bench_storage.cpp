// Storage throughput: 256 MiB of int written with Q7Dwrite and read back
// with Q7Dread in 1 MiB chunks, without a filter and through filter 257
// (the offset plug-in), against write() and read() of the same bytes to a
// plain file in the same directory, in the same run.
//
// Each benchmark iteration is one round of every pass, so that load from
// other processes falls on all of them alike; the table at the end gives
// the median of each pass over the rounds.  The timed part is the data
// movement (Q7Dwrite, Q7Dread; write(), read()).  A Quor7 file commits
// its data when Q7Dwrite returns, but folds its log into the main file and
// syncs it to disk when it is closed, which a plain close() does not do;
// that close is timed separately and shown beside.
//
// Three reference passes run in the same rounds and show what the
// container underneath costs by itself: the same blobs through SQLite
// alone, and the write-ahead log's frame layout written with pwrite()
// (storage_reference.hpp).
#include "quor7.h"
#include "storage_reference.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kBytes = 256 * kMiB;
constexpr q7size_t kElems = kBytes / sizeof(int);
constexpr q7size_t kChunkElems = kMiB / sizeof(int);

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::map<std::string, std::vector<double>> g_seconds;  // per pass, one per round

std::filesystem::path work_dir() {
    static std::filesystem::path dir = [] {
        auto d = std::filesystem::current_path() / "bench-storage-work";
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

std::vector<int> &source() {
    static std::vector<int> v = [] {
        std::vector<int> x(kElems);
        for (q7size_t i = 0; i < kElems; ++i) x[i] = (int)(i * 2654435761u);
        return x;
    }();
    return v;
}

std::vector<int> &sink() {
    static std::vector<int> v(kElems, 1);
    return v;
}

bool plain_write(const std::string &file) {
    const char *src = (const char *)source().data();
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    auto t = Clock::now();
    bool ok = true;
    for (size_t off = 0; off < kBytes; off += kMiB) ok &= write(fd, src + off, kMiB) == (ssize_t)kMiB;
    g_seconds["plain write"].push_back(since(t));
    return close(fd) == 0 && ok;
}

bool plain_read(const std::string &file) {
    char *dst = (char *)sink().data();
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0) return false;
    auto t = Clock::now();
    bool ok = true;
    for (size_t off = 0; off < kBytes; off += kMiB) ok &= read(fd, dst + off, kMiB) == (ssize_t)kMiB;
    g_seconds["plain read"].push_back(since(t));
    close(fd);
    return ok && memcmp(dst, source().data(), kBytes) == 0;
}

bool q7_write(const std::string &file, int filter, const std::string &label) {
    q7id_t f = Q7Fcreate(file.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7size_t n = kElems, c = kChunkElems;
    q7id_t s = Q7Screate_simple(1, &n, nullptr);
    q7id_t p = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(p, 1, &c);
    unsigned level = 5;
    if (filter) Q7Pset_filter(p, filter, Q7Z_FLAG_MANDATORY, 1, &level);
    q7id_t d = Q7Dcreate2(f, "data", Q7T_NATIVE_INT_g, s, 0, p, 0);
    auto t = Clock::now();
    bool ok = Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, source().data()) >= 0;
    g_seconds[label].push_back(since(t));
    Q7Dclose(d);
    Q7Pclose(p);
    Q7Sclose(s);
    t = Clock::now();
    ok &= Q7Fclose(f) >= 0;
    g_seconds[label + " close"].push_back(since(t));
    return ok;
}

bool q7_read(const std::string &file, const std::string &label) {
    q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t d = Q7Dopen2(f, "data", 0);
    memset(sink().data(), 0, kBytes);
    auto t = Clock::now();
    bool ok = Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, sink().data()) >= 0;
    g_seconds[label].push_back(since(t));
    Q7Dclose(d);
    Q7Fclose(f);
    return ok && memcmp(sink().data(), source().data(), kBytes) == 0;
}

bool reference_write(const std::string &db, const std::string &log) {
    const auto *src = (const unsigned char *)source().data();
    double sec = 0;
    if (!storage_reference::sqlite_write(db, src, kBytes, kMiB, &sec)) return false;
    g_seconds["SQLite alone, write"].push_back(sec);
    if (!storage_reference::log_layout_write(log, src, kBytes, &sec)) return false;
    g_seconds["log layout, pwrite()"].push_back(sec);
    return true;
}

bool reference_read(const std::string &db) {
    double sec = 0;
    if (!storage_reference::sqlite_read(db, (unsigned char *)sink().data(), (const unsigned char *)source().data(),
                                        kBytes, kMiB, &sec))
        return false;
    g_seconds["SQLite alone, read"].push_back(sec);
    return true;
}

bool g_have_offset = false;

void round(benchmark::State &state) {
    std::string plain = (work_dir() / "plain.bin").string();
    std::string q7 = (work_dir() / "plain.q7").string();
    std::string q7f = (work_dir() / "filtered.q7").string();
    std::string bare = (work_dir() / "bare.sqlite").string();
    std::string log = (work_dir() / "log-layout.bin").string();
    for (auto _ : state) {
        bool ok = plain_write(plain) && q7_write(q7, 0, "Q7Dwrite, no filter") &&
                  (!g_have_offset || q7_write(q7f, 257, "Q7Dwrite, filter 257")) && reference_write(bare, log) &&
                  plain_read(plain) && q7_read(q7, "Q7Dread, no filter") &&
                  (!g_have_offset || q7_read(q7f, "Q7Dread, filter 257")) && reference_read(bare);
        if (!ok) {
            state.SkipWithError("a pass failed or read back different data");
            break;
        }
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    Q7open();
    source();
    sink();
    g_have_offset = Q7Zfilter_avail(257) > 0;
    if (!g_have_offset)
        fprintf(stderr, "filter 257 is not available (offset_plugin not built or not on QUOR7_PLUGIN_PATH): "
                        "its cases are skipped\n");
    benchmark::RegisterBenchmark("storage/round_256MiB", round)->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto mibs = [](const std::string &k) { return (double)kBytes / kMiB / median(g_seconds[k]); };
    if (!g_seconds.count("plain write")) return 1;
    printf("\nmedian of %zu rounds, 256 MiB each\n", g_seconds["plain write"].size());
    printf("%-22s %8s %8s %7s  %-8s %s\n", "pass", "MiB/s", "plain", "ratio", ">= 0.50", "close (log folded, synced)");
    const char *cases[][2] = {{"Q7Dwrite, no filter", "plain write"},
                              {"Q7Dread, no filter", "plain read"},
                              {"Q7Dwrite, filter 257", "plain write"},
                              {"Q7Dread, filter 257", "plain read"}};
    for (auto &c : cases) {
        if (!g_seconds.count(c[0])) {
            printf("%-22s %8s\n", c[0], "skipped");
            continue;
        }
        double r = mibs(c[0]) / mibs(c[1]);
        std::string close_key = std::string(c[0]) + " close";
        char extra[64] = "";
        if (g_seconds.count(close_key)) snprintf(extra, sizeof extra, "%.0f ms", 1000 * median(g_seconds[close_key]));
        printf("%-22s %8.0f %8.0f %7.2f  %-8s %s\n", c[0], mibs(c[0]), mibs(c[1]), r, r >= 0.5 ? "met" : "NOT MET",
               extra);
    }
    printf("\nreference: the container alone, same rounds\n");
    printf("%-22s %8s %8s %7s\n", "pass", "MiB/s", "plain", "ratio");
    const char *refs[][2] = {{"SQLite alone, write", "plain write"},
                             {"log layout, pwrite()", "plain write"},
                             {"SQLite alone, read", "plain read"}};
    for (auto &c : refs)
        if (g_seconds.count(c[0]))
            printf("%-22s %8.0f %8.0f %7.2f\n", c[0], mibs(c[0]), mibs(c[1]), mibs(c[0]) / mibs(c[1]));
    std::error_code ec;
    std::filesystem::remove_all(work_dir(), ec);
    Q7close();
    return 0;
}
