// core_types.cpp - datatypes: the predefined native, standard and IEEE
// types, user-made string, opaque and compound types, their stable byte
// form and the conversions the library performs between them.
#include "internal.hpp"

#include <cstdlib>
#include <cstring>

extern "C" {
q7id_t Q7T_NATIVE_SCHAR_g = -1, Q7T_NATIVE_UCHAR_g = -1, Q7T_NATIVE_SHORT_g = -1, Q7T_NATIVE_USHORT_g = -1;
q7id_t Q7T_NATIVE_INT_g = -1, Q7T_NATIVE_UINT_g = -1, Q7T_NATIVE_LONG_g = -1, Q7T_NATIVE_ULONG_g = -1;
q7id_t Q7T_NATIVE_LLONG_g = -1, Q7T_NATIVE_ULLONG_g = -1, Q7T_NATIVE_FLOAT_g = -1, Q7T_NATIVE_DOUBLE_g = -1;
q7id_t Q7T_NATIVE_INT8_g = -1, Q7T_NATIVE_UINT8_g = -1, Q7T_NATIVE_INT16_g = -1, Q7T_NATIVE_UINT16_g = -1;
q7id_t Q7T_NATIVE_INT32_g = -1, Q7T_NATIVE_UINT32_g = -1, Q7T_NATIVE_INT64_g = -1, Q7T_NATIVE_UINT64_g = -1;
q7id_t Q7T_NATIVE_B8_g = -1, Q7T_NATIVE_B16_g = -1, Q7T_NATIVE_B32_g = -1, Q7T_NATIVE_B64_g = -1;
q7id_t Q7T_STD_I8LE_g = -1, Q7T_STD_I16LE_g = -1, Q7T_STD_I32LE_g = -1, Q7T_STD_I64LE_g = -1;
q7id_t Q7T_STD_I8BE_g = -1, Q7T_STD_I16BE_g = -1, Q7T_STD_I32BE_g = -1, Q7T_STD_I64BE_g = -1;
q7id_t Q7T_STD_U8LE_g = -1, Q7T_STD_U16LE_g = -1, Q7T_STD_U32LE_g = -1, Q7T_STD_U64LE_g = -1;
q7id_t Q7T_STD_U8BE_g = -1, Q7T_STD_U16BE_g = -1, Q7T_STD_U32BE_g = -1, Q7T_STD_U64BE_g = -1;
q7id_t Q7T_STD_B8LE_g = -1, Q7T_STD_B16LE_g = -1, Q7T_STD_B32LE_g = -1, Q7T_STD_B64LE_g = -1;
q7id_t Q7T_STD_B8BE_g = -1, Q7T_STD_B16BE_g = -1, Q7T_STD_B32BE_g = -1, Q7T_STD_B64BE_g = -1;
q7id_t Q7T_IEEE_F32LE_g = -1, Q7T_IEEE_F64LE_g = -1, Q7T_IEEE_F32BE_g = -1, Q7T_IEEE_F64BE_g = -1;
q7id_t Q7T_C_S1_g = -1;
}

