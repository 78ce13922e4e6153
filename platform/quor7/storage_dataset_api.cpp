// storage_dataset_api.cpp - the public dataset calls: creating, opening
// and describing datasets, changing their extent, reading and writing
// elements, and moving stored chunks as they are.  Each call checks its
// arguments and asks its frame for the transaction (CallTxns); the records, the element walk and
// the chunk index are the business of storage_dataset.cpp, storage_io.cpp
// and storage_chunks.cpp.
#include "storage_chunk_cache.hpp"
#include "storage_dataset.hpp"
#include "storage_workers.hpp"
#include "storage_parent.hpp"

#include <utility>

using namespace q7;
using namespace q7::storage;

namespace {

// The settings of access and transfer lists.  These arguments were long
// ignored, so an identifier that is no list of the kind (Q7P_DEFAULT
// among them) means the defaults, as it always did.
std::shared_ptr<Plist> list_if(q7id_t id, q7id_t cls) {
    if (id <= 0 || kind_of(id) != Q7I_GENPROP_LST) return nullptr;
    auto p = std::static_pointer_cast<Plist>(find_id(id, Q7I_GENPROP_LST));
    return p && p->cls == cls ? p : nullptr;
}

unsigned transfer_threads(q7id_t dxpl_id) {
    auto p = list_if(dxpl_id, Q7P_CLS_DATASET_XFER_ID_g);
    return pipeline_threads(p ? p->nthreads : 0);
}

bool transfer_same_extent(q7id_t dxpl_id) {
    auto p = list_if(dxpl_id, Q7P_CLS_DATASET_XFER_ID_g);
    return p && p->same_extent;
}

// Gives an opened or created dataset its decoded-chunk cache.
void attach_cache(DatasetObj &d, q7id_t dapl_id) {
    auto p = list_if(dapl_id, Q7P_CLS_DATASET_ACCESS_ID_g);
    size_t bytes = p ? p->chunk_cache : kDefaultChunkCacheBytes;
    if (bytes == 0)
        d.cache.reset();
    else if (!d.cache || d.cache->capacity() != bytes)
        d.cache = std::make_shared<ChunkCache>(bytes);
}

} // namespace

extern "C" {

q7id_t Q7Dcreate2(q7id_t loc_id, const char *name, q7id_t type_id, q7id_t space_id, q7id_t lcpl_id, q7id_t dcpl_id,
                  q7id_t dapl_id) {
    return storage::api_call("Q7Dcreate2", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        (void)lcpl_id;
        Loc from;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        auto type = get<Datatype>(type_id, Q7I_DATATYPE);
        auto space = get<Dataspace>(space_id, Q7I_DATASPACE);
        if (!type || !space) return api_.fail(-1);
        if (type->size == 0) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "element type of dataset %s has size 0", name ? name : "");
            return api_.fail(-1);
        }
        auto d = std::make_shared<DatasetObj>();
        d->c = from.c;
        d->type = std::make_shared<Datatype>(*type);
        d->type->predefined = false;
        d->dims = space->dims;
        d->maxdims = space->maxdims.size() == space->dims.size() ? space->maxdims : space->dims;
        if (dcpl_id != 0) {
            auto p = get<Plist>(dcpl_id, Q7I_GENPROP_LST);
            if (!p) return api_.fail(-1);
            if (p->cls != Q7P_CLS_DATASET_CREATE_ID_g) {
                Q7_PUSH(Q7E_ARGS_g, Q7E_BADTYPE_g, "property list %lld is not a dataset creation list",
                        (long long)dcpl_id);
                return api_.fail(-1);
            }
            d->chunk = p->chunk;
            d->pipeline = p->pipeline;
            if (p->fill_type) {
                // Kept in the dataset's own type; a zero value is the default.
                Conversion conv = conversion_between(*p->fill_type, *d->type);
                if (conv == Conversion::Refused) {
                    Q7_PUSH(Q7E_DATASET_g, Q7E_CANTCONVERT_g,
                            "the fill value of dataset %s does not convert to its type", name ? name : "");
                    return api_.fail(-1);
                }
                d->fill = p->fill;
                if (conv == Conversion::Swap) swap_bytes(d->fill.data(), 1, d->fill.size());
                if (d->fill.find_first_not_of('\0') == std::string::npos) d->fill.clear();
            }
        }
        if (!from.c->writable) {
            Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", from.c->name.c_str());
            return api_.fail(-1);
        }
        bool fixed = true;
        for (size_t i = 0; i < d->dims.size(); ++i)
            if (d->maxdims[i] < d->dims[i]) {
                Q7_PUSH(Q7E_DATASPACE_g, Q7E_BADRANGE_g, "maximum extent below the extent in dimension %zu", i);
                return api_.fail(-1);
            } else if (d->maxdims[i] != d->dims[i]) {
                fixed = false;
            }
        if (d->chunk.empty()) {
            if (!fixed) {
                Q7_PUSH(Q7E_DATASET_g, Q7E_BADVALUE_g, "dataset %s can change its extent and so must be chunked",
                        name ? name : "");
                return api_.fail(-1);
            }
            if (!d->pipeline.empty()) {
                Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "dataset %s has filters and so must be chunked",
                        name ? name : "");
                return api_.fail(-1);
            }
            if (!Geometry::contiguous_fits(*d)) return api_.fail(-1);
        } else if (!Geometry::chunk_fits(*d)) {
            return api_.fail(-1);
        }
        if (d->pipeline.size() > 32) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "a pipeline holds at most 32 filters, not %zu", d->pipeline.size());
            return api_.fail(-1);
        }
        pipeline_set_local(d->pipeline, *d->type);
        attach_cache(*d, dapl_id);

        // The identifier is made inside the change, so that a failure to
        // make it undoes the dataset; it is dropped again unless the change
        // is kept.
        PendingId made(Q7I_DATASET);
        // The dataset belongs to the file holding its parent group, which an
        // external link on the way may make another file than loc_id's.
        auto create = [&](WriteTxn &t, const Loc &parent, const std::string &leaf) {
            if (!store_new_dataset(t, parent, leaf, *d) || !made.make(d)) {
                Q7_PUSH(Q7E_DATASET_g, Q7E_CANTCREATE_g, "cannot create dataset %s", name);
                return false;
            }
            return true;
        };
        if (!change_in_parent(txns, from, name, create) || !txns.end_all()) {
            // Made but not committed.
            if (made.made()) Q7_PUSH(Q7E_DATASET_g, Q7E_CANTCREATE_g, "cannot create dataset %s", name);
            return api_.fail(-1);
        }
        return made.keep();
    });
}

