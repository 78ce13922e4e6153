// The built-in codecs through the library (Q7Dwrite / Q7Dread of whole
// datasets in 1 MiB chunks) against the codec library alone on the same
// chunks, measured in the same run:
//   - data: a smooth field plus sensor noise quantized to int16 (32 MiB)
//     and a float32 terrain-like field (32 MiB), made here;
//   - pipelines: shuffle+lz4, zstd 3, bitshuffle+zstd 3, deflate 6, and
//     none (chunked, unfiltered: the storage path's own cost, against
//     memcpy);
//   - baselines: the codec library compressing the very bytes the
//     pipeline hands it (the chunks after shuffle / bitshuffle), and
//     decompressing the stored chunks;
//   - deflate also against zlib at the same level (the library's writer
//     before libdeflate): times, and the ratio of compressed sizes, which
//     must stay within 2 %.
// After the runs a table prints each ratio (library time / baseline time,
// processor time) and the compression of each pipeline.
#include "quor7.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <lz4.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Field {
    const char *name;
    q7id_t type;
    size_t elem;
    q7size_t dims[2], chunk[2];
    Bytes data;
};

// A smooth field (a few broad waves) plus Gaussian sensor noise of about
// 3 counts, quantized to int16.
Field sensor_field() {
    Field f{"sensor_int16", Q7T_NATIVE_INT16_g, 2, {4096, 4096}, {512, 1024}, {}};
    f.data.resize(4096 * 4096 * 2);
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 3.0);
    auto *v = reinterpret_cast<int16_t *>(f.data.data());
    for (size_t y = 0; y < 4096; ++y)
        for (size_t x = 0; x < 4096; ++x) {
            double s = 8000.0 * std::sin(x * 0.0021 + 0.3) * std::cos(y * 0.0017) + 3000.0 * std::sin((x + y) * 0.006);
            v[y * 4096 + x] = static_cast<int16_t>(std::lround(s + noise(rng)));
        }
    return f;
}

// Terrain: octaves of randomly oriented waves, amplitude halving as the
// frequency doubles, in metres (float32).
Field terrain_field() {
    Field f{"terrain_float32", Q7T_NATIVE_FLOAT_g, 4, {2048, 4096}, {512, 512}, {}};
    f.data.resize(2048 * 4096 * 4);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 6.283185307179586);
    struct Wave {
        double kx, ky, phase, amp;
    };
    std::vector<Wave> waves;
    double freq = 0.002, amp = 800.0;
    for (int octave = 0; octave < 8; ++octave, freq *= 2, amp /= 2)
        for (int k = 0; k < 3; ++k) {
            double a = u(rng);
            waves.push_back({freq * std::cos(a), freq * std::sin(a), u(rng), amp});
        }
    auto *v = reinterpret_cast<float *>(f.data.data());
    for (size_t y = 0; y < 2048; ++y)
        for (size_t x = 0; x < 4096; ++x) {
            double h = 0;
            for (const Wave &w : waves) h += w.amp * std::sin(w.kx * x + w.ky * y + w.phase);
            v[y * 4096 + x] = static_cast<float>(h);
        }
    return f;
}

struct Pipe {
    const char *name;
    std::vector<std::pair<q7filter_t, std::vector<unsigned>>> filters;
    q7filter_t codec;  // the codec library the baseline runs
};

const Pipe kPipes[] = {
    // No filter: the floor of the storage path (the baseline is memcpy).
    {"none", {}, Q7Z_FILTER_NONE},
    {"shuffle+lz4", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_LZ4, {1}}}, Q7Z_FILTER_LZ4},
    {"zstd3", {{Q7Z_FILTER_ZSTD, {3}}}, Q7Z_FILTER_ZSTD},
    {"bitshuffle+zstd3", {{Q7Z_FILTER_BITSHUFFLE, {}}, {Q7Z_FILTER_ZSTD, {3}}}, Q7Z_FILTER_ZSTD},
    {"deflate6", {{Q7Z_FILTER_DEFLATE, {6}}}, Q7Z_FILTER_DEFLATE},
};

std::string scratch(const std::string &name) {
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/q7bench_codecs_" + std::to_string(getpid()) + "_" + name + ".q7";
}

q7id_t fast_fapl() {
    q7id_t fapl = Q7Pcreate(Q7P_CLS_FILE_ACCESS_ID_g);
    Q7Pset_fapl_sync(fapl, 0);
    return fapl;
}

// Writes the field through the pipeline into a new file; false on failure.
bool write_file(const std::string &path, const Field &f, const Pipe &p) {
    q7id_t fapl = fast_fapl();
    q7id_t file = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, fapl);
    Q7Pclose(fapl);
    q7id_t space = Q7Screate_simple(2, f.dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 2, f.chunk);
    for (const auto &[id, cd] : p.filters) Q7Pset_filter(dcpl, id, Q7Z_FLAG_MANDATORY, cd.size(), cd.data());
    q7id_t d = Q7Dcreate2(file, "d", f.type, space, 0, dcpl, 0);
    bool ok = d >= 0 && Q7Dwrite(d, f.type, Q7S_ALL, Q7S_ALL, 0, f.data.data()) >= 0;
    ok = Q7Dclose(d) >= 0 && ok;
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return Q7Fclose(file) >= 0 && ok;
}

