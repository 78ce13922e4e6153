// quor7._core: files, groups, objects and links.
#include "core.hpp"

#include <memory>
#include <utility>

namespace q7py {

Handle::~Handle() {
    if (id_ >= 0) {
        Lock l(g_lib);
        close_id(id_, kind_);
    }
}

void Handle::close() {
    if (id_ < 0) return;
    // Marked closed under the GIL, before it is released, so that no other
    // thread uses or closes the identifier again.
    q7id_t id = id_;
    id_ = -1;
    // Closing a file commits what is pending, which may take the disk a while.
    call("close", [&] { return close_id(id, kind_); }, false, true);
}

q7status_t Handle::close_id(q7id_t id, int kind) {
    switch (kind) {
    case Q7I_FILE: return Q7Fclose(id);
    case Q7I_GROUP: return Q7Gclose(id);
    case Q7I_DATASET: return Q7Dclose(id);
    default: return Q7Oclose(id);
    }
}

namespace {

std::unique_ptr<Handle> file_open(const std::string &path, unsigned flags) {
    q7id_t id = call("Q7Fopen", [&] { return Q7Fopen(path.c_str(), flags, 0); });
    return std::make_unique<Handle>(id, Q7I_FILE);
}

std::unique_ptr<Handle> file_create(const std::string &path, unsigned flags) {
    q7id_t id = call("Q7Fcreate", [&] { return Q7Fcreate(path.c_str(), flags, 0, 0); });
    return std::make_unique<Handle>(id, Q7I_FILE);
}

std::string read_name(q7ssize_t (*get)(q7id_t, char *, size_t), q7id_t id, const char *what) {
    std::string out;
    call(what, [&] {
        q7ssize_t n = get(id, nullptr, 0);
        if (n >= 0) {
            out.assign((size_t)n + 1, '\0');
            n = get(id, out.data(), out.size());
        }
        if (n >= 0) out.resize((size_t)n);
        return n;
    });
    return out;
}

std::unique_ptr<Handle> group_create(q7id_t loc, const std::string &name) {
    q7id_t id = call("Q7Gcreate2", [&] { return Q7Gcreate2(loc, name.c_str(), 0, 0, 0); });
    return std::make_unique<Handle>(id, Q7I_GROUP);
}

// Opens a group or dataset by name; returns the handle and its kind.  A
// name that is not there raises KeyError.
std::pair<std::unique_ptr<Handle>, int> object_open(q7id_t loc, const std::string &name) {
    int kind = 0;
    q7id_t id = call(
        "Q7Oopen",
        [&] {
            q7id_t o = Q7Oopen(loc, name.c_str(), 0);
            if (o >= 0) kind = Q7Iget_type(o);
            return o;
        },
        true);
    return {std::make_unique<Handle>(id, kind), kind};
}

bool link_exists(q7id_t loc, const std::string &name) {
    return call("Q7Lexists", [&] { return Q7Lexists(loc, name.c_str(), 0); }) > 0;
}

int link_type(q7id_t loc, const std::string &name) {
    Q7L_info_t info{};
    call("Q7Lget_info", [&] { return Q7Lget_info(loc, name.c_str(), &info, 0); }, true);
    return info.type;
}

// Soft link: (path,); external link: (file, object path).
py::tuple link_value(q7id_t loc, const std::string &name) {
    Q7L_info_t info{};
    std::vector<char> buf;
    call(
        "Q7Lget_val",
        [&] {
            q7status_t s = Q7Lget_info(loc, name.c_str(), &info, 0);
            if (s < 0) return s;
            buf.assign(info.val_size + 1, '\0');
            return Q7Lget_val(loc, name.c_str(), buf.data(), buf.size(), 0);
        },
        true);
    if (info.type == Q7L_TYPE_SOFT) return py::make_tuple(std::string(buf.data()));
    if (info.type == Q7L_TYPE_EXTERNAL) {
        const char *file = nullptr, *obj = nullptr;
        unsigned flags = 0;
        call("Q7Lunpack_elink_val",
             [&] { return Q7Lunpack_elink_val(buf.data(), info.val_size, &flags, &file, &obj); });
        return py::make_tuple(std::string(file), std::string(obj));
    }
    return py::make_tuple();
}

q7status_t collect_link(q7id_t, const char *name, const Q7L_info_t *, void *data) {
    static_cast<std::vector<std::string> *>(data)->emplace_back(name);
    return 0;
}

std::vector<std::string> link_names(q7id_t group) {
    std::vector<std::string> names;
    call("Q7Literate2", [&] { return Q7Literate2(group, nullptr, collect_link, &names); });
    return names;
}

// (address, object type, hard link count, file number, attribute count)
py::tuple object_info(q7id_t loc, const std::string &name) {
    Q7O_info2_t info{};
    call("Q7Oget_info_by_name2", [&] { return Q7Oget_info_by_name2(loc, name.c_str(), &info, Q7O_INFO_ALL, 0); },
         true);
    return py::make_tuple(info.addr, info.type, info.rc, info.fileno, info.num_attrs);
}

} // namespace

void bind_files(py::module_ &m) {
    py::class_<Handle>(m, "Handle")
        .def_property_readonly("id", &Handle::id)
        .def_property_readonly("open", &Handle::open)
        .def_property_readonly("kind", &Handle::kind)
        .def("close", &Handle::close);

    m.def("file_open", &file_open);
    m.def("file_create", &file_create);
    m.def("flush", [](q7id_t id) { call("Q7Fflush", [&] { return Q7Fflush(id); }, false, true); });
    m.def("file_name", [](q7id_t id) { return read_name(Q7Fget_name, id, "Q7Fget_name"); });
    m.def("object_name", [](q7id_t id) { return read_name(Q7Iget_name, id, "Q7Iget_name"); });
    m.def("group_create", &group_create);
    m.def("object_open", &object_open);
    m.def("object_info", &object_info);
    m.def("link_exists", &link_exists);
    m.def("link_type", &link_type);
    m.def("link_value", &link_value);
    m.def("link_names", &link_names);
    m.def("link_create_soft", [](const std::string &target, q7id_t loc, const std::string &name) {
        call("Q7Lcreate_soft", [&] { return Q7Lcreate_soft(target.c_str(), loc, name.c_str(), 0, 0); });
    });
    m.def("link_create_external",
          [](const std::string &file, const std::string &obj, q7id_t loc, const std::string &name) {
              call("Q7Lcreate_external",
                   [&] { return Q7Lcreate_external(file.c_str(), obj.c_str(), loc, name.c_str(), 0, 0); });
          });
    m.def("link_create_hard", [](q7id_t obj, const std::string &obj_name, q7id_t loc, const std::string &name) {
        call("Q7Lcreate_hard", [&] { return Q7Lcreate_hard(obj, obj_name.c_str(), loc, name.c_str(), 0, 0); });
    });
    m.def("link_delete", [](q7id_t loc, const std::string &name) {
        call("Q7Ldelete", [&] { return Q7Ldelete(loc, name.c_str(), 0); }, true);
    });
}

} // namespace q7py
