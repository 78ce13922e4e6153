// storage_chunks.cpp - the stored blocks of a dataset (found, read, decoded,
// encoded and stored), and what the chunk calls ask of the chunk index.
#include "storage_chunks.hpp"
#include "storage_commit.hpp"

namespace q7::storage {

namespace {

bool mul_ok(q7size_t a, q7size_t b, q7size_t *out) { return !__builtin_mul_overflow(a, b, out); }

} // namespace

Geometry::Geometry(const DatasetObj &d) {
    elem = d.type->size;
    contiguous = d.chunk.empty();
    if (contiguous) {
        q7size_t n = 1;
        for (q7size_t v : d.dims) n *= v;
        dims = {n};
        q7size_t seg = kSegmentBytes / elem;
        block = {seg ? seg : 1};
    } else {
        dims = d.dims;
        block = d.chunk;
    }
    size_t r = dims.size();
    bstride.assign(r, 1);
    dstride.assign(r, 1);
    for (size_t i = r; i-- > 1;) {
        bstride[i - 1] = bstride[i] * block[i];
        dstride[i - 1] = dstride[i] * dims[i];
    }
    block_elems = r ? bstride[0] * block[0] : 1;
}

bool Geometry::chunk_fits(const DatasetObj &d) {
    if (d.chunk.size() != d.dims.size()) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "chunk rank %zu differs from the dataset rank %zu", d.chunk.size(),
                d.dims.size());
        return false;
    }
    q7size_t bytes = d.type->size;
    for (size_t i = 0; i < d.chunk.size(); ++i) {
        if (d.chunk[i] == 0) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADVALUE_g, "chunk size 0 in dimension %zu", i);
            return false;
        }
        if (d.maxdims[i] != Q7S_UNLIMITED && d.chunk[i] > d.maxdims[i] && d.maxdims[i] > 0) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "chunk size %llu exceeds the maximum extent %llu in dimension %zu",
                    (unsigned long long)d.chunk[i], (unsigned long long)d.maxdims[i], i);
            return false;
        }
        if (!mul_ok(bytes, d.chunk[i], &bytes) || bytes > kMaxBlockBytes) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "a chunk may hold at most %llu bytes",
                    (unsigned long long)kMaxBlockBytes);
            return false;
        }
    }
    return true;
}

bool Geometry::contiguous_fits(const DatasetObj &d) {
    q7size_t bytes = d.type->size;
    for (q7size_t v : d.dims)
        if (!mul_ok(bytes, v, &bytes) || bytes > ((q7size_t)1 << 62)) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "dataset is too large");
            return false;
        }
    return true;
}

std::string Geometry::key(const q7size_t *bc) const {
    std::string k(dims.size() * 8, '\0');
    for (size_t i = 0; i < dims.size(); ++i)
        for (int b = 0; b < 8; ++b) k[i * 8 + b] = (char)(bc[i] >> (8 * (7 - b)));
    return k;
}

bool Geometry::decode_key(const void *p, size_t n, std::vector<q7size_t> &bc) const {
    if (n != dims.size() * 8) return false;
    const auto *b = (const unsigned char *)p;
    bc.assign(dims.size(), 0);
    for (size_t i = 0; i < dims.size(); ++i)
        for (int k = 0; k < 8; ++k) bc[i] = bc[i] << 8 | b[i * 8 + k];
    return true;
}

q7size_t Geometry::inside(const q7size_t *bc) const {
    q7size_t n = 1;
    for (size_t i = 0; i < dims.size(); ++i) {
        q7size_t start = bc[i] * block[i];
        if (start >= dims[i]) return 0;
        q7size_t len = dims[i] - start < block[i] ? dims[i] - start : block[i];
        n *= len;
    }
    return n;
}

q7size_t Geometry::last_linear(const q7size_t *bc) const {
    q7size_t lin = 0;
    for (size_t i = 0; i < dims.size(); ++i) {
        q7size_t last = bc[i] * block[i] + block[i] - 1;
        if (last >= dims[i]) last = dims[i] - 1;
        lin += last * dstride[i];
    }
    return lin;
}

size_t Geometry::stored_bytes(const q7size_t *bc) const {
    return (size_t)((contiguous ? inside(bc) : block_elems) * elem);
}

bool Geometry::whole(const q7size_t *bc) const {
    for (size_t i = 0; i < dims.size(); ++i)
        if (bc[i] * block[i] + block[i] > dims[i]) return false;
    return true;
}

void fill_elements(const DatasetObj &d, void *dst, size_t n) {
    size_t elem = d.type->size;
    if (d.fill.size() != elem) {
        memset(dst, 0, n * elem);
        return;
    }
    auto *p = static_cast<unsigned char *>(dst);
    for (size_t i = 0; i < n; ++i) memcpy(p + i * elem, d.fill.data(), elem);
}

