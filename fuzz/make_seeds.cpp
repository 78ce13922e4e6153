// make_seeds - writes the seed corpora of the fuzz targets into
// DIR/<target>/, every seed made by the project's own code.
//
//   fuzz_make_seeds DIR
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "gif_encode.hpp"
#include "quor7.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool fail(const char *what) {
    fprintf(stderr, "fuzz_make_seeds: %s failed\n", what);
    return false;
}

Bytes slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool spill(const std::string &path, const Bytes &b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
    return bool(out) || fail(path.c_str());
}

void put_u32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

bool dataset(q7id_t loc, const char *name, q7id_t type, int rank, const q7size_t *dims, const q7size_t *chunk,
             const std::vector<q7filter_t> &filters, const void *data) {
    q7id_t space = Q7Screate_simple(rank, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    if (chunk && Q7Pset_chunk(dcpl, rank, chunk) < 0) return fail("Q7Pset_chunk");
    for (q7filter_t f : filters) {
        const unsigned level = 4;
        if (Q7Pset_filter(dcpl, f, Q7Z_FLAG_MANDATORY, f == Q7Z_FILTER_DEFLATE ? 1 : 0, &level) < 0)
            return fail("Q7Pset_filter");
    }
    q7id_t d = Q7Dcreate2(loc, name, type, space, 0, dcpl, 0);
    if (d < 0 || Q7Dwrite(d, type, Q7S_ALL, Q7S_ALL, 0, data) < 0) return fail(name);
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    return true;
}

bool attribute(q7id_t loc, const char *name, q7id_t type, q7size_t n, const void *data) {
    q7id_t space = Q7Screate_simple(1, &n, nullptr);
    q7id_t a = Q7Acreate2(loc, name, type, space, 0, 0);
    if (a < 0 || Q7Awrite(a, type, data) < 0) return fail(name);
    Q7Aclose(a);
    Q7Sclose(space);
    return true;
}

// A file of groups, datasets of several classes, attributes and links;
// changed != 0 alters a few values (the second file of a comparison).
bool rich_file(const std::string &path, int changed) {
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return fail("Q7Fcreate");
    q7id_t g = Q7Gcreate2(f, "grid", 0, 0, 0);
    if (g < 0) return fail("Q7Gcreate2");
    std::vector<double> grid(6 * 5);
    for (size_t i = 0; i < grid.size(); ++i) grid[i] = 0.5 * double(i) + (changed && i == 7 ? 1.0 : 0.0);
    const q7size_t gdims[2] = {6, 5}, gchunk[2] = {3, 5};
    std::vector<int32_t> counts(40);
    for (size_t i = 0; i < counts.size(); ++i) counts[i] = int32_t(i * i) - (changed && i == 3 ? 2 : 0);
    const q7size_t cdims[1] = {40}, cchunk[1] = {16};
    int16_t small[4] = {-3, 0, 7, int16_t(changed ? 9 : 8)};
    const q7size_t sdims[1] = {4};
    struct Rec {
        int32_t id;
        double value;
    } recs[3] = {{1, 0.25}, {2, -1.5}, {3, changed ? 3.0 : 2.0}};
    q7id_t rec = Q7Tcreate(Q7T_COMPOUND, sizeof(Rec));
    Q7Tinsert(rec, "id", offsetof(Rec, id), Q7T_NATIVE_INT32_g);
    Q7Tinsert(rec, "value", offsetof(Rec, value), Q7T_NATIVE_DOUBLE_g);
    const q7size_t rdims[1] = {3};
    q7id_t str = Q7Tcopy(Q7T_C_S1_g);
    Q7Tset_size(str, 8);
    const char text[2][8] = {"alpha", "beta"};
    const q7size_t tdims[1] = {2};
    const char note[] = "seed";
    const double scale[2] = {1.0, 0.001};
    if (!dataset(g, "values", Q7T_NATIVE_DOUBLE_g, 2, gdims, gchunk, {Q7Z_FILTER_SHUFFLE, Q7Z_FILTER_DEFLATE}, grid.data()) ||
        !dataset(f, "counts", Q7T_NATIVE_INT32_g, 1, cdims, cchunk, {Q7Z_FILTER_FLETCHER32}, counts.data()) ||
        !dataset(f, "small", Q7T_STD_I16BE_g, 1, sdims, nullptr, {}, small) ||
        !dataset(f, "records", rec, 1, rdims, nullptr, {}, recs) ||
        !dataset(g, "names", str, 1, tdims, nullptr, {}, text) ||
        !attribute(g, "scale", Q7T_NATIVE_DOUBLE_g, 2, scale) || !attribute(f, "note", Q7T_NATIVE_UCHAR_g, 4, note))
        return false;
    if (Q7Lcreate_soft("/grid/values", f, "latest", 0, 0) < 0 ||
        Q7Lcreate_hard(f, "/counts", g, "counts_again", 0, 0) < 0 ||
        Q7Lcreate_external("other.q7", "/data", f, "outside", 0, 0) < 0)
        return fail("links");
    Q7Tclose(rec);
    Q7Tclose(str);
    Q7Gclose(g);
    return Q7Fclose(f) >= 0 || fail("Q7Fclose");
}

// Rewrites a closed file with small pages and a rollback journal: the
// same content in a few kilobytes instead of several 64 KiB pages, which
// keeps the seeds small enough for the fuzzer to mutate quickly.
bool compact(const std::string &path) {
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM;", nullptr, nullptr,
                           nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok || fail("compacting a seed");
}

bool empty_file(const std::string &path) {
    q7id_t f = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    return (f >= 0 && Q7Fclose(f) >= 0) || fail("empty file");
}

bool gif_seeds(const std::string &dir) {
    using namespace q7gif_encode;
    Gif one;
    one.screen_width = 8;
    one.screen_height = 6;
    one.global_palette = {0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255};
    Frame fr = pattern_frame(8, 6, 0);
    for (auto &px : fr.pixels) px &= 3;
    one.frames.push_back(fr);
    Gif two;
    two.screen_width = 12;
    two.screen_height = 10;
    two.global_palette = rainbow_palette();
    two.frames.push_back(pattern_frame(12, 10, 0));
    Frame local = pattern_frame(5, 7, 1);
    local.left = 2;
    local.top = 1;
    local.interlaced = true;
    local.local_palette = {10, 20, 30, 40, 50, 60};
    for (auto &px : local.pixels) px &= 1;
    two.frames.push_back(local);
    std::string err;
    return (write_gif(dir + "/one_frame.gif", one, &err) && write_gif(dir + "/two_frames.gif", two, &err)) ||
           fail(err.c_str());
}

// Seeds of the filter target: one per plug-in selector (1 to 6, the
// plug-ins in the harness's order) with client values it accepts, and two
// for each built-in pipeline (selector 0, flags bits 1 and 2: the pipeline).
bool filter_seeds(const std::string &dir, const std::vector<Bytes> &stored_chunks) {
    struct Seed {
        uint8_t selector;
        uint32_t flags;
        std::vector<uint32_t> cd;
        uint32_t size, valid;
    };
    const Seed seeds[] = {
        {1, 0, {}, 64, 64},          {2, Q7Z_FLAG_REVERSE, {}, 33, 20},
        {3, 0, {5, Q7_VERS_MAJOR, Q7_VERS_MINOR}, 64, 48},
        {4, 0, {}, 24, 24},          {4, Q7Z_FLAG_REVERSE, {}, 24, 24},
        {5, 0, {7}, 40, 40},         {5, Q7Z_FLAG_REVERSE, {3}, 42, 16},
        {6, 0, {}, 64, 64},          {6, Q7Z_FLAG_REVERSE, {}, 64, 32},
    };
    int n = 0;
    for (const Seed &s : seeds) {
        Bytes b{s.selector};
        put_u32(b, s.flags);
        b.push_back(uint8_t(s.cd.size()));
        for (uint32_t v : s.cd) put_u32(b, v);
        put_u32(b, s.size);
        put_u32(b, s.valid);
        for (uint32_t i = 0; i < s.size; ++i) b.push_back(uint8_t(i * 37 + 11));
        if (!spill(dir + "/plugin_" + std::to_string(n++), b)) return false;
    }
    for (uint32_t k = 0; k < stored_chunks.size(); ++k) {
        const std::string tail = k ? std::to_string(k) : "";
        Bytes write{0};
        put_u32(write, k << 1);
        for (int i = 0; i < 1024; ++i) write.push_back(uint8_t(i < 512 ? i / 16 : i * 7));
        Bytes raw{0};
        put_u32(raw, 1 | k << 1);
        put_u32(raw, 0);  // filter mask: every filter applied
        raw.push_back(1); // second chunk
        raw.insert(raw.end(), stored_chunks[k].begin(), stored_chunks[k].end());
        if (!spill(dir + "/pipeline_write" + tail, write) || !spill(dir + "/pipeline_chunk" + tail, raw)) return false;
    }
    return true;
}

// The stored form of one chunk of each built-in pipeline of the filter
// target (64 integers): shuffle, deflate level 6, fletcher32; bitshuffle,
// zstd 3; shuffle, lz4 1; deflate 1, lz4 1 (the harness's order).
Bytes stored_chunk(const std::string &scratch, unsigned which) {
    q7id_t f = Q7Fcreate(scratch.c_str(), Q7F_ACC_TRUNC, 0, 0);
    const q7size_t dims[1] = {64};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    const unsigned six = 6, three = 3, one = 1;
    Q7Pset_chunk(dcpl, 1, dims);
    switch (which) {
    case 0:
        Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, 0, 0, nullptr);
        Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 1, &six);
        Q7Pset_filter(dcpl, Q7Z_FILTER_FLETCHER32, 0, 0, nullptr);
        break;
    case 1:
        Q7Pset_filter(dcpl, Q7Z_FILTER_BITSHUFFLE, 0, 0, nullptr);
        Q7Pset_filter(dcpl, Q7Z_FILTER_ZSTD, 0, 1, &three);
        break;
    case 2:
        Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, 0, 0, nullptr);
        Q7Pset_filter(dcpl, Q7Z_FILTER_LZ4, 0, 1, &one);
        break;
    default:
        Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 1, &one);
        Q7Pset_filter(dcpl, Q7Z_FILTER_LZ4, 0, 1, &one);
    }
    q7id_t d = Q7Dcreate2(f, "c", Q7T_NATIVE_INT32_g, space, 0, dcpl, 0);
    int32_t v[64];
    for (int i = 0; i < 64; ++i) v[i] = i * 1000 - 7;
    Q7Dwrite(d, Q7T_NATIVE_INT32_g, Q7S_ALL, Q7S_ALL, 0, v);
    const q7size_t off[1] = {0};
    q7size_t n = 0;
    Bytes out;
    uint32_t mask = 0;
    if (Q7Dget_chunk_storage_size(d, off, &n) >= 0 && n > 0) {
        out.resize(n);
        if (Q7Dread_chunk(d, 0, off, &mask, out.data()) < 0) out.clear();
    }
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    Q7Fclose(f);
    remove(scratch.c_str());
    return out;
}

