// storage_file.cpp - file identifiers: create, open, flush, close, names,
// and the read-retry counters of concurrent readers.
#include "storage_commit.hpp"

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

// The sync setting of a file-access list (0: the defaults).
bool fapl_sync(q7id_t fapl) {
    auto p = fapl ? get<Plist>(fapl, Q7I_GENPROP_LST) : nullptr;
    return p ? p->sync : true;
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

int close_identifier(q7id_t id, Q7I_type_t kind) {
    if (!find_id(id, kind)) return 0;
    std::shared_ptr<Container> c = container_of(id);
    // From inside a call on the file, closing its last identifier could
    // neither commit nor keep the pending changes: it is refused.
    if (c && !may_close(*c)) return -1;
    if (!release_id(id, kind)) return 0;
    return release_container(std::move(c)) ? 1 : -1;
}

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7id_t Q7Fcreate(const char *filename, unsigned flags, q7id_t fcpl_id, q7id_t fapl_id) {
    return storage::api_call("Q7Fcreate", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        if (!filename) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
            return api_.fail<q7id_t>(-1);
        }
        if ((flags & Q7F_ACC_TRUNC) && (flags & Q7F_ACC_EXCL)) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "flags 0x%x ask both to replace and to refuse an existing file", flags);
            return api_.fail<q7id_t>(-1);
        }
        if (flags & ~(Q7F_ACC_RDWR | Q7F_ACC_TRUNC | Q7F_ACC_EXCL | Q7F_ACC_CONCURRENT_WRITE)) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "unknown flags 0x%x for creating %s", flags, filename);
            return api_.fail<q7id_t>(-1);
        }
        if (!plist_ok(fcpl_id, Q7P_CLS_FILE_CREATE_ID_g, "file creation") ||
            !plist_ok(fapl_id, Q7P_CLS_FILE_ACCESS_ID_g, "file access"))
            return api_.fail<q7id_t>(-1);
        auto c = open_container(txns, filename, flags | Q7F_ACC_RDWR, true, fapl_sync(fapl_id));
        if (!c) return api_.fail<q7id_t>(-1);
        // A new file that gets no identifier goes again: a failed create
        // leaves no file of its own behind.
        auto discard = [&] {
            c->close_db();
            remove_file_set(c->name, true);
        };
        q7id_t id = -1;
        try {
            id = register_file(c);
        } catch (...) {
            discard();
            throw;
        }
        if (id < 0) discard();
        return id < 0 ? api_.fail<q7id_t>(-1) : id;
    });
}

q7id_t Q7Fopen(const char *filename, unsigned flags, q7id_t fapl_id) {
    return storage::api_call("Q7Fopen", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        if (!filename) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
            return api_.fail<q7id_t>(-1);
        }
        if (flags & ~(Q7F_ACC_RDWR | Q7F_ACC_CONCURRENT_READ | Q7F_ACC_CONCURRENT_WRITE)) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "unknown flags 0x%x for opening %s", flags, filename);
            return api_.fail<q7id_t>(-1);
        }
        if ((flags & Q7F_ACC_RDWR) && (flags & Q7F_ACC_CONCURRENT_READ)) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "concurrent reading is read-only: flags 0x%x", flags);
            return api_.fail<q7id_t>(-1);
        }
        if ((flags & Q7F_ACC_CONCURRENT_WRITE) && !(flags & Q7F_ACC_RDWR)) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "concurrent writing needs Q7F_ACC_RDWR: flags 0x%x", flags);
            return api_.fail<q7id_t>(-1);
        }
        if (!plist_ok(fapl_id, Q7P_CLS_FILE_ACCESS_ID_g, "file access")) return api_.fail<q7id_t>(-1);
        auto c = open_container(txns, filename, flags, false, fapl_sync(fapl_id));
        // The snapshot the identity was read in ends before the identifier
        // is made, so that a failed end leaves none behind.
        if (!c || !txns.end_all()) return api_.fail<q7id_t>(-1);
        q7id_t id = register_file(std::move(c));
        return id < 0 ? api_.fail<q7id_t>(-1) : id;
    });
}

q7status_t Q7Fflush(q7id_t object_id) {
    return q7::api_call("Q7Fflush", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto c = container_of(object_id);
        if (!c || !flush(*c)) return api_.fail(-1);
        return 0;
    });
}