namespace q7 {

namespace {

bool is_atomic_numeric(int32_t cls) { return cls == Q7T_INTEGER || cls == Q7T_FLOAT || cls == Q7T_BITFIELD; }

// ---- byte form ---------------------------------------------------------
//
// A datatype is kept in files as this byte string (all numbers
// little-endian):
//
//   offset  size  field
//   0       1     form version, 1
//   1       1     class code (0 integer, 1 float, 3 string, 4 bit-field,
//                 5 opaque, 6 compound)
//   2       1     sign (0 unsigned, 1 two's complement; 0 unless integer)
//   3       1     byte order (0 little-endian, 1 big-endian; 2 for string,
//                 opaque and compound)
//   4       8     size in bytes, at least 1
//   -- compound types only --
//   12      4     number of members
//   then per member, in insertion order:
//           4     length of the name in bytes (no terminator), at least 1
//           n     the name
//           8     byte offset of the member inside the compound
//           4     length of the member type's byte form
//           m     the member type's byte form (this same layout)
//
// Members are nested at most 16 deep.  Decoding refuses anything that does
// not follow the layout exactly: unknown version or class, a sign or order
// that does not fit the class, a size of 0, a member outside the compound,
// members that overlap, duplicate names, short or trailing bytes.
constexpr uint8_t kFormVersion = 1;
constexpr int kMaxNesting = 16;

void put_u32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back((char)((v >> (8 * i)) & 0xff));
}
void put_u64(std::string &out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back((char)((v >> (8 * i)) & 0xff));
}

struct Reader {
    const uint8_t *p;
    size_t left;
    bool take(void *dst, size_t n) {
        if (n > left) return false;
        std::memcpy(dst, p, n);
        p += n;
        left -= n;
        return true;
    }
    bool u8(uint8_t &v) { return take(&v, 1); }
    bool u32(uint32_t &v) {
        uint8_t b[4];
        if (!take(b, 4)) return false;
        v = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
        return true;
    }
    bool u64(uint64_t &v) {
        uint8_t b[8];
        if (!take(b, 8)) return false;
        v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
        return true;
    }
};

// Whether a member of the given size fits at offset beside the existing
// members of a compound of total size `size`.
bool member_fits(const Datatype &parent, size_t offset, size_t msize, std::string *why) {
    if (offset > parent.size || msize > parent.size - offset) {
        if (why) *why = "does not fit inside the compound";
        return false;
    }
    for (const Member &m : parent.members) {
        size_t a0 = m.offset, a1 = m.offset + m.type->size;
        if (offset < a1 && a0 < offset + msize) {
            if (why) *why = "overlaps member \"" + m.name + "\"";
            return false;
        }
    }
    return true;
}

bool valid_shape(const Datatype &t) {
    if (t.size == 0) return false;
    switch (t.cls) {
    case Q7T_INTEGER:
        return (t.sign == Q7T_SGN_NONE || t.sign == Q7T_SGN_2) && (t.order == Q7T_ORDER_LE || t.order == Q7T_ORDER_BE);
    case Q7T_FLOAT:
    case Q7T_BITFIELD:
        return t.sign == Q7T_SGN_NONE && (t.order == Q7T_ORDER_LE || t.order == Q7T_ORDER_BE);
    case Q7T_STRING:
    case Q7T_OPAQUE:
    case Q7T_COMPOUND:
        return t.sign == Q7T_SGN_NONE && t.order == Q7T_ORDER_NONE;
    default:
        return false;
    }
}

std::shared_ptr<Datatype> decode_at(Reader &r, int depth) {
    if (depth > kMaxNesting) return nullptr;
    uint8_t version, cls, sign, order;
    uint64_t size;
    if (!r.u8(version) || !r.u8(cls) || !r.u8(sign) || !r.u8(order) || !r.u64(size)) return nullptr;
    if (version != kFormVersion || size > (uint64_t)SIZE_MAX) return nullptr;
    auto t = std::make_shared<Datatype>();
    t->cls = cls;
    t->sign = sign;
    t->order = order;
    t->size = (size_t)size;
    if (!valid_shape(*t)) return nullptr;
    if (t->cls != Q7T_COMPOUND) return t;
    uint32_t n;
    if (!r.u32(n)) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t namelen, tlen;
        uint64_t off;
        if (!r.u32(namelen) || namelen == 0 || namelen > r.left) return nullptr;
        std::string name((const char *)r.p, namelen);
        r.p += namelen;
        r.left -= namelen;
        if (name.find('\0') != std::string::npos) return nullptr;
        if (!r.u64(off) || !r.u32(tlen) || tlen > r.left) return nullptr;
        Reader sub{r.p, tlen};
        auto mt = decode_at(sub, depth + 1);
        if (!mt || sub.left != 0) return nullptr;
        r.p += tlen;
        r.left -= tlen;
        if (off > (uint64_t)SIZE_MAX || !member_fits(*t, (size_t)off, mt->size, nullptr)) return nullptr;
        for (const Member &m : t->members)
            if (m.name == name) return nullptr;
        t->members.push_back(Member{name, (size_t)off, mt});
    }
    return t;
}

