// storage_attr_rows.cpp - the `attributes` table: every statement that the
// attribute calls of storage_attr.cpp need.
#include "storage_attr.hpp"
#include "storage_paths.hpp"

namespace q7::storage {

namespace {

// The largest attribute Q7Acreate2 makes (kMaxAttrBytes of storage_attr.cpp).
constexpr q7size_t kMaxStoredAttrBytes = (q7size_t)16 << 20;

} // namespace

int load_attr(ReadTxn &t, const Loc &l, const char *name, AttrObj &a) {
    Stmt s(t, "SELECT type, dims, CASE typeof(value) WHEN 'blob' THEN length(value) WHEN 'null' THEN 0 ELSE -1 END"
              " FROM attributes WHERE owner = ? AND name = ?");
    if (!s) return -1;
    s.bind(1, l.addr);
    s.bind_text(2, name);
    int rc = s.step(RI_ATTR_SHAPE);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    const void *type_bytes, *dims_bytes;
    size_t type_size, dims_size;
    if (!column_bytes(s, 0, type_bytes, type_size) || !column_bytes(s, 1, dims_bytes, dims_size)) return -1;
    a.c = l.c;
    a.owner = l.addr;
    a.name = name;
    a.type = Datatype::decode(type_bytes, type_size);
    if (!a.type || a.type->size == 0 || !decode_dims(dims_bytes, dims_size, a.dims)) {
        Q7_PUSH(Q7E_ATTR_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (attribute %s of %s is damaged)",
                l.c->name.c_str(), name, l.path.c_str());
        return -1;
    }
    // The same bounds as Q7Acreate2's, and the value must hold exactly
    // that many bytes: a count that wraps or disagrees with the stored
    // bytes is damage, never a size to allocate or copy.
    q7size_t bytes = a.type->size;
    bool fits = true;
    for (q7size_t d : a.dims) fits = fits && !__builtin_mul_overflow(bytes, d, &bytes) && bytes <= kMaxStoredAttrBytes;
    if (!fits || s.col_int(2) < 0 || (q7size_t)s.col_int(2) != bytes) {
        Q7_PUSH(Q7E_ATTR_g, Q7E_NOTQUOR7_g,
                "not a Quor7 file: %s (attribute %s of %s is damaged: its element count and size do not match "
                "its %lld stored bytes)",
                l.c->name.c_str(), name, l.path.c_str(), (long long)s.col_int(2));
        return -1;
    }
    return 1;
}

bool insert_attr(WriteTxn &t, const AttrObj &a, q7size_t bytes) {
    Stmt s(t, "INSERT INTO attributes(owner, name, type, dims, value) VALUES(?, ?, ?, ?, zeroblob(?))");
    if (!s) return false;
    std::string te = a.type->encode(), de = encode_dims(a.dims);
    s.bind(1, a.owner);
    s.bind_text(2, a.name);
    s.bind_blob(3, te.data(), te.size());
    s.bind_blob(4, de.data(), de.size());
    s.bind(5, (int64_t)bytes);
    return s.run(RI_ATTR_VALUE);
}

int write_attr_value(WriteTxn &t, const AttrObj &a, const void *value, size_t bytes) {
    Stmt s(t, "UPDATE attributes SET value = ? WHERE owner = ? AND name = ?");
    if (!s) return -1;
    s.bind_blob(1, value, bytes);
    s.bind(2, a.owner);
    s.bind_text(3, a.name);
    if (!s.run(RI_ATTR_VALUE)) return -1;
    return t.changes() == 1 ? 1 : 0;
}

int read_attr_value(ReadTxn &t, const AttrObj &a, void *buf, size_t bytes) {
    Stmt s(t, "SELECT value FROM attributes WHERE owner = ? AND name = ?");
    if (!s) return -1;
    s.bind(1, a.owner);
    s.bind_text(2, a.name);
    int rc = s.step(RI_ATTR_VALUE);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    const void *stored;
    size_t stored_size;
    if (!column_bytes(s, 0, stored, stored_size)) return -1;
    if (stored_size != bytes) {
        Q7_PUSH(Q7E_ATTR_g, Q7E_NOTQUOR7_g, "attribute %s holds %zu bytes, expected %zu", a.name.c_str(), stored_size,
                bytes);
        return -1;
    }
    if (bytes) memcpy(buf, stored, bytes);
    return 1;
}

int delete_attr(WriteTxn &t, const Loc &l, const char *name) {
    Stmt s(t, "DELETE FROM attributes WHERE owner = ? AND name = ?");
    if (!s) return -1;
    s.bind(1, l.addr);
    s.bind_text(2, name);
    if (!s.run(RI_ATTR_LIST)) return -1;
    return t.changes() == 1 ? 1 : 0;
}

bool list_attrs(ReadTxn &t, const Loc &l, std::vector<std::string> &names) {
    Stmt s(t, "SELECT name FROM attributes WHERE owner = ? ORDER BY name");
    if (!s) return false;
    s.bind(1, l.addr);
    int rc;
    while ((rc = s.step(RI_ATTR_LIST)) == SQLITE_ROW) {
        std::string name;
        if (!column_string(s, 0, name)) return false;
        names.push_back(std::move(name));
    }
    return rc == SQLITE_DONE;
}

} // namespace q7::storage
