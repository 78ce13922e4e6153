// storage_links.cpp - the public calls on groups, links and objects.  Paths
// are walked in storage_paths.cpp, the rows they read and write are kept by
// storage_objects.cpp; this file holds no statement of its own.
#include "storage_parent.hpp"
#include "storage_paths.hpp"

namespace q7::storage {

namespace {

void fill_link_info(const LinkRow &row, Q7L_info_t *info) {
    memset(info, 0, sizeof *info);
    info->type = row.type;
    info->cset = 0;
    if (row.type == Q7L_TYPE_HARD) {
        info->address = (q7addr_t)row.target;
    } else {
        info->address = Q7_ADDR_UNDEF;
        info->val_size = row.type == Q7L_TYPE_SOFT ? row.value.size() + 1 : row.value.size();
    }
}

std::shared_ptr<GroupObj> make_group(const Loc &l) {
    auto g = std::make_shared<GroupObj>();
    g->c = l.c;
    g->addr = l.addr;
    g->path = l.path;
    return g;
}

} // namespace

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7id_t Q7Gcreate2(q7id_t loc_id, const char *name, q7id_t lcpl_id, q7id_t gcpl_id, q7id_t gapl_id) {
    return storage::api_call("Q7Gcreate2", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        (void)lcpl_id;
        (void)gcpl_id;
        (void)gapl_id;
        Loc from;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        // The new group belongs to the file holding its parent group.
        PendingId made(Q7I_GROUP);
        bool ok = change_in_parent(txns, from, name, [&](WriteTxn &t, const Loc &parent, const std::string &leaf) {
            int64_t addr = new_object(t, OK_GROUP);
            if (!addr || !add_hard_link(t, parent.addr, leaf, addr) ||
                !made.make(make_group(Loc{parent.c, addr, join_path(parent.path, leaf)}))) {
                Q7_PUSH(Q7E_SYM_g, Q7E_CANTCREATE_g, "cannot create group %s", name);
                return false;
            }
            return true;
        });
        if (!ok || !txns.end_all()) {
            // Made but not committed.
            if (made.made()) Q7_PUSH(Q7E_SYM_g, Q7E_CANTCREATE_g, "cannot create group %s", name);
            return api_.fail(-1);
        }
        return made.keep();
    });
}

q7id_t Q7Gopen2(q7id_t loc_id, const char *name, q7id_t gapl_id) {
    return storage::api_call("Q7Gopen2", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        (void)gapl_id;
        Loc from, at;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        ReadTxn *t = nullptr;
        if (!resolve(txns, from, name, at) || !(t = txns.read(at.c)) || !object_is(*t, at, OK_GROUP) ||
            !txns.end_all())
            return api_.fail(-1);
        q7id_t id = register_id(Q7I_GROUP, make_group(at));
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7status_t Q7Gclose(q7id_t group_id) {
    return q7::api_call("Q7Gclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        int closed = close_identifier(group_id, Q7I_GROUP);
        if (closed == 0) push_bad_id(group_id, Q7I_GROUP);
        return closed > 0 ? 0 : api_.fail(-1);
    });
}

q7status_t Q7Lcreate_hard(q7id_t cur_loc, const char *cur_name, q7id_t dst_loc, const char *dst_name,
                          q7id_t lcpl_id, q7id_t lapl_id) {
    return storage::api_call("Q7Lcreate_hard", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)lcpl_id;
        (void)lapl_id;
        Loc from, to;
        if (!loc_of(cur_loc, from) || !loc_of(dst_loc, to)) return api_.fail(-1);
        // The target is looked up under the write transaction of the file
        // that receives the link, so it cannot go away before it is linked.
        bool ok = change_in_parent(txns, to, dst_name, [&](WriteTxn &t, const Loc &parent, const std::string &leaf) {
            Loc target;
            if (!resolve(txns, from, cur_name, target)) return false;
            // A hard link holds an address, which means nothing in another file.
            if (target.c != parent.c) {
                Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "a hard link cannot join two files (%s in %s, %s in %s)", cur_name,
                        target.c->name.c_str(), dst_name, parent.c->name.c_str());
                return false;
            }
            return add_hard_link(t, parent.addr, leaf, target.addr);
        });
        return ok ? 0 : api_.fail(-1);
    });
}

