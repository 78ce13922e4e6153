// The plug-ins inside the library's real pipeline: datasets written through
// each filter, read back by another process, their stored chunks showing
// the transformation; the search path choosing between the two plug-ins
// that carry identifier 260; and write failures that leave the file as it
// was.
#include "plugin_harness.hpp"
#include "quor7_fault.h"

#include <cstdlib>
#include <filesystem>
#include <functional>

using namespace q7plug;

namespace {

constexpr q7size_t kElements = 40;  // chunks of 16: two full, one partial
constexpr q7size_t kChunk = 16;

std::vector<int32_t> sample_values(int32_t seed) {
    std::vector<int32_t> v(kElements);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<int32_t>((i * 7919 + seed) % 100000) - 50000;
    return v;
}

// A plug-in directory holding just the named plug-ins (as links).
std::string plugin_dir(const q7test::TempDir &tmp, const std::string &name, std::vector<std::string> plugins) {
    const auto dir = tmp.path() / name;
    std::filesystem::create_directories(dir);
    for (const auto &p : plugins) std::filesystem::create_symlink(q7test::plugin(p), dir / (p + ".so"));
    return dir.string();
}

struct PipelineFile {
    q7id_t file = -1, dset = -1;
    ~PipelineFile() {
        if (dset >= 0) Q7Dclose(dset);
        if (file >= 0) Q7Fclose(file);
    }
};

// Creates FILE with dataset "data" (int32, chunked) whose pipeline is the
// one filter given.
bool create_dataset(PipelineFile &f, const std::string &path, q7filter_t filter, const std::vector<unsigned> &cd) {
    f.file = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
    if (f.file < 0) return false;
    const q7size_t dims[1] = {kElements}, chunk[1] = {kChunk};
    q7id_t space = Q7Screate_simple(1, dims, nullptr);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    bool ok = space >= 0 && dcpl >= 0 && Q7Pset_chunk(dcpl, 1, chunk) >= 0 &&
              Q7Pset_filter(dcpl, filter, Q7Z_FLAG_MANDATORY, cd.size(), cd.empty() ? nullptr : cd.data()) >= 0;
    if (ok) f.dset = Q7Dcreate2(f.file, "data", Q7T_NATIVE_INT32_g, space, 0, dcpl, 0);
    if (dcpl >= 0) Q7Pclose(dcpl);
    if (space >= 0) Q7Sclose(space);
    return ok && f.dset >= 0;
}

std::vector<uint8_t> stored_chunk(q7id_t dset, q7size_t first_element, uint32_t *mask) {
    const q7size_t offset[1] = {first_element};
    q7size_t nbytes = 0;
    if (Q7Dget_chunk_storage_size(dset, offset, &nbytes) < 0) return {};
    std::vector<uint8_t> bytes(nbytes);
    if (Q7Dread_chunk(dset, 0, offset, mask, bytes.data()) < 0) return {};
    return bytes;
}

std::vector<int32_t> read_values(q7id_t dset) {
    std::vector<int32_t> v(kElements);
    if (Q7Dread(dset, Q7T_NATIVE_INT32_g, 0, 0, 0, v.data()) < 0) return {};
    return v;
}

// Reads "data" of a file in a separate process under the given search path.
q7test::CommandResult read_elsewhere(const std::string &path, const std::string &search_path) {
    return q7test::run("QUOR7_PLUGIN_PATH='" + search_path + "' '" + q7test::program("plugin_readback") + "' '" +
                       path + "' data");
}

struct ThroughFilter {
    const char *plugin;
    q7filter_t id;
    std::vector<unsigned> client_data;
    // The stored form of the first chunk (16 integers).
    std::function<std::vector<uint8_t>(const std::vector<int32_t> &)> stored;
};

void PrintTo(const ThroughFilter &t, std::ostream *os) { *os << t.plugin; }

std::function<std::vector<uint8_t>(const std::vector<int32_t> &)> words(std::function<int32_t(int32_t)> op) {
    return [op](const std::vector<int32_t> &in) {
        std::vector<int32_t> out;
        for (int32_t v : in) out.push_back(op(v));
        return words_to_bytes(out);
    };
}

class WrittenThrough : public ::testing::TestWithParam<ThroughFilter> {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
    }
};

