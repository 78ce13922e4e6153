// storage_dataset.cpp - creating, opening and describing datasets, and
// changing their extent.
#include "storage_internal.hpp"

#include "storage_chunks.hpp"
#include "storage_parent.hpp"

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

bool check_shape(const DatasetObj &d) {
    if (d.maxdims.size() != d.dims.size() || (!d.chunk.empty() && d.chunk.size() != d.dims.size()))
        return damaged(d, "shape");
    for (size_t i = 0; i < d.dims.size(); ++i) {
        if (d.dims[i] > d.maxdims[i]) return damaged(d, "shape");
        if (!d.chunk.empty() && d.chunk[i] == 0) return damaged(d, "chunk shape");
    }
    // Sizes a writer could never have stored (blocks too large, extents
    // whose byte count overflows) mean the record was damaged.
    if (d.chunk.empty() ? !Geometry::contiguous_fits(d) : !Geometry::chunk_fits(d)) return damaged(d, "shape");
    return true;
}

std::shared_ptr<Dataspace> make_space(const std::vector<q7size_t> &dims, const std::vector<q7size_t> &maxdims) {
    auto s = std::make_shared<Dataspace>();
    s->rank = (int)dims.size();
    s->dims = dims;
    s->maxdims = maxdims;
    s->sel = Dataspace::Selection::All;
    return s;
}

