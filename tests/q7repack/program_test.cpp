// q7repack as a user runs it: round trips through every built-in filter
// and every plug-in (checked with the comparison engine and with direct
// chunk reads that show the new pipeline at work), what a copy keeps
// (links, attributes, images, sparse chunks), chunk shapes and the path
// rules, and every kind of bad input.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "q7tools.h"
#include "quor7.h"
#include "quor7_hl.h"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using q7test::run;

std::string q7repack(const std::string &args) { return q7test::program("q7repack") + " " + args; }

// /data/ints of the sample: int32 {64, 32} in chunks {16, 32}, element i
// holding i % 97.
constexpr size_t kChunkElems = 16 * 32;
std::vector<int32_t> first_chunk_values() {
    std::vector<int32_t> v(kChunkElems);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int32_t>(i % 97);
    return v;
}
std::vector<unsigned char> bytes_of(const std::vector<int32_t> &v) {
    std::vector<unsigned char> b(v.size() * 4);
    memcpy(b.data(), v.data(), b.size());
    return b;
}

struct Chunk {
    uint32_t mask = 0;
    std::vector<unsigned char> bytes;
};

struct Filter {
    q7filter_t id;
    std::vector<unsigned> cd;
    bool operator==(const Filter &) const = default;
};

class Repack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
        in_ = dir_.file("in.q7");
        out_ = dir_.file("out.q7");
        auto w = run(q7test::program("q7repack_sample") + " write " + in_);
        ASSERT_EQ(w.status, 0) << w.err;
    }

    // Runs q7repack with args IN OUT.
    q7test::CommandResult repack(const std::string &args) { return run(q7repack(args + " " + in_ + " " + out_)); }

    // The stored chunk at offset of a dataset, read past the pipeline.
    Chunk stored_chunk(const std::string &file, const char *dset, std::vector<q7size_t> offset) {
        Chunk c;
        q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
        q7id_t d = Q7Dopen2(f, dset, 0);
        q7size_t n = 0;
        EXPECT_GE(Q7Dget_chunk_storage_size(d, offset.data(), &n), 0);
        c.bytes.resize(n);
        EXPECT_GE(Q7DOread_chunk(d, 0, offset.data(), &c.mask, c.bytes.data()), 0);
        Q7Dclose(d);
        Q7Fclose(f);
        return c;
    }

    std::vector<Filter> pipeline(const std::string &file, const char *dset, std::vector<q7size_t> *chunk = nullptr) {
        std::vector<Filter> out;
        q7id_t f = Q7Fopen(file.c_str(), Q7F_ACC_RDONLY, 0);
        q7id_t d = Q7Dopen2(f, dset, 0);
        q7id_t dcpl = Q7Dget_create_plist(d);
        EXPECT_GE(dcpl, 0) << dset;
        for (int i = 0; i < Q7Pget_nfilters(dcpl); ++i) {
            unsigned cd[16];
            size_t n = 16;
            q7filter_t id = Q7Pget_filter2(dcpl, static_cast<unsigned>(i), nullptr, &n, cd, 0, nullptr, nullptr);
            out.push_back({id, std::vector<unsigned>(cd, cd + n)});
        }
        if (chunk) {
            chunk->assign(Q7_MAX_RANK, 0);
            chunk->resize(static_cast<size_t>(std::max(0, Q7Pget_chunk(dcpl, Q7_MAX_RANK, chunk->data()))));
        }
        Q7Pclose(dcpl);
        Q7Dclose(d);
        Q7Fclose(f);
        return out;
    }

    // Compares OUT with IN with the comparison engine of q7diff.
    void expect_equal_files() {
        diff_opt_t opts;
        memset(&opts, 0, sizeof opts);
        opts.mode_quiet = 1;
        opts.equal_allowed = 1;
        const uint64_t found = q7diff(in_.c_str(), out_.c_str(), nullptr, nullptr, &opts);
        EXPECT_EQ(found, 0u);
        EXPECT_EQ(opts.err_stat, 0);
        EXPECT_EQ(opts.equal_allowed, 1) << "every object comparable";
    }

    // Files in the scratch directory other than IN: after a failed run
    // there must be none (no OUT, no temporary file).
    std::vector<std::string> leftovers() {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir_.path()))
            if (e.path().filename() != "in.q7") names.push_back(e.path().filename().string());
        return names;
    }

    q7test::TempDir dir_;
    std::string in_, out_;
};