q7id_t make_predefined(int32_t cls, size_t size, int32_t sign, int32_t order) {
    auto t = std::make_shared<Datatype>();
    t->cls = cls;
    t->size = size;
    t->sign = sign;
    t->order = order;
    t->predefined = true;
    q7id_t id = register_id(Q7I_DATATYPE, t);
    mark_predefined(id);
    return id;
}

const char *class_word(int32_t cls) {
    switch (cls) {
    case Q7T_INTEGER: return "integer";
    case Q7T_FLOAT: return "float";
    case Q7T_STRING: return "string";
    case Q7T_BITFIELD: return "bit-field";
    case Q7T_OPAQUE: return "opaque";
    case Q7T_COMPOUND: return "compound";
    default: return "unknown";
    }
}

} // namespace

std::string Datatype::encode() const {
    std::string out;
    out.push_back((char)kFormVersion);
    out.push_back((char)(uint8_t)cls);
    out.push_back((char)(uint8_t)sign);
    out.push_back((char)(uint8_t)order);
    put_u64(out, size);
    if (cls == Q7T_COMPOUND) {
        put_u32(out, (uint32_t)members.size());
        for (const Member &m : members) {
            put_u32(out, (uint32_t)m.name.size());
            out += m.name;
            put_u64(out, m.offset);
            std::string sub = m.type->encode();
            put_u32(out, (uint32_t)sub.size());
            out += sub;
        }
    }
    return out;
}

std::shared_ptr<Datatype> Datatype::decode(const void *bytes, size_t len) {
    if (!bytes) return nullptr;
    try {
        Reader r{static_cast<const uint8_t *>(bytes), len};
        auto t = decode_at(r, 0);
        if (!t || r.left != 0) return nullptr;
        return t;
    } catch (const std::bad_alloc &) {
        // Want of memory is not damage: the caller's frame reports it.
        throw;
    } catch (...) {
        return nullptr;
    }
}

bool Datatype::equal(const Datatype &o) const {
    if (cls != o.cls || size != o.size || sign != o.sign || order != o.order) return false;
    if (members.size() != o.members.size()) return false;
    for (size_t i = 0; i < members.size(); ++i) {
        const Member &a = members[i], &b = o.members[i];
        if (a.name != b.name || a.offset != b.offset || !a.type->equal(*b.type)) return false;
    }
    return true;
}

std::shared_ptr<Datatype> copy_type(const Datatype &t) {
    auto c = std::make_shared<Datatype>(t);
    c->predefined = false;
    return c;
}

Conversion conversion_between(const Datatype &src, const Datatype &dst) {
    if (src.equal(dst)) return Conversion::Copy;
    // Only a change of byte order is done; a change of sign, size or class
    // would change values and is refused.
    if (is_atomic_numeric(src.cls) && src.cls == dst.cls && src.size == dst.size && src.sign == dst.sign &&
        src.order != dst.order)
        return Conversion::Swap;
    return Conversion::Refused;
}

void swap_bytes(void *buf, size_t nelem, size_t elem_size) {
    if (!buf || elem_size < 2) return;
    auto *p = static_cast<unsigned char *>(buf);
    switch (elem_size) {
    case 2:
        for (size_t i = 0; i < nelem; ++i, p += 2) {
            uint16_t v;
            std::memcpy(&v, p, 2);
            v = __builtin_bswap16(v);
            std::memcpy(p, &v, 2);
        }
        return;
    case 4:
        for (size_t i = 0; i < nelem; ++i, p += 4) {
            uint32_t v;
            std::memcpy(&v, p, 4);
            v = __builtin_bswap32(v);
            std::memcpy(p, &v, 4);
        }
        return;
    case 8:
        for (size_t i = 0; i < nelem; ++i, p += 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            v = __builtin_bswap64(v);
            std::memcpy(p, &v, 8);
        }
        return;
    default:
        for (size_t i = 0; i < nelem; ++i, p += elem_size)
            for (size_t a = 0, b = elem_size - 1; a < b; ++a, --b) std::swap(p[a], p[b]);
    }
}

