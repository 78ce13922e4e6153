// storage_attr.cpp - the public attribute calls: small named values with
// a type and a shape, attached to a group or a dataset and stored whole.
// Their rows are storage_attr_rows.cpp's business; this file holds no
// statement of its own.
#include "storage_attr.hpp"
#include "storage_paths.hpp"

namespace q7::storage {

namespace {

// Attributes are small by design; a larger value belongs in a dataset.
constexpr q7size_t kMaxAttrBytes = (q7size_t)16 << 20;

bool check_name(const char *name) {
    if (name && *name) return true;
    Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "empty attribute name");
    return false;
}

q7size_t points(const std::vector<q7size_t> &dims) {
    q7size_t n = 1;
    for (q7size_t d : dims) n *= d;
    return n;
}

bool conversion(const Datatype &from, const Datatype &to, Conversion &conv) {
    conv = conversion_between(from, to);
    if (conv != Conversion::Refused) return true;
    Q7_PUSH(Q7E_DATATYPE_g, Q7E_CANTCONVERT_g, "cannot convert between %s and %s", describe(from).c_str(),
            describe(to).c_str());
    return false;
}

} // namespace

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7id_t Q7Acreate2(q7id_t loc_id, const char *attr_name, q7id_t type_id, q7id_t space_id, q7id_t acpl_id,
                  q7id_t aapl_id) {
    return storage::api_call("Q7Acreate2", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        (void)acpl_id;
        (void)aapl_id;
        Loc l;
        if (!loc_of(loc_id, l) || !check_name(attr_name) || !file_is_writable(*l.c)) return api_.fail(-1);
        auto type = get<Datatype>(type_id, Q7I_DATATYPE);
        auto space = get<Dataspace>(space_id, Q7I_DATASPACE);
        if (!type || !space) return api_.fail(-1);
        q7size_t bytes = type->size;
        for (q7size_t d : space->dims)
            if (__builtin_mul_overflow(bytes, d, &bytes) || bytes > kMaxAttrBytes) {
                Q7_PUSH(Q7E_ATTR_g, Q7E_BADRANGE_g, "attribute %s would exceed %llu bytes", attr_name,
                        (unsigned long long)kMaxAttrBytes);
                return api_.fail(-1);
            }
        if (type->size == 0) {
            Q7_PUSH(Q7E_ATTR_g, Q7E_BADVALUE_g, "attribute %s has an element type of size 0", attr_name);
            return api_.fail(-1);
        }
        auto a = std::make_shared<AttrObj>();
        a->c = l.c;
        a->owner = l.addr;
        a->name = attr_name;
        a->type = std::make_shared<Datatype>(*type);
        a->type->predefined = false;
        a->dims = space->dims;
        WriteTxn *t = txns.write(l.c);
        if (!t) return api_.fail(-1);
        AttrObj existing;
        int found = load_attr(*t, l, attr_name, existing);
        if (found != 0) {
            if (found > 0)
                Q7_PUSH(Q7E_ATTR_g, Q7E_EXISTS_g, "attribute %s of %s already exists", attr_name, l.path.c_str());
            return api_.fail(-1);
        }
        // The identifier is made before the change is kept, so that failing
        // to make it undoes the attribute.
        PendingId made(Q7I_ATTR);
        if (!insert_attr(*t, *a, bytes) || !made.make(a) || !txns.end_all()) return api_.fail(-1);
        return made.keep();
    });
}

q7id_t Q7Aopen(q7id_t obj_id, const char *attr_name, q7id_t aapl_id) {
    return storage::api_call("Q7Aopen", q7id_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7id_t {
        (void)aapl_id;
        Loc l;
        if (!loc_of(obj_id, l) || !check_name(attr_name)) return api_.fail(-1);
        auto a = std::make_shared<AttrObj>();
        ReadTxn *t = txns.read(l.c);
        if (!t) return api_.fail(-1);
        int found = load_attr(*t, l, attr_name, *a);
        if (found <= 0) {
            if (found == 0) Q7_PUSH(Q7E_ATTR_g, Q7E_NOTFOUND_g, "%s has no attribute %s", l.path.c_str(), attr_name);
            return api_.fail(-1);
        }
        // What was read must hold before an identifier is made of it.
        if (!txns.end_all()) return api_.fail(-1);
        q7id_t id = register_id(Q7I_ATTR, a);
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7status_t Q7Awrite(q7id_t attr_id, q7id_t mem_type_id, const void *buf) {
    return storage::api_call("Q7Awrite", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto a = get<AttrObj>(attr_id, Q7I_ATTR);
        auto mt = get<Datatype>(mem_type_id, Q7I_DATATYPE);
        if (!a || !mt) return api_.fail(-1);
        if (!buf) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no data to write");
            return api_.fail(-1);
        }
        Conversion conv;
        if (!file_is_writable(*a->c) || !conversion(*mt, *a->type, conv)) return api_.fail(-1);
        q7size_t n = points(a->dims);
        std::vector<unsigned char> value((size_t)(n * a->type->size));
        memcpy(value.data(), buf, value.size());
        if (conv == Conversion::Swap) swap_bytes(value.data(), (size_t)n, a->type->size);
        WriteTxn *t = txns.write(a->c);
        int written = t ? write_attr_value(*t, *a, value.data(), value.size()) : -1;
        if (written <= 0) {
            if (written == 0) Q7_PUSH(Q7E_ATTR_g, Q7E_NOTFOUND_g, "attribute %s no longer exists", a->name.c_str());
            return api_.fail(-1);
        }
        return 0;
    });
}

q7status_t Q7Aread(q7id_t attr_id, q7id_t mem_type_id, void *buf) {
    return storage::api_call("Q7Aread", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        auto a = get<AttrObj>(attr_id, Q7I_ATTR);
        auto mt = get<Datatype>(mem_type_id, Q7I_DATATYPE);
        if (!a || !mt) return api_.fail(-1);
        if (!buf) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no buffer to read into");
            return api_.fail(-1);
        }
        Conversion conv;
        if (!conversion(*a->type, *mt, conv)) return api_.fail(-1);
        q7size_t n = points(a->dims);
        size_t bytes = (size_t)(n * a->type->size);
        ReadTxn *t = txns.read(a->c);
        int found = t ? read_attr_value(*t, *a, buf, bytes) : -1;
        if (found <= 0) {
            if (found == 0) Q7_PUSH(Q7E_ATTR_g, Q7E_NOTFOUND_g, "attribute %s no longer exists", a->name.c_str());
            return api_.fail(-1);
        }
        if (conv == Conversion::Swap) swap_bytes(buf, (size_t)n, a->type->size);
        return 0;
    });
}