TEST_F(Repack, RoundTripThroughEveryFilterAppliesTheNewPipeline) {
    unsigned major = 0, minor = 0, release = 0;
    ASSERT_GE(Q7get_libversion(&major, &minor, &release), 0);
    const std::string running = std::to_string(major) + "," + std::to_string(minor);
    const std::vector<int32_t> values = first_chunk_values();
    const std::vector<unsigned char> raw = bytes_of(values);
    auto words_plus = [&](int32_t k) {
        std::vector<int32_t> w(values);
        for (int32_t &x : w) x += k;
        return bytes_of(w);
    };
    auto shuffled = [&] {
        std::vector<unsigned char> s(raw.size());
        const size_t n = raw.size() / 4;
        for (size_t i = 0; i < n; ++i)
            for (size_t b = 0; b < 4; ++b) s[b * n + i] = raw[i * 4 + b];
        return s;
    };
    auto inflated = [](const std::vector<unsigned char> &z) {
        std::vector<unsigned char> out(64 * 1024);
        uLongf n = out.size();
        if (uncompress(out.data(), &n, z.data(), z.size()) != Z_OK) return std::vector<unsigned char>{};
        out.resize(n);
        return out;
    };
    struct Row {
        std::string choice;
        std::vector<Filter> pipeline;  // as the new file records it
        std::function<bool(const std::vector<unsigned char> &)> stored_ok;
    };
    const std::vector<Row> rows = {
        {"deflate:9", {{1, {9}}}, [&](const auto &s) { return s.size() < raw.size() && inflated(s) == raw; }},
        {"shuffle", {{2, {4}}}, [&](const auto &s) { return s == shuffled(); }},
        {"fletcher32", {{3, {}}},
         [&](const auto &s) { return s.size() == raw.size() + 4 && std::equal(raw.begin(), raw.end(), s.begin()); }},
        {"shuffle --filter /data/ints=deflate", {{2, {4}}, {1, {6}}},
         [&](const auto &s) { return inflated(s) == shuffled(); }},
        // The built-in codecs: a zstd frame; an lz4 block after the size header.
        {"zstd:-5", {{10, {4294967291u}}},
         [&](const auto &s) { return s.size() > 4 && s[0] == 0x28 && s[1] == 0xb5 && s[2] == 0x2f && s[3] == 0xfd; }},
        {"bitshuffle+lz4", {{12, {4, 2048}}, {11, {1}}},
         [&](const auto &s) { return s.size() > 8 && s[0] == (raw.size() & 0xff) && s[1] == (raw.size() >> 8 & 0xff); }},
        {"257:5", {{257, {5}}}, [&](const auto &s) { return s == words_plus(5); }},
        {"258", {{258, {}}}, [&](const auto &s) {
             std::vector<int32_t> w(values);
             for (int32_t &x : w) x *= 3;
             return s == bytes_of(w);
         }},
        {"300", {{300, {}}}, [&](const auto &s) {
             std::vector<unsigned char> b(raw);
             for (unsigned char &x : b) x = static_cast<unsigned char>(x + 3);
             return s == b;
         }},
        {"260:3," + running, {{260, {3, major, minor}}}, [&](const auto &s) { return s == words_plus(3); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.choice);
        fs::remove(out_);
        auto r = repack("--verify --filter /data/ints=" + row.choice);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("verify: "), std::string::npos) << r.out;
        expect_equal_files();
        EXPECT_EQ(pipeline(out_, "/data/ints"), row.pipeline);
        Chunk c = stored_chunk(out_, "/data/ints", {16, 0});
        EXPECT_EQ(c.mask, 0u) << "every filter applied";
        const Chunk first = stored_chunk(out_, "/data/ints", {0, 0});
        EXPECT_TRUE(row.stored_ok(first.bytes)) << "stored bytes of chunk {0, 0}: " << first.bytes.size();
        // Only /data/ints was named: the others keep their pipeline.
        EXPECT_TRUE(pipeline(out_, "/data/temps").empty());
        EXPECT_TRUE(pipeline(out_, "/image").empty());
    }

    // And back: none removes the pipeline again, and the stored bytes are
    // the values themselves.
    const std::string filtered = dir_.file("filtered.q7");
    fs::rename(out_, filtered);
    auto back = run(q7repack("--verify --filter none " + filtered + " " + out_));
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(pipeline(out_, "/data/ints").empty());
    EXPECT_EQ(stored_chunk(out_, "/data/ints", {0, 0}).bytes, raw);
}

