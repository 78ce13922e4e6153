// Compressed chunks on every core, and the decoded-chunk cache, measured
// in one run as ratios against baselines of the same run (wall-clock
// medians of QUOR7_BENCH_ROUNDS rounds, default 5):
//   - data: 256 MiB of int16 sensor values (a smooth field plus Gaussian
//     noise of about 3 counts) in chunks of 1 MiB;
//   - Q7Dwrite, durable (sync on, close included), and Q7Dread of the file
//     through shuffle+lz4, zstd 3 and bitshuffle+zstd 3, against the codec
//     library alone on one thread, compressing the very bytes the pipeline
//     hands it and decompressing the stored chunks;
//   - Q7Dread of shuffle+lz4 against read() of the same values stored
//     uncompressed in a plain file (page cache warm for both);
//   - the stored bytes with one thread and with all, compared;
//   - the peak memory of the compressed write above the caller's buffer
//     (a child process, from its maximum resident size);
//   - a (500, 4000) float64 dataset, shuffle+deflate in (50, 1000)
//     chunks, read row by row and every tenth column, against one read of
//     the whole.
// Prints a table of ratios and "TARGET MISSED" beside any below target.
#include "quor7.h"

#include <fcntl.h>
#include <lz4.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr q7size_t kRows = 8192, kCols = 16384, kChunkRows = 32;  // 1 MiB chunks of int16

int rounds() {
    const char *e = std::getenv("QUOR7_BENCH_ROUNDS");
    int n = e ? std::atoi(e) : 5;
    return n > 0 ? n : 5;
}

