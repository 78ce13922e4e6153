// storage_dataset.hpp - the work behind the dataset calls of
// storage_dataset_api.cpp: dataset records (storage_dataset.cpp) and the
// element-wise read and write walk (storage_io.cpp).  The chunk index
// queries are in storage_chunks.hpp.
#pragma once

#include "storage_chunks.hpp"

namespace q7::storage {

// Every helper here and in storage_chunks.hpp that runs a statement takes
// the call's transaction on the dataset's file as its first argument.

// ---- dataset records (storage_dataset.cpp) ---------------------------

// The dataset behind an identifier; null with a record otherwise.
std::shared_ptr<DatasetObj> dataset_of(q7id_t id);
// A dataspace of the given extent with everything selected.
std::shared_ptr<Dataspace> make_space(const std::vector<q7size_t> &dims, const std::vector<q7size_t> &maxdims);
// Writes the records of a new dataset (description, fill value, pipeline)
// as object `leaf` of group `parent`; sets d's container, address and
// path.  Runs inside the call's write transaction t on parent's file.
bool store_new_dataset(WriteTxn &t, const Loc &parent, const std::string &leaf, DatasetObj &d);
// Stores a new extent and drops or clears what a smaller one leaves
// outside.  d.dims holds the new extent only when true is returned.
bool store_extent(WriteTxn &t, DatasetObj &d, const std::vector<q7size_t> &dims);

// ---- reading and writing elements (storage_io.cpp) -------------------

// The paired memory and file selections of one read or write, as runs of
// linear element indices (file runs in the dataset's current extent).
struct Selections {
    std::vector<Run> file, mem;
    q7size_t npoints = 0;
};
// Resolves the memory and file dataspace arguments against the dataset.
// `same_extent`: a file dataspace of another extent fails (see
// Q7Pset_same_extent) instead of being placed in the dataset's.
bool selections(const DatasetObj &d, q7id_t mem_space_id, q7id_t file_space_id, bool same_extent, Selections &out);
// How elements of `from` become elements of `to`; false with a record
// when they cannot.
bool conversion(const Datatype &from, const Datatype &to, Conversion &conv);
// Moves the selected elements from memory into the file / from the file
// into memory.  On failure a record is pushed; a write may have stored
// some blocks, which the caller's transaction undoes.
// `nthreads` (pipeline_threads) run the filters of a call that spans
// several filtered chunks; the bytes stored are the same for any count.
bool write_data(WriteTxn &t, const DatasetObj &d, const Selections &sel, Conversion conv, const void *mem,
                unsigned nthreads);
bool read_data(ReadTxn &t, const DatasetObj &d, const Selections &sel, Conversion conv, void *mem,
               unsigned nthreads);

} // namespace q7::storage