std::string describe(const Datatype &t) {
    char buf[96];
    switch (t.cls) {
    case Q7T_INTEGER:
        std::snprintf(buf, sizeof buf, "%zu-bit %s %s integer", t.size * 8,
                      t.order == Q7T_ORDER_BE ? "big-endian" : "little-endian",
                      t.sign == Q7T_SGN_2 ? "signed" : "unsigned");
        break;
    case Q7T_FLOAT:
    case Q7T_BITFIELD:
        std::snprintf(buf, sizeof buf, "%zu-bit %s %s", t.size * 8,
                      t.order == Q7T_ORDER_BE ? "big-endian" : "little-endian",
                      t.cls == Q7T_FLOAT ? "float" : "bit-field");
        break;
    case Q7T_COMPOUND:
        std::snprintf(buf, sizeof buf, "%zu-byte compound of %zu members", t.size, t.members.size());
        break;
    default:
        std::snprintf(buf, sizeof buf, "%zu-byte %s", t.size, class_word(t.cls));
    }
    return buf;
}

namespace core {

void open_datatypes() {
    const int32_t LE = Q7T_ORDER_LE, BE = Q7T_ORDER_BE, S = Q7T_SGN_2, U = Q7T_SGN_NONE;
    const int32_t I = Q7T_INTEGER, F = Q7T_FLOAT, B = Q7T_BITFIELD;
    struct {
        q7id_t *slot;
        int32_t cls;
        size_t size;
        int32_t sign, order;
    } const table[] = {
        // natives of x86-64 (little-endian, LP64)
        {&Q7T_NATIVE_SCHAR_g, I, 1, S, LE},   {&Q7T_NATIVE_UCHAR_g, I, 1, U, LE},
        {&Q7T_NATIVE_SHORT_g, I, 2, S, LE},   {&Q7T_NATIVE_USHORT_g, I, 2, U, LE},
        {&Q7T_NATIVE_INT_g, I, 4, S, LE},     {&Q7T_NATIVE_UINT_g, I, 4, U, LE},
        {&Q7T_NATIVE_LONG_g, I, 8, S, LE},    {&Q7T_NATIVE_ULONG_g, I, 8, U, LE},
        {&Q7T_NATIVE_LLONG_g, I, 8, S, LE},   {&Q7T_NATIVE_ULLONG_g, I, 8, U, LE},
        {&Q7T_NATIVE_FLOAT_g, F, 4, U, LE},   {&Q7T_NATIVE_DOUBLE_g, F, 8, U, LE},
        {&Q7T_NATIVE_INT8_g, I, 1, S, LE},    {&Q7T_NATIVE_UINT8_g, I, 1, U, LE},
        {&Q7T_NATIVE_INT16_g, I, 2, S, LE},   {&Q7T_NATIVE_UINT16_g, I, 2, U, LE},
        {&Q7T_NATIVE_INT32_g, I, 4, S, LE},   {&Q7T_NATIVE_UINT32_g, I, 4, U, LE},
        {&Q7T_NATIVE_INT64_g, I, 8, S, LE},   {&Q7T_NATIVE_UINT64_g, I, 8, U, LE},
        {&Q7T_NATIVE_B8_g, B, 1, U, LE},      {&Q7T_NATIVE_B16_g, B, 2, U, LE},
        {&Q7T_NATIVE_B32_g, B, 4, U, LE},     {&Q7T_NATIVE_B64_g, B, 8, U, LE},
        // standard integers and bit-fields, fixed byte order
        {&Q7T_STD_I8LE_g, I, 1, S, LE},  {&Q7T_STD_I16LE_g, I, 2, S, LE},
        {&Q7T_STD_I32LE_g, I, 4, S, LE}, {&Q7T_STD_I64LE_g, I, 8, S, LE},
        {&Q7T_STD_I8BE_g, I, 1, S, BE},  {&Q7T_STD_I16BE_g, I, 2, S, BE},
        {&Q7T_STD_I32BE_g, I, 4, S, BE}, {&Q7T_STD_I64BE_g, I, 8, S, BE},
        {&Q7T_STD_U8LE_g, I, 1, U, LE},  {&Q7T_STD_U16LE_g, I, 2, U, LE},
        {&Q7T_STD_U32LE_g, I, 4, U, LE}, {&Q7T_STD_U64LE_g, I, 8, U, LE},
        {&Q7T_STD_U8BE_g, I, 1, U, BE},  {&Q7T_STD_U16BE_g, I, 2, U, BE},
        {&Q7T_STD_U32BE_g, I, 4, U, BE}, {&Q7T_STD_U64BE_g, I, 8, U, BE},
        {&Q7T_STD_B8LE_g, B, 1, U, LE},  {&Q7T_STD_B16LE_g, B, 2, U, LE},
        {&Q7T_STD_B32LE_g, B, 4, U, LE}, {&Q7T_STD_B64LE_g, B, 8, U, LE},
        {&Q7T_STD_B8BE_g, B, 1, U, BE},  {&Q7T_STD_B16BE_g, B, 2, U, BE},
        {&Q7T_STD_B32BE_g, B, 4, U, BE}, {&Q7T_STD_B64BE_g, B, 8, U, BE},
        // IEEE floats
        {&Q7T_IEEE_F32LE_g, F, 4, U, LE}, {&Q7T_IEEE_F64LE_g, F, 8, U, LE},
        {&Q7T_IEEE_F32BE_g, F, 4, U, BE}, {&Q7T_IEEE_F64BE_g, F, 8, U, BE},
    };
    for (const auto &e : table) *e.slot = make_predefined(e.cls, e.size, e.sign, e.order);
    Q7T_C_S1_g = make_predefined(Q7T_STRING, 1, Q7T_SGN_NONE, Q7T_ORDER_NONE);
}

} // namespace core
} // namespace q7

