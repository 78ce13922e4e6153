// The two filters that call into the library: the name-suffix filter and
// its allocator, the version-checked offset filter and the error stack.
#include "plugin_harness.hpp"
#include "quor7_fault.h"

using namespace q7plug;

namespace {

const std::vector<uint32_t> kNone;
const std::vector<uint8_t> kAbcde = {'a', 'b', 'c', 'd', 'e'};

std::vector<uint8_t> text_bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

class NameSuffixFilter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        ASSERT_TRUE(plug.ok());
    }
    void TearDown() override { Q7fault_clear(); }
    LoadedPlugin plug{"group_suffix_plugin"};
};

TEST_F(NameSuffixFilter, ForwardReplacesTheBlockWithSuffixedCopy) {
    // Allocated size 64 with 5 valid bytes: only the 5 are copied.
    std::vector<uint8_t> input(64, 0xEE);
    std::copy(kAbcde.begin(), kAbcde.end(), input.begin());
    FilterBuffer buf(input);
    void *old_block = buf.data();
    const long allocations = Q7fault_calls("Q7allocate_memory");
    EXPECT_EQ(buf.apply(plug.record(), 0, kNone, 5), 13u);
    EXPECT_EQ(Q7fault_calls("Q7allocate_memory"), allocations + 1);
    EXPECT_NE(buf.data(), old_block);  // the old block was released (ASan checks)
    EXPECT_EQ(buf.size(), 13u);
    EXPECT_EQ(buf.bytes(), text_bytes("abcde.q7group"));

    FilterBuffer empty(std::vector<uint8_t>{});
    EXPECT_EQ(empty.apply(plug.record(), 0, kNone, 0), 8u);
    EXPECT_EQ(empty.size(), 8u);
    EXPECT_EQ(empty.bytes(), text_bytes(".q7group"));
}

TEST_F(NameSuffixFilter, ReverseDropsEightBytesInPlaceUnchecked) {
    for (const char *stored : {"abcde.q7group", "abcdeXXXXXXXX"}) {
        FilterBuffer buf(text_bytes(stored));
        void *block = buf.data();
        EXPECT_EQ(buf.apply(plug.record(), Q7Z_FLAG_REVERSE, kNone, 13), 5u);
        EXPECT_EQ(buf.data(), block);
        EXPECT_EQ(buf.size(), 5u);
        EXPECT_EQ(buf.bytes(13), text_bytes(stored));  // nothing rewritten
    }
    // Shorter than the suffix: refused, nothing changes.
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, kNone, text_bytes("q7group"), 7);
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, kNone, {}, 0);
}

TEST_F(NameSuffixFilter, RefusesClientDataAndImpossibleLengthsWithoutAllocating) {
    const long allocations = Q7fault_calls("Q7allocate_memory");
    expect_refused(plug.record(), 0, {0}, kAbcde, 5);
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, {42}, text_bytes("abcde.q7group"), 13);
    // A length whose size plus the suffix overflows is refused before any
    // byte is read.
    expect_refused(plug.record(), 0, kNone, kAbcde, UINT64_MAX - 3);
    EXPECT_EQ(Q7fault_calls("Q7allocate_memory"), allocations);
}

TEST_F(NameSuffixFilter, FailingAllocatorLeavesTheBufferAndLeaksNothing) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    FilterBuffer buf(kAbcde);
    void *block = buf.data();
    Q7fault_clear();
    Q7fault_arm("Q7allocate_memory", 1, 1);
    EXPECT_EQ(buf.apply(plug.record(), 0, kNone, 5), 0u);
    EXPECT_EQ(Q7fault_calls("Q7allocate_memory"), 1);  // the callback did ask
    Q7fault_clear();
    EXPECT_EQ(buf.data(), block);  // still owned here, released once (ASan checks)
    EXPECT_EQ(buf.size(), 5u);
    EXPECT_EQ(buf.bytes(), kAbcde);
}

// Every record on the default stack.
std::vector<Q7E_error2_t> records_and_texts(std::vector<std::string> *texts) {
    struct Walk {
        std::vector<Q7E_error2_t> records;
        std::vector<std::string> *texts;
    } walk{{}, texts};
    Q7Ewalk2(0, Q7E_WALK_UPWARD,
             [](unsigned, const Q7E_error2_t *err, void *data) -> q7status_t {
                 auto *w = static_cast<Walk *>(data);
                 w->records.push_back(*err);
                 w->texts->push_back(std::string(err->desc ? err->desc : "") + "|" +
                                     (err->func_name ? err->func_name : "") + "|" +
                                     (err->file_name ? err->file_name : ""));
                 return 0;
             },
             &walk);
    return walk.records;
}

class VersionCheckedFilter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        ASSERT_TRUE(plug.ok());
        ASSERT_GE(Q7get_libversion(&major, &minor, &release), 0);
        Q7Eclear2(0);
    }
    void TearDown() override {
        Q7fault_clear();
        Q7Eclear2(0);
    }
    LoadedPlugin plug{"checked_offset_plugin"};
    unsigned major = 0, minor = 0, release = 0;
    const std::vector<uint8_t> input = words_to_bytes({1, 2, 3});
};

TEST_F(VersionCheckedFilter, MismatchingMinorVersionLeavesOneRecord) {
    expect_refused(plug.record(), 0, {1, major, minor + 1}, input, 12);
    ASSERT_EQ(Q7Eget_num(0), 1);
    std::vector<std::string> texts;
    const auto records = records_and_texts(&texts);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(texts[0], "Q7get_libversion does not match|dynlib4|checked_offset_plugin");
    EXPECT_EQ(records[0].cls_id, Q7E_ERR_CLS_g);
    EXPECT_EQ(records[0].maj_num, Q7E_PLUGIN_g);
    EXPECT_EQ(records[0].min_num, Q7E_CALLBACK_g);
    EXPECT_GT(records[0].line, 0u);

    // A differing major version is refused the same way, in reverse too.
    Q7Eclear2(0);
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, {1, major + 1, minor}, input, 12);
    EXPECT_EQ(Q7Eget_num(0), 1);
}

TEST_F(VersionCheckedFilter, ShortOrBadClientDataIsRefusedSilently) {
    expect_refused(plug.record(), 0, kNone, input, 12);
    expect_refused(plug.record(), 0, {1}, input, 12);
    expect_refused(plug.record(), 0, {1, major}, input, 12);
    // The level is tested before the version.
    expect_refused(plug.record(), 0, {10, major + 1, minor + 1}, input, 12);
    EXPECT_EQ(Q7Eget_num(0), 0);
}

TEST_F(VersionCheckedFilter, FailingVersionQueryIsRecordedBeforeAnythingElse) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    for (const std::vector<uint32_t> &cd : {kNone, std::vector<uint32_t>{1, major, minor}}) {
        Q7Eclear2(0);
        Q7fault_arm("Q7get_libversion", 1, 1);
        expect_refused(plug.record(), 0, cd, input, 12);
        Q7fault_clear();
        std::vector<std::string> texts;
        const auto records = records_and_texts(&texts);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(texts[0], "Q7get_libversion|dynlib4|checked_offset_plugin");
        EXPECT_EQ(records[0].maj_num, Q7E_PLUGIN_g);
        EXPECT_EQ(records[0].min_num, Q7E_CALLBACK_g);
    }
    // Nothing is cached: the next call queries again and succeeds.
    FilterBuffer buf(input);
    EXPECT_EQ(buf.apply(plug.record(), 0, {2, major, minor}, 12), 12u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{3, 4, 5}));
}

} // namespace