TEST_P(WrittenThrough, ReadsBackInAnotherProcessAndStoresTheTransform) {
    const ThroughFilter &t = GetParam();
    q7test::TempDir tmp;
    const std::string dir = plugin_dir(tmp, "only", {t.plugin});
    ASSERT_GE(Q7PLset_search_path(dir.c_str()), 0);
    const std::string path = tmp.file("through.q7");
    const auto values = sample_values(t.id);
    {
        PipelineFile f;
        ASSERT_TRUE(create_dataset(f, path, t.id, t.client_data));
        ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, values.data()), 0);
    }
    auto r = read_elsewhere(path, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), words_to_bytes(values));

    PipelineFile f;
    f.file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f.file, 0);
    f.dset = Q7Dopen2(f.file, "data", 0);
    ASSERT_GE(f.dset, 0);
    uint32_t mask = 0xFFFFFFFF;
    const auto chunk = stored_chunk(f.dset, 0, &mask);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(chunk, t.stored(std::vector<int32_t>(values.begin(), values.begin() + kChunk)));
    EXPECT_EQ(read_values(f.dset), values);
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, WrittenThrough,
    ::testing::Values(
        ThroughFilter{"offset_plugin", 257, {5}, words([](int32_t v) { return v + 5; })},
        ThroughFilter{"scale_plugin", 258, {}, words([](int32_t v) { return v * 3; })},
        ThroughFilter{"group_suffix_plugin", 260, {},
                      [](const std::vector<int32_t> &in) {
                          auto b = words_to_bytes(in);
                          for (char c : std::string(".q7group")) b.push_back(static_cast<uint8_t>(c));
                          return b;
                      }},
        ThroughFilter{"checked_offset_plugin", 260, {4, Q7_VERS_MAJOR, Q7_VERS_MINOR},
                      words([](int32_t v) { return v + 4; })},
        ThroughFilter{"byteshift_plugin_dump", 300, {},
                      [](const std::vector<int32_t> &in) {
                          auto b = words_to_bytes(in);
                          for (auto &x : b) x = static_cast<uint8_t>(x + 3);
                          return b;
                      }},
        ThroughFilter{"byteshift_plugin_diff", 300, {}, [](const std::vector<int32_t> &in) {
                          auto b = words_to_bytes(in);
                          for (auto &x : b) x = static_cast<uint8_t>(x + 3);
                          return b;
                      }}),
    [](const auto &info) { return std::string(info.param.plugin); });

// Identifier 260 comes from two plug-ins; the first in search order wins.
TEST(SharedIdentifier, SearchPathOrderChoosesThePlugin) {
    ASSERT_GE(Q7open(), 0);
    Q7Eset_auto2(0, nullptr, nullptr);
    q7test::TempDir tmp;
    const std::string suffix_dir = plugin_dir(tmp, "suffix", {"group_suffix_plugin"});
    const std::string checked_dir = plugin_dir(tmp, "checked", {"checked_offset_plugin"});
    const std::string suffix_first = suffix_dir + ":" + checked_dir;
    const std::string checked_first = checked_dir + ":" + suffix_dir;

    // Through the environment, in fresh processes.
    auto name = q7test::run("QUOR7_PLUGIN_PATH='" + suffix_first + "' '" + q7test::program("plugin_readback") +
                            "' --filter-name 260");
    EXPECT_EQ(name.status, 0) << name.err;
    EXPECT_EQ(name.out, "test filter plugin 4\n");
    name = q7test::run("QUOR7_PLUGIN_PATH='" + checked_first + "' '" + q7test::program("plugin_readback") +
                       "' --filter-name 260");
    EXPECT_EQ(name.status, 0) << name.err;
    EXPECT_EQ(name.out, "dynlib4\n");

    // Through the programmatic search path: suffix plug-in first.
    const auto values = sample_values(260);
    const std::string suffixed = tmp.file("suffixed.q7");
    ASSERT_GE(Q7PLset_search_path(suffix_first.c_str()), 0);
    {
        PipelineFile f;
        ASSERT_TRUE(create_dataset(f, suffixed, 260, {}));
        ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, values.data()), 0);
        uint32_t mask = 0;
        EXPECT_EQ(stored_chunk(f.dset, 0, &mask).size(), kChunk * 4 + 8);
    }
    // The same file read where the other plug-in comes first: it refuses
    // the empty client data, so the read fails instead of returning garbage.
    auto r = read_elsewhere(suffixed, checked_first);
    EXPECT_NE(r.status, 0);
    r = read_elsewhere(suffixed, suffix_first);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), words_to_bytes(values));

    // Then the version-checked plug-in first, after the library restarts.
    ASSERT_GE(Q7close(), 0);
    ASSERT_GE(Q7open(), 0);
    Q7Eset_auto2(0, nullptr, nullptr);
    ASSERT_GE(Q7PLset_search_path(checked_first.c_str()), 0);
    const std::string checked = tmp.file("checked.q7");
    PipelineFile f;
    ASSERT_TRUE(create_dataset(f, checked, 260, {2, Q7_VERS_MAJOR, Q7_VERS_MINOR}));
    ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, values.data()), 0);
    uint32_t mask = 0;
    EXPECT_EQ(bytes_to_words(stored_chunk(f.dset, 0, &mask))[0], values[0] + 2);
    char filter_name[64] = "";
    EXPECT_GT(Q7Zget_filter_name(260, filter_name, sizeof filter_name), 0);
    EXPECT_STREQ(filter_name, "dynlib4");
}

