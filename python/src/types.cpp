// quor7._core: element types and their descriptors.
#include "core.hpp"

namespace q7py {

namespace {

q7id_t predefined_number(char kind, size_t size, int order) {
    bool be = order == 1;
    if (kind == 'f') {
        if (size == 4) return be ? Q7T_IEEE_F32BE_g : Q7T_IEEE_F32LE_g;
        if (size == 8) return be ? Q7T_IEEE_F64BE_g : Q7T_IEEE_F64LE_g;
        return -1;
    }
    const q7id_t *table = nullptr;
    q7id_t i_le[4] = {Q7T_STD_I8LE_g, Q7T_STD_I16LE_g, Q7T_STD_I32LE_g, Q7T_STD_I64LE_g};
    q7id_t i_be[4] = {Q7T_STD_I8BE_g, Q7T_STD_I16BE_g, Q7T_STD_I32BE_g, Q7T_STD_I64BE_g};
    q7id_t u_le[4] = {Q7T_STD_U8LE_g, Q7T_STD_U16LE_g, Q7T_STD_U32LE_g, Q7T_STD_U64LE_g};
    q7id_t u_be[4] = {Q7T_STD_U8BE_g, Q7T_STD_U16BE_g, Q7T_STD_U32BE_g, Q7T_STD_U64BE_g};
    q7id_t b_le[4] = {Q7T_STD_B8LE_g, Q7T_STD_B16LE_g, Q7T_STD_B32LE_g, Q7T_STD_B64LE_g};
    q7id_t b_be[4] = {Q7T_STD_B8BE_g, Q7T_STD_B16BE_g, Q7T_STD_B32BE_g, Q7T_STD_B64BE_g};
    if (kind == 'i') table = be ? i_be : i_le;
    else if (kind == 'u') table = be ? u_be : u_le;
    else if (kind == 'b') table = be ? b_be : b_le;
    else return -1;
    switch (size) {
    case 1: return table[0];
    case 2: return table[1];
    case 4: return table[2];
    case 8: return table[3];
    default: return -1;
    }
}

bool is_number(const std::string &kind) { return kind == "i" || kind == "u" || kind == "f" || kind == "b"; }

} // namespace

TypeDesc desc_from_py(const py::tuple &desc) {
    TypeDesc out;
    out.kind = desc[0].cast<std::string>();
    out.size = desc[1].cast<size_t>();
    if (is_number(out.kind)) out.order = desc[2].cast<int>();
    if (out.kind == "c")
        for (auto item : desc[2].cast<py::list>()) {
            auto member = item.cast<py::tuple>();
            out.members.push_back(
                {member[0].cast<std::string>(), member[1].cast<size_t>(), desc_from_py(member[2].cast<py::tuple>())});
        }
    return out;
}

py::tuple desc_to_py(const TypeDesc &desc) {
    if (is_number(desc.kind)) return py::make_tuple(desc.kind, desc.size, desc.order);
    if (desc.kind != "c") return py::make_tuple(desc.kind, desc.size);
    py::list members;
    for (auto &m : desc.members) members.append(py::make_tuple(m.name, m.offset, desc_to_py(m.type)));
    return py::make_tuple(desc.kind, desc.size, members);
}

q7id_t type_create(const TypeDesc &desc, LibraryError &err) {
    const std::string &kind = desc.kind;
    if (is_number(kind)) {
        q7id_t base = predefined_number(kind[0], desc.size, desc.order);
        if (base < 0) {
            err.message = "no " + kind + " type of " + std::to_string(desc.size) + " bytes";
            return -1;
        }
        q7id_t t = Q7Tcopy(base);
        if (t < 0) err = stack_error("Q7Tcopy");
        return t;
    }
    if (kind == "S" || kind == "V") {
        q7id_t t = Q7Tcreate(kind == "S" ? Q7T_STRING : Q7T_OPAQUE, desc.size);
        if (t < 0) err = stack_error("Q7Tcreate");
        return t;
    }
    if (kind == "c") {
        Temp t(Q7Tcreate(Q7T_COMPOUND, desc.size), Q7Tclose);
        if (t.id < 0) {
            err = stack_error("Q7Tcreate");
            return -1;
        }
        for (auto &member : desc.members) {
            Temp mt(type_create(member.type, err), Q7Tclose);
            if (mt.id < 0) return -1;
            if (Q7Tinsert(t.id, member.name.c_str(), member.offset, mt.id) < 0) {
                err = stack_error("Q7Tinsert");
                return -1;
            }
        }
        return t.release();
    }
    err.message = "unknown element type descriptor " + kind;
    return -1;
}

bool type_describe(q7id_t type, TypeDesc &out, LibraryError &err) {
    int32_t cls = Q7Tget_class(type);
    out.size = Q7Tget_size(type);
    out.order = Q7Tget_order(type) == Q7T_ORDER_BE ? 1 : 0;
    switch (cls) {
    case Q7T_INTEGER:
        out.kind = Q7Tget_sign(type) == Q7T_SGN_NONE ? "u" : "i";
        return true;
    case Q7T_FLOAT:
        out.kind = "f";
        return true;
    case Q7T_BITFIELD:
        out.kind = "b";
        return true;
    case Q7T_STRING:
        out.kind = "S";
        return true;
    case Q7T_OPAQUE:
        out.kind = "V";
        return true;
    case Q7T_COMPOUND: {
        out.kind = "c";
        int32_t n = Q7Tget_nmembers(type);
        for (int32_t i = 0; i < n; ++i) {
            char *name = Q7Tget_member_name(type, (unsigned)i);
            if (!name) {
                err = stack_error("Q7Tget_member_name");
                return false;
            }
            TypeDesc::Member member;
            member.name = name;
            Q7free_memory(name);
            member.offset = Q7Tget_member_offset(type, (unsigned)i);
            Temp mt(Q7Tget_member_type(type, (unsigned)i), Q7Tclose);
            if (mt.id < 0) {
                err = stack_error("Q7Tget_member_type");
                return false;
            }
            if (!type_describe(mt.id, member.type, err)) return false;
            out.members.push_back(std::move(member));
        }
        return true;
    }
    case Q7T_NO_CLASS:
        err = stack_error("Q7Tget_class");
        return false;
    default:
        err.message = "element type class " + std::to_string(cls) + " has no NumPy equivalent";
        return false;
    }
}

} // namespace q7py