q7status_t Q7Lcreate_soft(const char *target_path, q7id_t link_loc_id, const char *link_name, q7id_t lcpl_id,
                          q7id_t lapl_id) {
    return storage::api_call("Q7Lcreate_soft", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)lcpl_id;
        (void)lapl_id;
        if (!target_path || !*target_path) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "soft link needs a target path");
            return api_.fail(-1);
        }
        Loc from;
        if (!loc_of(link_loc_id, from)) return api_.fail(-1);
        // The path is kept as given and followed in the file holding the link.
        std::string value = target_path;
        bool ok = change_in_parent(txns, from, link_name, [&](WriteTxn &t, const Loc &parent, const std::string &leaf) {
            return add_value_link(t, parent.addr, leaf, Q7L_TYPE_SOFT, value);
        });
        return ok ? 0 : api_.fail(-1);
    });
}

q7status_t Q7Lcreate_external(const char *file_name, const char *obj_name, q7id_t link_loc_id, const char *link_name,
                              q7id_t lcpl_id, q7id_t lapl_id) {
    return storage::api_call("Q7Lcreate_external", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)lcpl_id;
        (void)lapl_id;
        if (!file_name || !*file_name || !obj_name || !*obj_name) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "external link needs a file name and an object path");
            return api_.fail(-1);
        }
        Loc from;
        if (!loc_of(link_loc_id, from)) return api_.fail(-1);
        // Built before any transaction begins: should memory run out here,
        // the frame fails the call with nothing to undo.
        std::string value = std::string(file_name) + '\0' + obj_name + '\0';
        bool ok = change_in_parent(txns, from, link_name, [&](WriteTxn &t, const Loc &parent, const std::string &leaf) {
            return add_value_link(t, parent.addr, leaf, Q7L_TYPE_EXTERNAL, value);
        });
        return ok ? 0 : api_.fail(-1);
    });
}

q7status_t Q7Ldelete(q7id_t loc_id, const char *name, q7id_t lapl_id) {
    return storage::api_call("Q7Ldelete", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)lapl_id;
        Loc from;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        // The link goes from the file holding its group, and with it, in the
        // same transaction, whatever it alone kept alive there.
        bool ok = change_in_parent(txns, from, name, [&](WriteTxn &t, const Loc &parent, const std::string &leaf) {
            return delete_link(t, parent, leaf);
        });
        return ok ? 0 : api_.fail(-1);
    });
}

q7tri_t Q7Lexists(q7id_t loc_id, const char *name, q7id_t lapl_id) {
    return storage::api_call("Q7Lexists", q7tri_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7tri_t {
        (void)lapl_id;
        Loc from;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        // Absence is an answer, not a failure: nothing is reported for it.
        LinkRow row;
        int found = find_link(txns, from, name, row, false);
        if (found < 0) return api_.fail(-1);
        return found;
    });
}

q7status_t Q7Lget_info(q7id_t loc_id, const char *name, Q7L_info_t *linfo, q7id_t lapl_id) {
    return storage::api_call("Q7Lget_info", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)lapl_id;
        Loc from;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        LinkRow row;
        if (find_link(txns, from, name, row, true) != 1) return api_.fail(-1);
        if (linfo) fill_link_info(row, linfo);
        return 0;
    });
}

q7status_t Q7Lget_val(q7id_t loc_id, const char *name, void *buf, size_t size, q7id_t lapl_id) {
    return storage::api_call("Q7Lget_val", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)lapl_id;
        Loc from;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        LinkRow row;
        if (find_link(txns, from, name, row, true) != 1) return api_.fail(-1);
        if (row.type == Q7L_TYPE_HARD) {
            Q7_PUSH(Q7E_LINK_g, Q7E_BADTYPE_g, "%s is a hard link and has no value", name);
            return api_.fail(-1);
        }
        std::string value = row.value;
        if (row.type == Q7L_TYPE_SOFT) value += '\0';
        if (buf && size > 0) {
            size_t n = value.size() < size ? value.size() : size;
            memcpy(buf, value.data(), n);
            // A soft-link path that does not fit still ends in a terminator.
            if (row.type == Q7L_TYPE_SOFT && n < value.size()) ((char *)buf)[size - 1] = '\0';
        }
        return 0;
    });
}

q7status_t Q7Lunpack_elink_val(const void *ext_linkval, size_t link_size, unsigned *flags, const char **filename,
                               const char **obj_path) {
    return q7::api_call("Q7Lunpack_elink_val", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!ext_linkval || link_size < 4) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "external link value is missing or too short (%zu bytes)", link_size);
            return api_.fail(-1);
        }
        const char *p = (const char *)ext_linkval;
        const char *z1 = (const char *)memchr(p, '\0', link_size);
        const char *z2 = z1 ? (const char *)memchr(z1 + 1, '\0', link_size - (size_t)(z1 + 1 - p)) : nullptr;
        if (!z1 || !z2 || z1 == p || z2 == z1 + 1) {
            Q7_PUSH(Q7E_LINK_g, Q7E_BADVALUE_g, "external link value is not \"file\\0object\\0\"");
            return api_.fail(-1);
        }
        if (flags) *flags = 0;
        if (filename) *filename = p;
        if (obj_path) *obj_path = z1 + 1;
        return 0;
    });
}