bool read_file(const std::string &path, const Field &f, Bytes &out) {
    q7id_t file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t d = Q7Dopen2(file, "d", 0);
    bool ok = d >= 0 && Q7Dread(d, f.type, Q7S_ALL, Q7S_ALL, 0, out.data()) >= 0;
    Q7Dclose(d);
    Q7Fclose(file);
    return ok;
}

// What one (field, pipeline) pair keeps between runs: the file written
// once, its stored chunks, and the chunks as the codec receives them.
struct Case {
    std::string path;
    std::vector<Bytes> stored, codec_input;
    size_t chunk_bytes = 0;
    uint64_t stored_total = 0, raw_total = 0;
};

size_t codec_decompress(q7filter_t codec, const Bytes &in, unsigned char *out, size_t room) {
    switch (codec) {
    case Q7Z_FILTER_NONE:
        if (in.size() > room) return 0;
        memcpy(out, in.data(), in.size());
        return in.size();
    case Q7Z_FILTER_LZ4: {
        int n = LZ4_decompress_safe((const char *)in.data() + 8, (char *)out, (int)in.size() - 8, (int)room);
        return n < 0 ? 0 : (size_t)n;
    }
    case Q7Z_FILTER_ZSTD: {
        size_t n = ZSTD_decompress(out, room, in.data(), in.size());
        return ZSTD_isError(n) ? 0 : n;
    }
    default: {
        static libdeflate_decompressor *d = libdeflate_alloc_decompressor();
        size_t n = 0;
        return libdeflate_zlib_decompress(d, in.data(), in.size(), out, room, &n) == LIBDEFLATE_SUCCESS ? n : 0;
    }
    }
}

size_t codec_compress(q7filter_t codec, const Bytes &in, Bytes &out) {
    switch (codec) {
    case Q7Z_FILTER_NONE:
        out.resize(in.size());
        memcpy(out.data(), in.data(), in.size());
        return in.size();
    case Q7Z_FILTER_LZ4:
        out.resize(8 + LZ4_compressBound((int)in.size()));
        return 8 + (size_t)LZ4_compress_fast((const char *)in.data(), (char *)out.data() + 8, (int)in.size(),
                                             (int)out.size() - 8, 1);
    case Q7Z_FILTER_ZSTD: {
        static ZSTD_CCtx *c = ZSTD_createCCtx();
        out.resize(ZSTD_compressBound(in.size()));
        return ZSTD_compressCCtx(c, out.data(), out.size(), in.data(), in.size(), 3);
    }
    default: {
        static libdeflate_compressor *c = libdeflate_alloc_compressor(6);
        out.resize(libdeflate_zlib_compress_bound(c, in.size()));
        return libdeflate_zlib_compress(c, in.data(), in.size(), out.data(), out.size());
    }
    }
}

std::map<std::string, Case> cases;

bool prepare(const Field &f, const Pipe &p, Case &c) {
    c.path = scratch(std::string(f.name) + "_" + p.name);
    if (!write_file(c.path, f, p)) return false;
    q7id_t file = Q7Fopen(c.path.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t d = Q7Dopen2(file, "d", 0);
    c.chunk_bytes = f.chunk[0] * f.chunk[1] * f.elem;
    c.raw_total = f.data.size();
    for (q7size_t y = 0; y < f.dims[0]; y += f.chunk[0])
        for (q7size_t x = 0; x < f.dims[1]; x += f.chunk[1]) {
            q7size_t off[2] = {y, x}, n = 0;
            uint32_t mask = 0;
            Q7Dget_chunk_storage_size(d, off, &n);
            Bytes s(n);
            if (Q7Dread_chunk(d, 0, off, &mask, s.data()) < 0 || mask) return false;
            Bytes in(c.chunk_bytes);
            if (codec_decompress(p.codec, s, in.data(), in.size()) != in.size()) return false;
            c.stored_total += n;
            c.stored.push_back(std::move(s));
            c.codec_input.push_back(std::move(in));
        }
    Q7Dclose(d);
    Q7Fclose(file);
    return true;
}

void bm_write(benchmark::State &state, const Field &f, const Pipe &p) {
    const std::string path = scratch("w");
    for (auto _ : state)
        if (!write_file(path, f, p)) state.SkipWithError("write failed");
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.data.size()));
}

void bm_read(benchmark::State &state, const Field &f, const Case &c) {
    Bytes out(f.data.size());
    for (auto _ : state)
        if (!read_file(c.path, f, out)) state.SkipWithError("read failed");
    if (out != f.data) state.SkipWithError("read back other values");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.data.size()));
}

void bm_codec_compress(benchmark::State &state, const Case &c, q7filter_t codec) {
    Bytes out;
    for (auto _ : state)
        for (const Bytes &in : c.codec_input) benchmark::DoNotOptimize(codec_compress(codec, in, out));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.raw_total));
}

