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
    auto refused_without_allocating = [&](uint32_t flags, const std::vector<uint32_t> &cd,
                                          const std::vector<uint8_t> &input, uint64_t valid) {
        FilterBuffer buf(input);
        void *block = buf.data();
        const long allocations = Q7fault_calls("Q7allocate_memory");
        EXPECT_EQ(buf.apply(plug.record(), flags, cd, valid), 0u);
        EXPECT_EQ(Q7fault_calls("Q7allocate_memory"), allocations);
        EXPECT_EQ(buf.data(), block);
        EXPECT_EQ(buf.size(), input.size());
        EXPECT_EQ(buf.bytes(), input);
    };
    refused_without_allocating(0, {0}, kAbcde, 5);
    refused_without_allocating(Q7Z_FLAG_REVERSE, {42}, text_bytes("abcde.q7group"), 13);
    // A length whose size plus the suffix overflows is refused before any
    // byte is read.
    refused_without_allocating(0, kNone, kAbcde, UINT64_MAX - 3);
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

// Every record on the default stack, with its texts (valid only inside the
// walk) copied out as "message|function|file".
std::vector<Q7E_error2_t> records_and_texts(std::vector<std::string> *texts) {
    struct Walk {
        std::vector<Q7E_error2_t> records;
        std::vector<std::string> *texts;
    } walk{{}, texts};
    Q7Ewalk2(0, Q7E_WALK_UPWARD,
             [](unsigned, const Q7E_error2_t *err, void *data) -> q7status_t {
                 auto *w = static_cast<Walk *>(data);
                 Q7E_error2_t copy = *err;
                 copy.func_name = copy.file_name = copy.desc = nullptr;
                 w->records.push_back(copy);
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
    }
    void TearDown() override {
        Q7fault_clear();
        Q7Eclear2(0);
    }
    // Calls the filter, checks that it refused and changed nothing, and
    // returns what the default stack holds right after the call (any later
    // outermost library call would start a fresh stack).
    std::vector<std::string> refused(uint32_t flags, const std::vector<uint32_t> &cd,
                                     std::vector<Q7E_error2_t> *records = nullptr) {
        FilterBuffer buf(input);
        void *block = buf.data();
        Q7Eclear2(0);
        EXPECT_EQ(buf.apply(plug.record(), flags, cd, 12), 0u);
        std::vector<std::string> texts;
        auto found = records_and_texts(&texts);
        if (records) *records = found;
        EXPECT_EQ(buf.data(), block);
        EXPECT_EQ(buf.size(), 12u);
        EXPECT_EQ(buf.bytes(), input);
        return texts;
    }
    LoadedPlugin plug{"checked_offset_plugin"};
    unsigned major = 0, minor = 0, release = 0;
    const std::vector<uint8_t> input = words_to_bytes({1, 2, 3});
};

TEST_F(VersionCheckedFilter, MismatchingVersionLeavesOneRecord) {
    std::vector<Q7E_error2_t> records;
    EXPECT_EQ(refused(0, {1, major, minor + 1}, &records),
              std::vector<std::string>{"Q7get_libversion does not match|dynlib4|checked_offset_plugin"});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].cls_id, Q7E_ERR_CLS_g);
    EXPECT_EQ(records[0].maj_num, Q7E_PLUGIN_g);
    EXPECT_EQ(records[0].min_num, Q7E_CALLBACK_g);
    EXPECT_EQ(records[0].stack_id, 0);
    EXPECT_GT(records[0].line, 0u);
    // A differing major version is refused the same way, in reverse too.
    EXPECT_EQ(refused(Q7Z_FLAG_REVERSE, {1, major + 1, minor}),
              std::vector<std::string>{"Q7get_libversion does not match|dynlib4|checked_offset_plugin"});
}

TEST_F(VersionCheckedFilter, ShortOrBadClientDataIsRefusedSilently) {
    EXPECT_TRUE(refused(0, kNone).empty());
    EXPECT_TRUE(refused(0, {1}).empty());
    EXPECT_TRUE(refused(0, {1, major}).empty());
    // The level is tested before the version.
    EXPECT_TRUE(refused(0, {10, major + 1, minor + 1}).empty());
}

TEST_F(VersionCheckedFilter, FailingVersionQueryIsRecordedBeforeAnythingElse) {
    if (!Q7fault_enabled()) GTEST_SKIP() << "fault injection not compiled in";
    Q7Eset_auto2(0, nullptr, nullptr);
    for (const std::vector<uint32_t> &cd : {kNone, std::vector<uint32_t>{1, major, minor}}) {
        Q7fault_arm("Q7get_libversion", 1, 1);
        std::vector<Q7E_error2_t> records;
        const auto texts = refused(0, cd, &records);
        Q7fault_clear();
        ASSERT_EQ(texts, std::vector<std::string>{"Q7get_libversion|dynlib4|checked_offset_plugin"});
        EXPECT_EQ(records[0].maj_num, Q7E_PLUGIN_g);
        EXPECT_EQ(records[0].min_num, Q7E_CALLBACK_g);
    }
    // Nothing is cached: the next call queries again and succeeds.
    FilterBuffer buf(input);
    EXPECT_EQ(buf.apply(plug.record(), 0, {2, major, minor}, 12), 12u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{3, 4, 5}));
}

} // namespace
