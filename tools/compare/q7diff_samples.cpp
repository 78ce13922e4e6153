// q7diff_samples - writes the files that the q7diff demonstration and its
// speed measurement compare.
//
//   q7diff_samples demo DIR
//       DIR/base.q7, DIR/copy.q7 (the same content) and DIR/changed.q7
//       (three values changed): a group of measurements with a 2-D grid,
//       a 1-D series, integer counts and attributes.
//   q7diff_samples series FILE NELEM CHUNK EVERY [RAW]
//       one float64 dataset /data of NELEM elements in chunks of CHUNK
//       elements; when EVERY > 0, every EVERY-th element is changed.  RAW,
//       when given, receives the same element bytes as a plain file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quor7.h"

namespace {

bool ok(long long rc, const char *what) {
    if (rc < 0) fprintf(stderr, "q7diff_samples: %s failed\n", what);
    return rc >= 0;
}

bool write_dataset(q7id_t loc, const char *name, q7id_t ftype, q7id_t mtype, int rank, const q7size_t *dims,
                   const q7size_t *chunk, const void *data) {
    q7id_t space = Q7Screate_simple(rank, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    if (!ok(space, "Q7Screate_simple") || !ok(dcpl, "Q7Pcreate")) return false;
    if (chunk && !ok(Q7Pset_chunk(dcpl, rank, chunk), "Q7Pset_chunk")) return false;
    q7id_t d = Q7Dcreate2(loc, name, ftype, space, 0, dcpl, 0);
    bool good = ok(d, name) && ok(Q7Dwrite(d, mtype, 0, 0, 0, data), "Q7Dwrite");
    if (d >= 0) Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return good;
}

bool write_attribute(q7id_t loc, const char *obj, const char *name, const char *text) {
    q7id_t o = Q7Oopen(loc, obj, 0);
    q7id_t type = Q7Tcreate(Q7T_STRING, strlen(text) + 1);
    const q7size_t one[1] = {1};
    q7id_t space = Q7Screate_simple(1, one, nullptr);
    q7id_t a = o >= 0 && type >= 0 && space >= 0 ? Q7Acreate2(o, name, type, space, 0, 0) : -1;
    bool good = ok(a, name) && ok(Q7Awrite(a, type, text), "Q7Awrite");
    if (a >= 0) Q7Aclose(a);
    if (space >= 0) Q7Sclose(space);
    if (type >= 0) Q7Tclose(type);
    if (o >= 0) Q7Oclose(o);
    return good;
}

bool demo_file(const std::string &path, bool changed) {
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    if (!ok(f, path.c_str())) return false;
    q7id_t g = Q7Gcreate2(f, "/station", 0, 0, 0);
    bool good = ok(g, "/station");
    if (g >= 0) Q7Gclose(g);

    const q7size_t gdims[2] = {6, 8}, gchunk[2] = {3, 4};
    std::vector<double> grid(6 * 8);
    for (size_t i = 0; i < grid.size(); i++) grid[i] = 15.0 + 0.25 * static_cast<double>(i % 8) + static_cast<double>(i / 8);
    const q7size_t sdims[1] = {24}, schunk[1] = {8};
    std::vector<float> series(24);
    for (size_t i = 0; i < series.size(); i++) series[i] = 1000.0f + static_cast<float>(i) * 0.5f;
    const q7size_t cdims[1] = {5};
    std::vector<int32_t> counts{12, 7, 0, 3, 9};
    if (changed) {
        grid[2 * 8 + 5] += 0.75;  // [2,5]
        series[17] = -1.0f;
        counts[3] = 4;
    }
    good = good && write_dataset(f, "/station/temperature", Q7T_IEEE_F64LE_g, Q7T_NATIVE_DOUBLE_g, 2, gdims, gchunk,
                                 grid.data());
    good = good && write_dataset(f, "/station/pressure", Q7T_IEEE_F32BE_g, Q7T_NATIVE_FLOAT_g, 1, sdims, schunk,
                                 series.data());
    good = good && write_dataset(f, "/counts", Q7T_STD_I32LE_g, Q7T_NATIVE_INT32_g, 1, cdims, nullptr, counts.data());
    good = good && write_attribute(f, "/station", "name", "north ridge");
    good = good && write_attribute(f, "/station/temperature", "units", "degC");
    good = ok(Q7Fclose(f), "Q7Fclose") && good;
    return good;
}

bool series_file(const char *path, q7size_t nelem, q7size_t chunk, q7size_t every, const char *raw_path) {
    q7id_t f = Q7Fcreate(path, Q7F_ACC_TRUNC, 0, 0);
    if (!ok(f, path)) return false;
    q7id_t space = Q7Screate_simple(1, &nelem, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    if (!ok(Q7Pset_chunk(dcpl, 1, &chunk), "Q7Pset_chunk")) return false;
    q7id_t d = Q7Dcreate2(f, "/data", Q7T_IEEE_F64LE_g, space, 0, dcpl, 0);
    if (!ok(d, "/data")) return false;
    FILE *raw = raw_path ? fopen(raw_path, "wb") : nullptr;
    if (raw_path && !raw) {
        perror(raw_path);
        return false;
    }
    std::vector<double> buf(chunk);
    bool good = true;
    for (q7size_t start = 0; start < nelem && good; start += chunk) {
        q7size_t n = nelem - start < chunk ? nelem - start : chunk;
        for (q7size_t i = 0; i < n; i++) {
            q7size_t k = start + i;
            buf[i] = static_cast<double>(k) * 0.25;
            if (every && k % every == every - 1) buf[i] += 1.0;
        }
        q7id_t fsel = Q7Scopy(space);
        q7id_t msel = Q7Screate_simple(1, &n, nullptr);
        good = ok(Q7Sselect_hyperslab(fsel, Q7S_SELECT_SET, &start, nullptr, &n, nullptr), "select") &&
               ok(Q7Dwrite(d, Q7T_NATIVE_DOUBLE_g, msel, fsel, 0, buf.data()), "Q7Dwrite");
        Q7Sclose(msel);
        Q7Sclose(fsel);
        if (good && raw && fwrite(buf.data(), sizeof(double), n, raw) != n) {
            perror(raw_path);
            good = false;
        }
    }
    if (raw && fclose(raw) != 0) good = false;
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return ok(Q7Fclose(f), "Q7Fclose") && good;
}

q7size_t number(const char *text) {
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (!*text || *end) {
        fprintf(stderr, "q7diff_samples: '%s' is not a whole number\n", text);
        exit(2);
    }
    return v;
}

} // namespace

int main(int argc, char **argv) {
    if (Q7open() < 0) return 1;
    if (argc == 3 && strcmp(argv[1], "demo") == 0) {
        std::string dir = argv[2];
        bool good = demo_file(dir + "/base.q7", false) && demo_file(dir + "/copy.q7", false) &&
                    demo_file(dir + "/changed.q7", true);
        return good ? 0 : 1;
    }
    if ((argc == 6 || argc == 7) && strcmp(argv[1], "series") == 0) {
        q7size_t chunk = number(argv[4]);
        if (chunk == 0) {
            fprintf(stderr, "q7diff_samples: the chunk needs at least one element\n");
            return 2;
        }
        return series_file(argv[2], number(argv[3]), chunk, number(argv[5]), argc == 7 ? argv[6] : nullptr) ? 0 : 1;
    }
    fprintf(stderr,
            "usage: q7diff_samples demo DIR\n"
            "       q7diff_samples series FILE NELEM CHUNK EVERY [RAW]\n");
    return 2;
}