double median_seconds(const std::function<void()> &body) {
    std::vector<double> t;
    for (int i = 0; i < rounds(); ++i) {
        auto a = std::chrono::steady_clock::now();
        body();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

Bytes sensor_field() {
    Bytes data(kRows * kCols * 2);
    auto *v = reinterpret_cast<int16_t *>(data.data());
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (q7size_t y = 0; y < kRows; ++y)
        for (q7size_t x = 0; x < kCols; ++x) {
            double s = 8000.0 * std::sin(x * 0.0011 + 0.3) * std::cos(y * 0.0009) + 3000.0 * std::sin((x + y) * 0.003);
            v[y * kCols + x] = static_cast<int16_t>(std::lround(s + noise(rng)));
        }
    return data;
}

struct Pipe {
    const char *name;
    std::vector<std::pair<q7filter_t, std::vector<unsigned>>> filters;
    bool lz4;  // else zstd
};

const Pipe kPipes[] = {
    {"shuffle+lz4", {{Q7Z_FILTER_SHUFFLE, {}}, {Q7Z_FILTER_LZ4, {1}}}, true},
    {"zstd3", {{Q7Z_FILTER_ZSTD, {3}}}, false},
    {"bitshuffle+zstd3", {{Q7Z_FILTER_BITSHUFFLE, {}}, {Q7Z_FILTER_ZSTD, {3}}}, false},
};

q7id_t transfer(int nthreads) {
    q7id_t p = Q7Pcreate(Q7P_CLS_DATASET_XFER_ID_g);
    Q7Pset_nthreads(p, nthreads);
    return p;
}

bool write_file(const std::string &path, const Bytes &data, const Pipe &p, int nthreads) {
    q7id_t file = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);  // sync on: durable
    q7size_t dims[2] = {kRows, kCols}, chunk[2] = {kChunkRows, kCols};
    q7id_t space = Q7Screate_simple(2, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 2, chunk);
    for (const auto &[id, cd] : p.filters) Q7Pset_filter(dcpl, id, Q7Z_FLAG_MANDATORY, cd.size(), cd.data());
    q7id_t d = Q7Dcreate2(file, "d", Q7T_NATIVE_INT16_g, space, 0, dcpl, 0);
    q7id_t xfer = transfer(nthreads);
    bool ok = d >= 0 && Q7Dwrite(d, Q7T_NATIVE_INT16_g, Q7S_ALL, Q7S_ALL, xfer, data.data()) >= 0;
    Q7Pclose(xfer);
    ok = Q7Dclose(d) >= 0 && ok;
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return Q7Fclose(file) >= 0 && ok;
}

bool read_file(const std::string &path, Bytes &out, int nthreads) {
    q7id_t file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t d = Q7Dopen2(file, "d", 0);
    q7id_t xfer = transfer(nthreads);
    bool ok = d >= 0 && Q7Dread(d, Q7T_NATIVE_INT16_g, Q7S_ALL, Q7S_ALL, xfer, out.data()) >= 0;
    Q7Pclose(xfer);
    Q7Dclose(d);
    return Q7Fclose(file) >= 0 && ok;
}

// The stored chunks of a file, and what the codec made each of.
bool stored_chunks(const std::string &path, const Pipe &p, std::vector<Bytes> &stored, std::vector<Bytes> &input) {
    q7id_t file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    q7id_t d = Q7Dopen2(file, "d", 0);
    bool ok = d >= 0;
    for (q7size_t y = 0; ok && y < kRows; y += kChunkRows) {
        q7size_t off[2] = {y, 0}, n = 0;
        uint32_t mask = 0;
        Q7Dget_chunk_storage_size(d, off, &n);
        Bytes s(n), in(kChunkRows * kCols * 2);
        ok = Q7Dread_chunk(d, 0, off, &mask, s.data()) >= 0;
        size_t got = p.lz4 ? (size_t)LZ4_decompress_safe((const char *)s.data() + 8, (char *)in.data(),
                                                          (int)s.size() - 8, (int)in.size())
                           : ZSTD_decompress(in.data(), in.size(), s.data(), s.size());
        ok = ok && got == in.size();
        stored.push_back(std::move(s));
        input.push_back(std::move(in));
    }
    Q7Dclose(d);
    Q7Fclose(file);
    return ok;
}

long child_peak_kib(const std::function<long()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit((int)std::min<long>(body(), 250));  // MiB, capped for the exit status
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long max_rss_mib() {
    struct rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

int status = 0;
void row(const char *what, double ratio, double target, bool at_least = true) {
    bool ok = at_least ? ratio >= target : ratio <= target;
    std::printf("%-58s %8.2f  (target %s %.1f)%s\n", what, ratio, at_least ? ">=" : "<=", target,
                ok ? "" : "  TARGET MISSED");
    std::fflush(stdout);
}

// Writes a 2-D float64 dataset "d" through shuffle and `codec` at `level`
// into a new file.
void write_f8(const std::string &path, const std::vector<double> &v, const q7size_t dims[2],
              std::vector<q7size_t> chunk, q7filter_t codec, unsigned level) {
    q7id_t file = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t space = Q7Screate_simple(2, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 2, chunk.data());
    Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, Q7Z_FLAG_MANDATORY, 0, nullptr);
    Q7Pset_filter(dcpl, codec, Q7Z_FLAG_MANDATORY, 1, &level);
    q7id_t d = Q7Dcreate2(file, "d", Q7T_NATIVE_DOUBLE_g, space, 0, dcpl, 0);
    Q7Dwrite(d, Q7T_NATIVE_DOUBLE_g, Q7S_ALL, Q7S_ALL, 0, v.data());
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    Q7Fclose(file);
}

// The default cache size, chosen by this: a 256 MiB float64 dataset in
// 1 MiB chunks (128, 1024), read every 64th row and every 64th column
// with caches of 16, 32 and 64 MiB, against one read of the whole.  A
// column of chunks is 32 MiB here, a row of chunks 8 MiB.
void cache_sizes(const std::string &path) {
    const q7size_t rows = 4096, cols = 8192;
    std::vector<double> v(rows * cols);
    for (q7size_t i = 0; i < rows; ++i)
        for (q7size_t j = 0; j < cols; ++j) v[i * cols + j] = std::sin(i * 0.003) * std::cos(j * 0.001) + (i ^ j) % 7 * 1e-4;
    q7size_t dims[2] = {rows, cols};
    write_f8(path, v, dims, {128, 1024}, Q7Z_FILTER_ZSTD, 3);
    auto timed = [&](size_t cache, int mode) {  // 0 whole, 1 rows, 2 columns
        return median_seconds([&] {
            q7id_t dapl = Q7Pcreate(Q7P_CLS_DATASET_ACCESS_ID_g);
            Q7Pset_chunk_cache(dapl, cache);
            q7id_t f = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
            q7id_t ds = Q7Dopen2(f, "d", dapl);
            if (mode == 0) {
                Q7Dread(ds, Q7T_NATIVE_DOUBLE_g, Q7S_ALL, Q7S_ALL, 0, v.data());
            } else {
                q7size_t n = (mode == 1 ? rows : cols) / 64, len = mode == 1 ? cols : rows;
                q7size_t count[2] = {mode == 1 ? 1 : rows, mode == 1 ? cols : 1};
                q7id_t ms = Q7Screate_simple(1, &len, nullptr);
                for (q7size_t k = 0; k < n; ++k) {
                    q7id_t fs = Q7Screate_simple(2, dims, nullptr);
                    q7size_t start[2] = {mode == 1 ? k * 64 : 0, mode == 1 ? 0 : k * 64};
                    Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
                    Q7Dread(ds, Q7T_NATIVE_DOUBLE_g, ms, fs, 0, v.data());
                    Q7Sclose(fs);
                }
                Q7Sclose(ms);
            }
            Q7Dclose(ds);
            Q7Fclose(f);
            Q7Pclose(dapl);
        });
    };
    const double whole = timed(0, 0);
    std::printf("\n(4096,8192) f8, shuffle+zstd, 1 MiB chunks: every 64th row / column, against the whole\n");
    for (size_t mib : {0, 16, 32, 64}) {
        size_t bytes = (size_t)mib << 20;
        std::printf("  cache %2zu MiB: rows %6.2f   columns %6.2f\n", mib, timed(bytes, 1) / whole,
                    timed(bytes, 2) / whole);
    }
    std::remove(path.c_str());
}

} // namespace

int main() {
    Q7open();
    const std::string dir = std::getenv("QUOR7_BENCH_DIR") ? std::getenv("QUOR7_BENCH_DIR") : ".";
    const std::string path = dir + "/q7bench_threads_" + std::to_string(getpid()) + ".q7";
    const Bytes data = sensor_field();
    const double mib = (double)data.size() / (1 << 20);
    std::printf("%.0f MiB int16 sensor field, 1 MiB chunks, %d rounds, wall-clock medians\n\n", mib, rounds());

    // Plain file: the same values uncompressed, read back with read().
    const std::string plain = dir + "/q7bench_threads_plain_" + std::to_string(getpid());
    {
        int fd = open(plain.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        if (fd < 0 || write(fd, data.data(), data.size()) != (ssize_t)data.size()) return 1;
        close(fd);
    }
    Bytes out(data.size());
    const double t_plain = median_seconds([&] {
        int fd = open(plain.c_str(), O_RDONLY);
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = read(fd, out.data() + done, std::min<size_t>(out.size() - done, 1 << 24));
            if (n <= 0) break;
            done += (size_t)n;
        }
        close(fd);
    });
    std::remove(plain.c_str());

    for (const Pipe &p : kPipes) {
        if (!write_file(path, data, p, 0)) return 1;
        std::vector<Bytes> stored, input;
        if (!stored_chunks(path, p, stored, input)) return 1;
        const double t_write = median_seconds([&] { write_file(path, data, p, 0); });
        const double t_read = median_seconds([&] { read_file(path, out, 0); });
        if (out != data) {
            std::printf("%s: read back other values\n", p.name);
            return 1;
        }
        Bytes buf;
        ZSTD_CCtx *cctx = ZSTD_createCCtx();
        const double t_compress = median_seconds([&] {
            for (const Bytes &in : input) {
                if (p.lz4) {
                    buf.resize(LZ4_compressBound((int)in.size()));
                    LZ4_compress_fast((const char *)in.data(), (char *)buf.data(), (int)in.size(), (int)buf.size(), 1);
                } else {
                    buf.resize(ZSTD_compressBound(in.size()));
                    ZSTD_compressCCtx(cctx, buf.data(), buf.size(), in.data(), in.size(), 3);
                }
            }
        });
        ZSTD_freeCCtx(cctx);
        buf.resize(kChunkRows * kCols * 2);
        const double t_decompress = median_seconds([&] {
            for (const Bytes &s : stored) {
                if (p.lz4)
                    LZ4_decompress_safe((const char *)s.data() + 8, (char *)buf.data(), (int)s.size() - 8,
                                        (int)buf.size());
                else
                    ZSTD_decompress(buf.data(), buf.size(), s.data(), s.size());
            }
        });
        std::string name = p.name;
        std::printf("%s: write %.0f MB/s, read %.0f MB/s, stored %.1f %% of raw\n", p.name,
                    data.size() / 1e6 / t_write, data.size() / 1e6 / t_read,
                    100.0 * [&] { size_t n = 0; for (auto &s : stored) n += s.size(); return (double)n; }() /
                        data.size());
        row((name + " Q7Dwrite (durable) / codec alone").c_str(), t_compress / t_write, 1.5);
        row((name + " Q7Dread / codec alone").c_str(), t_decompress / t_read, 1.6);
        if (p.lz4) {
            row((name + " Q7Dread / read() of raw plain file").c_str(), t_plain / t_read, 1.0);
            // The same bytes for one thread and for all.
            const std::string one = path + ".1";
            write_file(one, data, p, 1);
            std::vector<Bytes> stored1, input1;
            stored_chunks(one, p, stored1, input1);
            std::remove(one.c_str());
            std::printf("%-58s %8s\n", "stored bytes, 1 thread vs all", stored1 == stored ? "same" : "DIFFER");
            if (stored1 != stored) status = 1;
            long peak = child_peak_kib([&] {
                long before = max_rss_mib();
                write_file(path, data, p, 0);
                return max_rss_mib() - before;
            });
            std::printf("%-58s %5ld MiB  (target <= 128)%s\n", (name + " write: peak memory above the data").c_str(),
                        peak, peak >= 0 && peak <= 128 ? "" : "  TARGET MISSED");
        }
        std::remove(path.c_str());
    }

    // Piece by piece through the decoded-chunk cache.
    {
        const q7size_t rows = 500, cols = 4000;
        std::vector<double> v(rows * cols);
        std::mt19937 rng(3);
        std::normal_distribution<double> noise(0.0, 0.01);
        for (q7size_t i = 0; i < rows; ++i)
            for (q7size_t j = 0; j < cols; ++j) v[i * cols + j] = std::sin(i * 0.01) * std::cos(j * 0.002) + noise(rng);
        q7size_t dims[2] = {rows, cols};
        write_f8(path, v, dims, {50, 1000}, Q7Z_FILTER_DEFLATE, 6);
        std::vector<double> back(rows * cols), piece(rows > cols ? rows : cols);
        auto session = [&](const std::function<void(q7id_t)> &body) {
            q7id_t f = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
            q7id_t ds = Q7Dopen2(f, "d", 0);
            body(ds);
            Q7Dclose(ds);
            Q7Fclose(f);
        };
        const double t_whole = median_seconds(
            [&] { session([&](q7id_t ds) { Q7Dread(ds, Q7T_NATIVE_DOUBLE_g, Q7S_ALL, Q7S_ALL, 0, back.data()); }); });
        auto pieces = [&](bool by_row) {
            return median_seconds([&] {
                session([&](q7id_t ds) {
                    q7size_t n = by_row ? rows : cols / 10;
                    q7size_t count[2] = {by_row ? 1 : rows, by_row ? cols : 1};
                    q7size_t len = by_row ? cols : rows;
                    q7id_t ms = Q7Screate_simple(1, &len, nullptr);
                    for (q7size_t k = 0; k < n; ++k) {
                        q7id_t fs = Q7Screate_simple(2, dims, nullptr);
                        q7size_t start[2] = {by_row ? k : 0, by_row ? 0 : k * 10};
                        Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr);
                        Q7Dread(ds, Q7T_NATIVE_DOUBLE_g, ms, fs, 0, piece.data());
                        Q7Sclose(fs);
                    }
                    Q7Sclose(ms);
                });
            });
        };
        row("(500,4000) f8 row by row / whole read", pieces(true) / t_whole, 2.0, false);
        row("(500,4000) f8 every tenth column / whole read", pieces(false) / t_whole, 3.0, false);
        std::remove(path.c_str());
    }
    cache_sizes(path);
    Q7close();
    return status;
}