q7status_t Q7Fclose(q7id_t file_id) {
    return q7::api_call("Q7Fclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto f = std::static_pointer_cast<FileObj>(find_id(file_id, Q7I_FILE));
        if (!f) {
            push_bad_id(file_id, Q7I_FILE);
            return api_.fail(-1);
        }
        // From inside a call on the file it can neither commit nor close
        // without dropping the pending changes: refused, as Q7Fflush is.
        if (!may_close(*f->c)) return api_.fail(-1);
        if (!release_id(file_id, Q7I_FILE)) {
            push_bad_id(file_id, Q7I_FILE);
            return api_.fail(-1);
        }
        // Closing a file commits it, even while other identifiers keep it
        // open; the last one to go closes the connection.
        auto c = std::move(f->c);
        f.reset();
        if (!close_file(std::move(c))) return api_.fail(-1);
        return 0;
    });
}

q7tri_t Q7Fis_accessible(const char *filename, q7id_t fapl_id) {
    return storage::api_call("Q7Fis_accessible", q7tri_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7tri_t {
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
        if (auto c = open_container(txns, filename, Q7F_ACC_RDONLY, false)) {
            txns.end(*c);
            release_container(std::move(c));
            return 1;
        }
        // Not one of ours: an answer, not a failure.
        Q7Eclear2(0);
        return 0;
    });
}

q7status_t Q7Fdelete(const char *filename) {
    return q7::api_call("Q7Fdelete", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!filename || !*filename) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
            return api_.fail(-1);
        }
        if (find_open_container(filename)) {
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot remove %s: it is open", filename);
            return api_.fail(-1);
        }
        if (!remove_file_set(filename, true) || !sync_directory_of(filename)) return api_.fail(-1);
        return 0;
    });
}

q7status_t Q7Frename(const char *from, const char *to) {
    return q7::api_call("Q7Frename", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!from || !*from || !to || !*to) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no file name");
            return api_.fail(-1);
        }
        if (find_open_container(from) || find_open_container(to)) {
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot move %s to %s: a file is open", from, to);
            return api_.fail(-1);
        }
        if (has_journal(from)) {
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot move %s: it was not closed properly", from);
            return api_.fail(-1);
        }
        if (!sync_file(from)) return api_.fail(-1);
        settle_existing_file(to);
        if (!remove_file_set(to, false)) return api_.fail(-1);
        // Stale side files of `to` must be gone on disk before the new file
        // appears under that name.
        if (!sync_directory_of(to)) return api_.fail(-1);
        if (!fs_rename(from, to)) {
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot move %s to %s: %s", from, to, strerror(errno));
            return api_.fail(-1);
        }
        if (!sync_directory_of(to)) return api_.fail(-1);
        return 0;
    });
}

q7ssize_t Q7Fget_name(q7id_t obj_id, char *name, size_t size) {
    return q7::api_call("Q7Fget_name", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        auto c = container_of(obj_id);
        if (!c) return api_.fail<q7ssize_t>(-1);
        return copy_name(c->name, name, size);
    });
}

q7status_t Q7Fget_metadata_read_retry_info(q7id_t file_id, Q7F_retry_info_t *info) {
    return q7::api_call("Q7Fget_metadata_read_retry_info", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
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
    });
}

q7ssize_t Q7Iget_name(q7id_t id, char *name, size_t size) {
    return q7::api_call("Q7Iget_name", q7ssize_t{-1}, [&](q7::ApiCall &api_) -> q7ssize_t {
        if (kind_of(id) == Q7I_ATTR) {
            auto a = get<AttrObj>(id, Q7I_ATTR);
            if (!a) return api_.fail<q7ssize_t>(-1);
            return copy_name(a->name, name, size);
        }
        Loc l;
        if (!loc_of(id, l)) return api_.fail<q7ssize_t>(-1);
        return copy_name(l.path, name, size);
    });
}

q7id_t Q7Iget_file_id(q7id_t id) {
    return q7::api_call("Q7Iget_file_id", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto c = container_of(id);
        if (!c) return api_.fail<q7id_t>(-1);
        q7id_t fid = register_file(c);
        return fid < 0 ? api_.fail<q7id_t>(-1) : fid;
    });
}

} // extern "C"
