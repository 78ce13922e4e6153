// A second process for the storage tests.
//   q7storage_probe verify FILE DSET      read a 1- to 3-D int dataset and
//                                         check value i == 7 * i + 3
//   q7storage_probe watch FILE DSET SECS  open for concurrent reading and
//                                         re-read a growing 1-D dataset whose
//                                         value i == i (zeros past what is
//                                         filled), checking that neither extent
//                                         nor filled part shrinks; prints
//                                         "grew N -> M"
//   q7storage_probe lock FILE MS          hold the file locked for MS ms
//   q7storage_probe leave-open FILE       write dataset "v" (value i == 7 * i + 3)
//                                         and exit without closing anything
//   q7storage_probe fill FILE DSET VALUE  set every element of an int
//                                         dataset to VALUE, and close
//   q7storage_probe hold FILE DSET        create group "held", overwrite a 1-D
//                                         int dataset with -1 in one call, print
//                                         "held PID" and wait,
//                                         without flushing, to be killed
#include "quor7.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

static int verify(const char *file, const char *dset) {
    q7id_t f = Q7Fopen(file, Q7F_ACC_RDONLY, 0);
    q7id_t d = f < 0 ? -1 : Q7Dopen2(f, dset, 0);
    q7id_t s = d < 0 ? -1 : Q7Dget_space(d);
    q7ssize_t n = s < 0 ? -1 : Q7Sget_simple_extent_npoints(s);
    if (n < 0) return 2;
    std::vector<int> v((size_t)n);
    if (Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) < 0) return 2;
    for (q7ssize_t i = 0; i < n; ++i)
        if (v[(size_t)i] != (int)(7 * i + 3)) {
            printf("mismatch at %lld: %d\n", (long long)i, v[(size_t)i]);
            return 1;
        }
    printf("ok %lld\n", (long long)n);
    Q7Sclose(s);
    Q7Dclose(d);
    return Q7Fclose(f) < 0 ? 2 : 0;
}

static int watch(const char *file, const char *dset, double secs) {
    q7id_t f = Q7Fopen(file, Q7F_ACC_CONCURRENT_READ, 0);
    q7id_t d = f < 0 ? -1 : Q7Dopen2(f, dset, 0);
    if (d < 0) return 2;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    q7size_t first = 0, last = 0, last_filled = 0;
    bool seen = false;
    while (std::chrono::steady_clock::now() < end) {
        if (Q7Drefresh(d) < 0) return 2;
        q7id_t s = Q7Dget_space(d);
        q7size_t n = 0;
        Q7Sget_simple_extent_dims(s, &n, nullptr);
        std::vector<int> v(n ? n : 1);
        // The dataspace fixes how much is read, even if the writer has
        // grown the dataset since.
        if (Q7Dread(d, Q7T_NATIVE_INT_g, 0, s, 0, v.data()) < 0) return 2;
        Q7Sclose(s);
        if (n < last) {
            printf("shrank %llu -> %llu\n", (unsigned long long)last, (unsigned long long)n);
            return 1;
        }
        // Values i == i up to what the writer has filled; the extent may
        // already have grown past it, and that tail reads as zeros.
        q7size_t filled = 0;
        while (filled < n && v[filled] == (int)filled) ++filled;
        for (q7size_t i = filled; i < n; ++i)
            if (v[i] != 0) {
                printf("bad value %d at %llu of %llu\n", v[i], (unsigned long long)i, (unsigned long long)n);
                return 1;
            }
        if (filled < last_filled) {
            printf("filled part shrank %llu -> %llu\n", (unsigned long long)last_filled, (unsigned long long)filled);
            return 1;
        }
        last_filled = filled;
        if (!seen) first = n;
        seen = true;
        last = n;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    printf("grew %llu -> %llu\n", (unsigned long long)first, (unsigned long long)last);
    Q7Dclose(d);
    return Q7Fclose(f) < 0 ? 2 : 0;
}

static int lock(const char *file, int ms) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 2;
    if (sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return 2;
    printf("locked\n");
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}

static int leave_open(const char *file) {
    q7id_t f = Q7Fcreate(file, Q7F_ACC_TRUNC, 0, 0);
    q7size_t n = 1000;
    q7id_t s = Q7Screate_simple(1, &n, nullptr);
    q7id_t d = Q7Dcreate2(f, "v", Q7T_NATIVE_INT_g, s, 0, 0, 0);
    std::vector<int> v(n);
    for (q7size_t i = 0; i < n; ++i) v[i] = (int)(7 * i + 3);
    return Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) < 0 ? 2 : 0;
}

static int hold(const char *file, const char *dset) {
    q7id_t f = Q7Fopen(file, Q7F_ACC_RDWR, 0);
    q7id_t d = f < 0 ? -1 : Q7Dopen2(f, dset, 0);
    q7id_t s = d < 0 ? -1 : Q7Dget_space(d);
    q7ssize_t n = s < 0 ? -1 : Q7Sget_simple_extent_npoints(s);
    if (n < 0) return 2;
    std::vector<int> v((size_t)n, -1);
    q7id_t g = Q7Gcreate2(f, "held", 0, 0, 0);
    if (g < 0 || Q7Gclose(g) < 0 || Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) < 0) return 2;
    printf("held %ld\n", (long)getpid());
    fflush(stdout);
    pause();
    return 0;
}

static int fill(const char *file, const char *dset, int value) {
    q7id_t f = Q7Fopen(file, Q7F_ACC_RDWR, 0);
    q7id_t d = f < 0 ? -1 : Q7Dopen2(f, dset, 0);
    q7id_t s = d < 0 ? -1 : Q7Dget_space(d);
    q7ssize_t n = s < 0 ? -1 : Q7Sget_simple_extent_npoints(s);
    if (n < 0) return 2;
    std::vector<int> v((size_t)n, value);
    if (Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) < 0) return 2;
    Q7Sclose(s);
    Q7Dclose(d);
    return Q7Fclose(f) < 0 ? 2 : 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && !strcmp(argv[1], "verify")) return verify(argv[2], argv[3]);
    if (argc == 5 && !strcmp(argv[1], "watch")) return watch(argv[2], argv[3], atof(argv[4]));
    if (argc == 4 && !strcmp(argv[1], "lock")) return lock(argv[2], atoi(argv[3]));
    if (argc == 3 && !strcmp(argv[1], "leave-open")) return leave_open(argv[2]);
    if (argc == 5 && !strcmp(argv[1], "fill")) return fill(argv[2], argv[3], atoi(argv[4]));
    if (argc == 4 && !strcmp(argv[1], "hold")) return hold(argv[2], argv[3]);
    fprintf(stderr, "usage: q7storage_probe verify FILE DSET | watch FILE DSET SECS | lock FILE MS | leave-open FILE"
                    " | hold FILE DSET\n");
    return 2;
}
