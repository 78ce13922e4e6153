// storage_file.cpp - file identifiers: create, open, flush, close, names,
// and the read-retry counters of concurrent readers.
#include "storage_internal.hpp"

#include <sys/stat.h>

namespace q7::storage {

bool loc_of(q7id_t id, Loc &out) {
    switch (kind_of(id)) {
    case Q7I_FILE: {
        auto f = get<FileObj>(id, Q7I_FILE);
        if (!f) return false;
        out = Loc{f->c, f->c->root, "/"};
        return true;
    }
    case Q7I_GROUP: {
        auto g = get<GroupObj>(id, Q7I_GROUP);
        if (!g) return false;
        out = Loc{g->c, g->addr, g->path};
        return true;
    }
    case Q7I_DATASET: {
        auto d = get<DatasetObj>(id, Q7I_DATASET);
        if (!d) return false;
        out = Loc{d->c, d->addr, d->path};
        return true;
    }
    default:
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADID_g, "identifier %lld is not a file, group or dataset", (long long)id);
        return false;
    }
}

namespace {

// Container of any identifier that lives in a file.
std::shared_ptr<Container> container_of(q7id_t id) {
    if (kind_of(id) == Q7I_ATTR) {
        auto a = get<AttrObj>(id, Q7I_ATTR);
        return a ? a->c : nullptr;
    }
    Loc l;
    return loc_of(id, l) ? l.c : nullptr;
}

bool plist_ok(q7id_t plist, q7id_t cls, const char *what) {
    if (plist == 0) return true;
    auto p = get<Plist>(plist, Q7I_GENPROP_LST);
    if (!p) return false;
    if (p->cls != cls) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADTYPE_g, "property list %lld is not a %s list", (long long)plist, what);
        return false;
    }
    return true;
}

q7ssize_t copy_name(const std::string &s, char *buf, size_t size) {
    if (buf && size > 0) {
        size_t n = s.size() < size - 1 ? s.size() : size - 1;
        memcpy(buf, s.data(), n);
        buf[n] = '\0';
    }
    return (q7ssize_t)s.size();
}

q7id_t register_file(std::shared_ptr<Container> c) {
    auto f = std::make_shared<FileObj>();
    f->c = std::move(c);
    return register_id(Q7I_FILE, f);
}

} // namespace

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7id_t Q7Fcreate(const char *filename, unsigned flags, q7id_t fcpl_id, q7id_t fapl_id) {
    Q7_API("Q7Fcreate");
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    if (!filename) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
        return api_.fail<q7id_t>(-1);
    }
    if ((flags & Q7F_ACC_TRUNC) && (flags & Q7F_ACC_EXCL)) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "flags 0x%x ask both to replace and to refuse an existing file", flags);
        return api_.fail<q7id_t>(-1);
    }
    if (flags & ~(Q7F_ACC_RDWR | Q7F_ACC_TRUNC | Q7F_ACC_EXCL)) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "unknown flags 0x%x for creating %s", flags, filename);
        return api_.fail<q7id_t>(-1);
    }
    if (!plist_ok(fcpl_id, Q7P_CLS_FILE_CREATE_ID_g, "file creation") ||
        !plist_ok(fapl_id, Q7P_CLS_FILE_ACCESS_ID_g, "file access"))
        return api_.fail<q7id_t>(-1);
    auto c = open_container(filename, flags | Q7F_ACC_RDWR, true);
    if (!c) return api_.fail<q7id_t>(-1);
    q7id_t id = register_file(std::move(c));
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7id_t Q7Fopen(const char *filename, unsigned flags, q7id_t fapl_id) {
    Q7_API("Q7Fopen");
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    if (!filename) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
        return api_.fail<q7id_t>(-1);
    }
    if (flags & ~(Q7F_ACC_RDWR | Q7F_ACC_CONCURRENT_READ)) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "unknown flags 0x%x for opening %s", flags, filename);
        return api_.fail<q7id_t>(-1);
    }
    if ((flags & Q7F_ACC_RDWR) && (flags & Q7F_ACC_CONCURRENT_READ)) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "concurrent reading is read-only: flags 0x%x", flags);
        return api_.fail<q7id_t>(-1);
    }
    if (!plist_ok(fapl_id, Q7P_CLS_FILE_ACCESS_ID_g, "file access")) return api_.fail<q7id_t>(-1);
    auto c = open_container(filename, flags, false);
    if (!c) return api_.fail<q7id_t>(-1);
    q7id_t id = register_file(std::move(c));
    return id < 0 ? api_.fail<q7id_t>(-1) : id;
}

