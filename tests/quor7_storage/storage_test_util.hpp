// Shared helpers of the storage tests.
#pragma once

#include "quor7.h"
#include "quor7_fault.h"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace q7st {

// Messages of the records now on the default error stack, oldest first.
inline std::string error_text() {
    std::string all;
    Q7Ewalk2(
        0, Q7E_WALK_UPWARD,
        [](unsigned, const Q7E_error2_t *e, void *out) -> q7status_t {
            *(std::string *)out += std::string(e->desc ? e->desc : "") + "\n";
            return 0;
        },
        &all);
    return all;
}

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