// Records of the default stack pushed from the given source module.  The
// texts of a record are valid only inside the walk, so they are copied.
struct StackSummary {
    int total = 0;
    std::vector<Q7E_error2_t> from_module;  // text pointers cleared
    std::vector<std::string> messages, functions;
};
StackSummary stack_records_from(const char *module) {
    struct Walk {
        const char *module;
        StackSummary s;
    } walk{module, {}};
    Q7Ewalk2(0, Q7E_WALK_UPWARD,
             [](unsigned, const Q7E_error2_t *err, void *data) -> q7status_t {
                 auto *w = static_cast<Walk *>(data);
                 w->s.total++;
                 if (err->file_name && std::string(err->file_name) == w->module) {
                     Q7E_error2_t copy = *err;
                     copy.func_name = copy.file_name = copy.desc = nullptr;
                     w->s.from_module.push_back(copy);
                     w->s.messages.push_back(err->desc ? err->desc : "");
                     w->s.functions.push_back(err->func_name ? err->func_name : "");
                 }
                 return 0;
             },
             &walk);
    return walk.s;
}

class PipelineFailure : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
    }
    void TearDown() override { Q7fault_clear(); }
    q7test::TempDir tmp;
};

TEST_F(PipelineFailure, VersionMismatchFailsTheWriteAndKeepsTheFile) {
    const std::string dir = plugin_dir(tmp, "checked", {"checked_offset_plugin"});
    ASSERT_GE(Q7PLset_search_path(dir.c_str()), 0);
    const std::string path = tmp.file("version.q7");
    const auto before = sample_values(1);
    const auto after = sample_values(2);
    {
        PipelineFile f;
        ASSERT_TRUE(create_dataset(f, path, 260, {1, Q7_VERS_MAJOR, Q7_VERS_MINOR + 1}));
        // Earlier contents put in directly, bypassing the pipeline.
        const auto raw = words_to_bytes(std::vector<int32_t>(before.begin(), before.begin() + kChunk));
        const q7size_t origin[1] = {0};
        ASSERT_GE(Q7Dwrite_chunk(f.dset, 0, 0, origin, raw.size(), raw.data()), 0);

        Q7Eclear2(0);
        EXPECT_LT(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, after.data()), 0);
        const StackSummary s = stack_records_from("checked_offset_plugin");
        ASSERT_EQ(s.from_module.size(), 1u) << s.total << " records in all";
        EXPECT_EQ(s.messages[0], "Q7get_libversion does not match");
        EXPECT_EQ(s.functions[0], "dynlib4");
        EXPECT_EQ(s.from_module[0].maj_num, Q7E_PLUGIN_g);
        EXPECT_EQ(s.from_module[0].min_num, Q7E_CALLBACK_g);
        EXPECT_EQ(s.from_module[0].cls_id, Q7E_ERR_CLS_g);

        uint32_t mask = 1;
        EXPECT_EQ(stored_chunk(f.dset, 0, &mask), raw);
        EXPECT_EQ(mask, 0u);
        q7size_t nchunks = 0;
        ASSERT_GE(Q7Dget_num_chunks(f.dset, &nchunks), 0);
        EXPECT_EQ(nchunks, 1u);
    }
    // Reopened: still only the earlier chunk.
    PipelineFile f;
    f.file = Q7Fopen(path.c_str(), Q7F_ACC_RDONLY, 0);
    ASSERT_GE(f.file, 0);
    f.dset = Q7Dopen2(f.file, "data", 0);
    ASSERT_GE(f.dset, 0);
    q7size_t nchunks = 0;
    ASSERT_GE(Q7Dget_num_chunks(f.dset, &nchunks), 0);
    EXPECT_EQ(nchunks, 1u);
}