q7status_t Q7Fflush(q7id_t object_id) {
    Q7_API("Q7Fflush");
    if (api_.faulted()) return api_.fail(-1);
    auto c = container_of(object_id);
    if (!c) return api_.fail(-1);
    // Every change is committed when its call returns; flushing moves the
    // log into the main file and syncs it.
    if (c->writable && c->txn_depth == 0 && !c->exec("PRAGMA wal_checkpoint(PASSIVE)")) return api_.fail(-1);
    return 0;
}

q7status_t Q7Fclose(q7id_t file_id) {
    Q7_API("Q7Fclose");
    if (api_.faulted()) return api_.fail(-1);
    if (!release_id(file_id, Q7I_FILE)) {
        push_bad_id(file_id, Q7I_FILE);
        return api_.fail(-1);
    }
    return 0;
}

q7tri_t Q7Fis_accessible(const char *filename, q7id_t fapl_id) {
    Q7_API("Q7Fis_accessible");
    if (api_.faulted()) return api_.fail(-1);
    if (!filename) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
        return api_.fail(-1);
    }
    if (!plist_ok(fapl_id, Q7P_CLS_FILE_ACCESS_ID_g, "file access")) return api_.fail(-1);
    struct stat st;
    if (::stat(filename, &st) != 0) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "cannot open file %s: %s", filename, strerror(errno));
        return api_.fail(-1);
    }
    if (find_open_container(filename)) return 1;
    if (open_container(filename, Q7F_ACC_RDONLY, false)) return 1;
    // Not one of ours: an answer, not a failure.
    Q7Eclear2(0);
    return 0;
}

q7ssize_t Q7Fget_name(q7id_t obj_id, char *name, size_t size) {
    Q7_API("Q7Fget_name");
    if (api_.faulted()) return api_.fail<q7ssize_t>(-1);
    auto c = container_of(obj_id);
    if (!c) return api_.fail<q7ssize_t>(-1);
    return copy_name(c->name, name, size);
}

q7status_t Q7Fget_metadata_read_retry_info(q7id_t file_id, Q7F_retry_info_t *info) {
    Q7_API("Q7Fget_metadata_read_retry_info");
    if (api_.faulted()) return api_.fail(-1);
    if (!info) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no retry record to fill");
        return api_.fail(-1);
    }
    auto c = container_of(file_id);
    if (!c) return api_.fail(-1);
    Q7F_retry_info_t out;
    memset(&out, 0, sizeof out);
    out.nbins = c->nbins;
    for (unsigned i = 0; i < RI_COUNT; ++i) {
        const auto &bins = c->retries[i];
        if (bins.empty()) continue;
        auto *arr = (uint32_t *)Q7allocate_memory(sizeof(uint32_t) * c->nbins, 0);
        if (!arr) {
            for (unsigned j = 0; j < i; ++j) Q7free_memory(out.retries[j]);
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "no memory for the retry counters of item %u", i);
            return api_.fail(-1);
        }
        memcpy(arr, bins.data(), sizeof(uint32_t) * c->nbins);
        out.retries[i] = arr;
    }
    *info = out;
    return 0;
}

q7ssize_t Q7Iget_name(q7id_t id, char *name, size_t size) {
    Q7_API("Q7Iget_name");
    if (api_.faulted()) return api_.fail<q7ssize_t>(-1);
    if (kind_of(id) == Q7I_ATTR) {
        auto a = get<AttrObj>(id, Q7I_ATTR);
        if (!a) return api_.fail<q7ssize_t>(-1);
        return copy_name(a->name, name, size);
    }
    Loc l;
    if (!loc_of(id, l)) return api_.fail<q7ssize_t>(-1);
    return copy_name(l.path, name, size);
}

q7id_t Q7Iget_file_id(q7id_t id) {
    Q7_API("Q7Iget_file_id");
    if (api_.faulted()) return api_.fail<q7id_t>(-1);
    auto c = container_of(id);
    if (!c) return api_.fail<q7id_t>(-1);
    q7id_t fid = register_file(c);
    return fid < 0 ? api_.fail<q7id_t>(-1) : fid;
}

} // extern "C"
