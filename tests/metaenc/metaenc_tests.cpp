// The metadata encoding test: in process with the real codec, and as
// programs built against faulty codecs, whose messages must name exactly
// the faults.
#include <gtest/gtest.h>

#include <q7testframe.h>
#include "metaenc_test.h"
#include "test_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

// Runs test_metadata at a verbosity with the harness output captured.
struct Captured {
    std::string text;
    int errors;
};

Captured run_in_process(int verbosity) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    EXPECT_NE(mem, nullptr);
    TestReset();
    TestVerbosity = verbosity;
    TestSetOutput(mem);
    int before = GetTestTotalErrs();
    test_metadata();
    cleanup_metadata();
    TestSetOutput(nullptr);
    fclose(mem);
    Captured c{std::string(buf, len), GetTestTotalErrs() - before};
    free(buf);
    TestReset();
    return c;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

std::vector<std::string> messages_of(const std::string &out) {
    std::vector<std::string> msgs;
    for (auto &l : lines_of(out))
        if (l.rfind("Error ", 0) == 0) msgs.push_back(l);
    return msgs;
}

const std::regex decoding_line(R"(Error decoding (int16|uint16|int32|uint32) meta-data wanted: (-?\d+), got: (-?\d+) at metaenc_test:\d+)");

} // namespace

TEST(Metaenc, CorrectCodecIsSilentUpToVerbosityFiveAndPrintsOnlyTheBannerAbove) {
    for (int v : {0, 3, 5}) {
        Captured c = run_in_process(v);
        EXPECT_EQ(c.text, "") << "verbosity " << v;
        EXPECT_EQ(c.errors, 0);
    }
    for (int v : {6, 10}) {
        Captured c = run_in_process(v);
        EXPECT_EQ(c.text, "Testing Metadata Encoding/decoding\n") << "verbosity " << v;
        EXPECT_EQ(c.errors, 0);
    }
}

TEST(Metaenc, EncodedBufferHoldsTheLittleEndianImageAndIsRewrittenEachRun) {
    static const uint8_t image[12] = {0x27, 0xE2, 0xCA, 0xAF, 0x0C, 0x07, 0xF1, 0xFF, 0x6D, 0x0C, 0x35, 0x00};
    EXPECT_EQ(memcmp(compar_buffer, image, sizeof image), 0);
    memset(encode_buffer, 0xA5, sizeof encode_buffer);
    run_in_process(1);
    EXPECT_EQ(memcmp(encode_buffer, image, sizeof image), 0);
    EXPECT_EQ(memcmp(compar_buffer, image, sizeof image), 0);
}

TEST(Metaenc, ProgramPassesAndHonoursVerbosity) {
    auto quiet = q7test::run(std::string(METAENC_PROGRAM) + " -v 5");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "1 passed, 0 failed\n");
    auto loud = q7test::run(std::string(METAENC_PROGRAM) + " -v 6 -o metadata");
    EXPECT_EQ(loud.status, 0);
    EXPECT_EQ(loud.out, "Testing Metadata Encoding/decoding\n1 passed, 0 failed\n");
}

TEST(Metaenc, MostSignificantByteFirstFlagsAllTwelveOffsetsInOrder) {
    auto r = q7test::run(std::string(METAENC_MSB_FIRST) + " -v 5");
    EXPECT_EQ(r.status, 1);
    auto msgs = messages_of(r.out);
    ASSERT_EQ(msgs.size(), 12u) << r.out;
    for (unsigned i = 0; i < 12; i++) {
        unsigned wanted = compar_buffer[i];
        // The big-endian image of each value is its little-endian image
        // reversed within the field.
        unsigned field_start = i < 2 ? 0 : i < 4 ? 2 : i < 8 ? 4 : 8;
        unsigned field_len = i < 4 ? 2 : 4;
        unsigned got = compar_buffer[field_start + (field_start + field_len - 1 - i)];
        char want[128];
        snprintf(want, sizeof want, "Error encoding meta-data at offset %u, wanted: %u, got: %u", i, wanted, got);
        EXPECT_EQ(msgs[i], want);
    }
    EXPECT_NE(r.out.find("0 passed, 1 failed\n"), std::string::npos);
}

TEST(Metaenc, WrongByteAtOffsetFiveGivesOneEncodingAndTheInt32DecodingMessage) {
    auto r = q7test::run(std::string(METAENC_BYTE5) + " -v 5");
    EXPECT_EQ(r.status, 1);
    auto msgs = messages_of(r.out);
    ASSERT_EQ(msgs.size(), 2u) << r.out;
    EXPECT_EQ(msgs[0], "Error encoding meta-data at offset 5, wanted: 7, got: 8");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(msgs[1], m, decoding_line)) << msgs[1];
    EXPECT_EQ(m[1], "int32");
    EXPECT_EQ(m[2], "-981236");
    // 0xFFF1080C: the wrong byte decoded back, sign-extended through %ld.
    EXPECT_EQ(m[3], std::to_string(static_cast<int32_t>(0xFFF1080Cu)));
}

TEST(Metaenc, WrongByteAtOffsetZeroGivesOneEncodingAndTheInt16DecodingMessageOnly) {
    auto r = q7test::run(std::string(METAENC_BYTE0) + " -v 6");
    EXPECT_EQ(r.status, 1);
    auto all = lines_of(r.out);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), "Testing Metadata Encoding/decoding");
    auto msgs = messages_of(r.out);
    ASSERT_EQ(msgs.size(), 2u) << r.out;
    EXPECT_EQ(msgs[0], "Error encoding meta-data at offset 0, wanted: 39, got: 55");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(msgs[1], m, decoding_line)) << msgs[1];
    EXPECT_EQ(m[1], "int16");
    EXPECT_EQ(m[2], "-7641");
    EXPECT_EQ(m[3], std::to_string(static_cast<int16_t>(0xE237)));
}