q7id_t Q7Dopen2(q7id_t loc_id, const char *name, q7id_t dapl_id) {
    return storage::api_call("Q7Dopen2", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        Loc from, at;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        if (!resolve(txns, from, name, at)) return api_.fail(-1);
        ReadTxn *t = txns.read(at.c);
        if (!t || !object_is(*t, at, OK_DATASET)) return api_.fail(-1);
        auto d = dataset_at(*t, at);
        // What was read must hold before an identifier is made of it.
        if (!d || !txns.end_all()) return api_.fail(-1);
        attach_cache(*d, dapl_id);
        q7id_t id = register_id(Q7I_DATASET, d);
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7status_t Q7Dclose(q7id_t dset_id) {
    return q7::api_call("Q7Dclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        int closed = close_identifier(dset_id, Q7I_DATASET);
        if (closed == 0) push_bad_id(dset_id, Q7I_DATASET);
        return closed > 0 ? 0 : api_.fail(-1);
    });
}

q7id_t Q7Dget_space(q7id_t dset_id) {
    return storage::api_call("Q7Dget_space", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        auto d = dataset_of(dset_id);
        if (!d) return api_.fail(-1);
        ReadTxn *t = txns.read(d->c);
        if (!t || !reload_shape(*t, *d) || !txns.end_all()) return api_.fail(-1);
        q7id_t id = register_id(Q7I_DATASPACE, make_space(d->dims, d->maxdims));
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7id_t Q7Dget_type(q7id_t dset_id) {
    return q7::api_call("Q7Dget_type", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto d = dataset_of(dset_id);
        if (!d) return api_.fail(-1);
        auto t = std::make_shared<Datatype>(*d->type);
        t->predefined = false;
        q7id_t id = register_id(Q7I_DATATYPE, t);
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7id_t Q7Dget_create_plist(q7id_t dset_id) {
    return q7::api_call("Q7Dget_create_plist", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto d = dataset_of(dset_id);
        if (!d) return api_.fail(-1);
        auto p = std::make_shared<Plist>();
        p->cls = Q7P_CLS_DATASET_CREATE_ID_g;
        p->chunk = d->chunk;
        p->pipeline = d->pipeline;
        if (!d->fill.empty()) {
            p->fill = d->fill;
            p->fill_type = d->type;
        }
        q7id_t id = register_id(Q7I_GENPROP_LST, p);
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7status_t Q7Dset_extent(q7id_t dset_id, const q7size_t size[]) {
    return storage::api_call("Q7Dset_extent", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = dataset_of(dset_id);
        if (!d) return api_.fail(-1);
        if (!size) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no new extent given");
            return api_.fail(-1);
        }
        if (d->chunk.empty()) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_UNSUPPORTED_g, "dataset %s is not chunked; its extent is fixed",
                    d->path.c_str());
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
        WriteTxn *t = txns.write(d->c);
        if (!t || !reload_shape(*t, *d)) return api_.fail(-1);
        std::vector<q7size_t> old = d->dims;
        if (!store_extent(*t, *d, dims)) return api_.fail(-1);
        if (!txns.end_all()) {
            d->dims = old;
            return api_.fail(-1);
        }
        return 0;
    });
}

q7status_t Q7Drefresh(q7id_t dset_id) {
    return storage::api_call("Q7Drefresh", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = dataset_of(dset_id);
        if (!d) return api_.fail(-1);
        ReadTxn *t = txns.read(d->c);
        if (!t || !reload_shape(*t, *d)) return api_.fail(-1);
        return 0;
    });
}

// ---- elements ----------------------------------------------------------

q7status_t Q7Dwrite(q7id_t dset_id, q7id_t mem_type_id, q7id_t mem_space_id, q7id_t file_space_id, q7id_t dxpl_id,
                    const void *buf) {
    return storage::api_call("Q7Dwrite", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = dataset_of(dset_id);
        auto mt = get<Datatype>(mem_type_id, Q7I_DATATYPE);
        if (!d || !mt) return api_.fail(-1);
        if (!d->c->writable) {
            Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", d->c->name.c_str());
            return api_.fail(-1);
        }
        Conversion conv;
        if (!conversion(*mt, *d->type, conv)) return api_.fail(-1);
        // Blocks are stored one by one; a write that fails half way is
        // undone whole when this scope ends without its commit.
        WriteTxn *t = txns.write(d->c);
        Selections sel;
        if (!t || !reload_shape(*t, *d) ||
            !selections(*d, mem_space_id, file_space_id, transfer_same_extent(dxpl_id), sel))
            return api_.fail(-1);
        if (sel.npoints > 0 && !buf) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no data to write");
            return api_.fail(-1);
        }
        if (sel.npoints > 0 && !write_data(*t, *d, sel, conv, buf, transfer_threads(dxpl_id))) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_WRITEERROR_g, "cannot write dataset %s; the file is unchanged",
                    d->path.c_str());
            return api_.fail(-1);
        }
        return 0;
    });
}