int find_block(ReadTxn &t, int64_t dset, const std::string &key, int64_t *rowid, uint32_t *mask, size_t *bytes) {
    Stmt s(t, "SELECT rowid, mask, length(data) FROM chunks WHERE dset = ? AND coord = ?");
    if (!s) return -1;
    s.bind(1, dset);
    s.bind_blob_static(2, key.data(), key.size());
    int rc = s.step(RI_CHUNK_LOOKUP);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    if (rowid) *rowid = s.col_int(0);
    if (mask) *mask = (uint32_t)s.col_int(1);
    if (bytes) *bytes = (size_t)s.col_int(2);
    return 1;
}

bool read_block(ReadTxn &t, int64_t rowid, void *dst, size_t bytes) {
    Container &c = t.container();
    // A small block is cheaper to fetch with a prepared statement than to
    // open as a BLOB, which compiles a statement of its own every time; a
    // large one is read straight into dst without a copy in between.
    if (bytes <= kSmallBlockBytes) {
        Stmt s(t, "SELECT data FROM chunks WHERE rowid = ?");
        if (!s) return false;
        s.bind(1, rowid);
        int rc = s.step(RI_CHUNK_LOOKUP);
        if (rc != SQLITE_ROW) {
            if (rc == SQLITE_DONE) Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "stored chunk in %s vanished", c.name.c_str());
            return false;
        }
        const void *p = s.col_blob(0);
        if (s.col_bytes(0) < bytes) {
            Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "stored chunk in %s is shorter than recorded", c.name.c_str());
            return false;
        }
        if (bytes) memcpy(dst, p, bytes);
        return true;
    }
    sqlite3_blob *blob = nullptr;
    int rc = SQLITE_OK;
    for (unsigned n = 0;; ++n) {
        rc = sqlite3_blob_open(c.db, "main", "chunks", "data", rowid, 0, &blob);
        if (rc == SQLITE_OK) break;
        if (!retry_busy(c, rc, n)) {
            c.count_retries(RI_CHUNK_LOOKUP, n);
            c.push_sqlite_error("reading a chunk", rc);
            return false;
        }
    }
    if (bytes > (size_t)sqlite3_blob_bytes(blob)) {
        sqlite3_blob_close(blob);
        Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "stored chunk in %s is shorter than recorded", c.name.c_str());
        return false;
    }
    rc = bytes ? sqlite3_blob_read(blob, dst, (int)bytes, 0) : SQLITE_OK;
    sqlite3_blob_close(blob);
    if (rc != SQLITE_OK) {
        c.push_sqlite_error("reading a chunk", rc);
        return false;
    }
    return true;
}

bool store_block(WriteTxn &t, int64_t dset, const std::string &key, uint32_t mask, const void *data, size_t bytes) {
    // Rewriting a stored block is the common case; an update of one row
    // needs no statement journal, where an insert that may turn into an
    // update does.
    {
        Stmt s(t, "UPDATE chunks SET mask = ?, data = ? WHERE dset = ? AND coord = ?");
        if (!s) return false;
        s.bind(1, (int64_t)mask);
        s.bind_blob_static(2, data, bytes);
        s.bind(3, dset);
        s.bind_blob_static(4, key.data(), key.size());
        if (!s.run(RI_CHUNK_LOOKUP)) return false;
    }
    if (t.changes() == 0) {
        Stmt s(t, "INSERT INTO chunks(dset, coord, mask, data) VALUES(?, ?, ?, ?)");
        if (!s) return false;
        s.bind(1, dset);
        s.bind_blob_static(2, key.data(), key.size());
        s.bind(3, (int64_t)mask);
        s.bind_blob_static(4, data, bytes);
        if (!s.run(RI_CHUNK_LOOKUP)) return false;
    }
    note_pending(t.container(), bytes);
    ++t.container().data_epoch;
    return true;
}

