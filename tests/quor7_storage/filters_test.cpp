// The filter pipeline: built-in filters, registered filters that fail,
// replace their buffer or misreport lengths, and plug-ins found on the
// search path (including broken ones the loader must refuse).
#include "storage_test_util.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

using namespace q7st;

namespace {

class Filters : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        name = dir.file("f.q7");
        f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
        ASSERT_GE(f, 0);
    }
    void TearDown() override {
        Q7Fclose(f);
        StorageTest::TearDown();
    }
    // A 1-D int dataset of n elements in chunks of c with one filter.
    q7id_t make(const char *dn, size_t n, size_t c, q7filter_t id, unsigned flags, std::vector<unsigned> cd = {}) {
        q7id_t sp = space({n}), dcpl = chunked_dcpl({c});
        if (id) Q7Pset_filter(dcpl, id, flags, cd.size(), cd.data());
        q7id_t d = Q7Dcreate2(f, dn, Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
        Q7Sclose(sp);
        Q7Pclose(dcpl);
        return d;
    }
    std::string name;
    q7id_t f = -1;
};

TEST_F(Filters, BuiltinPipelineRoundTripsAndChecksumCatchesDamage) {
    q7id_t sp = space({4000}), dcpl = chunked_dcpl({1000});
    Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, 0, 0, nullptr);
    unsigned level = 6;
    Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 1, &level);
    Q7Pset_filter(dcpl, Q7Z_FILTER_FLETCHER32, 0, 0, nullptr);
    q7id_t d = Q7Dcreate2(f, "z", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    ASSERT_GE(d, 0);
    std::vector<int> v(4000);
    for (int i = 0; i < 4000; ++i) v[i] = i / 3;
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << error_text();
    q7size_t off = 1000, size = 0;
    ASSERT_GE(Q7Dget_chunk_storage_size(d, &off, &size), 0);
    EXPECT_LT(size, 1000u) << "4000 bytes of slowly rising ints compress well";
    std::vector<int> back(4000);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0) << error_text();
    EXPECT_EQ(back, v);

    // Flip one stored byte: the checksum refuses the chunk.
    std::vector<unsigned char> raw(size);
    uint32_t mask = 1;
    ASSERT_GE(Q7Dread_chunk(d, 0, &off, &mask, raw.data()), 0);
    EXPECT_EQ(mask, 0u);
    raw[size / 2] ^= 0x40;
    ASSERT_GE(Q7Dwrite_chunk(d, 0, mask, &off, size, raw.data()), 0);
    EXPECT_LT(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_NE(error_text().find("fletcher32"), std::string::npos) << error_text();

    q7id_t p = Q7Dget_create_plist(d);
    ASSERT_EQ(Q7Pget_nfilters(p), 3);
    unsigned cd[4];
    size_t ncd = 4;
    char fname[32];
    EXPECT_EQ(Q7Pget_filter2(p, 0, nullptr, &ncd, cd, sizeof fname, fname, nullptr), Q7Z_FILTER_SHUFFLE);
    EXPECT_EQ(ncd, 1u);
    EXPECT_EQ(cd[0], 4u) << "shuffle learns the element size";
    EXPECT_STREQ(fname, "shuffle");
    Q7Pclose(p);
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Pclose(dcpl);

    EXPECT_EQ(Q7Zfilter_avail(Q7Z_FILTER_DEFLATE), 1);
    EXPECT_EQ(Q7Zfilter_avail(Q7Z_FILTER_SZIP), 0);
    EXPECT_EQ(Q7Zfilter_avail(Q7Z_FILTER_NBIT), 0);
    EXPECT_LT(Q7Zfilter_avail(-3), 0);
    EXPECT_LT(Q7Zfilter_avail(70000), 0);
    char nm[8];
    EXPECT_EQ(Q7Zget_filter_name(Q7Z_FILTER_FLETCHER32, nm, sizeof nm), 10);
    EXPECT_STREQ(nm, "fletche");
    EXPECT_LT(Q7Zget_filter_name(Q7Z_FILTER_SZIP, nm, sizeof nm), 0);
}

