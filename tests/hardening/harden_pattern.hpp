// The data pattern the crash-safety writer stores and the tests check: every
// element says which generation wrote it, into which dataset, at which index,
// so a chunk mixing two writes or holding stray bytes is recognised.
#pragma once

#include "quor7.h"

#include <cstdint>

namespace q7h {

constexpr int kFixedDatasets = 3;
constexpr const char *kNames[kFixedDatasets] = {"plain", "packed", "summed"};
constexpr const char *kLog = "log";
constexpr q7size_t kChunk = 256;
constexpr q7size_t kElements = 16 * kChunk;

inline uint64_t value(uint64_t gen, int ds, uint64_t index) {
    return (gen << 32) | ((uint64_t)ds << 24) | (index & 0xffffff);
}
inline uint64_t generation_of(uint64_t v) { return v >> 32; }
inline bool fits(uint64_t v, int ds, uint64_t index) {
    return ((v >> 24) & 0xff) == (uint64_t)ds && (v & 0xffffff) == (index & 0xffffff);
}

} // namespace q7h
