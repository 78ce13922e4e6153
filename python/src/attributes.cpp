// quor7._core: attributes of files, groups and datasets.
#include "core.hpp"

namespace q7py {

namespace {

q7status_t collect_attr(q7id_t, const char *name, void *data) {
    static_cast<std::vector<std::string> *>(data)->emplace_back(name);
    return 0;
}

std::vector<std::string> attr_names(q7id_t obj) {
    std::vector<std::string> names;
    call("Q7Aiterate2", [&] { return Q7Aiterate2(obj, nullptr, collect_attr, &names); });
    return names;
}

bool attr_exists(q7id_t obj, const std::string &name) {
    return call("Q7Aexists", [&] { return Q7Aexists(obj, name.c_str()); }) > 0;
}

// (descriptor, shape); KeyError when there is no attribute of that name.
py::tuple attr_info(q7id_t obj, const std::string &name) {
    TypeDesc desc;
    std::vector<q7size_t> dims(Q7_MAX_RANK);
    int rank = run(
        [&](Op &op) {
            Temp attr(op(Q7Aopen(obj, name.c_str(), 0), "Q7Aopen"), Q7Aclose);
            if (attr.id < 0) return -1;
            Temp type(op(Q7Aget_type(attr.id), "Q7Aget_type"), Q7Tclose);
            Temp space(op(Q7Aget_space(attr.id), "Q7Aget_space"), Q7Sclose);
            if (type.id < 0 || space.id < 0) return -1;
            int r = op(Q7Sget_simple_extent_dims(space.id, dims.data(), nullptr), "Q7Sget_simple_extent_dims");
            if (r < 0) return -1;
            LibraryError err;
            if (!type_describe(type.id, desc, err)) op.fail(err);
            return r;
        },
        true);
    dims.resize((size_t)rank);
    return py::make_tuple(desc_to_py(desc), py::tuple(py::cast(dims)));
}

void attr_read(q7id_t obj, const std::string &name, py::array out) {
    check_buffer(out, true);
    void *buf = out.mutable_data();
    size_t nbytes = (size_t)out.nbytes();
    run(
        [&](Op &op) {
            Temp attr(op(Q7Aopen(obj, name.c_str(), 0), "Q7Aopen"), Q7Aclose);
            if (attr.id < 0) return false;
            Temp type(op(Q7Aget_type(attr.id), "Q7Aget_type"), Q7Tclose);
            if (type.id < 0) return false;
            Temp space(op(Q7Aget_space(attr.id), "Q7Aget_space"), Q7Sclose);
            q7ssize_t n =
                space.id < 0 ? -1 : op(Q7Sget_simple_extent_npoints(space.id), "Q7Sget_simple_extent_npoints");
            if (n < 0) return false;
            if ((size_t)n * Q7Tget_size(type.id) != nbytes) return op.fail("attribute " + name + " does not fit the buffer");
            return op(Q7Aread(attr.id, type.id, buf), "Q7Aread") >= 0;
        },
        true, true);
}

// Writes an attribute of the given type and shape, replacing one of that
// name.  One of the same type and shape is overwritten in place, in one
// call; otherwise the old one is deleted and a new one made.
void attr_write(q7id_t obj, const std::string &name, const py::tuple &desc, const std::vector<q7size_t> &shape,
                const py::array &data) {
    check_buffer(data, false);
    TypeDesc td = desc_from_py(desc);
    const void *buf = data.data();
    run(
        [&](Op &op) {
            LibraryError err;
            Temp type(type_create(td, err), Q7Tclose);
            if (type.id < 0) return op.fail(err);
            Temp space(op(Q7Screate_simple((int)shape.size(), shape.data(), nullptr), "Q7Screate_simple"),
                       Q7Sclose);
            if (space.id < 0) return false;
            q7tri_t exists = op(Q7Aexists(obj, name.c_str()), "Q7Aexists");
            if (exists < 0) return false;
            if (exists > 0) {
                Temp old(op(Q7Aopen(obj, name.c_str(), 0), "Q7Aopen"), Q7Aclose);
                if (old.id < 0) return false;
                Temp old_type(op(Q7Aget_type(old.id), "Q7Aget_type"), Q7Tclose);
                Temp old_space(op(Q7Aget_space(old.id), "Q7Aget_space"), Q7Sclose);
                if (old_type.id < 0 || old_space.id < 0) return false;
                std::vector<q7size_t> dims(Q7_MAX_RANK);
                int rank =
                    op(Q7Sget_simple_extent_dims(old_space.id, dims.data(), nullptr), "Q7Sget_simple_extent_dims");
                if (rank < 0) return false;
                if (Q7Tequal(old_type.id, type.id) > 0 &&
                    std::vector<q7size_t>(dims.begin(), dims.begin() + rank) == shape)
                    return op(Q7Awrite(old.id, type.id, buf), "Q7Awrite") >= 0;
                old.reset();
                if (op(Q7Adelete(obj, name.c_str()), "Q7Adelete") < 0) return false;
            }
            Temp attr(op(Q7Acreate2(obj, name.c_str(), type.id, space.id, 0, 0), "Q7Acreate2"), Q7Aclose);
            if (attr.id < 0) return false;
            return op(Q7Awrite(attr.id, type.id, buf), "Q7Awrite") >= 0;
        },
        false, true);
}

void attr_delete(q7id_t obj, const std::string &name) {
    call("Q7Adelete", [&] { return Q7Adelete(obj, name.c_str()); }, true);
}

} // namespace

void bind_attributes(py::module_ &m) {
    m.def("attr_names", &attr_names);
    m.def("attr_exists", &attr_exists);
    m.def("attr_info", &attr_info);
    m.def("attr_read", &attr_read);
    m.def("attr_write", &attr_write);
    m.def("attr_delete", &attr_delete);
}

} // namespace q7py