// ---- registered filters with particular behaviour ----------------------

int g_fail_forward = 0;  // forward calls fail while set

// Replaces the buffer: prefixes an 8-byte tag on the way in.
uint64_t tagger(uint32_t flags, uint64_t, const uint32_t *, uint64_t valid, uint64_t *size, void **buf) {
    if (!(flags & Q7Z_FLAG_REVERSE)) {
        if (g_fail_forward) return 0;
        auto *out = (unsigned char *)Q7allocate_memory(valid + 8, 0);
        memcpy(out, "TAGGED!!", 8);
        memcpy(out + 8, *buf, valid);
        Q7free_memory(*buf);
        *buf = out;
        *size = valid + 8;
        return valid + 8;
    }
    if (valid < 8 || memcmp(*buf, "TAGGED!!", 8) != 0) return 0;
    auto *out = (unsigned char *)Q7allocate_memory(valid - 8, 0);
    memcpy(out, (unsigned char *)*buf + 8, valid - 8);
    Q7free_memory(*buf);
    *buf = out;
    *size = valid - 8;
    return valid - 8;
}

uint64_t liar(uint32_t, uint64_t, const uint32_t *, uint64_t, uint64_t *size, void **) { return *size + 1; }

uint64_t short_reverse(uint32_t flags, uint64_t, const uint32_t *, uint64_t valid, uint64_t *, void **) {
    return (flags & Q7Z_FLAG_REVERSE) ? valid - 4 : valid;
}

// Throws in the direction named by g_throw_in (a filter written in C++
// that breaks the callback's rule).
uint32_t g_throw_in = Q7Z_FLAG_REVERSE + 1;  // no direction
uint64_t thrower(uint32_t flags, uint64_t, const uint32_t *, uint64_t valid, uint64_t *, void **) {
    if ((flags & Q7Z_FLAG_REVERSE) == g_throw_in) throw std::runtime_error("filter broke");
    return valid;
}

const Q7Z_class2_t kTagger = {Q7Z_CLASS_T_VERS, 300, 1, 1, "tagger", nullptr, nullptr, tagger};
const Q7Z_class2_t kLiar = {Q7Z_CLASS_T_VERS, 301, 1, 1, "liar", nullptr, nullptr, liar};
const Q7Z_class2_t kShort = {Q7Z_CLASS_T_VERS, 302, 1, 1, "short", nullptr, nullptr, short_reverse};
const Q7Z_class2_t kThrower = {Q7Z_CLASS_T_VERS, 303, 1, 1, "thrower", nullptr, nullptr, thrower};

