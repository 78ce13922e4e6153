// Helper program of the hardening tests: a writer that is killed, or made
// to run out of room, while it writes chunked data.
//
//   q7harden_writer crash FILE GEN   writes generation GEN, GEN+1, ... of
//                                    every dataset until it is killed; after
//                                    each generation it flushes the file and
//                                    then prints "<dataset> <generation>"
//                                    for every dataset on stdout.
//   q7harden_writer fill FILE LIMIT  limits the size of every file it writes
//                                    to LIMIT bytes, then overwrites the
//                                    dataset "big" with new contents; exits 0
//                                    if the write succeeded, 3 if it failed,
//                                    4 if the commit at its close failed
//                                    (printing the error stack), 1 otherwise.
#include "harden_pattern.hpp"

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

q7id_t open_or_create(const char *file) {
    if (Q7Fis_accessible(file, 0) > 0) return Q7Fopen(file, Q7F_ACC_RDWR, 0);
    return Q7Fcreate(file, Q7F_ACC_EXCL, 0, 0);
}

// Creates the fixed datasets and the growing log on a fresh file.
bool ensure_layout(q7id_t f) {
    for (int ds = 0; ds < q7h::kFixedDatasets; ++ds) {
        if (Q7Lexists(f, q7h::kNames[ds], 0) > 0) continue;
        q7size_t dims[1] = {q7h::kElements}, chunk[1] = {q7h::kChunk};
        q7id_t sp = Q7Screate_simple(1, dims, nullptr);
        q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        Q7Pset_chunk(dcpl, 1, chunk);
        if (ds == 1) {
            Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, 0, 0, nullptr);
            unsigned level = 6;
            Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 1, &level);
        } else if (ds == 2) {
            Q7Pset_filter(dcpl, Q7Z_FILTER_FLETCHER32, 0, 0, nullptr);
        }
        q7id_t d = Q7Dcreate2(f, q7h::kNames[ds], Q7T_NATIVE_UINT64_g, sp, 0, dcpl, 0);
        Q7Sclose(sp);
        Q7Pclose(dcpl);
        if (d < 0) return false;
        Q7Dclose(d);
    }
    if (Q7Lexists(f, q7h::kLog, 0) <= 0) {
        q7size_t dims[1] = {0}, max[1] = {Q7S_UNLIMITED}, chunk[1] = {q7h::kChunk};
        q7id_t sp = Q7Screate_simple(1, dims, max);
        q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        Q7Pset_chunk(dcpl, 1, chunk);
        q7id_t d = Q7Dcreate2(f, q7h::kLog, Q7T_NATIVE_UINT64_g, sp, 0, dcpl, 0);
        Q7Sclose(sp);
        Q7Pclose(dcpl);
        if (d < 0) return false;
        Q7Dclose(d);
    }
    return true;
}

// Appends one chunk to the log, written with generation gen.
bool append_log(q7id_t f, uint64_t gen) {
    q7id_t d = Q7Dopen2(f, q7h::kLog, 0);
    if (d < 0) return false;
    q7id_t sp = Q7Dget_space(d);
    q7size_t n = 0;
    Q7Sget_simple_extent_dims(sp, &n, nullptr);
    Q7Sclose(sp);
    q7size_t grown[1] = {n + q7h::kChunk};
    bool ok = Q7Dset_extent(d, grown) >= 0;
    if (ok) {
        std::vector<uint64_t> v(q7h::kChunk);
        for (q7size_t i = 0; i < q7h::kChunk; ++i) v[i] = q7h::value(gen, q7h::kFixedDatasets, n + i);
        q7size_t start[1] = {n}, count[1] = {q7h::kChunk};
        q7id_t fs = Q7Dget_space(d);
        q7id_t ms = Q7Screate_simple(1, count, nullptr);
        ok = Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, start, nullptr, count, nullptr) >= 0 &&
             Q7Dwrite(d, Q7T_NATIVE_UINT64_g, ms, fs, 0, v.data()) >= 0;
        Q7Sclose(fs);
        Q7Sclose(ms);
    }
    Q7Dclose(d);
    return ok;
}

int crash_mode(const char *file, uint64_t gen) {
    q7id_t f = open_or_create(file);
    if (f < 0 || !ensure_layout(f) || Q7Fflush(f) < 0) return 1;
    std::vector<uint64_t> v(q7h::kElements);
    for (;; ++gen) {
        // One generation of every dataset, then a flush; only what a flush
        // committed is reported, since only that must survive a kill.
        for (int ds = 0; ds < q7h::kFixedDatasets; ++ds) {
            q7id_t d = Q7Dopen2(f, q7h::kNames[ds], 0);
            for (q7size_t i = 0; i < q7h::kElements; ++i) v[i] = q7h::value(gen, ds, i);
            if (d < 0 || Q7Dwrite(d, Q7T_NATIVE_UINT64_g, 0, 0, 0, v.data()) < 0) return 1;
            Q7Dclose(d);
        }
        if (!append_log(f, gen) || Q7Fflush(f) < 0) return 1;
        for (int ds = 0; ds < q7h::kFixedDatasets; ++ds)
            std::printf("%s %llu\n", q7h::kNames[ds], (unsigned long long)gen);
        std::printf("%s %llu\n", q7h::kLog, (unsigned long long)gen);
        std::fflush(stdout);
    }
}

int fill_mode(const char *file, unsigned long long limit) {
    // Writing past the limit then fails with EFBIG instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
    q7id_t f = Q7Fopen(file, Q7F_ACC_RDWR, 0);
    if (f < 0) return 1;
    q7id_t d = Q7Dopen2(f, "big", 0);
    if (d < 0) return 1;
    q7id_t sp = Q7Dget_space(d);
    q7ssize_t n = Q7Sget_simple_extent_npoints(sp);
    Q7Sclose(sp);
    std::vector<uint64_t> v((size_t)n);
    // Incompressible new contents, so the write needs its full size on disk.
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (auto &e : v) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        e = x;
    }
    q7status_t w = Q7Dwrite(d, Q7T_NATIVE_UINT64_g, 0, 0, 0, v.data());
    if (w < 0) {
        std::printf("write failed\n");
        Q7Eprint2(0, stdout);
        Q7Eclear2(0);
    }
    Q7Dclose(d);
    // The write may also pass and its commit at the close fail.
    if (Q7Fclose(f) < 0 && w >= 0) {
        std::printf("close failed\n");
        Q7Eprint2(0, stdout);
        return 4;
    }
    return w < 0 ? 3 : 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: q7harden_writer crash FILE GEN | fill FILE LIMIT\n");
        return 2;
    }
    if (Q7open() < 0) return 1;
    Q7Eset_auto2(0, nullptr, nullptr);
    unsigned long long n = std::strtoull(argv[3], nullptr, 10);
    if (std::strcmp(argv[1], "crash") == 0) return crash_mode(argv[2], n);
    if (std::strcmp(argv[1], "fill") == 0) return fill_mode(argv[2], n);
    return 2;
}
