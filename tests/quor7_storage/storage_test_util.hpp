// Shared helpers of the storage tests.
#pragma once

#include "quor7.h"
#include "quor7_fault.h"
#include "error_stack.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace q7st {

using q7test::error_text;

// Every case starts with the library open and automatic printing off.
class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Q7open(), 0);
        Q7Eset_auto2(0, nullptr, nullptr);
    }
    void TearDown() override { Q7close(); }
    q7test::TempDir dir;
};

inline q7id_t space(std::vector<q7size_t> dims, std::vector<q7size_t> max = {}) {
    return Q7Screate_simple((int)dims.size(), dims.data(), max.empty() ? nullptr : max.data());
}

inline q7id_t chunked_dcpl(std::vector<q7size_t> chunk) {
    q7id_t p = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    Q7Pset_chunk(p, (int)chunk.size(), chunk.data());
    return p;
}

inline std::vector<q7size_t> extent(q7id_t dset) {
    q7id_t s = Q7Dget_space(dset);
    std::vector<q7size_t> dims((size_t)Q7Sget_simple_extent_ndims(s));
    Q7Sget_simple_extent_dims(s, dims.data(), nullptr);
    Q7Sclose(s);
    return dims;
}

} // namespace q7st
