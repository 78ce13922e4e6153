// gif2q7 against giflib alone: a 4096x4096, 8-frame GIF made with giflib
// is decoded by giflib (no writing), then imported by the gif2q7 program
// (decoding, storing, closing the file).  Both are timed in the same run;
// the closing line gives the ratio (target: at most 1.3).
#include "gif_encode.hpp"

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <spawn.h>
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

void BM_Gif2q7(benchmark::State &state) {
    for (auto _ : state) {
        const char *argv[] = {QUOR7_GIF2Q7, gif_path.c_str(), out_path.c_str(), nullptr};
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("gif2q7 failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize * kSize * kFrames);
}

BENCHMARK(BM_GiflibDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_Gif2q7)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// Remembers each benchmark's mean real time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &run : runs)
            if (!run.error_occurred && run.iterations > 0)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times_;
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
    auto time_of = [&](const std::string &prefix) {
        for (const auto &[name, t] : reporter.times_)
            if (name.rfind(prefix, 0) == 0) return t;
        return -1.0;
    };
    double giflib = time_of("BM_GiflibDecode"), import = time_of("BM_Gif2q7");
    if (giflib <= 0 || import <= 0) {
        std::printf("ratio: not measured\n");
        return 1;
    }
    double ratio = import / giflib;
    std::printf("gif2q7 / giflib decoding alone = %.2f (target <= 1.30): %s\n", ratio,
                ratio <= 1.3 ? "met" : "NOT met");
    return 0;
}