BlockBuf load_decoded(ReadTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc) {
    size_t expect = g.stored_bytes(bc);
    uint32_t mask = 0;
    size_t bytes = 0, size = 0;
    BlockBuf buf;
    auto allocate = [&](size_t n) {
        size = n ? n : 1;
        buf.reset(Q7allocate_memory(size, 0));
        if (!buf) Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "no memory for a chunk of %zu bytes", n);
        return buf != nullptr;
    };
    int found;
    std::string key = g.key(bc);
    if (expect <= kSmallBlockBytes) {
        // A small block is found and fetched by one statement.
        Stmt s(t, "SELECT mask, data FROM chunks WHERE dset = ? AND coord = ?");
        if (!s) return nullptr;
        s.bind(1, d.addr);
        s.bind_blob_static(2, key.data(), key.size());
        int rc = s.step(RI_CHUNK_LOOKUP);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return nullptr;
        found = rc == SQLITE_ROW;
        if (found) {
            mask = (uint32_t)s.col_int(0);
            bytes = s.col_bytes(1);
            if (!allocate(bytes)) return nullptr;
            if (bytes) memcpy(buf.get(), s.col_blob(1), bytes);
        }
    } else {
        int64_t rowid = 0;
        found = find_block(t, d.addr, key, &rowid, &mask, &bytes);
        if (found < 0) return nullptr;
        if (found) {
            if (!allocate(bytes)) return nullptr;
            if (!read_block(t, rowid, buf.get(), bytes)) return nullptr;
        }
    }
    if (!found) {
        if (!allocate(expect)) return nullptr;
        fill_elements(d, buf.get(), expect / g.elem);
        return buf;
    }
    return decode_block(d, nullptr, mask, buf, size, bytes, expect) ? std::move(buf) : nullptr;
}

BlockBuf fetch_block(ReadTxn &t, int64_t rowid, size_t bytes) {
    BlockBuf buf(Q7allocate_memory(bytes ? bytes : 1, 0));
    if (!buf) {
        Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "no memory for a chunk of %zu bytes", bytes);
        return nullptr;
    }
    return read_block(t, rowid, buf.get(), bytes) ? std::move(buf) : nullptr;
}

bool decode_block(const DatasetObj &d, const std::vector<FilterRef> *refs, uint32_t mask, BlockBuf &buf, size_t size,
                  size_t bytes, size_t expect, void *dest) {
    if (d.chunk.empty()) {
        if (bytes != expect) {
            Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "segment of dataset %s holds %zu bytes, expected %zu", d.path.c_str(),
                    bytes, expect);
            return false;
        }
        if (dest) memcpy(dest, buf.get(), expect);
        return true;
    }
    size_t nbytes = bytes;
    size = size ? size : 1;
    if (!pipeline_decode(d.pipeline, refs, mask, buf, &size, &nbytes, expect, dest)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read a chunk of dataset %s", d.path.c_str());
        return false;
    }
    return true;
}

bool encode_block(const DatasetObj &d, const std::vector<FilterRef> *refs, BlockBuf &buf, size_t *size,
                  size_t *nbytes, uint32_t *mask, const void *src) {
    *mask = 0;
    // A contiguous segment is stored as it is.
    bool ok = d.chunk.empty() ? pipeline_encode({}, refs, buf, size, nbytes, mask, src)
                              : pipeline_encode(d.pipeline, refs, buf, size, nbytes, mask, src);
    if (!ok) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_WRITEERROR_g, "cannot write a chunk of dataset %s", d.path.c_str());
        return false;
    }
    return true;
}

bool encode_store(WriteTxn &t, const DatasetObj &d, const Geometry &g, const q7size_t *bc, BlockBuf buf,
                  const void *src) {
    size_t size = g.stored_bytes(bc);
    size_t nbytes = size;
    uint32_t mask = 0;
    if (!encode_block(d, nullptr, buf, &size, &nbytes, &mask, src)) return false;
    return store_block(t, d.addr, g.key(bc), mask, buf.get(), nbytes);
}

bool trim_chunks(WriteTxn &t, DatasetObj &d) {
    Geometry g(d);
    struct Row {
        int64_t rowid;
        std::vector<q7size_t> bc;
    };
    std::vector<Row> rows;
    {
        Stmt s(t, "SELECT rowid, coord FROM chunks WHERE dset = ?");
        if (!s) return false;
        s.bind(1, d.addr);
        int rc;
        while ((rc = s.step(RI_CHUNK_LIST)) == SQLITE_ROW) {
            Row r{s.col_int(0), {}};
            if (!g.decode_key(s.col_blob(1), s.col_bytes(1), r.bc)) {
                Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk key", d.path.c_str());
                return false;
            }
            if (!g.whole(r.bc.data())) rows.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) return false;
    }
    for (const Row &r : rows) {
        if (g.inside(r.bc.data()) == 0) {
            Stmt s(t, "DELETE FROM chunks WHERE rowid = ?");
            if (!s) return false;
            s.bind(1, r.rowid);
            if (!s.run(RI_CHUNK_LOOKUP)) return false;
            ++t.container().data_epoch;
            continue;
        }
        // Clear what now lies outside, so that a later growth shows the
        // fill value.
        BlockBuf block = load_decoded(t, d, g, r.bc.data());
        if (!block) return false;
        auto *buf = static_cast<unsigned char *>(block.get());
        size_t rank = g.dims.size();
        std::vector<q7size_t> pos(rank, 0);
        for (q7size_t e = 0; e < g.block_elems; ++e) {
            bool out = false;
            for (size_t i = 0; i < rank; ++i) out |= r.bc[i] * g.block[i] + pos[i] >= g.dims[i];
            if (out) fill_elements(d, buf + e * g.elem, 1);
            for (size_t i = rank; i-- > 0;) {
                if (++pos[i] < g.block[i]) break;
                pos[i] = 0;
            }
        }
        if (!encode_store(t, d, g, r.bc.data(), std::move(block))) return false;
    }
    return true;
}

