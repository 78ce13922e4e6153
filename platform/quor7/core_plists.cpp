// core_plists.cpp - property lists: their classes, the chunk shape and the
// filter pipeline of dataset-creation lists.
#include "internal.hpp"

#include <cstdio>
#include <cstring>

extern "C" {
q7id_t Q7P_CLS_FILE_CREATE_ID_g = -1;
q7id_t Q7P_CLS_FILE_ACCESS_ID_g = -1;
q7id_t Q7P_CLS_DATASET_CREATE_ID_g = -1;
q7id_t Q7P_CLS_DATASET_ACCESS_ID_g = -1;
q7id_t Q7P_CLS_DATASET_XFER_ID_g = -1;
q7id_t Q7P_CLS_GROUP_CREATE_ID_g = -1;
q7id_t Q7P_CLS_LINK_CREATE_ID_g = -1;
q7id_t Q7P_CLS_LINK_ACCESS_ID_g = -1;
}

namespace q7 {
namespace {

struct PlistClass : Object {
    const char *name;
    explicit PlistClass(const char *n) : name(n) {}
};

// A pipeline has at most 32 filters: each owns one bit of a chunk's
// 32-bit filter mask.
constexpr size_t kMaxFilters = 32;

} // namespace

namespace core {
void open_plists() {
    struct {
        q7id_t *slot;
        const char *name;
    } const classes[] = {
        {&Q7P_CLS_FILE_CREATE_ID_g, "file create"},       {&Q7P_CLS_FILE_ACCESS_ID_g, "file access"},
        {&Q7P_CLS_DATASET_CREATE_ID_g, "dataset create"}, {&Q7P_CLS_DATASET_ACCESS_ID_g, "dataset access"},
        {&Q7P_CLS_DATASET_XFER_ID_g, "data transfer"},    {&Q7P_CLS_GROUP_CREATE_ID_g, "group create"},
        {&Q7P_CLS_LINK_CREATE_ID_g, "link create"},       {&Q7P_CLS_LINK_ACCESS_ID_g, "link access"},
    };
    for (const auto &c : classes) {
        *c.slot = register_id(Q7I_GENPROP_CLS, std::make_shared<PlistClass>(c.name));
        mark_predefined(*c.slot);
    }
}
} // namespace core
} // namespace q7

using namespace q7;

namespace {

std::shared_ptr<Plist> plist_of(q7id_t id) { return get<Plist>(id, Q7I_GENPROP_LST); }

// A list of the given class, or null with a record naming the kind wanted.
std::shared_ptr<Plist> list_of_class(q7id_t id, q7id_t cls, const char *kind) {
    auto p = plist_of(id);
    if (p && p->cls != cls) {
        Q7_PUSH(Q7E_PLIST_g, Q7E_BADTYPE_g, "property list %lld is not a %s list", (long long)id, kind);
        return nullptr;
    }
    return p;
}

std::shared_ptr<Plist> dcpl_of(q7id_t id) { return list_of_class(id, Q7P_CLS_DATASET_CREATE_ID_g, "dataset-creation"); }
std::shared_ptr<Plist> fapl_of(q7id_t id) { return list_of_class(id, Q7P_CLS_FILE_ACCESS_ID_g, "file-access"); }
std::shared_ptr<Plist> dapl_of(q7id_t id) { return list_of_class(id, Q7P_CLS_DATASET_ACCESS_ID_g, "dataset-access"); }
std::shared_ptr<Plist> dxpl_of(q7id_t id) { return list_of_class(id, Q7P_CLS_DATASET_XFER_ID_g, "transfer"); }

} // namespace

extern "C" q7id_t Q7Pcreate(q7id_t cls_id) {
    return q7::api_call("Q7Pcreate", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        if (!get<PlistClass>(cls_id, Q7I_GENPROP_CLS)) return api_.fail(-1);
        auto p = std::make_shared<Plist>();
        p->cls = cls_id;
        return register_id(Q7I_GENPROP_LST, p);
    });
}

extern "C" q7id_t Q7Pcopy(q7id_t plist_id) {
    return q7::api_call("Q7Pcopy", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto p = plist_of(plist_id);
        if (!p) return api_.fail(-1);
        return register_id(Q7I_GENPROP_LST, std::make_shared<Plist>(*p));
    });
}

extern "C" q7id_t Q7Pget_class(q7id_t plist_id) {
    return q7::api_call("Q7Pget_class", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto p = plist_of(plist_id);
        if (!p) return api_.fail(-1);
        return p->cls;
    });
}