q7status_t Q7Dread(q7id_t dset_id, q7id_t mem_type_id, q7id_t mem_space_id, q7id_t file_space_id, q7id_t dxpl_id,
                   void *buf) {
    return storage::api_call("Q7Dread", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = dataset_of(dset_id);
        auto mt = get<Datatype>(mem_type_id, Q7I_DATATYPE);
        if (!d || !mt) return api_.fail(-1);
        Conversion conv;
        if (!conversion(*d->type, *mt, conv)) return api_.fail(-1);
        // One snapshot for the whole read: a concurrent writer's later
        // commits are not mixed into it.
        ReadTxn *t = txns.read(d->c);
        Selections sel;
        if (!t || !reload_shape(*t, *d) ||
            !selections(*d, mem_space_id, file_space_id, transfer_same_extent(dxpl_id), sel))
            return api_.fail(-1);
        if (sel.npoints > 0 && !buf) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no buffer to read into");
            return api_.fail(-1);
        }
        if (sel.npoints > 0 && !read_data(*t, *d, sel, conv, buf, transfer_threads(dxpl_id))) {
            Q7_PUSH(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read dataset %s", d->path.c_str());
            return api_.fail(-1);
        }
        return 0;
    });
}

q7size_t Q7Dget_storage_size(q7id_t dset_id) {
    return storage::api_call("Q7Dget_storage_size", q7size_t{0}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7size_t {
        auto d = dataset_of(dset_id);
        if (!d) return api_.fail<q7size_t>(0);
        ReadTxn *t = txns.read(d->c);
        q7size_t bytes = 0;
        if (!t || !stored_data_bytes(*t, *d, &bytes)) return api_.fail<q7size_t>(0);
        return bytes;
    });
}

// ---- stored chunks, moved as they are ------------------------------------

