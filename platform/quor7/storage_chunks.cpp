// storage_chunks.cpp - stored blocks of a dataset, and direct chunk I/O
// (bytes and filter mask moved as they are, bypassing the pipeline).
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

int find_block(Container &c, int64_t dset, const std::string &key, int64_t *rowid, uint32_t *mask, size_t *bytes) {
    Stmt s(c, "SELECT rowid, mask, length(data) FROM chunks WHERE dset = ? AND coord = ?");
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

bool read_block(Container &c, int64_t rowid, void *dst, size_t bytes) {
    // A small block is cheaper to fetch with a prepared statement than to
    // open as a BLOB, which compiles a statement of its own every time; a
    // large one is read straight into dst without a copy in between.
    if (bytes <= kSmallBlockBytes) {
        Stmt s(c, "SELECT data FROM chunks WHERE rowid = ?");
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

bool store_block(Container &c, int64_t dset, const std::string &key, uint32_t mask, const void *data, size_t bytes) {
    // Rewriting a stored block is the common case; an update of one row
    // needs no statement journal, where an insert that may turn into an
    // update does.
    {
        Stmt s(c, "UPDATE chunks SET mask = ?, data = ? WHERE dset = ? AND coord = ?");
        if (!s) return false;
        s.bind(1, (int64_t)mask);
        s.bind_blob_static(2, data, bytes);
        s.bind(3, dset);
        s.bind_blob_static(4, key.data(), key.size());
        if (!s.run(RI_CHUNK_LOOKUP)) return false;
    }
    if (sqlite3_changes(c.db) == 0) {
        Stmt s(c, "INSERT INTO chunks(dset, coord, mask, data) VALUES(?, ?, ?, ?)");
        if (!s) return false;
        s.bind(1, dset);
        s.bind_blob_static(2, key.data(), key.size());
        s.bind(3, (int64_t)mask);
        s.bind_blob_static(4, data, bytes);
        if (!s.run(RI_CHUNK_LOOKUP)) return false;
    }
    note_pending(c, bytes);
    return true;
}

void *load_decoded(const DatasetObj &d, const Geometry &g, const q7size_t *bc, bool *ok) {
    *ok = false;
    size_t expect = g.stored_bytes(bc);
    uint32_t mask = 0;
    size_t bytes = 0, size = 0;
    void *buf = nullptr;
    auto allocate = [&](size_t n) {
        size = n ? n : 1;
        buf = Q7allocate_memory(size, 0);
        if (!buf) Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "no memory for a chunk of %zu bytes", n);
        return buf != nullptr;
    };
    int found;
    if (expect <= kSmallBlockBytes) {
        // A small block is found and fetched by one statement.
        std::string key = g.key(bc);
        Stmt s(*d.c, "SELECT mask, data FROM chunks WHERE dset = ? AND coord = ?");
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
            if (bytes) memcpy(buf, s.col_blob(1), bytes);
        }
    } else {
        int64_t rowid = 0;
        found = find_block(*d.c, d.addr, g.key(bc), &rowid, &mask, &bytes);
        if (found < 0) return nullptr;
        if (found) {
            if (!allocate(bytes)) return nullptr;
            if (!read_block(*d.c, rowid, buf, bytes)) {
                Q7free_memory(buf);
                return nullptr;
            }
        }
    }
    if (!found) {
        if (!allocate(expect)) return nullptr;
        fill_elements(d, buf, expect / g.elem);
        *ok = true;
        return buf;
    }
    if (g.contiguous) {
        if (bytes != expect) {
            Q7free_memory(buf);
            Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "segment of dataset %s holds %zu bytes, expected %zu", d.path.c_str(),
                    bytes, expect);
            return nullptr;
        }
        *ok = true;
        return buf;
    }
    size_t nbytes = bytes;
    if (!pipeline_decode(d.pipeline, mask, &buf, &size, &nbytes, expect)) {
        Q7free_memory(buf);
        Q7_PUSH(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read a chunk of dataset %s", d.path.c_str());
        return nullptr;
    }
    *ok = true;
    return buf;
}

bool encode_store(const DatasetObj &d, const Geometry &g, const q7size_t *bc, void *buf) {
    size_t size = g.stored_bytes(bc);
    size_t nbytes = size;
    uint32_t mask = 0;
    if (!g.contiguous && !pipeline_encode(d.pipeline, &buf, &size, &nbytes, &mask)) {
        Q7free_memory(buf);
        Q7_PUSH(Q7E_DATASET_g, Q7E_WRITEERROR_g, "cannot write a chunk of dataset %s", d.path.c_str());
        return false;
    }
    bool ok = store_block(*d.c, d.addr, g.key(bc), mask, buf, nbytes);
    Q7free_memory(buf);
    return ok;
}

bool trim_chunks(DatasetObj &d) {
    Geometry g(d);
    struct Row {
        int64_t rowid;
        std::vector<q7size_t> bc;
    };
    std::vector<Row> rows;
    {
        Stmt s(*d.c, "SELECT rowid, coord FROM chunks WHERE dset = ?");
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
            Stmt s(*d.c, "DELETE FROM chunks WHERE rowid = ?");
            if (!s) return false;
            s.bind(1, r.rowid);
            if (!s.run(RI_CHUNK_LOOKUP)) return false;
            continue;
        }
        // Clear what now lies outside, so that a later growth shows the
        // fill value.
        bool ok;
        auto *buf = (unsigned char *)load_decoded(d, g, r.bc.data(), &ok);
        if (!ok) return false;
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
        if (!encode_store(d, g, r.bc.data(), buf)) return false;
    }
    return true;
}