using namespace q7;

namespace {

// The datatype behind id, or null with a record pushed.
std::shared_ptr<Datatype> type_of(q7id_t id) { return get<Datatype>(id, Q7I_DATATYPE); }

// The datatype behind id when it may be changed, or null with a record.
std::shared_ptr<Datatype> changeable(q7id_t id, const char *what) {
    auto t = type_of(id);
    if (t && t->predefined) {
        Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "cannot %s a predefined datatype (identifier %lld)", what,
                (long long)id);
        return nullptr;
    }
    return t;
}

} // namespace

extern "C" int32_t Q7Tget_class(q7id_t type_id) {
    return q7::api_call("Q7Tget_class", int32_t{Q7T_NO_CLASS}, [&](q7::ApiCall &api_) -> int32_t {
        auto t = type_of(type_id);
        if (!t) return api_.fail((int32_t)Q7T_NO_CLASS);
        return t->cls;
    });
}

extern "C" size_t Q7Tget_size(q7id_t type_id) {
    return q7::api_call("Q7Tget_size", (size_t)0, [&](q7::ApiCall &api_) -> size_t {
        auto t = type_of(type_id);
        if (!t) return api_.fail((size_t)0);
        return t->size;
    });
}

extern "C" int32_t Q7Tget_sign(q7id_t type_id) {
    return q7::api_call("Q7Tget_sign", (int32_t)Q7T_SGN_ERROR, [&](q7::ApiCall &api_) -> int32_t {
        auto t = type_of(type_id);
        if (!t) return api_.fail((int32_t)Q7T_SGN_ERROR);
        return t->sign;  // 0 (no sign) for every class but signed integers
    });
}

