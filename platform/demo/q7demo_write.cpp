// q7demo_write: creates a file holding one chunked int dataset whose
// pipeline runs filter 257 (the offset plug-in) with client data {level}.
#include "q7demo_common.hpp"

#include "quor7.h"

#include <cerrno>
#include <vector>

static void usage(FILE *out) {
    fprintf(out,
            "usage: q7demo_write FILE [--elements N] [--chunk C] [--level L]\n"
            "Creates FILE anew with a 1-D dataset \"values\" of N ints (default 10)\n"
            "in chunks of C elements (default 4; the last chunk may be partial),\n"
            "stored through filter 257 with client data {L} (default 5).\n");
}

int main(int argc, char **argv) {
    const char *file = nullptr;
    uint64_t n = 10, chunk = 4, level = 5;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if ((a == "--elements" || a == "--chunk" || a == "--level") && i + 1 < argc) {
            uint64_t v = q7demo::number(argv[0], argv[i], argv[i + 1]);
            (a == "--elements" ? n : a == "--chunk" ? chunk : level) = v;
            ++i;
        } else if (!file && a[0] != '-') {
            file = argv[i];
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (!file || chunk == 0 || n == 0) {
        usage(stderr);
        return 2;
    }
    if (Q7open() < 0) return 1;
    q7id_t f = Q7Fcreate(file, Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return 1;
    q7id_t space = Q7Screate_simple(1, &n, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    unsigned cd[1] = {(unsigned)level};
    if (space < 0 || dcpl < 0 || Q7Pset_chunk(dcpl, 1, &chunk) < 0 ||
        Q7Pset_filter(dcpl, q7demo::kFilter, Q7Z_FLAG_MANDATORY, 1, cd) < 0)
        return 1;
    q7id_t d = Q7Dcreate2(f, q7demo::kDataset, Q7T_NATIVE_INT_g, space, 0, dcpl, 0);
    if (d < 0) return 1;
    std::vector<int32_t> v(n);
    for (uint64_t i = 0; i < n; ++i) v[i] = q7demo::value(i);
    if (Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) < 0) return 1;
    q7size_t stored = 0;
    Q7Dget_num_chunks(d, &stored);
    if (Q7Dclose(d) < 0 || Q7Pclose(dcpl) < 0 || Q7Sclose(space) < 0 || Q7Fclose(f) < 0) return 1;
    printf("wrote %s:/%s, %llu ints in %llu chunks of %llu (last one %llu), filter %d with client data {%llu}\n",
           file, q7demo::kDataset, (unsigned long long)n, (unsigned long long)stored, (unsigned long long)chunk,
           (unsigned long long)(n % chunk ? n % chunk : chunk), q7demo::kFilter, (unsigned long long)level);
    printf("first values:");
    for (uint64_t i = 0; i < n && i < 12; ++i) printf(" %d", v[i]);
    printf("%s\n", n > 12 ? " ..." : "");
    return 0;
}