namespace {

std::shared_ptr<DatasetObj> chunked(q7id_t id) {
    auto d = get<DatasetObj>(id, Q7I_DATASET);
    if (!d) return nullptr;
    if (d->chunk.empty()) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_BADTYPE_g, "dataset %s is not chunked", d->path.c_str());
        return nullptr;
    }
    return d;
}

// Block coordinates of a chunk given by its first element's offset.
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

} // namespace

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7status_t Q7Dwrite_chunk(q7id_t dset_id, q7id_t dxpl_id, uint32_t filter_mask, const q7size_t *offset,
                          size_t data_size, const void *buf) {
    Q7_API("Q7Dwrite_chunk");
    (void)dxpl_id;
    if (api_.faulted()) return api_.fail(-1);
    auto d = chunked(dset_id);
    if (!d) return api_.fail(-1);
    if (!buf || data_size == 0 || data_size > kMaxBlockBytes) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "chunk data missing or of unusable size %zu", data_size);
        return api_.fail(-1);
    }
    if (!d->c->writable) {
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", d->c->name.c_str());
        return api_.fail(-1);
    }
    Txn t(*d->c, true);
    std::vector<q7size_t> bc;
    if (!t.ok() || !reload_shape(*d) || !block_of(*d, offset, bc)) return api_.fail(-1);
    Geometry g(*d);
    if (!store_block(*d->c, d->addr, g.key(bc.data()), filter_mask, buf, data_size) || !t.commit())
        return api_.fail(-1);
    return 0;
}

q7status_t Q7Dread_chunk(q7id_t dset_id, q7id_t dxpl_id, const q7size_t *offset, uint32_t *filter_mask, void *buf) {
    Q7_API("Q7Dread_chunk");
    (void)dxpl_id;
    if (api_.faulted()) return api_.fail(-1);
    auto d = chunked(dset_id);
    if (!d) return api_.fail(-1);
    if (!buf || !filter_mask) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no buffer or filter mask to fill");
        return api_.fail(-1);
    }
    Txn t(*d->c, false);
    std::vector<q7size_t> bc;
    if (!t.ok() || !reload_shape(*d) || !block_of(*d, offset, bc)) return api_.fail(-1);
    Geometry g(*d);
    int64_t rowid = 0;
    uint32_t mask = 0;
    size_t bytes = 0;
    int found = find_block(*d->c, d->addr, g.key(bc.data()), &rowid, &mask, &bytes);
    if (found <= 0) {
        if (found == 0) Q7_PUSH(Q7E_DATASET_g, Q7E_NOTFOUND_g, "no chunk stored at that offset in %s", d->path.c_str());
        return api_.fail(-1);
    }
    if (!read_block(*d->c, rowid, buf, bytes)) return api_.fail(-1);
    *filter_mask = mask;
    t.commit();
    return 0;
}