extern "C" q7status_t Q7Pset_chunk(q7id_t plist_id, int ndims, const q7size_t *dims) {
    return q7::api_call("Q7Pset_chunk", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dcpl_of(plist_id);
        if (!p) return api_.fail(-1);
        if (ndims < 1 || ndims > Q7_MAX_RANK || !dims) {
            Q7_PUSH(Q7E_PLIST_g, Q7E_BADRANGE_g, "a chunk shape needs 1 to %d dimensions", Q7_MAX_RANK);
            return api_.fail(-1);
        }
        for (int k = 0; k < ndims; ++k) {
            if (dims[k] == 0 || dims[k] == Q7S_UNLIMITED) {
                Q7_PUSH(Q7E_PLIST_g, Q7E_BADVALUE_g, "chunk dimension %d must be a positive size", k);
                return api_.fail(-1);
            }
        }
        p->chunk.assign(dims, dims + ndims);
        return 0;
    });
}

extern "C" int Q7Pget_chunk(q7id_t plist_id, int max_ndims, q7size_t *dims) {
    return q7::api_call("Q7Pget_chunk", int{-1}, [&](q7::ApiCall &api_) -> int {
        auto p = dcpl_of(plist_id);
        if (!p) return api_.fail(-1);
        int rank = (int)p->chunk.size();
        if (dims)
            for (int k = 0; k < rank && k < max_ndims; ++k) dims[k] = p->chunk[k];
        return rank;
    });
}

extern "C" q7status_t Q7Pset_filter(q7id_t plist_id, q7filter_t filter, unsigned flags, size_t cd_nelmts,
                                    const unsigned cd_values[]) {
    return q7::api_call("Q7Pset_filter", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dcpl_of(plist_id);
        if (!p) return api_.fail(-1);
        if (filter < 0 || filter > Q7Z_FILTER_MAX) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "filter identifier %d is outside 0..%d", (int)filter, Q7Z_FILTER_MAX);
            return api_.fail(-1);
        }
        if (flags & ~Q7Z_FLAG_OPTIONAL) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "unknown filter flags 0x%x (only 0x1, optional, is allowed)", flags);
            return api_.fail(-1);
        }
        if (cd_nelmts > 0 && !cd_values) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "%zu client values announced but none given", cd_nelmts);
            return api_.fail(-1);
        }
        if (p->pipeline.size() >= kMaxFilters) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "a pipeline holds at most %zu filters", kMaxFilters);
            return api_.fail(-1);
        }
        FilterEntry e;
        e.id = filter;
        e.flags = flags;
        e.cd_values.assign(cd_values, cd_values + cd_nelmts);
        p->pipeline.push_back(std::move(e));
        return 0;
    });
}

extern "C" int Q7Pget_nfilters(q7id_t plist_id) {
    return q7::api_call("Q7Pget_nfilters", int{-1}, [&](q7::ApiCall &api_) -> int {
        auto p = dcpl_of(plist_id);
        if (!p) return api_.fail(-1);
        return (int)p->pipeline.size();
    });
}

extern "C" q7filter_t Q7Pget_filter2(q7id_t plist_id, unsigned idx, unsigned *flags, size_t *cd_nelmts,
                                     unsigned cd_values[], size_t namelen, char name[], unsigned *filter_config) {
    return q7::api_call("Q7Pget_filter2", q7filter_t{Q7Z_FILTER_ERROR}, [&](q7::ApiCall &api_) -> q7filter_t {
        auto p = dcpl_of(plist_id);
        if (!p) return api_.fail((q7filter_t)Q7Z_FILTER_ERROR);
        if (idx >= p->pipeline.size()) {
            Q7_PUSH(Q7E_PLINE_g, Q7E_BADRANGE_g, "filter index %u out of range (%zu filters)", idx, p->pipeline.size());
            return api_.fail((q7filter_t)Q7Z_FILTER_ERROR);
        }
        const FilterEntry &e = p->pipeline[idx];
        if (flags) *flags = e.flags;
        if (cd_nelmts) {
            size_t room = *cd_nelmts;
            if (cd_values)
                for (size_t i = 0; i < room && i < e.cd_values.size(); ++i) cd_values[i] = e.cd_values[i];
            *cd_nelmts = e.cd_values.size();
        }
        std::string known;
        bool need_name = (name && namelen > 0) || filter_config;
        if (need_name) known = e.name.empty() ? filter_name(e.id) : e.name;
        if (name && namelen > 0) std::snprintf(name, namelen, "%s", known.c_str());
        // Bit 0x1: the filter can encode, 0x2: it can decode; both when it
        // is available in this process.
        if (filter_config) *filter_config = filter_name(e.id).empty() ? 0u : 3u;
        return e.id;
    });
}

extern "C" q7status_t Q7Pclose(q7id_t plist_id) {
    return q7::api_call("Q7Pclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!release_id(plist_id, Q7I_GENPROP_LST)) {
            push_bad_id(plist_id, Q7I_GENPROP_LST);
            return api_.fail(-1);
        }
        return 0;
    });
}