q7status_t Q7Literate2(q7id_t group_id, q7size_t *idx, Q7L_iterate_t op, void *op_data) {
    return storage::api_call("Q7Literate2", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        if (!op) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no callback for the link iteration");
            return api_.fail(-1);
        }
        Loc g;
        if (!loc_of(group_id, g)) return api_.fail(-1);
        std::vector<std::pair<std::string, LinkRow>> links;
        // The snapshot ends before the callbacks run: they may change the file.
        ReadTxn *t = txns.read(g.c);
        if (!t || !object_is(*t, g, OK_GROUP) || !list_links(*t, g.addr, links) || !txns.end_all())
            return api_.fail(-1);
        q7size_t i = idx ? *idx : 0;
        if (i > links.size()) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADRANGE_g, "link index %llu is beyond the %zu links of %s", (unsigned long long)i,
                    links.size(), g.path.c_str());
            return api_.fail(-1);
        }
        for (; i < links.size(); ++i) {
            Q7L_info_t info;
            fill_link_info(links[i].second, &info);
            q7status_t r = op(group_id, links[i].first.c_str(), &info, op_data);
            if (r != 0) {
                if (idx) *idx = i + 1;
                if (r < 0) {
                    Q7_PUSH(Q7E_LINK_g, Q7E_CALLBACK_g, "link iteration callback failed at %s (%d)",
                            links[i].first.c_str(), r);
                    return api_.fail(r);
                }
                return r;
            }
        }
        if (idx) *idx = i;
        return 0;
    });
}

q7id_t Q7Oopen(q7id_t loc_id, const char *name, q7id_t lapl_id) {
    return storage::api_call("Q7Oopen", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        (void)lapl_id;
        Loc from, at;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        if (!resolve(txns, from, name, at)) return api_.fail(-1);
        ReadTxn *t = txns.read(at.c);
        int kind = t ? object_kind(*t, at.addr) : -1;
        if (kind < 0) return api_.fail(-1);
        std::shared_ptr<DatasetObj> d;
        if (kind != OK_GROUP && !(d = dataset_at(*t, at))) return api_.fail(-1);
        // What was read must hold before an identifier is made of it.
        if (!txns.end_all()) return api_.fail(-1);
        q7id_t id = d ? register_id(Q7I_DATASET, d) : register_id(Q7I_GROUP, make_group(at));
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7status_t Q7Oclose(q7id_t object_id) {
    return q7::api_call("Q7Oclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        Q7I_type_t kind = kind_of(object_id);
        int closed = kind == Q7I_DATATYPE ? release_id(object_id, kind)
                     : kind == Q7I_GROUP || kind == Q7I_DATASET ? close_identifier(object_id, kind)
                                                                : 0;
        if (closed == 0) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADID_g, "identifier %lld is not an open object", (long long)object_id);
            return api_.fail(-1);
        }
        return closed > 0 ? 0 : api_.fail(-1);
    });
}

q7status_t Q7Oget_info2(q7id_t loc_id, Q7O_info2_t *oinfo, unsigned fields) {
    return storage::api_call("Q7Oget_info2", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)fields;
        if (!oinfo) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no record to fill");
            return api_.fail(-1);
        }
        Loc l;
        ReadTxn *t = nullptr;
        if (!loc_of(loc_id, l) || !(t = txns.read(l.c)) || !object_info(*t, l, oinfo)) return api_.fail(-1);
        return 0;
    });
}

q7status_t Q7Oget_info_by_name2(q7id_t loc_id, const char *name, Q7O_info2_t *oinfo, unsigned fields,
                                q7id_t lapl_id) {
    return storage::api_call("Q7Oget_info_by_name2", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        (void)fields;
        (void)lapl_id;
        if (!oinfo) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no record to fill");
            return api_.fail(-1);
        }
        Loc from, at;
        if (!loc_of(loc_id, from)) return api_.fail(-1);
        ReadTxn *t = nullptr;
        if (!resolve(txns, from, name, at) || !(t = txns.read(at.c)) || !object_info(*t, at, oinfo))
            return api_.fail(-1);
        return 0;
    });
}

} // extern "C"