q7id_t Q7Aget_space(q7id_t attr_id) {
    return q7::api_call("Q7Aget_space", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto a = get<AttrObj>(attr_id, Q7I_ATTR);
        if (!a) return api_.fail(-1);
        auto s = std::make_shared<Dataspace>();
        s->rank = (int)a->dims.size();
        s->dims = a->dims;
        s->maxdims = a->dims;
        s->sel = Dataspace::Selection::All;
        q7id_t id = register_id(Q7I_DATASPACE, s);
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7id_t Q7Aget_type(q7id_t attr_id) {
    return q7::api_call("Q7Aget_type", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto a = get<AttrObj>(attr_id, Q7I_ATTR);
        if (!a) return api_.fail(-1);
        auto t = std::make_shared<Datatype>(*a->type);
        t->predefined = false;
        q7id_t id = register_id(Q7I_DATATYPE, t);
        return id < 0 ? api_.fail(-1) : id;
    });
}

q7tri_t Q7Aexists(q7id_t obj_id, const char *attr_name) {
    return storage::api_call("Q7Aexists", q7tri_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7tri_t {
        Loc l;
        if (!loc_of(obj_id, l) || !check_name(attr_name)) return api_.fail(-1);
        ReadTxn *t = txns.read(l.c);
        AttrObj a;
        int found = t ? load_attr(*t, l, attr_name, a) : -1;
        return found < 0 ? api_.fail(-1) : found;
    });
}

q7status_t Q7Adelete(q7id_t loc_id, const char *attr_name) {
    return storage::api_call("Q7Adelete", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        Loc l;
        if (!loc_of(loc_id, l) || !check_name(attr_name) || !file_is_writable(*l.c)) return api_.fail(-1);
        WriteTxn *t = txns.write(l.c);
        int deleted = t ? delete_attr(*t, l, attr_name) : -1;
        if (deleted <= 0) {
            if (deleted == 0) Q7_PUSH(Q7E_ATTR_g, Q7E_NOTFOUND_g, "%s has no attribute %s", l.path.c_str(), attr_name);
            return api_.fail(-1);
        }
        return 0;
    });
}

q7status_t Q7Aiterate2(q7id_t loc_id, q7size_t *idx, Q7A_operator_t op, void *op_data) {
    return storage::api_call("Q7Aiterate2", q7status_t{-1}, [&](q7::ApiCall &api_, CallTxns &txns) -> q7status_t {
        if (!op) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no callback for the attribute iteration");
            return api_.fail(-1);
        }
        Loc l;
        if (!loc_of(loc_id, l)) return api_.fail(-1);
        std::vector<std::string> names;
        // The snapshot ends before the callbacks run: they may change the file.
        ReadTxn *t = txns.read(l.c);
        if (!t || !list_attrs(*t, l, names) || !txns.end_all()) return api_.fail(-1);
        q7size_t i = idx ? *idx : 0;
        for (; i < names.size(); ++i) {
            q7status_t r = op(loc_id, names[i].c_str(), op_data);
            if (r != 0) {
                if (idx) *idx = i + 1;
                if (r < 0) {
                    Q7_PUSH(Q7E_ATTR_g, Q7E_CALLBACK_g, "attribute iteration callback failed at %s (%d)",
                            names[i].c_str(), r);
                    return api_.fail(r);
                }
                return r;
            }
        }
        if (idx) *idx = i;
        return 0;
    });
}

q7status_t Q7Aclose(q7id_t attr_id) {
    return q7::api_call("Q7Aclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        int closed = close_identifier(attr_id, Q7I_ATTR);
        if (closed == 0) push_bad_id(attr_id, Q7I_ATTR);
        return closed > 0 ? 0 : api_.fail(-1);
    });
}

} // extern "C"
