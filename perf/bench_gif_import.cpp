// gif2q7 against giflib alone: a 4096x4096, 8-frame GIF made with giflib
// is decoded by giflib (no writing), then imported by the gif2q7 program
// (decoding, storing, closing the file).  Both are timed in the same run;
// the closing line gives the ratio (target: at most 1.3).
#include "gif_encode.hpp"

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

extern char **environ;

namespace {

constexpr int kSize = 4096;
constexpr int kFrames = 8;

std::filesystem::path work_dir;
std::string gif_path;
std::string out_path;

void make_input() {
    work_dir = std::filesystem::temp_directory_path() / ("q7bench-gif-" + std::to_string(getpid()));
    std::filesystem::create_directories(work_dir);
    gif_path = (work_dir / "big.gif").string();
    out_path = (work_dir / "big.q7").string();
    q7gif_encode::Gif gif;
    gif.screen_width = kSize;
    gif.screen_height = kSize;
    gif.global_palette = q7gif_encode::rainbow_palette();
    for (int f = 0; f < kFrames; ++f) gif.frames.push_back(q7gif_encode::pattern_frame(kSize, kSize, f));
    std::string error;
    if (!q7gif_encode::write_gif(gif_path, gif, &error)) {
        std::fprintf(stderr, "bench_gif_import: %s\n", error.c_str());
        std::exit(1);
    }
}

void BM_GiflibDecode(benchmark::State &state) {
    for (auto _ : state) {
        int error = 0;
        GifFileType *gif = DGifOpenFileName(gif_path.c_str(), &error);
        if (!gif || DGifSlurp(gif) == GIF_ERROR || gif->ImageCount != kFrames) {
            state.SkipWithError("giflib could not decode the GIF");
            break;
        }
        benchmark::DoNotOptimize(gif->SavedImages[kFrames - 1].RasterBits[0]);
        DGifCloseFile(gif, &error);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize * kSize * kFrames);
}

double seconds(const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

void BM_Gif2q7(benchmark::State &state) {
    double child_cpu = 0;
    for (auto _ : state) {
        const char *argv[] = {QUOR7_GIF2Q7, gif_path.c_str(), out_path.c_str(), nullptr};
        pid_t pid = 0;
        int status = 0;
        rusage usage{};
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
            wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("gif2q7 failed");
            break;
        }
        child_cpu += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    // The program's own CPU time (user + system), per run: on a busy
    // machine a fairer match for giflib's CPU time than the wall clock.
    state.counters["child_cpu_ms"] = benchmark::Counter(child_cpu * 1e3 / double(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize * kSize * kFrames);
}

BENCHMARK(BM_GiflibDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Gif2q7)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Remembers each benchmark's mean real and CPU time per iteration, in
// milliseconds (the benchmarks report in milliseconds).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
            auto child = run.counters.find("child_cpu_ms");
            cpu_[run.benchmark_name()] = child != run.counters.end() ? double(child->second) : run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times_, cpu_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    make_input();
    std::printf("input: %s, %ju bytes, %dx%d, %d frames\n", gif_path.c_str(),
                std::uintmax_t(std::filesystem::file_size(gif_path)), kSize, kSize, kFrames);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(work_dir, ec);
    auto time_of = [&](const std::map<std::string, double> &times, const std::string &prefix) {
        for (const auto &[name, t] : times)
            if (name.rfind(prefix, 0) == 0) return t;
        return -1.0;
    };
    double giflib = time_of(reporter.times_, "BM_GiflibDecode"), import = time_of(reporter.times_, "BM_Gif2q7");
    double giflib_cpu = time_of(reporter.cpu_, "BM_GiflibDecode"), import_cpu = time_of(reporter.cpu_, "BM_Gif2q7");
    if (giflib <= 0 || import <= 0 || giflib_cpu <= 0 || import_cpu <= 0) {
        std::printf("ratio: not measured\n");
        return 1;
    }
    double ratio = import / giflib;
    std::printf("gif2q7 / giflib decoding alone, wall clock: %.0f ms / %.0f ms = %.2f (target <= 1.30): %s\n", import,
                giflib, ratio, ratio <= 1.3 ? "met" : "NOT met");
    std::printf("gif2q7 / giflib decoding alone, CPU time:   %.0f ms / %.0f ms = %.2f\n", import_cpu, giflib_cpu,
                import_cpu / giflib_cpu);
    return 0;
}
