// Throughput of the filter plug-ins, loaded with dlopen as the library
// loads them, against the memory-bound work they must keep up with,
// measured in the same run:
//   - every in-place filter, forward and reverse, against memcpy of the
//     same number of bytes, over 1 MiB (cache-resident) and 256 MiB buffers;
//   - the name-suffix filter's forward pass against malloc + memcpy + free
//     of the same size.
// After the runs a table of ratios (filter throughput / baseline
// throughput) is printed with the target each one is held to.
#include "quor7.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kMiB = size_t{1} << 20;
const size_t kSizes[] = {kMiB, 256 * kMiB};

std::string size_label(size_t n) { return std::to_string(n / kMiB) + "MiB"; }

const Q7Z_class2_t *load_record(const char *file) {
    static std::map<std::string, const Q7Z_class2_t *> cache;
    auto it = cache.find(file);
    if (it != cache.end()) return it->second;
    const std::string path = std::string(QUOR7_BUILD_PLUGIN_DIR) + "/" + file + ".so";
    const Q7Z_class2_t *record = nullptr;
    if (void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        auto info = reinterpret_cast<Q7PL_get_plugin_info_t>(dlsym(handle, "Q7PLget_plugin_info"));
        if (info) record = static_cast<const Q7Z_class2_t *>(info());
    } else {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
    }
    cache[file] = record;
    return record;
}

// Long-lived, pre-touched buffers: slot 0 is the filters' work buffer and
// memcpy's source, slot 1 memcpy's destination.
unsigned char *buffer(int slot, size_t n) {
    static std::map<std::pair<int, size_t>, unsigned char *> buffers;
    auto &b = buffers[{slot, n}];
    if (!b) {
        b = static_cast<unsigned char *>(Q7allocate_memory(n, 0));
        for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(i * 131 + slot);
    }
    return b;
}

void bm_memcpy(benchmark::State &state, size_t n) {
    unsigned char *src = buffer(0, n), *dst = buffer(1, n);
    for (auto _ : state) {
        std::memcpy(dst, src, n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void bm_in_place(benchmark::State &state, const char *plugin, std::vector<uint32_t> client_data, uint32_t flags,
                 size_t n) {
    const Q7Z_class2_t *record = load_record(plugin);
    if (!record) {
        state.SkipWithError("plug-in not loaded");
        return;
    }
    void *data = buffer(0, n);
    uint64_t size = n;
    for (auto _ : state) {
        if (record->filter(flags, client_data.size(), client_data.data(), n, &size, &data) != n) {
            state.SkipWithError("filter refused the call");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The suffix filter's forward pass hands back a new block each time; the
// next call copies from it, so every iteration is one allocation, one copy
// of n bytes and one release - as in the baseline below.
void bm_suffix_forward(benchmark::State &state, size_t n) {
    const Q7Z_class2_t *record = load_record("group_suffix_plugin");
    if (!record) {
        state.SkipWithError("plug-in not loaded");
        return;
    }
    void *data = Q7allocate_memory(n + 8, 0);
    std::memset(data, 'g', n + 8);
    uint64_t size = n + 8;
    for (auto _ : state) {
        if (record->filter(0, 0, nullptr, n, &size, &data) != n + 8) {
            state.SkipWithError("filter failed");
            break;
        }
        benchmark::DoNotOptimize(data);
    }
    Q7free_memory(data);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void bm_malloc_copy_free(benchmark::State &state, size_t n) {
    void *current = std::malloc(n + 8);
    std::memset(current, 'g', n + 8);
    for (auto _ : state) {
        void *next = std::malloc(n + 8);
        benchmark::DoNotOptimize(next);
        std::memcpy(next, current, n);
        std::free(current);
        current = next;
        benchmark::ClobberMemory();
    }
    std::free(current);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

struct Comparison {
    std::string name, baseline;
    double target;
};
std::vector<Comparison> comparisons;

// Keeps the median processor time per iteration of every benchmark (or the
// single run's time without repetitions) for the ratio table.  Processor
// time, not wall-clock time: on a shared machine it leaves out the time the
// benchmark was not running at all.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (single || median)
                seconds[run.run_name.function_name] = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void add(const std::string &name, const std::string &baseline, double target,
         std::function<void(benchmark::State &)> body) {
    benchmark::RegisterBenchmark(name.c_str(), body)->Repetitions(5)->MinTime(0.2)->ReportAggregatesOnly(true);
    if (!baseline.empty()) comparisons.push_back({name, baseline, target});
}

} // namespace

int main(int argc, char **argv) {
    Q7open();
    struct Filter {
        const char *plugin;
        std::vector<uint32_t> client_data;
        double target_1mib_forward, target_1mib_reverse;
    };
    const Filter filters[] = {
        {"offset_plugin", {5}, 0.6, 0.6},
        {"scale_plugin", {}, 0.6, 0.3},
        {"checked_offset_plugin", {5, Q7_VERS_MAJOR, Q7_VERS_MINOR}, 0.6, 0.6},
        {"byteshift_plugin_dump", {}, 0.6, 0.6},
    };
    for (size_t n : kSizes) {
        const std::string copy = "memcpy/" + size_label(n);
        add(copy, "", 0, [n](benchmark::State &s) { bm_memcpy(s, n); });
        for (const Filter &f : filters) {
            for (bool reverse : {false, true}) {
                const double target = n >= 256 * kMiB ? 0.9 : (reverse ? f.target_1mib_reverse : f.target_1mib_forward);
                const std::string name =
                    std::string(f.plugin) + (reverse ? "/reverse/" : "/forward/") + size_label(n);
                const uint32_t flags = reverse ? Q7Z_FLAG_REVERSE : 0;
                add(name, copy, target,
                    [f, flags, n](benchmark::State &s) { bm_in_place(s, f.plugin, f.client_data, flags, n); });
            }
        }
        const std::string alloc_copy = "malloc_memcpy_free/" + size_label(n);
        add(alloc_copy, "", 0, [n](benchmark::State &s) { bm_malloc_copy_free(s, n); });
        add("group_suffix_plugin/forward/" + size_label(n), alloc_copy, 0.8,
            [n](benchmark::State &s) { bm_suffix_forward(s, n); });
    }

    // Repetitions of all benchmarks run interleaved in random order, so that
    // a filter and its baseline see the same machine conditions.
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-40s %-24s %8s %8s\n", "filter", "baseline", "ratio", "target");
    for (const Comparison &c : comparisons) {
        auto f = reporter.seconds.find(c.name), b = reporter.seconds.find(c.baseline);
        if (f == reporter.seconds.end() || b == reporter.seconds.end()) continue;  // filtered out or failed
        const double ratio = b->second / f->second;  // same bytes: time ratio is throughput ratio
        std::printf("%-40s %-24s %7.2fx %7.2fx %s\n", c.name.c_str(), c.baseline.c_str(), ratio, c.target,
                    ratio >= c.target ? "ok" : "BELOW TARGET");
    }
    return 0;
}
