// The in-place filters (offset, scale, version-checked offset, byte shift):
// which client data they accept, their arithmetic at the edges, and how
// they treat the bytes of the buffer that are not valid data.
#include "plugin_harness.hpp"

#include <climits>
#include <numeric>

using namespace q7plug;

// exhaustive_division.cpp
uint64_t count_wrong_quotients(Q7Z_func_t scale_filter, int64_t *first_wrong);

namespace {

const std::vector<uint32_t> kNone;

// Seven bytes: one whole integer and three trailing bytes.
const std::vector<uint8_t> kSevenBytes = {0x10, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC};

TEST(OffsetFilter, AcceptsLevelsZeroToNineOnly) {
    LoadedPlugin plug("offset_plugin");
    ASSERT_TRUE(plug.ok());
    const auto input = words_to_bytes({1, -2, 300});

    FilterBuffer zero(input);
    EXPECT_EQ(zero.apply(plug.record(), 0, {0}, 12), 12u);
    EXPECT_EQ(zero.bytes(), input);

    FilterBuffer nine(input);
    EXPECT_EQ(nine.apply(plug.record(), 0, {9}, 12), 12u);
    EXPECT_EQ(bytes_to_words(nine.bytes()), (std::vector<int32_t>{10, 7, 309}));

    expect_refused(plug.record(), 0, {10}, input, 12);
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, {10}, input, 12);
    expect_refused(plug.record(), 0, {0xFFFFFFFFu}, input, 12);
    expect_refused(plug.record(), 0, kNone, input, 12);  // null client data, never read
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, kNone, input, 12);
}

TEST(OffsetFilter, WrapsAroundAndIgnoresFurtherClientValues) {
    LoadedPlugin plug("offset_plugin");
    ASSERT_TRUE(plug.ok());
    FilterBuffer buf(words_to_bytes({INT_MAX, INT_MIN}));
    EXPECT_EQ(buf.apply(plug.record(), 0, {1, 99, 12345}, 8), 8u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{INT_MIN, INT_MIN + 1}));
    EXPECT_EQ(buf.apply(plug.record(), Q7Z_FLAG_REVERSE, {1, 7}, 8), 8u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{INT_MAX, INT_MIN}));
    EXPECT_EQ(buf.apply(plug.record(), Q7Z_FLAG_REVERSE, {1}, 8), 8u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{INT_MAX - 1, INT_MAX}));
}

TEST(ScaleFilter, RefusesAnyClientData) {
    LoadedPlugin plug("scale_plugin");
    ASSERT_TRUE(plug.ok());
    const auto input = words_to_bytes({5, -4});
    expect_refused(plug.record(), 0, {0}, input, 8);
    expect_refused(plug.record(), Q7Z_FLAG_REVERSE, {3}, input, 8);
}

// The reverse direction divides by multiplication; every one of the 2^32
// inputs must come out as truncating division would give it - in the
// variant the processor picks and in the baseline one.
TEST(ScaleFilter, ReverseDivisionIsExactForEveryInput) {
    const std::string variants[] = {q7test::plugin("scale_plugin"), SCALE_BASELINE_PLUGIN};
    for (const std::string &path : variants) {
        SCOPED_TRACE(path);
        LoadedPlugin plug(path);
        ASSERT_TRUE(plug.ok());
        int64_t first_wrong = 0;
        EXPECT_EQ(count_wrong_quotients(plug.record()->filter, &first_wrong), 0u)
            << "first wrong input " << first_wrong;
    }
}

TEST(CheckedOffsetFilter, AppliesItsLevelUnderTheRunningVersion) {
    LoadedPlugin plug("checked_offset_plugin");
    ASSERT_TRUE(plug.ok());
    unsigned major = 0, minor = 0, release = 0;
    ASSERT_GE(Q7get_libversion(&major, &minor, &release), 0);

    FilterBuffer buf(words_to_bytes({INT_MAX, 7}));
    // Another release number is not compared.
    EXPECT_EQ(buf.apply(plug.record(), 0, {1, major, minor, release + 5}, 8), 8u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{INT_MIN, 8}));
    EXPECT_EQ(buf.apply(plug.record(), Q7Z_FLAG_REVERSE, {1, major, minor}, 8), 8u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{INT_MAX, 7}));
    EXPECT_EQ(buf.apply(plug.record(), 0, {0, major, minor}, 8), 8u);
    EXPECT_EQ(bytes_to_words(buf.bytes()), (std::vector<int32_t>{INT_MAX, 7}));
    expect_refused(plug.record(), 0, {10, major, minor}, words_to_bytes({1}), 4);
}

// The stored bytes of both builds are pinned by the golden fixtures.
TEST(ByteShiftFilter, RefusesClientData) {
    for (const char *build : {"byteshift_plugin_dump", "byteshift_plugin_diff"}) {
        SCOPED_TRACE(build);
        LoadedPlugin plug(build);
        ASSERT_TRUE(plug.ok());
        expect_refused(plug.record(), 0, {0}, kSevenBytes, 7);
        expect_refused(plug.record(), Q7Z_FLAG_REVERSE, {0xFFFFFFFFu}, kSevenBytes, 7);
    }
}

// Every word filter leaves one to three trailing bytes that make no whole
// integer untouched, and never reaches past *buffer_size.
TEST(WordFilters, LeaveTrailingPartialIntegerAlone) {
    unsigned major = 0, minor = 0, release = 0;
    ASSERT_GE(Q7get_libversion(&major, &minor, &release), 0);
    struct Case { const char *file; std::vector<uint32_t> cd; int32_t first_forward; };
    const Case cases[] = {{"offset_plugin", {4}, 0x14}, {"scale_plugin", {}, 0x30},
                          {"checked_offset_plugin", {4, major, minor}, 0x14}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        LoadedPlugin plug(c.file);
        ASSERT_TRUE(plug.ok());
        // The buffer sits inside a larger block whose guard bytes must survive.
        std::vector<uint8_t> block(kSevenBytes);
        block.insert(block.end(), {0x5A, 0x5A, 0x5A, 0x5A, 0x5A});
        void *data = block.data();
        uint64_t size = 7;
        ASSERT_EQ(plug.record()->filter(0, c.cd.size(), c.cd.empty() ? nullptr : c.cd.data(), 7, &size, &data), 7u);
        int32_t first;
        std::memcpy(&first, block.data(), 4);
        EXPECT_EQ(first, c.first_forward);
        EXPECT_EQ(std::vector<uint8_t>(block.begin() + 4, block.end()),
                  (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}));
        EXPECT_EQ(size, 7u);
        EXPECT_EQ(data, block.data());
    }
}

} // namespace