extern "C" q7status_t Q7Pset_fapl_sync(q7id_t fapl_id, int sync) {
    return q7::api_call("Q7Pset_fapl_sync", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = fapl_of(fapl_id);
        if (!p) return api_.fail(-1);
        p->sync = sync != 0;
        return 0;
    });
}

extern "C" q7status_t Q7Pget_fapl_sync(q7id_t fapl_id, int *sync) {
    return q7::api_call("Q7Pget_fapl_sync", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = fapl_of(fapl_id);
        if (!p) return api_.fail(-1);
        if (!sync) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the sync setting");
            return api_.fail(-1);
        }
        *sync = p->sync ? 1 : 0;
        return 0;
    });
}

extern "C" q7status_t Q7Pset_chunk_cache(q7id_t dapl_id, size_t nbytes) {
    return q7::api_call("Q7Pset_chunk_cache", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dapl_of(dapl_id);
        if (!p) return api_.fail(-1);
        p->chunk_cache = nbytes == Q7D_CHUNK_CACHE_DEFAULT ? kDefaultChunkCacheBytes : nbytes;
        return 0;
    });
}

extern "C" q7status_t Q7Pget_chunk_cache(q7id_t dapl_id, size_t *nbytes) {
    return q7::api_call("Q7Pget_chunk_cache", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dapl_of(dapl_id);
        if (!p) return api_.fail(-1);
        if (!nbytes) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the chunk cache size");
            return api_.fail(-1);
        }
        *nbytes = p->chunk_cache;
        return 0;
    });
}

extern "C" q7status_t Q7Pset_nthreads(q7id_t dxpl_id, int nthreads) {
    return q7::api_call("Q7Pset_nthreads", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dxpl_of(dxpl_id);
        if (!p) return api_.fail(-1);
        if (nthreads < 0 || nthreads > Q7_MAX_THREADS) {
            Q7_PUSH(Q7E_PLIST_g, Q7E_BADRANGE_g, "thread count %d is outside 0 to %d", nthreads, Q7_MAX_THREADS);
            return api_.fail(-1);
        }
        p->nthreads = nthreads;
        return 0;
    });
}

extern "C" q7status_t Q7Pget_nthreads(q7id_t dxpl_id, int *nthreads) {
    return q7::api_call("Q7Pget_nthreads", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dxpl_of(dxpl_id);
        if (!p) return api_.fail(-1);
        if (!nthreads) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the thread count");
            return api_.fail(-1);
        }
        *nthreads = p->nthreads;
        return 0;
    });
}

extern "C" q7status_t Q7Pset_same_extent(q7id_t dxpl_id, int same) {
    return q7::api_call("Q7Pset_same_extent", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dxpl_of(dxpl_id);
        if (!p) return api_.fail(-1);
        p->same_extent = same != 0;
        return 0;
    });
}

extern "C" q7status_t Q7Pget_same_extent(q7id_t dxpl_id, int *same) {
    return q7::api_call("Q7Pget_same_extent", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dxpl_of(dxpl_id);
        if (!p) return api_.fail(-1);
        if (!same) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the extent setting");
            return api_.fail(-1);
        }
        *same = p->same_extent ? 1 : 0;
        return 0;
    });
}

extern "C" q7status_t Q7Pset_fill_value(q7id_t plist_id, q7id_t type_id, const void *value) {
    return q7::api_call("Q7Pset_fill_value", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dcpl_of(plist_id);
        if (!p) return api_.fail(-1);
        if (!value) {  // back to the default: zeros
            p->fill.clear();
            p->fill_type.reset();
            return 0;
        }
        auto t = get<Datatype>(type_id, Q7I_DATATYPE);
        if (!t) return api_.fail(-1);
        if (t->size == 0) {
            Q7_PUSH(Q7E_PLIST_g, Q7E_BADVALUE_g, "a fill value needs a type with a size");
            return api_.fail(-1);
        }
        p->fill.assign(static_cast<const char *>(value), t->size);
        p->fill_type = std::make_shared<const Datatype>(*t);
        return 0;
    });
}

extern "C" q7status_t Q7Pget_fill_value(q7id_t plist_id, q7id_t type_id, void *value) {
    return q7::api_call("Q7Pget_fill_value", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto p = dcpl_of(plist_id);
        auto t = get<Datatype>(type_id, Q7I_DATATYPE);
        if (!p || !t) return api_.fail(-1);
        if (!value) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the fill value");
            return api_.fail(-1);
        }
        if (!p->fill_type) {
            memset(value, 0, t->size);
            return 0;
        }
        Conversion conv = conversion_between(*p->fill_type, *t);
        if (conv == Conversion::Refused) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_CANTCONVERT_g, "the fill value cannot be converted to the type asked for");
            return api_.fail(-1);
        }
        memcpy(value, p->fill.data(), t->size);
        if (conv == Conversion::Swap) swap_bytes(value, 1, t->size);
        return 0;
    });
}