q7status_t Q7Dget_chunk_storage_size(q7id_t dset_id, const q7size_t *offset, q7size_t *chunk_nbytes) {
    Q7_API("Q7Dget_chunk_storage_size");
    if (api_.faulted()) return api_.fail(-1);
    auto d = chunked(dset_id);
    if (!d) return api_.fail(-1);
    if (!chunk_nbytes) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "nowhere to store the size");
        return api_.fail(-1);
    }
    Txn t(*d->c, false);
    std::vector<q7size_t> bc;
    if (!t.ok() || !reload_shape(*d) || !block_of(*d, offset, bc)) return api_.fail(-1);
    Geometry g(*d);
    size_t bytes = 0;
    int found = find_block(*d->c, d->addr, g.key(bc.data()), nullptr, nullptr, &bytes);
    if (found < 0) return api_.fail(-1);
    *chunk_nbytes = found ? bytes : 0;
    t.commit();
    return 0;
}

q7status_t Q7Dget_num_chunks(q7id_t dset_id, q7size_t *nchunks) {
    Q7_API("Q7Dget_num_chunks");
    if (api_.faulted()) return api_.fail(-1);
    auto d = chunked(dset_id);
    if (!d) return api_.fail(-1);
    if (!nchunks) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "nowhere to store the count");
        return api_.fail(-1);
    }
    Stmt s(*d->c, "SELECT count(*) FROM chunks WHERE dset = ?");
    if (!s) return api_.fail(-1);
    s.bind(1, d->addr);
    if (s.step(RI_CHUNK_LIST) != SQLITE_ROW) return api_.fail(-1);
    *nchunks = (q7size_t)s.col_int(0);
    return 0;
}

q7status_t Q7Dget_chunk_info(q7id_t dset_id, q7size_t index, q7size_t *offset, uint32_t *filter_mask, q7size_t *size) {
    Q7_API("Q7Dget_chunk_info");
    if (api_.faulted()) return api_.fail(-1);
    auto d = chunked(dset_id);
    if (!d) return api_.fail(-1);
    Geometry g(*d);
    Stmt s(*d->c,
           "SELECT coord, mask, length(data), rowid FROM chunks WHERE dset = ? ORDER BY coord LIMIT 1 OFFSET ?");
    if (!s) return api_.fail(-1);
    s.bind(1, d->addr);
    s.bind(2, (int64_t)(index > (q7size_t)INT64_MAX ? INT64_MAX : index));
    int rc = s.step(RI_CHUNK_LIST);
    if (rc != SQLITE_ROW) {
        if (rc == SQLITE_DONE)
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "dataset %s has no stored chunk %llu", d->path.c_str(),
                    (unsigned long long)index);
        return api_.fail(-1);
    }
    std::vector<q7size_t> bc;
    if (!g.decode_key(s.col_blob(0), s.col_bytes(0), bc)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk key", d->path.c_str());
        return api_.fail(-1);
    }
    // The offset reported must lead Q7Dread_chunk and
    // Q7Dget_chunk_storage_size back to this very chunk: callers size their
    // buffer from the size reported here.  In a damaged file a key whose
    // offset does not fit 64 bits, or an index that maps the key to
    // another row, would hand them a different, possibly larger chunk.
    for (size_t i = 0; i < bc.size(); ++i)
        if (d->chunk[i] != 0 && bc[i] > UINT64_MAX / d->chunk[i]) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk key", d->path.c_str());
            return api_.fail(-1);
        }
    int64_t found_row = 0;
    const int found = find_block(*d->c, d->addr, g.key(bc.data()), &found_row, nullptr, nullptr);
    if (found < 0) return api_.fail(-1);
    if (found == 0 || found_row != s.col_int(3)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "dataset %s has a damaged chunk index", d->path.c_str());
        return api_.fail(-1);
    }
    if (offset)
        for (size_t i = 0; i < bc.size(); ++i) offset[i] = bc[i] * d->chunk[i];
    if (filter_mask) *filter_mask = (uint32_t)s.col_int(1);
    if (size) *size = (q7size_t)s.col_int(2);
    return 0;
}

} // extern "C"
