// q7repack_sample - the sample file that the q7repack demonstration and
// tests repack, and a look at one stored chunk as it lies in a file.
//
//   q7repack_sample write FILE
//       /                  attribute title = "repack sample"
//       /data/ints         int32 {64, 32}, chunks {16, 32}, values i % 97
//       /data/temps        float64 {1000}, contiguous, attribute units
//       /data/sparse       int32 {100} max {Inf}, chunks {10}, fill -1, only the
//                          chunks at 0 and 50 written
//       /image, /palette   an 8-bit image 32 wide, 16 high, with the
//                          palette attached
//       /alias             hard link to /data/ints
//       /soft, /ext        soft link to /data/temps, external link to
//                          other.q7:/x
//   q7repack_sample chunk FILE DATASET OFFSET...
//       prints the stored size and filter mask of the chunk whose first
//       element lies at OFFSET, its first stored 32-bit words, and the first
//       values of the same chunk read through the pipeline.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quor7.h"
#include "quor7_hl.h"

namespace {

bool write_attribute_text(q7id_t obj, const char *name, const char *text) {
    q7size_t one = 1;
    q7id_t space = Q7Screate_simple(1, &one, nullptr);
    q7id_t type = Q7Tcopy(Q7T_C_S1_g);
    bool ok = space >= 0 && type >= 0 && Q7Tset_size(type, strlen(text)) >= 0;
    q7id_t attr = ok ? Q7Acreate2(obj, name, type, space, 0, 0) : -1;
    ok = attr >= 0 && Q7Awrite(attr, type, text) >= 0;
    if (attr >= 0) Q7Aclose(attr);
    if (type >= 0) Q7Tclose(type);
    if (space >= 0) Q7Sclose(space);
    return ok;
}

q7id_t make_dataset(q7id_t file, const char *name, q7id_t type, int rank, const q7size_t *dims,
                    const q7size_t *maxdims, const q7size_t *chunk, const int32_t *fill = nullptr) {
    q7id_t space = Q7Screate_simple(rank, dims, maxdims);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    if (chunk) Q7Pset_chunk(dcpl, rank, chunk);
    if (fill) Q7Pset_fill_value(dcpl, Q7T_NATIVE_INT32_g, fill);
    q7id_t d = Q7Dcreate2(file, name, type, space, 0, dcpl, 0);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return d;
}

int write_sample(const char *path) {
    q7id_t f = Q7Fcreate(path, Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return 1;
    bool ok = write_attribute_text(f, "title", "repack sample");
    q7id_t g = Q7Gcreate2(f, "/data", 0, 0, 0);
    ok = ok && g >= 0;
    if (g >= 0) Q7Gclose(g);

    {
        q7size_t dims[2] = {64, 32}, chunk[2] = {16, 32};
        q7id_t d = make_dataset(f, "/data/ints", Q7T_STD_I32LE_g, 2, dims, nullptr, chunk);
        std::vector<int32_t> v(64 * 32);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int32_t>(i % 97);
        ok = ok && d >= 0 && Q7Dwrite(d, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data()) >= 0;
        if (d >= 0) Q7Dclose(d);
    }
    {
        q7size_t dims[1] = {1000};
        q7id_t d = make_dataset(f, "/data/temps", Q7T_IEEE_F64LE_g, 1, dims, nullptr, nullptr);
        std::vector<double> v(1000);
        for (size_t i = 0; i < v.size(); ++i) v[i] = 15.0 + static_cast<double>(i % 40) * 0.25;
        ok = ok && d >= 0 && Q7Dwrite(d, Q7T_NATIVE_DOUBLE_g, 0, 0, 0, v.data()) >= 0 &&
             write_attribute_text(d, "units", "degC");
        if (d >= 0) Q7Dclose(d);
    }
    {
        q7size_t dims[1] = {100}, maxdims[1] = {Q7S_UNLIMITED}, chunk[1] = {10};
        const int32_t fill = -1;
        q7id_t d = make_dataset(f, "/data/sparse", Q7T_STD_I32LE_g, 1, dims, maxdims, chunk, &fill);
        ok = ok && d >= 0;
        for (q7size_t start : {q7size_t(0), q7size_t(50)}) {
            int32_t v[10];
            for (int i = 0; i < 10; ++i) v[i] = static_cast<int32_t>(start) + i + 1;
            q7size_t count = 10;
            q7id_t fs = Q7Dget_space(d), ms = Q7Screate_simple(1, &count, nullptr);
            ok = ok && Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, &start, nullptr, &count, nullptr) >= 0 &&
                 Q7Dwrite(d, Q7T_NATIVE_INT32_g, ms, fs, 0, v) >= 0;
            Q7Sclose(fs);
            Q7Sclose(ms);
        }
        if (d >= 0) Q7Dclose(d);
    }
    {
        std::vector<unsigned char> pixels(32 * 16);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>((i / 32 + i % 32) % 4);
        const q7size_t pal_dims[2] = {4, 3};
        const unsigned char colours[12] = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
        ok = ok && Q7IMmake_image_8bit(f, "image", 32, 16, pixels.data()) >= 0 &&
             Q7IMmake_palette(f, "palette", pal_dims, colours) >= 0 && Q7IMlink_palette(f, "image", "palette") >= 0;
    }
    ok = ok && Q7Lcreate_hard(f, "/data/ints", f, "/alias", 0, 0) >= 0 &&
         Q7Lcreate_soft("/data/temps", f, "/soft", 0, 0) >= 0 &&
         Q7Lcreate_external("other.q7", "/x", f, "/ext", 0, 0) >= 0;
    if (Q7Fclose(f) < 0) ok = false;
    return ok ? 0 : 1;
}

int show_chunk(const char *path, const char *dataset, int noffsets, char **offsets) {
    q7id_t f = Q7Fopen(path, Q7F_ACC_RDONLY, 0);
    q7id_t d = f >= 0 ? Q7Dopen2(f, dataset, 0) : -1;
    q7id_t type = d >= 0 ? Q7Dget_type(d) : -1;
    q7id_t dcpl = d >= 0 ? Q7Dget_create_plist(d) : -1;
    if (type < 0 || dcpl < 0) {
        fprintf(stderr, "q7repack_sample: cannot open %s in %s\n", dataset, path);
        return 1;
    }
    q7size_t chunk[Q7_MAX_RANK] = {0};
    const int rank = Q7Pget_chunk(dcpl, Q7_MAX_RANK, chunk);
    if (rank != noffsets) {
        fprintf(stderr, "q7repack_sample: %s is %s; give one offset per dimension\n", dataset,
                rank > 0 ? "chunked" : "not chunked");
        return 1;
    }
    std::vector<q7size_t> offset(static_cast<size_t>(rank)), count(static_cast<size_t>(rank));
    q7size_t raw = Q7Tget_size(type);
    for (int i = 0; i < rank; ++i) {
        offset[i] = strtoull(offsets[i], nullptr, 10);
        count[i] = chunk[i];
        raw *= chunk[i];
    }
    q7size_t nbytes = 0;
    uint32_t mask = 0;
    if (Q7Dget_chunk_storage_size(d, offset.data(), &nbytes) < 0 || nbytes == 0) {
        fprintf(stderr, "q7repack_sample: no chunk stored there\n");
        return 1;
    }
    std::vector<unsigned char> stored(nbytes);
    std::vector<unsigned char> values(raw);
    q7id_t fs = Q7Dget_space(d), ms = Q7Screate_simple(rank, count.data(), nullptr);
    if (Q7DOread_chunk(d, 0, offset.data(), &mask, stored.data()) < 0 ||
        Q7Sselect_hyperslab(fs, Q7S_SELECT_SET, offset.data(), nullptr, count.data(), nullptr) < 0 ||
        Q7Dread(d, Q7T_NATIVE_INT32_g, ms, fs, 0, values.data()) < 0) {
        fprintf(stderr, "q7repack_sample: cannot read the chunk\n");
        return 1;
    }
    printf("stored bytes: %llu of %llu, filter mask 0x%x\n", static_cast<unsigned long long>(nbytes),
           static_cast<unsigned long long>(raw), mask);
    printf("stored words:");
    for (size_t i = 0; i < 8 && (i + 1) * 4 <= stored.size(); ++i) {
        uint32_t w;
        memcpy(&w, stored.data() + i * 4, 4);
        printf(" %u", w);
    }
    printf("\nvalues:      ");
    for (size_t i = 0; i < 8 && (i + 1) * 4 <= values.size(); ++i) {
        int32_t v;
        memcpy(&v, values.data() + i * 4, 4);
        printf(" %d", v);
    }
    printf("\n");
    Q7Sclose(fs);
    Q7Sclose(ms);
    Q7Pclose(dcpl);
    Q7Tclose(type);
    Q7Dclose(d);
    Q7Fclose(f);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Q7open();
    Q7Eset_auto2(0, nullptr, nullptr);
    if (argc == 3 && strcmp(argv[1], "write") == 0) return write_sample(argv[2]);
    if (argc >= 5 && strcmp(argv[1], "chunk") == 0) return show_chunk(argv[2], argv[3], argc - 4, argv + 4);
    fprintf(stderr,
            "usage: q7repack_sample write FILE\n"
            "       q7repack_sample chunk FILE DATASET OFFSET...\n");
    return 2;
}