TEST_F(PipelineFailure, FailingVersionQueryIsRecordedByThePlugin) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    const std::string dir = plugin_dir(tmp, "checked", {"checked_offset_plugin"});
    ASSERT_GE(Q7PLset_search_path(dir.c_str()), 0);
    const auto values = sample_values(3);
    PipelineFile f;
    ASSERT_TRUE(create_dataset(f, tmp.file("query.q7"), 260, {1, Q7_VERS_MAJOR, Q7_VERS_MINOR}));
    ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, values.data()), 0);

    Q7Eclear2(0);
    Q7fault_arm("Q7get_libversion", 1, -1);
    const auto other = sample_values(4);
    EXPECT_LT(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, other.data()), 0);
    Q7fault_clear();
    const StackSummary s = stack_records_from("checked_offset_plugin");
    ASSERT_EQ(s.from_module.size(), 1u) << s.total << " records in all";
    EXPECT_EQ(s.messages[0], "Q7get_libversion");
    EXPECT_EQ(read_values(f.dset), values);
}

// Every allocation of a write through the name-suffix filter made to fail
// in turn - the pipeline's own and the plug-in's: each such write fails,
// the dataset keeps its earlier values, and nothing leaks (ASan).
TEST_F(PipelineFailure, AllocatorFailureDuringSuffixWriteFailsCleanly) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    const std::string dir = plugin_dir(tmp, "suffix", {"group_suffix_plugin"});
    ASSERT_GE(Q7PLset_search_path(dir.c_str()), 0);
    const auto values = sample_values(5);
    const auto other = sample_values(6);
    PipelineFile f;
    ASSERT_TRUE(create_dataset(f, tmp.file("suffix.q7"), 260, {}));
    ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, values.data()), 0);

    Q7fault_clear();
    ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, values.data()), 0);
    const long allocations = Q7fault_calls("Q7allocate_memory");
    ASSERT_GE(allocations, 3) << "one per chunk from the plug-in at least";

    int failures = 0;
    for (long nth = 1; nth <= allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        Q7fault_clear();
        Q7fault_arm("Q7allocate_memory", nth, 1);
        const q7status_t status = Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, other.data());
        Q7fault_clear();
        ASSERT_LT(status, 0) << "a write whose allocation failed reported success";
        EXPECT_GT(Q7Eget_num(0), 0);
        EXPECT_EQ(read_values(f.dset), values);
        failures++;
    }
    EXPECT_EQ(failures, allocations);
    ASSERT_GE(Q7Dwrite(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, other.data()), 0);
    EXPECT_EQ(read_values(f.dset), other);
}

// A stored chunk of just the 8 suffix bytes leaves no data after the
// reverse pass (a valid length of 0, which a filter reports as failure):
// the read fails with a record instead of returning garbage.
TEST_F(PipelineFailure, SuffixOnlyChunkFailsTheRead) {
    const std::string dir = plugin_dir(tmp, "suffix", {"group_suffix_plugin"});
    ASSERT_GE(Q7PLset_search_path(dir.c_str()), 0);
    PipelineFile f;
    ASSERT_TRUE(create_dataset(f, tmp.file("empty.q7"), 260, {}));
    const std::string suffix = ".q7group";
    const q7size_t origin[1] = {0};
    ASSERT_GE(Q7Dwrite_chunk(f.dset, 0, 0, origin, suffix.size(), suffix.data()), 0);
    std::vector<int32_t> out(kElements, 77);
    EXPECT_LT(Q7Dread(f.dset, Q7T_NATIVE_INT32_g, 0, 0, 0, out.data()), 0);
    EXPECT_GT(Q7Eget_num(0), 0);
}

} // namespace
