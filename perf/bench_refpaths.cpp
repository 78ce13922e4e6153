// Reference path table on files of 10,000 and 100,000 objects in nested
// groups: one table build against the bare walk over the same file with
// an empty callback, the time of one address lookup, and how the build
// scales.  The ratios are printed at the end of the run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kit_refpaths.h"
#include "q7tools.h"
#include "quor7.h"

namespace {

std::filesystem::path g_dir;
std::map<int, q7id_t> g_files;

// Objects: the root, n/1000 top groups of 10 groups each, and 99 leaves
// under each of those (one leaf in ten a small dataset, the rest groups).
int64_t object_count(int n) {
    const int64_t top = n / 1000;
    return 1 + top + top * 10 + top * 10 * 99;
}

q7id_t make_file(int n) {
    const std::string path = (g_dir / ("objects" + std::to_string(n) + ".q7")).string();
    auto t0 = std::chrono::steady_clock::now();
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return -1;
    q7size_t one[1] = {1};
    q7id_t space = Q7Screate_simple(1, one, nullptr);
    char name[64];
    for (int t = 0; t < n / 1000; ++t) {
        snprintf(name, sizeof name, "/t%03d", t);
        Q7Gclose(Q7Gcreate2(f, name, 0, 0, 0));
        for (int s = 0; s < 10; ++s) {
            snprintf(name, sizeof name, "/t%03d/s%d", t, s);
            Q7Gclose(Q7Gcreate2(f, name, 0, 0, 0));
            for (int leaf = 0; leaf < 99; ++leaf) {
                snprintf(name, sizeof name, "/t%03d/s%d/o%02d", t, s, leaf);
                if (leaf % 10 == 0) Q7Dclose(Q7Dcreate2(f, name, Q7T_NATIVE_INT_g, space, 0, 0, 0));
                else Q7Gclose(Q7Gcreate2(f, name, 0, 0, 0));
            }
        }
    }
    Q7Sclose(space);
    Q7Fclose(f);
    f = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    fprintf(stderr, "bench_refpaths: made %s (%lld objects) in %.1f s\n", path.c_str(),
            static_cast<long long>(object_count(n)), secs);
    return f;
}

int count_object(const char *, const Q7O_info2_t *, const char *, void *udata) {
    ++*static_cast<int64_t *>(udata);
    return 0;
}

// The file of n objects, made and checked on first use; -1 when it could
// not be made or does not hold what it should.
q7id_t file_of(int n) {
    auto it = g_files.find(n);
    if (it != g_files.end()) return it->second;
    q7id_t f = make_file(n);
    int64_t seen = 0;
    if (f >= 0 && (q7trav_visit(f, "/", 1, 1, count_object, nullptr, &seen, 1) < 0 || seen != object_count(n))) {
        fprintf(stderr, "bench_refpaths: the file holds %lld objects, not %lld\n", static_cast<long long>(seen),
                static_cast<long long>(object_count(n)));
        Q7Fclose(f);
        f = -1;
    }
    g_files[n] = f;
    return f;
}

int ignore_object(const char *, const Q7O_info2_t *, const char *, void *) { return 0; }

int collect_address(const char *, const Q7O_info2_t *info, const char *, void *udata) {
    static_cast<std::vector<q7addr_t> *>(udata)->push_back(info->addr);
    return 0;
}

q7addr_t root_address(q7id_t f) {
    Q7O_info2_t info{};
    Q7Oget_info_by_name2(f, "/", &info, Q7O_INFO_BASIC, 0);
    return info.addr;
}

bool check_file(benchmark::State &state, q7id_t f) {
    if (f < 0) state.SkipWithError("cannot make the benchmark file");
    return f >= 0;
}

void BM_BareWalk(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    q7id_t f = file_of(n);
    if (!check_file(state, f)) return;
    for (auto _ : state) benchmark::DoNotOptimize(q7trav_visit(f, "/", 1, 1, ignore_object, nullptr, nullptr, 1));
    state.counters["objects"] = static_cast<double>(object_count(n));
}

void BM_BuildTable(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    q7id_t f = file_of(n);
    if (!check_file(state, f)) return;
    const q7addr_t root = root_address(f);
    fill_ref_path_table(f);
    for (auto _ : state) {
        state.PauseTiming();
        term_ref_path_table();
        state.ResumeTiming();
        // The first lookup builds the table with one walk.
        benchmark::DoNotOptimize(lookup_ref_path(root));
    }
    if (!lookup_ref_path(root)) state.SkipWithError("the root was not recorded");
    term_ref_path_table();
    state.counters["objects"] = static_cast<double>(object_count(n));
}

void BM_LookupRefPath(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    q7id_t f = file_of(n);
    if (!check_file(state, f)) return;
    // Set up once for all repetitions: the addresses in random order and
    // the table, built outside the timing.
    static std::vector<q7addr_t> addresses;
    if (addresses.empty()) {
        q7trav_visit(f, "/", 1, 1, collect_address, nullptr, &addresses, 1);
        std::shuffle(addresses.begin(), addresses.end(), std::mt19937_64(42));
        fill_ref_path_table(f);
        term_ref_path_table();
        lookup_ref_path(addresses[0]);
    }
    size_t i = 0, missing = 0;
    for (auto _ : state) {
        const char *p = lookup_ref_path(addresses[i]);
        missing += p == nullptr;
        benchmark::DoNotOptimize(p);
        if (++i == addresses.size()) i = 0;
    }
    if (missing) state.SkipWithError("an address of the file had no path");
}

BENCHMARK(BM_BareWalk)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BuildTable)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LookupRefPath)->Arg(100000)->Repetitions(9)->ReportAggregatesOnly(true)->Unit(benchmark::kNanosecond);

