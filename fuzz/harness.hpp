// harness - the work of each fuzz target on one input.  The libFuzzer
// entry points call these, and the regression tests feed them the inputs
// that once failed, so both exercise exactly the same code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q7fuzz {

// What one input led to: whether the library accepted it, and how much
// of it was reached.
struct Outcome {
    bool accepted = false;   // the file or GIF was opened / decoded
    long objects = 0;        // objects, links, images or filters reached
    long values_read = 0;    // datasets and attributes read in full
};

// GIF bytes: decoded in memory, and when they decode, written as a file.
Outcome gif_import(const uint8_t *data, size_t size);

// Bytes presented as a file: opened read-only, every object visited
// depth first, every dataset, attribute and link value read.
Outcome open_walk(const uint8_t *data, size_t size);

// Byte 0 option bits, bytes 1-4 the length of the first file (modulo the
// remaining size), then the two files: compared quietly.
Outcome diff_files(const uint8_t *data, size_t size);

// One filter call with fuzzed arguments (see filters in harness.cpp for
// the layout) on a plug-in's callback or, for selector 0, a chunk pushed
// through the built-in pipeline of a dataset.
Outcome filter_call(const uint8_t *data, size_t size);

// A small valid file made by the library, its SQLite rows, values and
// schema changed as the input says (layout in mutate_rows.cpp), then
// opened, walked, read and compared with the original.
Outcome mutate_rows(const uint8_t *data, size_t size);

} // namespace q7fuzz