void bm_codec_decompress(benchmark::State &state, const Case &c, q7filter_t codec) {
    Bytes out(c.chunk_bytes);
    for (auto _ : state)
        for (const Bytes &s : c.stored)
            if (codec_decompress(codec, s, out.data(), out.size()) != out.size()) state.SkipWithError("decode");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.raw_total));
}

// zlib at level 6, as the library wrote deflate before libdeflate.
std::map<std::string, uint64_t> zlib_sizes;
void bm_zlib_compress(benchmark::State &state, const Case &c, const std::string &key) {
    Bytes out(compressBound((uLong)c.chunk_bytes));
    uint64_t total = 0;
    for (auto _ : state) {
        total = 0;
        for (const Bytes &in : c.codec_input) {
            uLongf n = out.size();
            compress2(out.data(), &n, in.data(), (uLong)in.size(), 6);
            total += n;
        }
    }
    zlib_sizes[key] = total;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.raw_total));
}

void bm_zlib_decompress(benchmark::State &state, const Case &c) {
    Bytes out(c.chunk_bytes);
    for (auto _ : state)
        for (const Bytes &s : c.stored) {
            uLongf n = out.size();
            if (uncompress(out.data(), &n, s.data(), (uLong)s.size()) != Z_OK) state.SkipWithError("zlib");
        }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.raw_total));
}

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
                seconds[run.run_name.function_name] =
                    run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void add(const std::string &name, std::function<void(benchmark::State &)> body) {
    benchmark::RegisterBenchmark(name.c_str(), body)->Repetitions(3)->Iterations(2)->ReportAggregatesOnly(true);
}

} // namespace

int main(int argc, char **argv) {
    Q7open();
    static const Field fields[] = {sensor_field(), terrain_field()};
    for (const Field &f : fields)
        for (const Pipe &p : kPipes) {
            const std::string key = std::string(f.name) + "/" + p.name;
            if (!prepare(f, p, cases[key])) {
                std::fprintf(stderr, "cannot prepare %s\n", key.c_str());
                return 1;
            }
            const Case &c = cases[key];
            add("write/" + key, [&f, &p](benchmark::State &s) { bm_write(s, f, p); });
            add("read/" + key, [&f, &c](benchmark::State &s) { bm_read(s, f, c); });
            const q7filter_t codec = p.codec;
            add("codec_compress/" + key, [&c, codec](benchmark::State &s) { bm_codec_compress(s, c, codec); });
            add("codec_decompress/" + key, [&c, codec](benchmark::State &s) { bm_codec_decompress(s, c, codec); });
            if (codec == Q7Z_FILTER_DEFLATE) {
                add("zlib_compress/" + key, [&c, key](benchmark::State &s) { bm_zlib_compress(s, c, key); });
                add("zlib_decompress/" + key, [&c](benchmark::State &s) { bm_zlib_decompress(s, c); });
            }
        }

    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto t = [&](const std::string &name) {
        auto it = reporter.seconds.find(name);
        return it == reporter.seconds.end() ? 0.0 : it->second;
    };
    int status = 0;
    std::printf("\n%-36s %9s %9s %9s %9s %8s\n", "field/pipeline", "stored", "write/", "read/", "MB/s w", "MB/s r");
    std::printf("%-36s %9s %9s %9s %9s %8s\n", "", "of raw", "codec", "codec", "(lib)", "(lib)");
    for (auto &[key, c] : cases) {
        const double w = t("write/" + key), r = t("read/" + key);
        const double cw = t("codec_compress/" + key), cr = t("codec_decompress/" + key);
        const double mb = c.raw_total / 1e6;
        if (w == 0 && r == 0) continue;  // filtered out of this run
        std::printf("%-36s %8.1f%% %9.2f %9.2f %9.0f %8.0f\n", key.c_str(), 100.0 * c.stored_total / c.raw_total,
                    cw > 0 ? w / cw : 0, cr > 0 ? r / cr : 0, w > 0 ? mb / w : 0, r > 0 ? mb / r : 0);
    }
    std::printf("\n%-36s %8s %10s %10s %10s %10s\n", "deflate 6 against zlib 6", "size", "libdeflate", "libdeflate",
                "Q7Dwrite", "Q7Dread");
    std::printf("%-36s %8s %10s %10s %10s %10s\n", "", "", "compress", "decomp.", "/ zlib", "/ zlib");
    for (auto &[key, c] : cases) {
        auto z = zlib_sizes.find(key);
        if (z == zlib_sizes.end() || !z->second) continue;
        const double size = (double)c.stored_total / (double)z->second;
        const double zc = t("zlib_compress/" + key), zd = t("zlib_decompress/" + key);
        const bool ok = size >= 0.98 && size <= 1.02;
        std::printf("%-36s %8.4f %10.2f %10.2f %10.2f %10.2f%s\n", key.c_str(), size, t("codec_compress/" + key) / zc,
                    t("codec_decompress/" + key) / zd, t("write/" + key) / zc, t("read/" + key) / zd,
                    ok ? "" : "  SIZE OUTSIDE +-2%");
        if (!ok) status = 1;
    }
    for (auto &[key, c] : cases) std::remove(c.path.c_str());
    Q7close();
    return status;
}