TEST_F(Repack, TheCopyKeepsLinksAttributesImagesAndSparseChunks) {
    auto r = repack("--filter shuffle --filter deflate");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_equal_files();
    q7id_t f = Q7Fopen(out_.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f, 0);

    // One object linked twice stays one object linked twice.
    Q7O_info2_t a{}, b{};
    ASSERT_GE(Q7Oget_info_by_name2(f, "/alias", &a, Q7O_INFO_BASIC, 0), 0);
    ASSERT_GE(Q7Oget_info_by_name2(f, "/data/ints", &b, Q7O_INFO_BASIC, 0), 0);
    EXPECT_EQ(a.addr, b.addr);
    EXPECT_EQ(a.rc, 2u);

    char value[64] = "";
    Q7L_info_t li{};
    ASSERT_GE(Q7Lget_info(f, "/soft", &li, 0), 0);
    EXPECT_EQ(li.type, Q7L_TYPE_SOFT);
    ASSERT_GE(Q7Lget_val(f, "/soft", value, sizeof value, 0), 0);
    EXPECT_STREQ(value, "/data/temps");
    ASSERT_GE(Q7Lget_info(f, "/ext", &li, 0), 0);
    ASSERT_EQ(li.type, Q7L_TYPE_EXTERNAL);
    ASSERT_GE(Q7Lget_val(f, "/ext", value, sizeof value, 0), 0);
    const char *target_file = nullptr, *target_obj = nullptr;
    unsigned flags = 0;
    ASSERT_GE(Q7Lunpack_elink_val(value, li.val_size, &flags, &target_file, &target_obj), 0);
    EXPECT_STREQ(target_file, "other.q7");
    EXPECT_STREQ(target_obj, "/x");

    // Attributes of the root group and of a dataset.
    q7id_t temps = Q7Dopen2(f, "/data/temps", 0);
    EXPECT_GT(Q7Aexists(temps, "units"), 0);
    EXPECT_GT(Q7Aexists(f, "title"), 0);
    Q7Dclose(temps);

    // The image keeps its palette, now both filtered.
    EXPECT_GT(Q7IMis_image(f, "image"), 0);
    EXPECT_GT(Q7IMis_palette(f, "palette"), 0);
    ASSERT_EQ(Q7IMget_npalettes(f, "image"), 1);
    char pal[64] = "";
    ASSERT_GT(Q7IMget_palette_name(f, "image", 0, pal, sizeof pal), 0);
    EXPECT_STREQ(pal, "/palette");
    unsigned char colours[12] = {0};
    ASSERT_GE(Q7IMread_palette(f, "image", 0, colours), 0);
    EXPECT_EQ(colours[3], 255);
    EXPECT_EQ(pipeline(out_, "/image").size(), 2u);

    // Only the two chunks written in the sample exist in the copy.
    q7id_t sparse = Q7Dopen2(f, "/data/sparse", 0);
    q7size_t n = 0;
    ASSERT_GE(Q7Dget_num_chunks(sparse, &n), 0);
    EXPECT_EQ(n, 2u);
    q7size_t dims[1], maxdims[1];
    q7id_t space = Q7Dget_space(sparse);
    Q7Sget_simple_extent_dims(space, dims, maxdims);
    EXPECT_EQ(maxdims[0], Q7S_UNLIMITED) << "the extent can still grow";
    Q7Sclose(space);
    q7id_t dcpl = Q7Dget_create_plist(sparse);
    int fill = 0;
    EXPECT_GE(Q7Pget_fill_value(dcpl, Q7T_NATIVE_INT_g, &fill), 0);
    EXPECT_EQ(fill, -1) << "elements never written keep their fill value";
    Q7Pclose(dcpl);
    Q7Dclose(sparse);
    Q7Fclose(f);
}