extern "C" int32_t Q7Tget_order(q7id_t type_id) {
    return q7::api_call("Q7Tget_order", (int32_t)Q7T_ORDER_ERROR, [&](q7::ApiCall &api_) -> int32_t {
        auto t = type_of(type_id);
        if (!t) return api_.fail((int32_t)Q7T_ORDER_ERROR);
        return t->order;
    });
}

extern "C" q7id_t Q7Tcopy(q7id_t type_id) {
    return q7::api_call("Q7Tcopy", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        auto t = type_of(type_id);
        if (!t) return api_.fail(-1);
        return register_id(Q7I_DATATYPE, copy_type(*t));
    });
}

extern "C" q7id_t Q7Tcreate(int32_t type_class, size_t size) {
    return q7::api_call("Q7Tcreate", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        if (type_class != Q7T_STRING && type_class != Q7T_OPAQUE && type_class != Q7T_COMPOUND) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_UNSUPPORTED_g,
                    "Q7Tcreate makes string (3), opaque (5) or compound (6) types, not class %d", (int)type_class);
            return api_.fail(-1);
        }
        if (size == 0) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "a datatype needs a size of at least 1 byte");
            return api_.fail(-1);
        }
        auto t = std::make_shared<Datatype>();
        t->cls = type_class;
        t->size = size;
        t->sign = Q7T_SGN_NONE;
        t->order = Q7T_ORDER_NONE;
        return register_id(Q7I_DATATYPE, t);
    });
}

extern "C" q7status_t Q7Tinsert(q7id_t parent_id, const char *name, size_t offset, q7id_t member_id) {
    return q7::api_call("Q7Tinsert", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto parent = changeable(parent_id, "insert into");
        if (!parent) return api_.fail(-1);
        auto member = type_of(member_id);
        if (!member) return api_.fail(-1);
        if (parent->cls != Q7T_COMPOUND) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADTYPE_g, "members can only be inserted into a compound datatype");
            return api_.fail(-1);
        }
        if (!name || !*name) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "a member needs a non-empty name");
            return api_.fail(-1);
        }
        for (const Member &m : parent->members) {
            if (m.name == name) {
                Q7_PUSH(Q7E_DATATYPE_g, Q7E_EXISTS_g, "the compound already has a member \"%s\"", name);
                return api_.fail(-1);
            }
        }
        std::string why;
        if (!member_fits(*parent, offset, member->size, &why)) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADRANGE_g,
                    "member \"%s\" (%zu bytes at offset %zu) %s of %zu bytes", name, member->size, offset, why.c_str(),
                    parent->size);
            return api_.fail(-1);
        }
        // The member keeps a copy: closing or changing member_id later
        // leaves the compound as it is.
        parent->members.push_back(Member{name, offset, copy_type(*member)});
        return 0;
    });
}

extern "C" q7status_t Q7Tset_size(q7id_t type_id, size_t size) {
    return q7::api_call("Q7Tset_size", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto t = changeable(type_id, "resize");
        if (!t) return api_.fail(-1);
        if (size == 0) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "a datatype needs a size of at least 1 byte");
            return api_.fail(-1);
        }
        for (const Member &m : t->members) {
            if (m.offset + m.type->size > size) {
                Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADRANGE_g, "size %zu would cut member \"%s\" of the compound", size,
                        m.name.c_str());
                return api_.fail(-1);
            }
        }
        t->size = size;
        return 0;
    });
}

