// What the demo writer and reader agree on: the dataset's name and the
// values it holds, so the reader can tell that it got back what was put in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace q7demo {

constexpr const char *kDataset = "values";
constexpr int kFilter = 257;  // the offset filter plug-in

// Value i of the demo dataset: a spread of signed numbers.
inline int32_t value(uint64_t i) { return (int32_t)(i * 37 % 1000) - 500; }

// Parses a non-negative integer argument; exits with a message if bad.
inline uint64_t number(const char *prog, const char *opt, const char *text) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (!*text || *end || errno || text[0] == '-') {
        fprintf(stderr, "%s: %s needs a non-negative number, not \"%s\"\n", prog, opt, text);
        exit(2);
    }
    return v;
}

} // namespace q7demo
