// Builds small Quor7 files for the tools tests through the storage
// library's public calls.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quor7.h"

namespace q7files {

// A file created anew; closed when the object goes away.
class File {
public:
    explicit File(const std::string &path) {
        Q7open();
        id_ = Q7Fcreate(path.c_str(), Q7F_ACC_TRUNC, 0, 0);
        EXPECT_GE(id_, 0) << "cannot create " << path;
    }
    ~File() { close(); }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    q7id_t id() const { return id_; }
    void close() {
        if (id_ >= 0) {
            EXPECT_GE(Q7Fclose(id_), 0);
        }
        id_ = -1;
    }

private:
    q7id_t id_ = -1;
};

inline void group(q7id_t loc, const std::string &path) {
    q7id_t g = Q7Gcreate2(loc, path.c_str(), 0, 0, 0);
    ASSERT_GE(g, 0) << path;
    Q7Gclose(g);
}

// Writes a dataset of the given stored type from memory elements of
// mem_type; chunk empty means contiguous.  filters are added in order.
template <class T>
void dataset(q7id_t loc, const std::string &path, q7id_t file_type, q7id_t mem_type, const std::vector<q7size_t> &dims,
             const std::vector<T> &data, const std::vector<q7size_t> &chunk = {},
             const std::vector<q7filter_t> &filters = {}) {
    q7id_t space = Q7Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    ASSERT_GE(space, 0);
    q7id_t dcpl = 0;
    if (!chunk.empty() || !filters.empty()) {
        dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
        ASSERT_GE(dcpl, 0);
        if (!chunk.empty()) {
            ASSERT_GE(Q7Pset_chunk(dcpl, static_cast<int>(chunk.size()), chunk.data()), 0);
        }
        for (q7filter_t f : filters) {
            ASSERT_GE(Q7Pset_filter(dcpl, f, Q7Z_FLAG_OPTIONAL, 0, nullptr), 0);
        }
    }
    q7id_t d = Q7Dcreate2(loc, path.c_str(), file_type, space, 0, dcpl, 0);
    ASSERT_GE(d, 0) << path;
    if (!data.empty()) {
        ASSERT_GE(Q7Dwrite(d, mem_type, 0, 0, 0, data.data()), 0) << path;
    }
    Q7Dclose(d);
    if (dcpl > 0) Q7Pclose(dcpl);
    Q7Sclose(space);
}

// Attribute of the object at obj_path.
template <class T>
void attribute(q7id_t loc, const std::string &obj_path, const std::string &name, q7id_t file_type, q7id_t mem_type,
               const std::vector<q7size_t> &dims, const std::vector<T> &data) {
    q7id_t obj = Q7Oopen(loc, obj_path.c_str(), 0);
    ASSERT_GE(obj, 0) << obj_path;
    q7id_t space = Q7Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    q7id_t a = Q7Acreate2(obj, name.c_str(), file_type, space, 0, 0);
    ASSERT_GE(a, 0) << obj_path << "@" << name;
    ASSERT_GE(Q7Awrite(a, mem_type, data.data()), 0);
    Q7Aclose(a);
    Q7Sclose(space);
    Q7Oclose(obj);
}

inline void hard_link(q7id_t loc, const std::string &target, const std::string &link) {
    ASSERT_GE(Q7Lcreate_hard(loc, target.c_str(), loc, link.c_str(), 0, 0), 0) << link;
}

inline void soft_link(q7id_t loc, const std::string &target, const std::string &link) {
    ASSERT_GE(Q7Lcreate_soft(target.c_str(), loc, link.c_str(), 0, 0), 0) << link;
}

inline void external_link(q7id_t loc, const std::string &file, const std::string &obj, const std::string &link) {
    ASSERT_GE(Q7Lcreate_external(file.c_str(), obj.c_str(), loc, link.c_str(), 0, 0), 0) << link;
}

} // namespace q7files