std::shared_ptr<DatasetObj> chunked_dataset(q7id_t id) {
    auto d = get<DatasetObj>(id, Q7I_DATASET);
    if (!d) return nullptr;
    if (d->chunk.empty()) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_BADTYPE_g, "dataset %s is not chunked", d->path.c_str());
        return nullptr;
    }
    return d;
}

bool block_of(const DatasetObj &d, const q7size_t *offset, std::vector<q7size_t> &bc) {
    if (!offset) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no chunk offset given");
        return false;
    }
    bc.assign(d.dims.size(), 0);
    for (size_t i = 0; i < d.dims.size(); ++i) {
        if (offset[i] % d.chunk[i] != 0) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADVALUE_g,
                    "chunk offset %llu in dimension %zu is not a multiple of the chunk size %llu",
                    (unsigned long long)offset[i], i, (unsigned long long)d.chunk[i]);
            return false;
        }
        if (offset[i] >= d.dims[i]) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "chunk offset %llu in dimension %zu lies outside the extent %llu",
                    (unsigned long long)offset[i], i, (unsigned long long)d.dims[i]);
            return false;
        }
        bc[i] = offset[i] / d.chunk[i];
    }
    return true;
}

bool count_chunks(ReadTxn &t, const DatasetObj &d, q7size_t *nchunks) {
    Stmt s(t, "SELECT count(*) FROM chunks WHERE dset = ?");
    if (!s) return false;
    s.bind(1, d.addr);
    if (s.step(RI_CHUNK_LIST) != SQLITE_ROW) return false;
    *nchunks = (q7size_t)s.col_int(0);
    return true;
}

bool chunk_at_index(ReadTxn &t, const DatasetObj &d, q7size_t index, std::vector<q7size_t> &bc, uint32_t *mask,
                    q7size_t *size) {
    Geometry g(d);
    Stmt s(t, "SELECT coord, mask, length(data), rowid FROM chunks WHERE dset = ? ORDER BY coord LIMIT 1 OFFSET ?");
    if (!s) return false;
    s.bind(1, d.addr);
    s.bind(2, (int64_t)(index > (q7size_t)INT64_MAX ? INT64_MAX : index));
    int rc = s.step(RI_CHUNK_LIST);
    if (rc != SQLITE_ROW) {
        if (rc == SQLITE_DONE)
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "dataset %s has no stored chunk %llu", d.path.c_str(),
                    (unsigned long long)index);
        return false;
    }
    if (!g.decode_key(s.col_blob(0), s.col_bytes(0), bc)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk key", d.path.c_str());
        return false;
    }
    // The offset reported must lead Q7Dread_chunk and
    // Q7Dget_chunk_storage_size back to this very chunk: callers size their
    // buffer from the size reported here.  In a damaged file a key whose
    // offset does not fit 64 bits, or an index that maps the key to
    // another row, would hand them a different, possibly larger chunk.
    for (size_t i = 0; i < bc.size(); ++i)
        if (d.chunk[i] != 0 && bc[i] > UINT64_MAX / d.chunk[i]) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk key", d.path.c_str());
            return false;
        }
    int64_t found_row = 0;
    const int found = find_block(t, d.addr, g.key(bc.data()), &found_row, nullptr, nullptr);
    if (found < 0) return false;
    if (found == 0 || found_row != s.col_int(3)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk index", d.path.c_str());
        return false;
    }
    *mask = (uint32_t)s.col_int(1);
    *size = (q7size_t)s.col_int(2);
    return true;
}

bool stored_data_bytes(ReadTxn &t, const DatasetObj &d, q7size_t *bytes) {
    Stmt s(t, "SELECT coalesce(sum(length(data)), 0) FROM chunks WHERE dset = ?");
    if (!s) return false;
    s.bind(1, d.addr);
    if (s.step(RI_CHUNK_LIST) != SQLITE_ROW) return false;
    *bytes = (q7size_t)s.col_int(0);
    return true;
}

} // namespace q7::storage
