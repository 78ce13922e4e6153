// q7demo_read: opens a file written by q7demo_write, reads the dataset
// through its pipeline and compares it with what the writer put in, then
// reads one stored chunk directly (no filters) and shows its ints.
#include "q7demo_common.hpp"

#include "quor7.h"

#include <cerrno>
#include <vector>

static void usage(FILE *out) {
    fprintf(out,
            "usage: q7demo_read FILE [--chunk-offset K]\n"
            "Reads dataset \"values\" of FILE, checks every value against what\n"
            "q7demo_write stores, then reads the chunk starting at element K\n"
            "(default 0) as stored and checks it holds each value plus the\n"
            "level of filter 257.  Exit status 0 only if both checks hold.\n");
}

int main(int argc, char **argv) {
    const char *file = nullptr;
    uint64_t offset = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--chunk-offset" && i + 1 < argc) {
            offset = q7demo::number(argv[0], argv[i], argv[i + 1]);
            ++i;
        } else if (!file && a[0] != '-') {
            file = argv[i];
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (!file) {
        usage(stderr);
        return 2;
    }
    if (Q7open() < 0) return 1;
    q7id_t f = Q7Fopen(file, Q7F_ACC_RDONLY, 0);
    q7id_t d = f < 0 ? -1 : Q7Dopen2(f, q7demo::kDataset, 0);
    if (d < 0) return 1;
    q7id_t space = Q7Dget_space(d);
    q7size_t n = 0;
    if (Q7Sget_simple_extent_dims(space, &n, nullptr) != 1) return 1;
    q7id_t dcpl = Q7Dget_create_plist(d);
    q7size_t chunk = 0;
    unsigned cd[4] = {0};
    size_t ncd = 4;
    if (Q7Pget_chunk(dcpl, 1, &chunk) != 1 || Q7Pget_nfilters(dcpl) != 1 ||
        Q7Pget_filter2(dcpl, 0, nullptr, &ncd, cd, 0, nullptr, nullptr) != q7demo::kFilter || ncd < 1) {
        fprintf(stderr, "q7demo_read: %s is not a file written by q7demo_write\n", file);
        return 1;
    }
    unsigned level = cd[0];

    std::vector<int32_t> v(n);
    if (Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()) < 0) return 1;
    uint64_t wrong = 0;
    for (uint64_t i = 0; i < n; ++i) wrong += v[i] != q7demo::value(i);
    printf("read %s:/%s through the pipeline: %llu ints, %s\n", file, q7demo::kDataset, (unsigned long long)n,
           wrong ? "NOT equal to what was written" : "equal to what was written");

    q7size_t bytes = 0;
    if (Q7Dget_chunk_storage_size(d, &offset, &bytes) < 0 || bytes == 0) {
        fprintf(stderr, "q7demo_read: no chunk stored at element %llu\n", (unsigned long long)offset);
        return 1;
    }
    std::vector<int32_t> raw((bytes + 3) / 4);
    uint32_t mask = 0xFFFFFFFFu;
    if (Q7Dread_chunk(d, 0, &offset, &mask, raw.data()) < 0) return 1;
    uint64_t in_extent = n - offset < chunk ? n - offset : chunk;
    printf("stored chunk at element %llu (read directly, filter mask 0x%x, %llu bytes):\n ",
           (unsigned long long)offset, mask, (unsigned long long)bytes);
    uint64_t off_by = 0;
    for (uint64_t i = 0; i < in_extent; ++i) {
        int32_t want = (int32_t)((uint32_t)q7demo::value(offset + i) + level);
        printf(" %d", raw[i]);
        off_by += raw[i] != want;
    }
    printf("\n  = each value plus %u: %s\n", level, off_by || mask != 0 ? "NO" : "yes");
    Q7Pclose(dcpl);
    Q7Sclose(space);
    Q7Dclose(d);
    if (Q7Fclose(f) < 0) return 1;
    return wrong == 0 && off_by == 0 && mask == 0 ? 0 : 1;
}
