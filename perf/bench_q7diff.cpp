// Comparison engine cost against the least any comparison must do: read
// both datasets chunk by chunk and compare the bytes.  Two 32 MiB float64
// datasets in 1 MiB chunks, identical and with one element in 1000 changed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "q7tools.h"

namespace {

constexpr q7size_t kElems = (32u << 20) / 8;
constexpr q7size_t kChunk = (1u << 20) / 8;

void write_series(const std::string &path, q7size_t every) {
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7size_t n = kElems, c = kChunk;
    q7id_t space = Q7Screate_simple(1, &n, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, &c);
    q7id_t d = Q7Dcreate2(f, "/data", Q7T_IEEE_F64LE_g, space, 0, dcpl, 0);
    std::vector<double> v(kElems);
    for (q7size_t i = 0; i < kElems; i++) v[i] = static_cast<double>(i) * 0.25 + ((every && i % every == 0) ? 1 : 0);
    Q7Dwrite(d, Q7T_NATIVE_DOUBLE_g, 0, 0, 0, v.data());
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    Q7Fclose(f);
}

struct Files {
    Files() {
        Q7open();
        q7tools_init();
        write_series(a, 0);
        write_series(b, 0);
        write_series(c, 1000);
    }
    ~Files() {
        for (const std::string &p : {a, b, c})
            for (const char *suffix : {"", "-wal", "-shm"}) remove((p + suffix).c_str());
    }
    std::string a = "bench_q7diff_a.q7", b = "bench_q7diff_b.q7", c = "bench_q7diff_c.q7";
};

Files &files() {
    static Files f;
    return f;
}

void read_and_memcmp(benchmark::State &state, const std::string &p1, const std::string &p2) {
    std::vector<double> b1(kChunk), b2(kChunk);
    for (auto _ : state) {
        q7id_t f1 = Q7Fopen(p1.c_str(), Q7F_ACC_RDONLY, 0), f2 = Q7Fopen(p2.c_str(), Q7F_ACC_RDONLY, 0);
        q7id_t d1 = Q7Dopen2(f1, "/data", 0), d2 = Q7Dopen2(f2, "/data", 0);
        size_t differing_chunks = 0;
        for (q7size_t start = 0; start < kElems; start += kChunk) {
            q7size_t n = kChunk;
            q7id_t fs1 = Q7Dget_space(d1), fs2 = Q7Dget_space(d2), ms = Q7Screate_simple(1, &n, nullptr);
            Q7Sselect_hyperslab(fs1, Q7S_SELECT_SET, &start, nullptr, &n, nullptr);
            Q7Sselect_hyperslab(fs2, Q7S_SELECT_SET, &start, nullptr, &n, nullptr);
            Q7Dread(d1, Q7T_NATIVE_DOUBLE_g, ms, fs1, 0, b1.data());
            Q7Dread(d2, Q7T_NATIVE_DOUBLE_g, ms, fs2, 0, b2.data());
            differing_chunks += memcmp(b1.data(), b2.data(), n * 8) != 0;
            Q7Sclose(fs1);
            Q7Sclose(fs2);
            Q7Sclose(ms);
        }
        benchmark::DoNotOptimize(differing_chunks);
        Q7Dclose(d1);
        Q7Dclose(d2);
        Q7Fclose(f1);
        Q7Fclose(f2);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kElems * 8 * 2));
}

void run_q7diff(benchmark::State &state, const std::string &p1, const std::string &p2) {
    uint64_t found = 0;
    for (auto _ : state) {
        diff_opt_t opts;
        memset(&opts, 0, sizeof opts);
        opts.mode_quiet = 1;
        opts.equal_allowed = 1;
        found = q7diff(p1.c_str(), p2.c_str(), nullptr, nullptr, &opts);
        if (opts.err_stat) state.SkipWithError("comparison failed");
    }
    state.counters["differences"] = static_cast<double>(found);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kElems * 8 * 2));
}

void BM_BaselineReadMemcmp_Identical(benchmark::State &s) { read_and_memcmp(s, files().a, files().b); }
void BM_Q7diff_Identical(benchmark::State &s) { run_q7diff(s, files().a, files().b); }
void BM_BaselineReadMemcmp_OneIn1000(benchmark::State &s) { read_and_memcmp(s, files().a, files().c); }
void BM_Q7diff_OneIn1000(benchmark::State &s) { run_q7diff(s, files().a, files().c); }

BENCHMARK(BM_BaselineReadMemcmp_Identical)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Q7diff_Identical)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineReadMemcmp_OneIn1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Q7diff_OneIn1000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