TEST_F(Repack, ChunkShapesAndTheUnchangedCopy) {
    struct Row {
        std::string args;
        const char *dset;
        std::vector<q7size_t> chunk;  // empty: contiguous
    };
    const std::vector<Row> rows = {
        {"--chunk /data/ints=8x8", "/data/ints", {8, 8}},
        // Neither a divisor nor a multiple of the old chunks {16, 32}.
        {"--chunk /data/ints=24x20", "/data/ints", {24, 20}},
        {"--chunk /data/ints=64x3 --filter /data/ints=deflate", "/data/ints", {64, 3}},
        // Larger than a dimension that cannot grow: cut to the dimension.
        {"--chunk /data/ints=100x100", "/data/ints", {64, 32}},
        {"--chunk /data/ints=contiguous", "/data/ints", {}},
        {"--chunk /data/temps=64", "/data/temps", {64}},
        // A filter on a contiguous dataset gives it chunks of its own.
        {"--filter /data/temps=deflate", "/data/temps", {1000}},
        // The sparse dataset can grow in its first dimension: 1000 is kept.
        {"--chunk /data/sparse=1000", "/data/sparse", {1000}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args);
        fs::remove(out_);
        auto r = repack("--verify " + row.args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        expect_equal_files();
        std::vector<q7size_t> chunk;
        pipeline(out_, row.dset, &chunk);
        EXPECT_EQ(chunk, row.chunk);
    }

    // With nothing to change, stored chunks are copied as they are.
    fs::remove(out_);
    const std::string filtered = dir_.file("filtered.q7");
    ASSERT_EQ(run(q7repack("--filter /data/ints=257:7 " + in_ + " " + filtered)).status, 0);
    auto same = run(q7repack("-v " + filtered + " " + out_));
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.out.find("0 rewritten"), std::string::npos) << same.out;
    EXPECT_EQ(stored_chunk(out_, "/data/ints", {0, 0}).bytes, stored_chunk(filtered, "/data/ints", {0, 0}).bytes);
    // Even without the plug-in that made them.
    fs::remove(out_);
    auto no_plugin = run("QUOR7_PLUGIN_PATH=/nonexistent " + q7repack(filtered + " " + out_));
    EXPECT_EQ(no_plugin.status, 0) << no_plugin.err;
}

TEST_F(Repack, RulesByPathAndMinimumSize) {
    auto r = repack("-v --filter deflate:1 --filter /data=shuffle --filter /data/temps=none --min-size 500");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pipeline(out_, "/image"), (std::vector<Filter>{{1, {1}}}));
    EXPECT_EQ(pipeline(out_, "/data/ints"), (std::vector<Filter>{{2, {4}}})) << "found under either of its names";
    EXPECT_TRUE(pipeline(out_, "/data/temps").empty());
    EXPECT_TRUE(pipeline(out_, "/palette").empty()) << "12 bytes, below --min-size";
    EXPECT_TRUE(pipeline(out_, "/data/sparse").empty()) << "400 bytes, below --min-size";
    // One line per dataset in verbose mode, with sizes before and after.
    EXPECT_NE(r.out.find("/image: deflate:1, 512 -> "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/palette: none, 12 -> 12 bytes (1.00)"), std::string::npos) << r.out;

    fs::remove(out_);
    auto quiet = repack("-q --verify");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
}

TEST_F(Repack, VerifyReportsDifferences) {
    // Values beyond a third of the 32-bit range do not survive the scale
    // filter's multiplication: the copy differs, and --verify says so.
    const std::string big = dir_.file("big.q7");
    q7id_t f = Q7Fcreate(big.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7size_t dims[1] = {64}, chunk[1] = {16};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, chunk);
    q7id_t d = Q7Dcreate2(f, "/big", Q7T_STD_I32LE_g, space, 0, dcpl, 0);
    std::vector<int32_t> v(64, 0);
    v[5] = 1000000000;
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data()), 0);
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    ASSERT_GE(Q7Fclose(f), 0);

    auto r = run(q7repack("--verify --filter 258 " + big + " " + out_));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("/big[5]"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(out_)) << "the differing copy is kept for a look";
}

