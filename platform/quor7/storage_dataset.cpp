// storage_dataset.cpp - the stored records of a dataset: its description
// (element type, extent, chunk shape, pipeline, fill value), read when it
// is opened, written when it is created, and its extent changed.
#include "storage_chunk_cache.hpp"
#include "storage_dataset.hpp"

namespace q7::storage {

std::string encode_dims(const std::vector<q7size_t> &dims) {
    std::string out(dims.size() * 8, '\0');
    for (size_t i = 0; i < dims.size(); ++i)
        for (int b = 0; b < 8; ++b) out[i * 8 + b] = (char)(dims[i] >> (8 * b));
    return out;
}

bool decode_dims(const void *p, size_t n, std::vector<q7size_t> &out) {
    if (n % 8 != 0 || n / 8 > Q7_MAX_RANK) return false;
    const auto *b = (const unsigned char *)p;
    out.assign(n / 8, 0);
    for (size_t i = 0; i < out.size(); ++i)
        for (int k = 7; k >= 0; --k) out[i] = out[i] << 8 | b[i * 8 + k];
    return true;
}

namespace {

std::string encode_cd(const std::vector<unsigned> &cd) {
    std::string out(cd.size() * 4, '\0');
    for (size_t i = 0; i < cd.size(); ++i)
        for (int b = 0; b < 4; ++b) out[i * 4 + b] = (char)(cd[i] >> (8 * b));
    return out;
}

bool decode_cd(const void *p, size_t n, std::vector<unsigned> &out) {
    if (n % 4 != 0) return false;
    const auto *b = (const unsigned char *)p;
    out.assign(n / 4, 0);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = (unsigned)b[i * 4] | (unsigned)b[i * 4 + 1] << 8 | (unsigned)b[i * 4 + 2] << 16 |
                 (unsigned)b[i * 4 + 3] << 24;
    return true;
}

bool damaged(const DatasetObj &d, const char *what) {
    Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (dataset %s has a damaged %s)", d.c->name.c_str(),
            d.path.c_str(), what);
    return false;
}

// Whether an extent's element count fits in a signed 64-bit number, as
// every extent a dataspace may have does (Q7Screate_simple).
bool countable(const std::vector<q7size_t> &dims) {
    q7size_t n = 1;
    for (q7size_t v : dims)
        if (__builtin_mul_overflow(n, v, &n) || n > (q7size_t)INT64_MAX) return false;
    return true;
}

bool check_shape(const DatasetObj &d) {
    if (d.maxdims.size() != d.dims.size() || (!d.chunk.empty() && d.chunk.size() != d.dims.size()))
        return damaged(d, "shape");
    // An element count that wraps would make every loop over the extent
    // wrong (2^32 x 2^32 counts as 0): no writer made such an extent.
    if (!countable(d.dims)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_NOTQUOR7_g,
                "not a Quor7 file: %s (dataset %s has a damaged shape: more elements than can be counted)",
                d.c->name.c_str(), d.path.c_str());
        return false;
    }
    for (size_t i = 0; i < d.dims.size(); ++i) {
        if (d.dims[i] > d.maxdims[i]) return damaged(d, "shape");
        if (!d.chunk.empty() && d.chunk[i] == 0) return damaged(d, "chunk shape");
    }
    // Sizes a writer could never have stored (blocks too large, extents
    // whose byte count overflows) mean the record was damaged.
    if (d.chunk.empty() ? !Geometry::contiguous_fits(d) : !Geometry::chunk_fits(d)) return damaged(d, "shape");
    return true;
}

bool store_pipeline(WriteTxn &t, int64_t addr, const std::vector<FilterEntry> &pipe) {
    for (size_t i = 0; i < pipe.size(); ++i) {
        Stmt s(t, "INSERT INTO filters(dset, position, id, flags, cd_values, name) VALUES(?, ?, ?, ?, ?, ?)");
        if (!s) return false;
        s.bind(1, addr);
        s.bind(2, (int64_t)i);
        s.bind(3, pipe[i].id);
        s.bind(4, pipe[i].flags);
        std::string cd = encode_cd(pipe[i].cd_values);
        s.bind_blob(5, cd.data(), cd.size());
        s.bind_text(6, pipe[i].name);
        if (!s.run(RI_DSET_PIPELINE)) return false;
    }
    return true;
}

} // namespace

std::shared_ptr<DatasetObj> dataset_of(q7id_t id) { return get<DatasetObj>(id, Q7I_DATASET); }

std::shared_ptr<Dataspace> make_space(const std::vector<q7size_t> &dims, const std::vector<q7size_t> &maxdims) {
    auto s = std::make_shared<Dataspace>();
    s->rank = (int)dims.size();
    s->dims = dims;
    s->maxdims = maxdims;
    s->sel = Dataspace::Selection::All;
    return s;
}

bool store_new_dataset(WriteTxn &t, const Loc &parent, const std::string &leaf, DatasetObj &d) {
    d.c = parent.c;
    d.addr = new_object(t, OK_DATASET);
    d.path = join_path(parent.path, leaf);
    if (d.addr == 0) return false;
    {
        Stmt s(t, "INSERT INTO datasets(addr, type, dims, maxdims, chunk) VALUES(?, ?, ?, ?, ?)");
        if (!s) return false;
        std::string te = d.type->encode(), de = encode_dims(d.dims), me = encode_dims(d.maxdims);
        s.bind(1, d.addr);
        s.bind_blob(2, te.data(), te.size());
        s.bind_blob(3, de.data(), de.size());
        s.bind_blob(4, me.data(), me.size());
        if (d.chunk.empty()) {
            s.bind_null(5);
        } else {
            std::string ce = encode_dims(d.chunk);
            s.bind_blob(5, ce.data(), ce.size());
        }
        if (!s.run(RI_DSET_TYPE)) return false;
    }
    if (!d.fill.empty()) {
        Stmt s(t, "INSERT INTO settings(key, value) VALUES(" Q7_FILL_KEY ", ?)");
        if (!s) return false;
        s.bind(1, d.addr);
        s.bind_blob(2, d.fill.data(), d.fill.size());
        if (!s.run(RI_SETTINGS)) return false;
    }
    return store_pipeline(t, d.addr, d.pipeline) && add_hard_link(t, parent.addr, leaf, d.addr);
}