Bytes diff_seed(uint8_t bits, const Bytes &a, const Bytes &b) {
    Bytes s{bits};
    put_u32(s, uint32_t(a.size()));
    s.insert(s.end(), a.begin(), a.end());
    s.insert(s.end(), b.begin(), b.end());
    return s;
}

// Inputs of mutate_rows (layout in mutate_rows.cpp): the file unchanged,
// a view, a trigger, a wrapping extent, a link name holding "/", an
// attribute count that wraps.
bool mutate_seeds(const std::string &dir) {
    const std::vector<std::pair<const char *, Bytes>> seeds = {
        {"unchanged", {0}},
        {"view", {0, 3, 0, 0}},
        {"trigger", {0, 3, 0, 6}},
        {"wrapping_extent", {0, 0, 3, 2, 0, 4, 16, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
        {"slash_name", {0, 0, 2, 1, 0, 3, 3, 'a', '/', 'b'}},
        {"wrapping_attribute", {0, 0, 6, 3, 0, 4, 8, 4, 0, 0, 0, 0, 0, 0, 0x40}},
    };
    for (const auto &s : seeds)
        if (!spill(dir + "/" + s.first, s.second)) return false;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_make_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (const char *t : {"", "/gif_import", "/open_walk", "/diff_files", "/filter_call", "/mutate_rows"})
        mkdir((dir + t).c_str(), 0755);
    Q7open();
    const std::string rich = dir + "/open_walk/rich", changed = dir + "/open_walk/changed";
    const std::string empty = dir + "/open_walk/empty";
    if (!rich_file(rich, 0) || !rich_file(changed, 1) || !empty_file(empty) || !compact(rich) ||
        !compact(changed) || !compact(empty))
        return 1;
    const Bytes r = slurp(rich), c = slurp(changed), e = slurp(empty);
    remove(changed.c_str());
    std::vector<Bytes> chunks;
    for (unsigned k = 0; k < 4; ++k) {
        chunks.push_back(stored_chunk(dir + "/chunk.tmp", k));
        if (chunks.back().empty()) return fail("stored chunk"), 1;
    }
    if (!spill(dir + "/diff_files/same", diff_seed(0, r, r)) ||
        !spill(dir + "/diff_files/changed", diff_seed(1, r, c)) ||
        !spill(dir + "/diff_files/against_empty", diff_seed(0x86, e, c)) || !gif_seeds(dir + "/gif_import") ||
        !filter_seeds(dir + "/filter_call", chunks) || !mutate_seeds(dir + "/mutate_rows"))
        return 1;
    Q7close();
    return 0;
}