TEST_F(Repack, ExistingOutputIsReplacedOnlyWithForce) {
    {
        FILE *fp = fopen(out_.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        fputs("keep me\n", fp);
        fclose(fp);
    }
    auto refused = repack("");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_EQ(q7test::read_file(out_), "keep me\n");
    auto forced = repack("--force");
    EXPECT_EQ(forced.status, 0) << forced.err;
    expect_equal_files();
}

TEST_F(Repack, BadInputFailsWithStatus2AndLeavesNoOutput) {
    unsigned major = 0, minor = 0, release = 0;
    ASSERT_GE(Q7get_libversion(&major, &minor, &release), 0);
    const std::string foreign = dir_.file("foreign.q7");
    {
        FILE *fp = fopen(foreign.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        for (int i = 0; i < 200; ++i) fputs("plain text, not a Quor7 file\n", fp);
        fclose(fp);
    }
    // The sample cut short: its tables end in the middle.
    const std::string damaged = dir_.file("damaged.q7");
    fs::copy_file(in_, damaged);
    fs::resize_file(damaged, fs::file_size(damaged) / 2);

    struct Row {
        std::string args;  // everything but OUT
        std::string word;  // must appear on standard error
    };
    const std::vector<Row> rows = {
        {"--filter 25x " + in_, "'25x'"},
        {"--filter /data=257:5,q " + in_, "'q'"},
        {"--chunk 4x0 " + in_, "'0'"},
        {"--chunk /data/ints=16 " + in_, "rank"},
        {"--filter 999 " + in_, "filter 999"},
        {"--filter /data/ints=257:12 " + in_, "257"},
        {"--filter /data/ints=260:3," + std::to_string(major) + "," + std::to_string(minor + 1) + " " + in_, "260"},
        {"--filter deflate:99 " + in_, "deflate"},
        {"--filter deflate --chunk /data/temps=contiguous " + in_, "/data/temps"},
        {"--chunk /data/sparse=contiguous " + in_, "/data/sparse"},
        {foreign, "foreign.q7"},
        {damaged, "damaged.q7"},
        {dir_.file("absent.q7"), "absent.q7"},
        {"--frobnicate " + in_, "--frobnicate"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args);
        auto r = run(q7repack(row.args + " " + out_));
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(row.word), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("q7repack error: "), std::string::npos) << r.err;
        std::vector<std::string> left = leftovers();
        left.erase(std::remove_if(left.begin(), left.end(),
                                  [](const std::string &n) { return n == "foreign.q7" || n == "damaged.q7"; }),
                   left.end());
        EXPECT_TRUE(left.empty()) << left.front();
        fs::remove(out_);
    }
    // The plug-in filter failing names the dataset too.
    auto refused = repack("--filter /data/ints=257:12");
    EXPECT_NE(refused.err.find("/data/ints"), std::string::npos) << refused.err;
}

TEST_F(Repack, TheInputIsNeverChangedNorOverwritten) {
    const std::string before = q7test::read_file(in_);
    auto same = run(q7repack("--force " + in_ + " " + in_));
    EXPECT_EQ(same.status, 2);
    EXPECT_NE(same.err.find("same file"), std::string::npos) << same.err;
    const std::string other_name = dir_.file("linked.q7");
    fs::create_hard_link(in_, other_name);
    auto linked = run(q7repack("--force " + in_ + " " + other_name));
    EXPECT_EQ(linked.status, 2) << "a second name of the same file is the same file";
    fs::remove(other_name);
    ASSERT_EQ(repack("--verify --filter 257:5 --chunk /data/ints=4x4").status, 0);
    EXPECT_EQ(q7test::read_file(in_), before);
}

TEST_F(Repack, AFullDiskFailsWithStatus2AndLeavesNoOutput) {
    // 4 MiB of values to write, room for 1 MiB per file (bash counts
    // ulimit -f in KiB); SIGXFSZ is ignored so the write fails instead.
    const std::string big = dir_.file("big.q7");
    q7id_t f = Q7Fcreate(big.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7size_t dims[1] = {1u << 20}, chunk[1] = {1u << 15};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(dcpl, 1, chunk);
    q7id_t d = Q7Dcreate2(f, "/noise", Q7T_STD_U32LE_g, space, 0, dcpl, 0);
    std::vector<uint32_t> v(dims[0]);
    uint32_t x = 2463534242u;
    for (uint32_t &e : v) e = (x ^= x << 13, x ^= x >> 17, x ^= x << 5);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_UINT32_g, 0, 0, 0, v.data()), 0);
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(space);
    ASSERT_GE(Q7Fclose(f), 0);

    auto r = run("bash -c \"trap '' XFSZ; ulimit -f 1024; exec " + q7repack("--filter 257:1 " + big + " " + out_) +
                 "\"");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("q7repack error: "), std::string::npos) << r.err;
    std::vector<std::string> left = leftovers();
    left.erase(std::remove(left.begin(), left.end(), "big.q7"), left.end());
    EXPECT_TRUE(left.empty()) << left.front();

    // With room enough the same run succeeds, so the limit made it fail.
    auto ok = run(q7repack("--filter 257:1 " + big + " " + out_));
    EXPECT_EQ(ok.status, 0) << ok.err;
}

} // namespace
