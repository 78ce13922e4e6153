// storage_size.cpp - how many bytes a dataset's data takes in the file.
#include "storage_chunks.hpp"

namespace q7::storage {
extern "C" {

// Chunks and the segments of a contiguous dataset live in the same table,
// so one sum over the dataset's rows answers for both layouts.
q7size_t Q7Dget_storage_size(q7id_t dset_id) {
    Q7_API("Q7Dget_storage_size");
    if (api_.faulted()) return api_.fail<q7size_t>(0);
    auto d = get<DatasetObj>(dset_id, Q7I_DATASET);
    if (!d) return api_.fail<q7size_t>(0);
    Stmt s(*d->c, "SELECT coalesce(sum(length(data)), 0) FROM chunks WHERE dset = ?");
    if (!s) return api_.fail<q7size_t>(0);
    s.bind(1, d->addr);
    if (s.step(RI_CHUNK_LIST) != SQLITE_ROW) return api_.fail<q7size_t>(0);
    return (q7size_t)s.col_int(0);
}

} // extern "C"
} // namespace q7::storage
