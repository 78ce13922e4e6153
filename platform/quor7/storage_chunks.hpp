// storage_chunks.hpp - how a dataset's elements are cut into stored
// pieces.  A chunked dataset stores whole chunks; a contiguous one is cut
// into segments of its row-major element sequence, so both are handled
// as a grid of blocks, and memory stays bounded by a few blocks.
#pragma once

#include "storage_internal.hpp"

namespace q7::storage {

// Largest stored block (chunk or segment) in bytes.
constexpr q7size_t kMaxBlockBytes = (q7size_t)512 << 20;
// Blocks up to this size are read with a statement, larger ones as BLOBs.
constexpr size_t kSmallBlockBytes = 64 << 10;
// Bytes per segment of a contiguous dataset.
constexpr q7size_t kSegmentBytes = (q7size_t)1 << 20;

struct Geometry {
    bool contiguous = false;
    std::vector<q7size_t> dims;     // extent of the grid (contiguous: {elements})
    std::vector<q7size_t> block;    // block shape (chunk, or {segment elements})
    std::vector<q7size_t> bstride;  // element strides inside a block
    std::vector<q7size_t> dstride;  // element strides inside the extent
    size_t elem = 0;                // bytes per element
    q7size_t block_elems = 0;

    explicit Geometry(const DatasetObj &d);

    // Checks made when a dataset is created (push a record when false).
    static bool chunk_fits(const DatasetObj &d);
    static bool contiguous_fits(const DatasetObj &d);

    // Key of a block in the `chunks` table: big-endian block coordinates,
    // so that keys sort in row-major order of the blocks.
    std::string key(const q7size_t *bc) const;
    bool decode_key(const void *p, size_t n, std::vector<q7size_t> &bc) const;
    // Elements of the block that lie inside the extent.
    q7size_t inside(const q7size_t *bc) const;
    // Linear index (in the extent) of the block's last element inside it.
    q7size_t last_linear(const q7size_t *bc) const;
    // Bytes stored for a block: whole chunks, or the used part of a segment.
    size_t stored_bytes(const q7size_t *bc) const;
    // True when the whole block lies inside the extent.
    bool whole(const q7size_t *bc) const;
};

// Sets n elements at dst to the dataset's fill value (zeros by default).
void fill_elements(const DatasetObj &d, void *dst, size_t n);

// Stored block lookup.  1 found, 0 absent, -1 error (pushed).
int find_block(ReadTxn &t, int64_t dset, const std::string &key, int64_t *rowid, uint32_t *mask, size_t *bytes);
// Reads a found block's stored bytes into dst (bytes from find_block).
bool read_block(ReadTxn &t, int64_t rowid, void *dst, size_t bytes);
// Stores a block's bytes and filter mask (insert or replace).
bool store_block(WriteTxn &t, int64_t dset, const std::string &key, uint32_t mask, const void *data, size_t bytes);
// Reads and decodes a block into a new buffer of exactly the block's
// stored size (the fill value when the block is absent); null on failure.
BlockBuf load_decoded(ReadTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc);
// Reads a found block's stored bytes into a new buffer; null on failure.
BlockBuf fetch_block(ReadTxn &t, int64_t rowid, size_t bytes);
// Undoes the pipeline over a fetched block of `bytes` stored bytes in a
// buffer of `size` (a contiguous segment: checks its length), leaving
// exactly `expect` bytes, in `buf` or, given `dest`, there (the caller's
// memory; partly written when this fails).  No SQL: runs on any thread
// given `refs` (resolve_for_tasks), and looks filters up itself without
// them.
bool decode_block(const DatasetObj &d, const std::vector<FilterRef> *refs, uint32_t mask, BlockBuf &buf, size_t size,
                  size_t bytes, size_t expect, void *dest = nullptr);
// Runs the pipeline over a block of *size bytes (contiguous datasets have
// none); *nbytes and *mask tell what to store.  No SQL, as decode_block.
// With `src`, the block's bytes are read from there (the caller's memory)
// and `buf` receives the result.
bool encode_block(const DatasetObj &d, const std::vector<FilterRef> *refs, BlockBuf &buf, size_t *size,
                  size_t *nbytes, uint32_t *mask, const void *src = nullptr);
// Encodes (filters) and stores one block of stored_bytes(bc) bytes, in
// `buf` or read from `src`.
bool encode_store(WriteTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc, BlockBuf buf,
                  const void *src = nullptr);
// After the extent shrank: drops blocks wholly outside it and clears the
// outside part of blocks that straddle it.
bool trim_chunks(WriteTxn &t, DatasetObj &d);

// ---- what the chunk calls ask of the chunk index ---------------------

// The dataset behind id when it is chunked; null with a record otherwise.
std::shared_ptr<DatasetObj> chunked_dataset(q7id_t id);
// Block coordinates of a chunk given by its first element's offset.
bool block_of(const DatasetObj &d, const q7size_t *offset, std::vector<q7size_t> &bc);
// Number of stored chunks.
bool count_chunks(ReadTxn &t, const DatasetObj &d, q7size_t *nchunks);
// The stored chunk at a position in key order: its block coordinates,
// filter mask and stored size.  Checks that the coordinates lead back to
// this very chunk.
bool chunk_at_index(ReadTxn &t, const DatasetObj &d, q7size_t index, std::vector<q7size_t> &bc, uint32_t *mask,
                    q7size_t *size);
// Bytes the dataset's stored blocks take (chunks and contiguous segments
// live in the same table).
bool stored_data_bytes(ReadTxn &t, const DatasetObj &d, q7size_t *bytes);

} // namespace q7::storage