extern "C" q7status_t Q7Tset_order(q7id_t type_id, int32_t order) {
    return q7::api_call("Q7Tset_order", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        auto t = changeable(type_id, "change the byte order of");
        if (!t) return api_.fail(-1);
        bool ok = is_atomic_numeric(t->cls) ? (order == Q7T_ORDER_LE || order == Q7T_ORDER_BE) : order == Q7T_ORDER_NONE;
        if (!ok) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "byte order %d does not apply to a %s", (int)order,
                    describe(*t).c_str());
            return api_.fail(-1);
        }
        t->order = order;
        return 0;
    });
}

extern "C" q7tri_t Q7Tequal(q7id_t type1_id, q7id_t type2_id) {
    return q7::api_call("Q7Tequal", q7tri_t{-1}, [&](q7::ApiCall &api_) -> q7tri_t {
        auto a = type_of(type1_id);
        if (!a) return api_.fail(-1);
        auto b = type_of(type2_id);
        if (!b) return api_.fail(-1);
        return a->equal(*b) ? 1 : 0;
    });
}

namespace {
// Member idx of a compound, or null with a record.
const Member *member_at(q7id_t type_id, unsigned idx, std::shared_ptr<Datatype> &hold) {
    hold = type_of(type_id);
    if (!hold) return nullptr;
    if (hold->cls != Q7T_COMPOUND) {
        Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADTYPE_g, "datatype %lld is not a compound", (long long)type_id);
        return nullptr;
    }
    if (idx >= hold->members.size()) {
        Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADRANGE_g, "member index %u out of range (%zu members)", idx,
                hold->members.size());
        return nullptr;
    }
    return &hold->members[idx];
}
} // namespace

extern "C" int32_t Q7Tget_nmembers(q7id_t type_id) {
    return q7::api_call("Q7Tget_nmembers", int32_t{-1}, [&](q7::ApiCall &api_) -> int32_t {
        auto t = type_of(type_id);
        if (!t) return api_.fail(-1);
        if (t->cls != Q7T_COMPOUND) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADTYPE_g, "datatype %lld is not a compound", (long long)type_id);
            return api_.fail(-1);
        }
        return (int32_t)t->members.size();
    });
}

extern "C" char *Q7Tget_member_name(q7id_t type_id, unsigned idx) {
    return q7::api_call("Q7Tget_member_name", static_cast<char *>(nullptr), [&](q7::ApiCall &api_) -> char * {
        std::shared_ptr<Datatype> hold;
        const Member *m = member_at(type_id, idx, hold);
        if (!m) return api_.fail(nullptr);
        char *out = static_cast<char *>(std::malloc(m->name.size() + 1));
        if (!out) {
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory");
            return api_.fail(nullptr);
        }
        std::memcpy(out, m->name.c_str(), m->name.size() + 1);
        return out;
    });
}

extern "C" size_t Q7Tget_member_offset(q7id_t type_id, unsigned idx) {
    return q7::api_call("Q7Tget_member_offset", (size_t)0, [&](q7::ApiCall &api_) -> size_t {
        std::shared_ptr<Datatype> hold;
        const Member *m = member_at(type_id, idx, hold);
        if (!m) return api_.fail((size_t)0);
        return m->offset;
    });
}

extern "C" q7id_t Q7Tget_member_type(q7id_t type_id, unsigned idx) {
    return q7::api_call("Q7Tget_member_type", q7id_t{-1}, [&](q7::ApiCall &api_) -> q7id_t {
        std::shared_ptr<Datatype> hold;
        const Member *m = member_at(type_id, idx, hold);
        if (!m) return api_.fail(-1);
        return register_id(Q7I_DATATYPE, copy_type(*m->type));
    });
}

extern "C" q7status_t Q7Tclose(q7id_t type_id) {
    return q7::api_call("Q7Tclose", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!type_of(type_id)) return api_.fail(-1);
        if (!release_id(type_id, Q7I_DATATYPE)) {
            Q7_PUSH(Q7E_DATATYPE_g, Q7E_BADVALUE_g, "cannot close a predefined datatype (identifier %lld)",
                    (long long)type_id);
            return api_.fail(-1);
        }
        return 0;
    });
}