bool store_extent(WriteTxn &t, DatasetObj &d, const std::vector<q7size_t> &dims) {
    if (!countable(dims)) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "the new extent of %s has too many elements", d.path.c_str());
        return false;
    }
    bool shrinks = false;
    for (size_t i = 0; i < dims.size(); ++i) shrinks |= dims[i] < d.dims[i];
    {
        Stmt s(t, "UPDATE datasets SET dims = ? WHERE addr = ?");
        if (!s) return false;
        std::string de = encode_dims(dims);
        s.bind_blob(1, de.data(), de.size());
        s.bind(2, d.addr);
        if (!s.run(RI_DSET_SHAPE)) return false;
    }
    // Trimming works on the new extent; the old one comes back when it
    // fails, by an exception too.
    struct Undo {
        DatasetObj &d;
        std::vector<q7size_t> old;
        bool keep = false;
        ~Undo() {
            if (!keep) d.dims.swap(old);
        }
    } undo{d, d.dims};
    d.dims = dims;
    // Other handles of this dataset re-read the extent.
    d.shape_epoch = ++d.c->shape_epoch;
    if (shrinks && !trim_chunks(t, d)) return false;
    undo.keep = true;
    return true;
}

bool load_dataset(ReadTxn &t, DatasetObj &d) {
    {
        Stmt s(t, "SELECT type, dims, maxdims, chunk FROM datasets WHERE addr = ?");
        if (!s) return false;
        s.bind(1, d.addr);
        int rc = s.step(RI_DSET_TYPE);
        if (rc != SQLITE_ROW) {
            if (rc == SQLITE_DONE) Q7_PUSH(Q7E_DATASET_g, Q7E_NOTFOUND_g, "%s is not a dataset", d.path.c_str());
            return false;
        }
        d.type = Datatype::decode(s.col_blob(0), s.col_bytes(0));
        if (!d.type || d.type->size == 0) return damaged(d, "element type");
        if (!decode_dims(s.col_blob(1), s.col_bytes(1), d.dims) ||
            !decode_dims(s.col_blob(2), s.col_bytes(2), d.maxdims))
            return damaged(d, "shape");
        d.chunk.clear();
        if (!s.col_null(3) && !decode_dims(s.col_blob(3), s.col_bytes(3), d.chunk)) return damaged(d, "chunk shape");
        if (!check_shape(d)) return false;
    }
    d.pipeline.clear();
    Stmt s(t, "SELECT id, flags, cd_values, name FROM filters WHERE dset = ? ORDER BY position");
    if (!s) return false;
    s.bind(1, d.addr);
    int rc;
    while ((rc = s.step(RI_DSET_PIPELINE)) == SQLITE_ROW) {
        FilterEntry f;
        f.id = (q7filter_t)s.col_int(0);
        f.flags = (unsigned)s.col_int(1);
        if (!decode_cd(s.col_blob(2), s.col_bytes(2), f.cd_values)) return damaged(d, "filter pipeline");
        f.name = s.col_text(3);
        d.pipeline.push_back(std::move(f));
    }
    if (rc != SQLITE_DONE) return false;
    d.fill.clear();
    Stmt f(t, "SELECT value FROM settings WHERE key = " Q7_FILL_KEY);
    if (!f) return false;
    f.bind(1, d.addr);
    rc = f.step(RI_DSET_TYPE);
    if (rc == SQLITE_ROW) {
        if (f.col_bytes(0) != d.type->size) return damaged(d, "fill value");
        d.fill.assign(static_cast<const char *>(f.col_blob(0)), f.col_bytes(0));
    } else if (rc != SQLITE_DONE) {
        return false;
    }
    return true;
}

std::shared_ptr<DatasetObj> dataset_at(ReadTxn &t, const Loc &at) {
    auto d = std::make_shared<DatasetObj>();
    d->c = at.c;
    d->addr = at.addr;
    d->path = at.path;
    // Every opening path (Q7Dopen2, Q7Oopen) starts with the default
    // cache; Q7Dopen2 then applies its access list.
    d->cache = std::make_shared<ChunkCache>(kDefaultChunkCacheBytes);
    return load_dataset(t, *d) ? d : nullptr;
}

bool reload_shape(ReadTxn &t, DatasetObj &d) {
    if (d.c->writable && d.shape_epoch == d.c->shape_epoch) return true;
    Stmt s(t, "SELECT dims FROM datasets WHERE addr = ?");
    if (!s) return false;
    s.bind(1, d.addr);
    int rc = s.step(RI_DSET_SHAPE);
    if (rc != SQLITE_ROW) {
        if (rc == SQLITE_DONE) Q7_PUSH(Q7E_DATASET_g, Q7E_NOTFOUND_g, "dataset %s no longer exists", d.path.c_str());
        return false;
    }
    std::vector<q7size_t> dims;
    if (!decode_dims(s.col_blob(0), s.col_bytes(0), dims) || dims.size() != d.maxdims.size())
        return damaged(d, "shape");
    d.dims = std::move(dims);
    if (!check_shape(d)) return false;
    d.shape_epoch = d.c->shape_epoch;
    return true;
}

} // namespace q7::storage