bool store_pipeline(Container &c, int64_t addr, const std::vector<FilterEntry> &pipe) {
    for (size_t i = 0; i < pipe.size(); ++i) {
        Stmt s(c, "INSERT INTO filters(dset, position, id, flags, cd_values, name) VALUES(?, ?, ?, ?, ?, ?)");
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

std::shared_ptr<DatasetObj> dataset(q7id_t id) { return get<DatasetObj>(id, Q7I_DATASET); }

} // namespace

bool load_dataset(DatasetObj &d) {
    Container &c = *d.c;
    Txn t(c, false);
    if (!t.ok()) return false;
    {
        Stmt s(c, "SELECT type, dims, maxdims, chunk FROM datasets WHERE addr = ?");
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
    Stmt s(c, "SELECT id, flags, cd_values, name FROM filters WHERE dset = ? ORDER BY position");
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
    Stmt f(c, "SELECT value FROM settings WHERE key = " Q7_FILL_KEY);
    if (!f) return false;
    f.bind(1, d.addr);
    rc = f.step(RI_DSET_TYPE);
    if (rc == SQLITE_ROW) {
        if (f.col_bytes(0) != d.type->size) return damaged(d, "fill value");
        d.fill.assign(static_cast<const char *>(f.col_blob(0)), f.col_bytes(0));
    } else if (rc != SQLITE_DONE) {
        return false;
    }
    return t.commit();
}

std::shared_ptr<DatasetObj> dataset_at(const Loc &at) {
    auto d = std::make_shared<DatasetObj>();
    d->c = at.c;
    d->addr = at.addr;
    d->path = at.path;
    return load_dataset(*d) ? d : nullptr;
}

bool reload_shape(DatasetObj &d) {
    if (d.c->writable && d.shape_epoch == d.c->shape_epoch) return true;
    Stmt s(*d.c, "SELECT dims FROM datasets WHERE addr = ?");
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

using namespace q7;
using namespace q7::storage;

extern "C" {

q7id_t Q7Dcreate2(q7id_t loc_id, const char *name, q7id_t type_id, q7id_t space_id, q7id_t lcpl_id, q7id_t dcpl_id,
                  q7id_t dapl_id) {
    Q7_API("Q7Dcreate2");
    (void)lcpl_id;
    (void)dapl_id;
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    Loc from;
    if (!loc_of(loc_id, from)) return api_.fail<q7id_t>(-1);
    auto type = get<Datatype>(type_id, Q7I_DATATYPE);
    auto space = get<Dataspace>(space_id, Q7I_DATASPACE);
    if (!type || !space) return api_.fail<q7id_t>(-1);
    if (type->size == 0) {
        Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "element type of dataset %s has size 0", name ? name : "");
        return api_.fail<q7id_t>(-1);
    }
    auto d = std::make_shared<DatasetObj>();
    d->c = from.c;
    d->type = std::make_shared<Datatype>(*type);
    d->type->predefined = false;
    d->dims = space->dims;
    d->maxdims = space->maxdims.size() == space->dims.size() ? space->maxdims : space->dims;
    if (dcpl_id != 0) {
        auto p = get<Plist>(dcpl_id, Q7I_GENPROP_LST);
        if (!p) return api_.fail<q7id_t>(-1);
        if (p->cls != Q7P_CLS_DATASET_CREATE_ID_g) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADTYPE_g, "property list %lld is not a dataset creation list", (long long)dcpl_id);
            return api_.fail<q7id_t>(-1);
        }
        d->chunk = p->chunk;
        d->pipeline = p->pipeline;
        if (p->fill_type) {
            // Kept in the dataset's own type; a zero value is the default.
            Conversion conv = conversion_between(*p->fill_type, *d->type);
            if (conv == Conversion::Refused) {
                Q7_PUSH(Q7E_DATASET_g, Q7E_CANTCONVERT_g, "the fill value of dataset %s does not convert to its type",
                        name ? name : "");
                return api_.fail<q7id_t>(-1);
            }
            d->fill = p->fill;
            if (conv == Conversion::Swap) swap_bytes(d->fill.data(), 1, d->fill.size());
            if (d->fill.find_first_not_of('\0') == std::string::npos) d->fill.clear();
        }
    }
    if (!from.c->writable) {
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", from.c->name.c_str());
        return api_.fail<q7id_t>(-1);
    }
    bool fixed = true;
    for (size_t i = 0; i < d->dims.size(); ++i)
        if (d->maxdims[i] < d->dims[i]) {
            Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "maximum extent below the extent in dimension %zu", i);
            return api_.fail<q7id_t>(-1);
        } else if (d->maxdims[i] != d->dims[i]) {
            fixed = false;
        }
    if (d->chunk.empty()) {
        if (!fixed) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADVALUE_g, "dataset %s can change its extent and so must be chunked", name ? name : "");
            return api_.fail<q7id_t>(-1);
        }
        if (!d->pipeline.empty()) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "dataset %s has filters and so must be chunked", name ? name : "");
            return api_.fail<q7id_t>(-1);
        }
        if (!Geometry::contiguous_fits(*d)) return api_.fail<q7id_t>(-1);
    } else if (!Geometry::chunk_fits(*d)) {
        return api_.fail<q7id_t>(-1);
    }
    if (d->pipeline.size() > 32) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "a pipeline holds at most 32 filters, not %zu", d->pipeline.size());
        return api_.fail<q7id_t>(-1);
    }
    pipeline_set_local(d->pipeline, *d->type);

    // The dataset belongs to the file holding its parent group, which an
    // external link on the way may make another file than loc_id's.
    bool made = false;
    auto create = [&](const Loc &parent, const std::string &leaf) {
        Container &c = *parent.c;
        d->c = parent.c;
        d->addr = new_object(c, OK_DATASET);
        d->path = join_path(parent.path, leaf);
        bool ok = d->addr != 0;
        if (ok) {
            Stmt s(c, "INSERT INTO datasets(addr, type, dims, maxdims, chunk) VALUES(?, ?, ?, ?, ?)");
            ok = (bool)s;
            if (ok) {
                std::string te = d->type->encode(), de = encode_dims(d->dims), me = encode_dims(d->maxdims);
                s.bind(1, d->addr);
                s.bind_blob(2, te.data(), te.size());
                s.bind_blob(3, de.data(), de.size());
                s.bind_blob(4, me.data(), me.size());
                if (d->chunk.empty()) {
                    s.bind_null(5);
                } else {
                    std::string ce = encode_dims(d->chunk);
                    s.bind_blob(5, ce.data(), ce.size());
                }
                ok = s.run(RI_DSET_TYPE);
            }
        }
        if (ok && !d->fill.empty()) {
            Stmt s(c, "INSERT INTO settings(key, value) VALUES(" Q7_FILL_KEY ", ?)");
            ok = (bool)s;
            if (ok) {
                s.bind(1, d->addr);
                s.bind_blob(2, d->fill.data(), d->fill.size());
                ok = s.run(RI_SETTINGS);
            }
        }
        made = ok && store_pipeline(c, d->addr, d->pipeline) && add_hard_link(c, parent.addr, leaf, d->addr);
        if (!made) Q7_PUSH(Q7E_DATASET_g, Q7E_CANTCREATE_g, "cannot create dataset %s", name);
        return made;
    };
    if (!change_in_parent(from, name, create)) {
        // Made but not committed.
        if (made) Q7_PUSH(Q7E_DATASET_g, Q7E_CANTCREATE_g, "cannot create dataset %s", name);
        return api_.fail<q7id_t>(-1);
    }
    q7id_t id = register_id(Q7I_DATASET, d);
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7id_t Q7Dopen2(q7id_t loc_id, const char *name, q7id_t dapl_id) {
    Q7_API("Q7Dopen2");
    (void)dapl_id;
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    Loc from, at;
    if (!loc_of(loc_id, from)) return api_.fail<q7id_t>(-1);
    Txn t(*from.c, false);
    if (!t.ok() || !resolve(from, name, at)) return api_.fail<q7id_t>(-1);
    if (!object_is(at, OK_DATASET)) return api_.fail<q7id_t>(-1);
    auto d = dataset_at(at);
    if (!d) return api_.fail<q7id_t>(-1);
    t.commit();
    q7id_t id = register_id(Q7I_DATASET, d);
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7status_t Q7Dclose(q7id_t dset_id) {
    Q7_API("Q7Dclose");
    if (api_.faulted()) return api_.fail(-1);
    int closed = close_identifier(dset_id, Q7I_DATASET);
    if (closed == 0) push_bad_id(dset_id, Q7I_DATASET);
    return closed > 0 ? 0 : api_.fail(-1);
}

q7id_t Q7Dget_space(q7id_t dset_id) {
    Q7_API("Q7Dget_space");
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    auto d = dataset(dset_id);
    if (!d) return api_.fail<q7id_t>(-1);
    {
        Txn t(*d->c, false);
        if (!t.ok() || !reload_shape(*d)) return api_.fail<q7id_t>(-1);
        t.commit();
    }
    q7id_t id = register_id(Q7I_DATASPACE, make_space(d->dims, d->maxdims));
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7id_t Q7Dget_type(q7id_t dset_id) {
    Q7_API("Q7Dget_type");
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    auto d = dataset(dset_id);
    if (!d) return api_.fail<q7id_t>(-1);
    auto t = std::make_shared<Datatype>(*d->type);
    t->predefined = false;
    q7id_t id = register_id(Q7I_DATATYPE, t);
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7id_t Q7Dget_create_plist(q7id_t dset_id) {
    Q7_API("Q7Dget_create_plist");
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    auto d = dataset(dset_id);
    if (!d) return api_.fail<q7id_t>(-1);
    auto p = std::make_shared<Plist>();
    p->cls = Q7P_CLS_DATASET_CREATE_ID_g;
    p->chunk = d->chunk;
    p->pipeline = d->pipeline;
    if (!d->fill.empty()) {
        p->fill = d->fill;
        p->fill_type = d->type;
    }
    q7id_t id = register_id(Q7I_GENPROP_LST, p);
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7status_t Q7Dset_extent(q7id_t dset_id, const q7size_t size[]) {
    Q7_API("Q7Dset_extent");
    if (api_.faulted()) return api_.fail(-1);
    auto d = dataset(dset_id);
    if (!d) return api_.fail(-1);
    if (!size) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no new extent given");
        return api_.fail(-1);
    }
    if (d->chunk.empty()) {
        Q7_PUSH(Q7E_DATASET_g, Q7E_UNSUPPORTED_g, "dataset %s is not chunked; its extent is fixed", d->path.c_str());
        return api_.fail(-1);
    }
    if (!d->c->writable) {
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", d->c->name.c_str());
        return api_.fail(-1);
    }
    std::vector<q7size_t> dims(size, size + d->dims.size());
    for (size_t i = 0; i < dims.size(); ++i)
        if (dims[i] > d->maxdims[i]) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_BADRANGE_g, "extent %llu exceeds the maximum %llu in dimension %zu",
                    (unsigned long long)dims[i], (unsigned long long)d->maxdims[i], i);
            return api_.fail(-1);
        }
    Txn t(*d->c, true);
    if (!t.ok() || !reload_shape(*d)) return api_.fail(-1);
    std::vector<q7size_t> old = d->dims;
    bool shrinks = false;
    for (size_t i = 0; i < dims.size(); ++i) shrinks |= dims[i] < old[i];
    Stmt s(*d->c, "UPDATE datasets SET dims = ? WHERE addr = ?");
    if (!s) return api_.fail(-1);
    std::string de = encode_dims(dims);
    s.bind_blob(1, de.data(), de.size());
    s.bind(2, d->addr);
    if (!s.run(RI_DSET_SHAPE)) return api_.fail(-1);
    d->dims = dims;
    // Other handles of this dataset re-read the extent.
    d->shape_epoch = ++d->c->shape_epoch;
    if (shrinks && !trim_chunks(*d)) {
        d->dims = old;
        return api_.fail(-1);
    }
    if (!t.commit()) {
        d->dims = old;
        return api_.fail(-1);
    }
    return 0;
}

q7status_t Q7Drefresh(q7id_t dset_id) {
    Q7_API("Q7Drefresh");
    if (api_.faulted()) return api_.fail(-1);
    auto d = dataset(dset_id);
    if (!d) return api_.fail(-1);
    Txn t(*d->c, false);
    if (!t.ok() || !reload_shape(*d)) return api_.fail(-1);
    t.commit();
    return 0;
}

} // extern "C"
