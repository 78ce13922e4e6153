// The command line of q7repack and the rules that pick each dataset's
// pipeline and layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repack.hpp"

namespace {

using namespace q7repack;

Parsed parse(std::vector<const char *> args, Options &opts, std::string *error) {
    args.insert(args.begin(), "q7repack");
    return parse_command_line(static_cast<int>(args.size()), args.data(), opts, error);
}

TEST(RepackSpec, FilterChoices) {
    struct Row {
        const char *text;
        bool ok;
        q7filter_t id;
        std::vector<unsigned> cd;
        const char *bad;  // the word named on failure
    };
    const Row rows[] = {
        {"deflate", true, Q7Z_FILTER_DEFLATE, {6}, ""},
        {"deflate:9", true, Q7Z_FILTER_DEFLATE, {9}, ""},
        {"shuffle", true, Q7Z_FILTER_SHUFFLE, {}, ""},
        {"fletcher32", true, Q7Z_FILTER_FLETCHER32, {}, ""},
        {"gzip", true, Q7Z_FILTER_DEFLATE, {6}, ""},
        {"zstd", true, Q7Z_FILTER_ZSTD, {3}, ""},
        {"zstd:-5", true, Q7Z_FILTER_ZSTD, {4294967291u}, ""},
        {"zstd:-2147483648", true, Q7Z_FILTER_ZSTD, {2147483648u}, ""},
        {"zstd:-2147483649", false, 0, {}, "-2147483649"},
        {"lz4", true, Q7Z_FILTER_LZ4, {1}, ""},
        {"10", true, Q7Z_FILTER_ZSTD, {3}, ""},
        {"bitshuffle", true, Q7Z_FILTER_BITSHUFFLE, {}, ""},
        {"257:5", true, 257, {5}, ""},
        {"260:3,1,10", true, 260, {3, 1, 10}, ""},
        {"65535", true, 65535, {}, ""},
        {"300:4294967295", true, 300, {4294967295u}, ""},
        {"65536", false, 0, {}, "65536"},
        {"0", false, 0, {}, "0"},
        {"-1", false, 0, {}, "-1"},
        {"defl", false, 0, {}, "defl"},
        {"257:", false, 0, {}, "257:"},
        {"257:5,", false, 0, {}, "257:5,"},
        {"257:5,x", false, 0, {}, "x"},
        {"257:4294967296", false, 0, {}, "4294967296"},
        {"257:+5", false, 0, {}, "+5"},
        {"none:1", false, 0, {}, "none:1"},
        {"", false, 0, {}, ""},
    };
    for (const Row &row : rows) {
        FilterChoice choice;
        bool none = true;
        std::string bad = "unset";
        const bool ok = parse_filter_choice(row.text, choice, &none, &bad);
        EXPECT_EQ(ok, row.ok) << row.text;
        EXPECT_FALSE(none) << row.text;
        if (ok) {
            EXPECT_EQ(choice.id, row.id) << row.text;
            EXPECT_EQ(choice.cd, row.cd) << row.text;
        } else {
            EXPECT_EQ(bad, row.bad) << row.text;
        }
    }
    FilterChoice choice;
    bool none = false;
    std::string bad;
    EXPECT_TRUE(parse_filter_choice("none", choice, &none, &bad));
    EXPECT_TRUE(none);
}

TEST(RepackSpec, ChunkShapes) {
    struct Row {
        const char *text;
        bool ok;
        bool contiguous;
        std::vector<q7size_t> shape;
        const char *bad;
    };
    const Row rows[] = {
        {"contiguous", true, true, {}, ""},
        {"16", true, false, {16}, ""},
        {"16x32x1", true, false, {16, 32, 1}, ""},
        {"0x4", false, false, {}, "0"},
        {"4x", false, false, {}, "4x"},
        {"4X4", false, false, {}, "4X4"},
        {"4xq", false, false, {}, "q"},
        {"4x-2", false, false, {}, "-2"},
        {"contig", false, false, {}, "contig"},
        {"18446744073709551616", false, false, {}, "18446744073709551616"},
    };
    for (const Row &row : rows) {
        ChunkRule rule;
        std::string bad = "unset";
        const bool ok = parse_chunk_shape(row.text, rule, &bad);
        EXPECT_EQ(ok, row.ok) << row.text;
        if (ok) {
            EXPECT_EQ(rule.contiguous, row.contiguous) << row.text;
            EXPECT_EQ(rule.shape, row.shape) << row.text;
        } else {
            EXPECT_EQ(bad, row.bad) << row.text;
        }
    }
    std::string thirty_three = "1";
    for (int i = 0; i < 32; ++i) thirty_three += "x1";
    ChunkRule rule;
    std::string bad;
    EXPECT_FALSE(parse_chunk_shape(thirty_three, rule, &bad)) << "more dimensions than a dataset can have";
}

TEST(RepackRules, TheMostSpecificPathWinsAndOnePathCollectsItsFilters) {
    Options opts;
    std::string error;
    ASSERT_EQ(parse({"--filter", "deflate:1", "in.q7", "--filter", "/grp=shuffle", "--filter", "grp//=deflate:9",
                     "--filter", "/grp/raw=257:5", "--filter", "/grp/raw=none", "--filter", "/grp/a=b=300",
                     "--filter", "/z=bitshuffle+zstd:-1", "--filter", "/z=lz4",
                     "--chunk", "/grp=8x8", "--chunk", "4", "--chunk", "/grp=contiguous", "out.q7"},
                    opts, &error),
              Parsed::run)
        << error;
    EXPECT_EQ(opts.in, "in.q7");
    EXPECT_EQ(opts.out, "out.q7");
    struct Row {
        const char *dataset;
        const char *pipeline;  // "-" when no rule covers it
        const char *chunk;     // "-", "contiguous" or the first extent
    };
    const Row rows[] = {
        {"/top", "deflate:1", "4"},
        {"/grp", "shuffle+deflate:9", "contiguous"},
        {"/grp/x", "shuffle+deflate:9", "contiguous"},
        {"/grpx", "deflate:1", "4"},       // a name that only begins like /grp
        {"/grp/raw", "none", "contiguous"},  // none removed 257 again
        {"/grp/raw/deeper", "none", "contiguous"},
        {"/grp/a=b", "300", "contiguous"},  // "=" inside a link name
        {"/z", "bitshuffle+zstd:4294967295+lz4:1", "4"},  // a chain in one --filter, then one more
    };
    for (const Row &row : rows) {
        const FilterRule *f = filter_rule_for(opts, row.dataset);
        const ChunkRule *c = chunk_rule_for(opts, row.dataset);
        ASSERT_NE(f, nullptr) << row.dataset;
        ASSERT_NE(c, nullptr) << row.dataset;
        EXPECT_EQ(pipeline_text(f->filters), row.pipeline) << row.dataset;
        EXPECT_EQ(c->contiguous ? std::string("contiguous") : std::to_string(c->shape[0]), row.chunk) << row.dataset;
    }

    // No rule: the dataset keeps what it has.
    Options plain;
    ASSERT_EQ(parse({"--filter", "/only=deflate", "a", "b"}, plain, &error), Parsed::run);
    EXPECT_EQ(filter_rule_for(plain, "/other"), nullptr);
    EXPECT_EQ(chunk_rule_for(plain, "/only"), nullptr);
}

TEST(RepackCommandLine, OptionsOperandsAndErrors) {
    Options opts;
    std::string error;
    ASSERT_EQ(parse({"in.q7", "-qv", "--min-size=4096", "--verify", "--force", "--", "-out.q7"}, opts, &error),
              Parsed::run)
        << error;
    EXPECT_EQ(opts.mode, Mode::verbose) << "the last of -q and -v wins";
    EXPECT_EQ(opts.min_size, 4096u);
    EXPECT_TRUE(opts.verify);
    EXPECT_TRUE(opts.force);
    EXPECT_EQ(opts.out, "-out.q7");
    ASSERT_EQ(parse({"-v", "-q", "a", "b"}, opts, &error), Parsed::run);
    EXPECT_EQ(opts.mode, Mode::quiet);

    EXPECT_EQ(parse({"a", "b", "-h"}, opts, &error), Parsed::help);
    EXPECT_EQ(parse({"--version"}, opts, &error), Parsed::version);

    struct Bad {
        std::vector<const char *> args;
        const char *word;  // must appear in the message
    };
    const Bad bad[] = {
        {{"a"}, "input and an output"},
        {{"a", "b", "c"}, "too many"},
        {{"--filter", "257:x", "a", "b"}, "'x'"},
        {{"--filter", "/g=zip", "a", "b"}, "'zip'"},
        {{"--filter", "shuffle+", "a", "b"}, "''"},
        {{"--filter", "shuffle+none", "a", "b"}, "'none'"},
        {{"--chunk", "3xy", "a", "b"}, "'y'"},
        {{"--min-size", "1k", "a", "b"}, "'1k'"},
        {{"a", "b", "--filter"}, "needs a value"},
        {{"--verify=1", "a", "b"}, "takes no value"},
        {{"--fliter", "deflate", "a", "b"}, "--fliter"},
        {{"-x", "a", "b"}, "-x"},
    };
    for (const Bad &b : bad) {
        error.clear();
        EXPECT_EQ(parse(b.args, opts, &error), Parsed::bad) << b.word;
        EXPECT_NE(error.find(b.word), std::string::npos) << error;
    }
}

} // namespace