TEST_F(Filters, BufferReplacingFilterOwnsTheNewBlock) {
    ASSERT_GE(Q7Zregister(&kTagger), 0);
    q7id_t d = make("t", 10, 4, 300, 0);
    std::vector<int> v{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, back(10);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << error_text();
    q7size_t off = 8, size = 0;
    Q7Dget_chunk_storage_size(d, &off, &size);
    EXPECT_EQ(size, 24u) << "a partial edge chunk is filtered whole";
    std::vector<char> raw(size);
    uint32_t mask;
    Q7Dread_chunk(d, 0, &off, &mask, raw.data());
    EXPECT_EQ(std::string(raw.data(), 8), "TAGGED!!");
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_EQ(back, v);
    Q7Dclose(d);
    EXPECT_GE(Q7Zunregister(300), 0);
    EXPECT_LT(Q7Zunregister(300), 0);
}

TEST_F(Filters, OptionalFailureIsSkippedMandatoryFailureLeavesTheFileAlone) {
    ASSERT_GE(Q7Zregister(&kTagger), 0);
    std::vector<int> v{1, 2, 3, 4, 5, 6, 7, 8}, back(8);
    q7id_t opt = make("optional", 8, 4, 300, Q7Z_FLAG_OPTIONAL);
    q7id_t man = make("mandatory", 8, 4, 300, Q7Z_FLAG_MANDATORY);
    ASSERT_GE(Q7Dwrite(man, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);

    g_fail_forward = 1;
    ASSERT_GE(Q7Dwrite(opt, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << error_text();
    q7size_t off = 0;
    uint32_t mask = 0;
    int raw[4];
    ASSERT_GE(Q7Dread_chunk(opt, 0, &off, &mask, raw), 0);
    EXPECT_EQ(mask, 1u) << "filter 0 skipped";
    EXPECT_EQ(raw[1], 2) << "stored unfiltered";
    ASSERT_GE(Q7Dread(opt, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_EQ(back, v);

    std::vector<int> other{9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_LT(Q7Dwrite(man, Q7T_NATIVE_INT_g, 0, 0, 0, other.data()), 0);
    std::string err = error_text();
    EXPECT_NE(err.find("300"), std::string::npos) << err;
    EXPECT_NE(err.find("tagger"), std::string::npos) << err;
    g_fail_forward = 0;
    ASSERT_GE(Q7Dread(man, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_EQ(back, v) << "the failed write changed nothing";
    Q7Dclose(opt);
    Q7Dclose(man);

    // Not available at all: optional skipped, mandatory refused by name.
    q7id_t none_opt = make("none_opt", 4, 4, 999, Q7Z_FLAG_OPTIONAL);
    ASSERT_GE(Q7Dwrite(none_opt, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    q7id_t none = make("none", 4, 4, 999, 0);
    EXPECT_LT(Q7Dwrite(none, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    EXPECT_NE(error_text().find("999"), std::string::npos);
    q7size_t n = 5;
    Q7Dget_num_chunks(none, &n);
    EXPECT_EQ(n, 0u);
    Q7Dclose(none);
    Q7Dclose(none_opt);
}

TEST_F(Filters, MisreportedLengthsAndThrowingFiltersAreErrors) {
    ASSERT_GE(Q7Zregister(&kLiar), 0);
    ASSERT_GE(Q7Zregister(&kShort), 0);
    ASSERT_GE(Q7Zregister(&kThrower), 0);
    std::vector<int> v{1, 2, 3, 4}, back(4);
    q7id_t liar_d = make("liar", 4, 4, 301, Q7Z_FLAG_OPTIONAL);
    EXPECT_LT(Q7Dwrite(liar_d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << "even an optional filter may not overrun";
    EXPECT_NE(error_text().find("corrupt"), std::string::npos) << error_text();
    q7id_t short_d = make("short", 4, 4, 302, 0);
    ASSERT_GE(Q7Dwrite(short_d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    EXPECT_LT(Q7Dread(short_d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_NE(error_text().find("12 bytes instead of 16"), std::string::npos) << error_text();
    Q7Dclose(liar_d);
    Q7Dclose(short_d);

    // An exception thrown by a filter fails the call (an optional filter
    // too: the block it left is not trusted) and never reaches the caller.
    q7id_t thrown = make("thrown", 4, 4, 303, Q7Z_FLAG_OPTIONAL);
    g_throw_in = 0;
    EXPECT_LT(Q7Dwrite(thrown, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    EXPECT_NE(error_text().find("thrower"), std::string::npos) << error_text();
    q7size_t n = 5;
    ASSERT_GE(Q7Dget_num_chunks(thrown, &n), 0);
    EXPECT_EQ(n, 0u) << "the failed write stored nothing";
    g_throw_in = Q7Z_FLAG_REVERSE;
    ASSERT_GE(Q7Dwrite(thrown, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << error_text();
    EXPECT_LT(Q7Dread(thrown, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_NE(error_text().find("thrower"), std::string::npos) << error_text();
    g_throw_in = Q7Z_FLAG_REVERSE + 1;
    Q7Dclose(thrown);

    Q7Z_class2_t bad = kLiar;
    bad.version = 2;
    EXPECT_LT(Q7Zregister(&bad), 0);
    bad = kLiar;
    bad.filter = nullptr;
    EXPECT_LT(Q7Zregister(&bad), 0);
}

// An allocation failing at any point of a filtered write fails the write
// cleanly: the chunks keep their earlier contents, nothing leaks.
TEST_F(Filters, AllocationFailureAnywhereLeavesEarlierContents) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    q7id_t sp = space({1000}), dcpl = chunked_dcpl({300});
    Q7Pset_filter(dcpl, Q7Z_FILTER_SHUFFLE, 0, 0, nullptr);
    Q7Pset_filter(dcpl, Q7Z_FILTER_DEFLATE, 0, 0, nullptr);
    q7id_t d = Q7Dcreate2(f, "z", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    std::vector<int> old(1000), fresh(1000), back(1000);
    for (int i = 0; i < 1000; ++i) old[i] = i, fresh[i] = -i;
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, old.data()), 0);
    int failures = 0;
    for (long nth = 1; nth <= 40; ++nth) {
        Q7fault_arm("Q7allocate_memory", nth, 1);
        bool ok = Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, fresh.data()) >= 0;
        Q7fault_clear();
        ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0) << nth;
        ASSERT_EQ(back, ok ? fresh : old) << "allocation " << nth;
        failures += !ok;
        ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, old.data()), 0);
    }
    EXPECT_GT(failures, 4) << "the write allocates several times, and each failure counts";
    Q7Dclose(d);
    Q7Sclose(sp);
    Q7Pclose(dcpl);
}

// ---- plug-ins ----------------------------------------------------------

std::string plugin_dir(const char *sub) { return std::string(TEST_PLUGIN_DIR) + "/" + sub; }

TEST_F(Filters, PluginFromTheSearchPathRunsInThePipeline) {
    ASSERT_GE(Q7PLset_search_path(plugin_dir("good").c_str()), 0);
    char path[512];
    EXPECT_EQ(Q7PLget_search_path(path, sizeof path), (q7ssize_t)plugin_dir("good").size());
    EXPECT_EQ(std::string(path), plugin_dir("good"));
    EXPECT_EQ(Q7Zfilter_avail(400), 1);
    EXPECT_EQ(Q7Zfilter_avail(401), 1);
    char nm[64];
    ASSERT_GT(Q7Zget_filter_name(400, nm, sizeof nm), 0);
    EXPECT_STREQ(nm, "test byte adder") << "of two plug-ins for 400, the first in name order wins";

    q7id_t d = make("p", 6, 4, 400, 0, {5});
    std::vector<int> v{10, 20, 30, 40, 50, 60}, back(6);
    ASSERT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0) << error_text();
    q7size_t off = 4;
    uint32_t mask = 9;
    unsigned char raw[16];
    ASSERT_GE(Q7Dread_chunk(d, 0, &off, &mask, raw), 0);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(raw[0], 55);
    EXPECT_EQ(raw[8], 5) << "the edge chunk's padding went through the filter too";
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_EQ(back, v);

    // Changing the path drops what was found.
    ASSERT_GE(Q7PLset_search_path(plugin_dir("broken").c_str()), 0);
    EXPECT_EQ(Q7Zfilter_avail(400), 0);
    EXPECT_LT(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_NE(error_text().find("400"), std::string::npos);
    ASSERT_GE(Q7PLset_search_path((plugin_dir("broken") + ":" + plugin_dir("good")).c_str()), 0);
    ASSERT_GE(Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, back.data()), 0);
    EXPECT_EQ(back, v);
    Q7Dclose(d);
}

TEST_F(Filters, EarlierDirectoriesWinAndUnregisteringSearchesAgain) {
    char nm[64];
    ASSERT_GE(Q7PLset_search_path((plugin_dir("rival") + ":" + plugin_dir("good")).c_str()), 0);
    ASSERT_GT(Q7Zget_filter_name(400, nm, sizeof nm), 0);
    EXPECT_STREQ(nm, "rival adder");
    EXPECT_EQ(Q7Zfilter_avail(401), 1) << "later directories still provide other filters";
    ASSERT_GE(Q7PLset_search_path((plugin_dir("good") + ":" + plugin_dir("rival")).c_str()), 0);
    ASSERT_GT(Q7Zget_filter_name(400, nm, sizeof nm), 0);
    EXPECT_STREQ(nm, "test byte adder");
    // A registered filter comes before any plug-in; once it is gone the
    // plug-in is found again.
    Q7Z_class2_t mine = {Q7Z_CLASS_T_VERS, 400, 1, 1, "registered", nullptr, nullptr, tagger};
    ASSERT_GE(Q7Zregister(&mine), 0);
    ASSERT_GT(Q7Zget_filter_name(400, nm, sizeof nm), 0);
    EXPECT_STREQ(nm, "registered");
    ASSERT_GE(Q7Zunregister(400), 0);
    ASSERT_GT(Q7Zget_filter_name(400, nm, sizeof nm), 0);
    EXPECT_STREQ(nm, "test byte adder");
}

TEST_F(Filters, BrokenPluginsAreRefusedWithTheirFileAndReason) {
    ASSERT_GE(Q7PLset_search_path(plugin_dir("broken").c_str()), 0);
    for (q7filter_t id : {402, 403, 404, 405, 2}) {
        if (id == 2) {
            EXPECT_EQ(Q7Zfilter_avail(2), 1) << "the built-in shuffle is unaffected";
            continue;
        }
        EXPECT_EQ(Q7Zfilter_avail(id), 0) << id;
    }
    q7id_t d = make("b", 4, 4, 402, 0);
    std::vector<int> v(4, 1);
    EXPECT_LT(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, v.data()), 0);
    std::string err = error_text();
    const char *expected[][2] = {
        {"tp_a_wrong_type.so", "plug-in type 1"},
        {"tp_b_wrong_version.so", "version 2"},
        {"tp_c_null_callback.so", "no callback"},
        {"tp_d_no_info.so", "Q7PLget_plugin_info"},
        {"tp_e_builtin_id.so", "built-in range"},
        {"tp_f_not_elf.so", "cannot be loaded"},
    };
    for (auto &e : expected) {
        size_t at = err.find(e[0]);
        ASSERT_NE(at, std::string::npos) << e[0] << "\n" << err;
        size_t eol = err.find('\n', at);
        EXPECT_NE(err.substr(at, eol - at).find(e[1]), std::string::npos) << err.substr(at, eol - at);
    }
    EXPECT_NE(err.find("filter 402 is not available"), std::string::npos) << err;
    Q7Dclose(d);
}

TEST_F(Filters, SearchPathNeverMeansTheCurrentDirectory) {
    // A usable plug-in sits in the working directory; empty path entries
    // must not find it.
    std::filesystem::copy_file(plugin_dir("good") + "/tp_c_other.so", dir.file("tp_c_other.so"));
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (const char *p : {"", ":", "::"}) {
        ASSERT_GE(Q7PLset_search_path(p), 0);
        EXPECT_EQ(Q7Zfilter_avail(401), 0) << "path \"" << p << "\"";
    }
    std::filesystem::current_path(old);

    // With no path set, the environment variable is used.
    Q7close();
    const char *saved = getenv("QUOR7_PLUGIN_PATH");
    std::string keep = saved ? saved : "";
    setenv("QUOR7_PLUGIN_PATH", plugin_dir("good").c_str(), 1);
    Q7open();
    Q7Eset_auto2(0, nullptr, nullptr);
    EXPECT_EQ(Q7Zfilter_avail(401), 1);
    if (saved) setenv("QUOR7_PLUGIN_PATH", keep.c_str(), 1);
    else unsetenv("QUOR7_PLUGIN_PATH");
    f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
}

} // namespace