// Keeps the time per iteration (seconds) of every run, and the median of
// repeated runs, so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;      // wall-clock time
    std::map<std::string, double> cpu_seconds;  // processor time
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            if (r.run_type != Run::RT_Iteration && r.aggregate_name != "median") continue;
            // Repeated runs are kept under "<name>_median".
            std::string name = r.run_name.function_name + "/" + r.run_name.args;
            if (r.run_type != Run::RT_Iteration) name += "_median";
            const double unit = benchmark::GetTimeUnitMultiplier(r.time_unit);
            seconds[name] = r.GetAdjustedRealTime() / unit;
            cpu_seconds[name] = r.GetAdjustedCPUTime() / unit;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// Wall-clock and processor-time ratio of two runs; the bound is judged on
// wall-clock time.  On a loaded machine the processor-time ratio shows
// what the code itself costs.
void print_ratio(const RatioReporter &rep, const char *what, const std::string &num, const std::string &den,
                 double bound) {
    auto a = rep.seconds.find(num), b = rep.seconds.find(den);
    auto ca = rep.cpu_seconds.find(num), cb = rep.cpu_seconds.find(den);
    if (a == rep.seconds.end() || b == rep.seconds.end() || b->second <= 0 || cb->second <= 0) {
        printf("%-44s not measured\n", what);
        return;
    }
    const double ratio = a->second / b->second;
    printf("%-44s %6.2f wall, %6.2f processor (bound %.0f: %s)\n", what, ratio, ca->second / cb->second, bound,
           ratio <= bound ? "met" : "MISSED");
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    char tmpl[] = "bench_refpaths.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = std::filesystem::absolute(tmpl);
    Q7open();
    q7tools_setprogname("bench_refpaths");
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n");
    print_ratio(reporter, "table build / bare walk, 100,000 objects", "BM_BuildTable/100000",
                "BM_BareWalk/100000", 3);
    print_ratio(reporter, "table build 100,000 / 10,000 objects", "BM_BuildTable/100000",
                "BM_BuildTable/10000", 15);
    auto med = reporter.seconds.find("BM_LookupRefPath/100000_median");
    auto cpu = reporter.cpu_seconds.find("BM_LookupRefPath/100000_median");
    if (med != reporter.seconds.end() && cpu != reporter.cpu_seconds.end())
        printf("%-44s %6.0f ns wall, %6.0f ns processor (bound 2000 ns: %s)\n", "lookup median, 100,000 objects",
               med->second * 1e9, cpu->second * 1e9, med->second * 1e9 < 2000 ? "met" : "MISSED");
    else
        printf("%-44s not measured\n", "lookup median, 100,000 objects");
    term_ref_path_table();
    for (auto &f : g_files)
        if (f.second >= 0) Q7Fclose(f.second);
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    benchmark::Shutdown();
    return 0;
}