q7status_t Q7Dwrite_chunk(q7id_t dset_id, q7id_t dxpl_id, uint32_t filter_mask, const q7size_t *offset,
                          size_t data_size, const void *buf) {
    return storage::api_call("Q7Dwrite_chunk", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)dxpl_id;
        auto d = chunked_dataset(dset_id);
        if (!d) return api_.fail(-1);
        if (!buf || data_size == 0 || data_size > kMaxBlockBytes) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "chunk data missing or of unusable size %zu", data_size);
            return api_.fail(-1);
        }
        if (!d->c->writable) {
            Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "file %s is open read-only", d->c->name.c_str());
            return api_.fail(-1);
        }
        WriteTxn *t = txns.write(d->c);
        std::vector<q7size_t> bc;
        if (!t || !reload_shape(*t, *d) || !block_of(*d, offset, bc)) return api_.fail(-1);
        Geometry g(*d);
        if (!store_block(*t, d->addr, g.key(bc.data()), filter_mask, buf, data_size)) return api_.fail(-1);
        return 0;
    });
}

q7status_t Q7Dread_chunk(q7id_t dset_id, q7id_t dxpl_id, const q7size_t *offset, uint32_t *filter_mask, void *buf) {
    return storage::api_call("Q7Dread_chunk", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)dxpl_id;
        auto d = chunked_dataset(dset_id);
        if (!d) return api_.fail(-1);
        if (!buf || !filter_mask) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no buffer or filter mask to fill");
            return api_.fail(-1);
        }
        ReadTxn *t = txns.read(d->c);
        std::vector<q7size_t> bc;
        if (!t || !reload_shape(*t, *d) || !block_of(*d, offset, bc)) return api_.fail(-1);
        Geometry g(*d);
        int64_t rowid = 0;
        uint32_t mask = 0;
        size_t bytes = 0;
        int found = find_block(*t, d->addr, g.key(bc.data()), &rowid, &mask, &bytes);
        if (found <= 0) {
            if (found == 0)
                Q7_PUSH(Q7E_DATASET_g, Q7E_NOTFOUND_g, "no chunk stored at that offset in %s", d->path.c_str());
            return api_.fail(-1);
        }
        if (!read_block(*t, rowid, buf, bytes)) return api_.fail(-1);
        *filter_mask = mask;
        return 0;
    });
}

q7status_t Q7Dget_chunk_storage_size(q7id_t dset_id, const q7size_t *offset, q7size_t *chunk_nbytes) {
    return storage::api_call("Q7Dget_chunk_storage_size", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = chunked_dataset(dset_id);
        if (!d) return api_.fail(-1);
        if (!chunk_nbytes) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "nowhere to store the size");
            return api_.fail(-1);
        }
        ReadTxn *t = txns.read(d->c);
        std::vector<q7size_t> bc;
        if (!t || !reload_shape(*t, *d) || !block_of(*d, offset, bc)) return api_.fail(-1);
        Geometry g(*d);
        size_t bytes = 0;
        int found = find_block(*t, d->addr, g.key(bc.data()), nullptr, nullptr, &bytes);
        if (found < 0) return api_.fail(-1);
        *chunk_nbytes = found ? bytes : 0;
        return 0;
    });
}

q7status_t Q7Dget_num_chunks(q7id_t dset_id, q7size_t *nchunks) {
    return storage::api_call("Q7Dget_num_chunks", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = chunked_dataset(dset_id);
        if (!d) return api_.fail(-1);
        if (!nchunks) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "nowhere to store the count");
            return api_.fail(-1);
        }
        ReadTxn *t = txns.read(d->c);
        q7size_t n = 0;
        if (!t || !count_chunks(*t, *d, &n)) return api_.fail(-1);
        *nchunks = n;
        return 0;
    });
}

q7status_t Q7Dget_chunk_info(q7id_t dset_id, q7size_t index, q7size_t *offset, uint32_t *filter_mask, q7size_t *size) {
    return storage::api_call("Q7Dget_chunk_info", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto d = chunked_dataset(dset_id);
        if (!d) return api_.fail(-1);
        // The row found by its index and the lookup by its key that checks
        // it must see the same snapshot.
        ReadTxn *t = txns.read(d->c);
        std::vector<q7size_t> bc;
        uint32_t mask = 0;
        q7size_t bytes = 0;
        if (!t || !chunk_at_index(*t, *d, index, bc, &mask, &bytes)) return api_.fail(-1);
        if (offset)
            for (size_t i = 0; i < bc.size(); ++i) offset[i] = bc[i] * d->chunk[i];
        if (filter_mask) *filter_mask = mask;
        if (size) *size = bytes;
        return 0;
    });
}

} // extern "C"
