// Every storage entry point given bad identifiers or missing pointers
// fails with a negative result and an error record, and never crashes.
#include "storage_test_util.hpp"

#include <functional>

using namespace q7st;

namespace {

class Arguments : public StorageTest {};

TEST_F(Arguments, BadIdentifiersAndNullPointersAreRefused) {
    std::string name = dir.file("args.q7");
    q7id_t f = Q7Fcreate(name.c_str(), Q7F_ACC_TRUNC, 0, 0);
    q7id_t sp = space({8});
    q7id_t dcpl = chunked_dcpl({4});
    q7id_t d = Q7Dcreate2(f, "d", Q7T_NATIVE_INT_g, sp, 0, dcpl, 0);
    q7id_t g = Q7Gcreate2(f, "g", 0, 0, 0);
    q7id_t a = Q7Acreate2(g, "a", Q7T_NATIVE_INT_g, sp, 0, 0);
    ASSERT_GE(a, 0);
    int buf[8] = {};
    q7size_t off = 0, n = 0;
    uint32_t mask = 0;
    Q7L_info_t li;
    Q7O_info2_t oi;
    // A dataspace where a file is wanted, a closed file, and -1.
    q7id_t closed = Q7Fcreate(dir.file("closed.q7").c_str(), Q7F_ACC_TRUNC, 0, 0);
    Q7Fclose(closed);
    const q7id_t bad_ids[] = {-1, 0, sp, closed};

    struct Case {
        const char *what;
        std::function<int64_t(q7id_t)> call;
    };
    const std::vector<Case> by_id = {
        {"Q7Fflush", [&](q7id_t id) { return Q7Fflush(id); }},
        {"Q7Fclose", [&](q7id_t id) { return Q7Fclose(id); }},
        {"Q7Fget_name", [&](q7id_t id) { return Q7Fget_name(id, nullptr, 0); }},
        {"Q7Gcreate2", [&](q7id_t id) { return Q7Gcreate2(id, "x", 0, 0, 0); }},
        {"Q7Gopen2", [&](q7id_t id) { return Q7Gopen2(id, "g", 0); }},
        {"Q7Gclose", [&](q7id_t id) { return Q7Gclose(id); }},
        {"Q7Lexists", [&](q7id_t id) { return Q7Lexists(id, "g", 0); }},
        {"Q7Lget_info", [&](q7id_t id) { return Q7Lget_info(id, "g", &li, 0); }},
        {"Q7Literate2", [&](q7id_t id) {
             return Q7Literate2(id, nullptr, [](q7id_t, const char *, const Q7L_info_t *, void *) { return 0; },
                                nullptr);
         }},
        {"Q7Oopen", [&](q7id_t id) { return Q7Oopen(id, "g", 0); }},
        {"Q7Oget_info2", [&](q7id_t id) { return Q7Oget_info2(id, &oi, Q7O_INFO_ALL); }},
        {"Q7Iget_name", [&](q7id_t id) { return Q7Iget_name(id, nullptr, 0); }},
        {"Q7Iget_file_id", [&](q7id_t id) { return Q7Iget_file_id(id); }},
        {"Q7Acreate2", [&](q7id_t id) { return Q7Acreate2(id, "b", Q7T_NATIVE_INT_g, sp, 0, 0); }},
        {"Q7Aopen", [&](q7id_t id) { return Q7Aopen(id, "a", 0); }},
        {"Q7Aread", [&](q7id_t id) { return Q7Aread(id, Q7T_NATIVE_INT_g, buf); }},
        {"Q7Awrite", [&](q7id_t id) { return Q7Awrite(id, Q7T_NATIVE_INT_g, buf); }},
        {"Q7Aget_space", [&](q7id_t id) { return Q7Aget_space(id); }},
        {"Q7Aclose", [&](q7id_t id) { return Q7Aclose(id); }},
        {"Q7Dopen2", [&](q7id_t id) { return Q7Dopen2(id, "d", 0); }},
        {"Q7Dcreate2 type", [&](q7id_t id) { return Q7Dcreate2(f, "e", id, sp, 0, 0, 0); }},
        {"Q7Dcreate2 space", [&](q7id_t id) { return Q7Dcreate2(f, "e", Q7T_NATIVE_INT_g, id == sp ? -1 : id, 0, 0, 0); }},
        {"Q7Dwrite", [&](q7id_t id) { return Q7Dwrite(id, Q7T_NATIVE_INT_g, 0, 0, 0, buf); }},
        {"Q7Dread", [&](q7id_t id) { return Q7Dread(id, Q7T_NATIVE_INT_g, 0, 0, 0, buf); }},
        {"Q7Dread memtype", [&](q7id_t id) { return Q7Dread(d, id, 0, 0, 0, buf); }},
        {"Q7Dget_space", [&](q7id_t id) { return Q7Dget_space(id); }},
        {"Q7Dget_type", [&](q7id_t id) { return Q7Dget_type(id); }},
        {"Q7Dget_create_plist", [&](q7id_t id) { return Q7Dget_create_plist(id); }},
        {"Q7Dset_extent", [&](q7id_t id) { return Q7Dset_extent(id, &off); }},
        {"Q7Drefresh", [&](q7id_t id) { return Q7Drefresh(id); }},
        {"Q7Dwrite_chunk", [&](q7id_t id) { return Q7Dwrite_chunk(id, 0, 0, &off, 16, buf); }},
        {"Q7Dread_chunk", [&](q7id_t id) { return Q7Dread_chunk(id, 0, &off, &mask, buf); }},
        {"Q7Dget_num_chunks", [&](q7id_t id) { return Q7Dget_num_chunks(id, &n); }},
        {"Q7Dget_chunk_info", [&](q7id_t id) { return Q7Dget_chunk_info(id, 0, &off, &mask, &n); }},
        {"Q7Dclose", [&](q7id_t id) { return Q7Dclose(id); }},
    };
    for (const Case &c : by_id)
        for (q7id_t id : bad_ids) {
            Q7Eclear2(0);
            EXPECT_LT(c.call(id), 0) << c.what << "(" << id << ")";
            EXPECT_GT(Q7Eget_num(0), 0) << c.what << "(" << id << ") left no record";
        }

    const std::vector<Case> by_pointer = {
        {"Q7Fcreate", [&](q7id_t) { return Q7Fcreate(nullptr, Q7F_ACC_TRUNC, 0, 0); }},
        {"Q7Fopen", [&](q7id_t) { return Q7Fopen(nullptr, 0, 0); }},
        {"Q7Fis_accessible", [&](q7id_t) { return Q7Fis_accessible(nullptr, 0); }},
        {"Q7Fget_metadata_read_retry_info", [&](q7id_t) { return Q7Fget_metadata_read_retry_info(f, nullptr); }},
        {"Q7Gcreate2", [&](q7id_t) { return Q7Gcreate2(f, nullptr, 0, 0, 0); }},
        {"Q7Gcreate2 empty", [&](q7id_t) { return Q7Gcreate2(f, "", 0, 0, 0); }},
        {"Q7Gopen2", [&](q7id_t) { return Q7Gopen2(f, nullptr, 0); }},
        {"Q7Lcreate_hard", [&](q7id_t) { return Q7Lcreate_hard(f, nullptr, f, "h", 0, 0); }},
        {"Q7Lcreate_soft", [&](q7id_t) { return Q7Lcreate_soft(nullptr, f, "s", 0, 0); }},
        {"Q7Lcreate_external", [&](q7id_t) { return Q7Lcreate_external(nullptr, "/x", f, "e", 0, 0); }},
        {"Q7Ldelete", [&](q7id_t) { return Q7Ldelete(f, nullptr, 0); }},
        {"Q7Lexists", [&](q7id_t) { return Q7Lexists(f, nullptr, 0); }},
        {"Q7Lget_val", [&](q7id_t) { return Q7Lget_val(f, nullptr, buf, 4, 0); }},
        {"Q7Lunpack_elink_val", [&](q7id_t) { return Q7Lunpack_elink_val(nullptr, 10, nullptr, nullptr, nullptr); }},
        {"Q7Literate2", [&](q7id_t) { return Q7Literate2(f, nullptr, nullptr, nullptr); }},
        {"Q7Oget_info2", [&](q7id_t) { return Q7Oget_info2(f, nullptr, Q7O_INFO_ALL); }},
        {"Q7Oget_info_by_name2", [&](q7id_t) { return Q7Oget_info_by_name2(f, "g", nullptr, Q7O_INFO_ALL, 0); }},
        {"Q7Acreate2", [&](q7id_t) { return Q7Acreate2(g, nullptr, Q7T_NATIVE_INT_g, sp, 0, 0); }},
        {"Q7Aexists", [&](q7id_t) { return Q7Aexists(g, nullptr); }},
        {"Q7Adelete", [&](q7id_t) { return Q7Adelete(g, nullptr); }},
        {"Q7Aread", [&](q7id_t) { return Q7Aread(a, Q7T_NATIVE_INT_g, nullptr); }},
        {"Q7Awrite", [&](q7id_t) { return Q7Awrite(a, Q7T_NATIVE_INT_g, nullptr); }},
        {"Q7Aiterate2", [&](q7id_t) { return Q7Aiterate2(g, nullptr, nullptr, nullptr); }},
        {"Q7Dcreate2", [&](q7id_t) { return Q7Dcreate2(f, nullptr, Q7T_NATIVE_INT_g, sp, 0, 0, 0); }},
        {"Q7Dwrite", [&](q7id_t) { return Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, nullptr); }},
        {"Q7Dread", [&](q7id_t) { return Q7Dread(d, Q7T_NATIVE_INT_g, 0, 0, 0, nullptr); }},
        {"Q7Dset_extent", [&](q7id_t) { return Q7Dset_extent(d, nullptr); }},
        {"Q7Dwrite_chunk offset", [&](q7id_t) { return Q7Dwrite_chunk(d, 0, 0, nullptr, 16, buf); }},
        {"Q7Dwrite_chunk data", [&](q7id_t) { return Q7Dwrite_chunk(d, 0, 0, &off, 16, nullptr); }},
        {"Q7Dwrite_chunk size 0", [&](q7id_t) { return Q7Dwrite_chunk(d, 0, 0, &off, 0, buf); }},
        {"Q7Dwrite_chunk huge", [&](q7id_t) { return Q7Dwrite_chunk(d, 0, 0, &off, SIZE_MAX, buf); }},
        {"Q7Dread_chunk", [&](q7id_t) { return Q7Dread_chunk(d, 0, &off, nullptr, buf); }},
        {"Q7Dget_chunk_storage_size", [&](q7id_t) { return Q7Dget_chunk_storage_size(d, &off, nullptr); }},
        {"Q7Dget_num_chunks", [&](q7id_t) { return Q7Dget_num_chunks(d, nullptr); }},
        {"Q7Dget_chunk_info", [&](q7id_t) { return Q7Dget_chunk_info(d, ~0ull, &off, &mask, &n); }},
        {"Q7Zregister", [&](q7id_t) { return Q7Zregister(nullptr); }},
        {"Q7Zunregister", [&](q7id_t) { return Q7Zunregister(12345); }},
        {"Q7Zget_filter_name", [&](q7id_t) { return Q7Zget_filter_name(-5, nullptr, 0); }},
        {"Q7PLset_search_path", [&](q7id_t) { return Q7PLset_search_path(nullptr); }},
    };
    for (const Case &c : by_pointer) {
        Q7Eclear2(0);
        EXPECT_LT(c.call(0), 0) << c.what;
        EXPECT_GT(Q7Eget_num(0), 0) << c.what << " left no record";
    }
    // The good identifiers still work after all that.
    EXPECT_GE(Q7Dwrite(d, Q7T_NATIVE_INT_g, 0, 0, 0, buf), 0);
    Q7Aclose(a);
    Q7Gclose(g);
    Q7Dclose(d);
    Q7Pclose(dcpl);
    Q7Sclose(sp);
    EXPECT_GE(Q7Fclose(f), 0);
}

} // namespace
