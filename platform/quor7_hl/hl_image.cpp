// 8-bit indexed images and RGB palettes, marked and linked with
// attributes (layout in docs/file-format-images.md).
#include "hl_internal.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using q7hl::AttrCloser;
using q7hl::DatasetCloser;
using q7hl::PlistCloser;
using q7hl::SpaceCloser;
using q7hl::TypeCloser;

constexpr const char *kClassAttr = "Q7IM_CLASS";
constexpr const char *kSubclassAttr = "Q7IM_SUBCLASS";
constexpr const char *kPalettesAttr = "Q7IM_PALETTES";
constexpr const char *kImageClass = "IMAGE";
constexpr const char *kImageSubclass = "INDEXED8";
constexpr const char *kPaletteClass = "PALETTE";
constexpr const char *kPaletteSubclass = "RGB8";

// Image chunks hold whole rows and about this many bytes.
constexpr q7size_t kChunkBytes = q7size_t(1) << 20;
// Widest string element of a marking or palette-list attribute read.
constexpr size_t kMaxStringBytes = 64u << 10;

bool valid_name(const char *name) { return name && *name; }

// Writes (replacing) a string-array attribute of fixed-length strings.
bool write_strings(q7id_t obj, const char *name, const std::vector<std::string> &values) {
    size_t width = 1;
    for (const auto &v : values) width = std::max(width, v.size());
    std::vector<char> packed(width * values.size(), '\0');
    for (size_t i = 0; i < values.size(); ++i) std::memcpy(&packed[i * width], values[i].data(), values[i].size());
    if (Q7Aexists(obj, name) > 0 && Q7Adelete(obj, name) < 0) return false;
    if (values.empty()) return true;
    TypeCloser type{Q7Tcreate(Q7T_STRING, width)};
    if (type.id < 0) return false;
    q7size_t dims[1] = {values.size()};
    SpaceCloser space{Q7Screate_simple(1, dims, nullptr)};
    if (space.id < 0) return false;
    AttrCloser attr{Q7Acreate2(obj, name, type.id, space.id, 0, 0)};
    if (attr.id < 0) return false;
    return Q7Awrite(attr.id, type.id, packed.data()) >= 0;
}

// Reads a string-array attribute; a missing attribute is an empty list.
// False when the attribute exists but cannot be read as strings; then
// *failed (if given) tells a failed call of the storage library from an
// attribute that holds no strings.
bool read_strings(q7id_t obj, const char *name, std::vector<std::string> &values, bool *failed = nullptr) {
    values.clear();
    bool ignored;
    bool &broken = failed ? *failed : ignored;
    broken = true;
    q7tri_t exists = Q7Aexists(obj, name);
    if (exists < 0) return false;
    if (exists == 0) return true;
    AttrCloser attr{Q7Aopen(obj, name, 0)};
    if (attr.id < 0) return false;
    TypeCloser type{Q7Aget_type(attr.id)};
    if (type.id < 0) return false;
    int32_t cls = Q7Tget_class(type.id);
    if (cls < 0) return false;
    if (cls != Q7T_STRING) {
        broken = false;
        return false;
    }
    size_t width = Q7Tget_size(type.id);
    if (width == 0) return false;
    SpaceCloser space{Q7Aget_space(attr.id)};
    q7ssize_t count = space.id < 0 ? -1 : Q7Sget_simple_extent_npoints(space.id);
    if (count < 0) return false;
    // The element count from the extent itself, and the bytes it takes: a
    // damaged or hostile extent (2^31 x 2^30 strings of 8 bytes) whose
    // product wraps must not size the buffer below what is read and
    // walked.  Marking and palette-list attributes are small: anything
    // beyond the palette limit or kMaxStringBytes is refused as damaged.
    q7size_t dims[Q7_MAX_RANK];
    const int rank = Q7Sget_simple_extent_ndims(space.id);
    if (rank < 0 || rank > Q7_MAX_RANK || (rank > 0 && Q7Sget_simple_extent_dims(space.id, dims, nullptr) != rank))
        return false;
    q7size_t elements = 1, bytes = 0;
    for (int i = 0; i < rank; ++i)
        if (__builtin_mul_overflow(elements, dims[i], &elements)) return false;
    if (elements != q7size_t(count) || elements > Q7IM_MAX_PALETTES || width > kMaxStringBytes ||
        __builtin_mul_overflow(elements, q7size_t(width), &bytes))
        return false;
    std::vector<char> packed(bytes);
    if (count > 0 && Q7Aread(attr.id, type.id, packed.data()) < 0) return false;
    broken = false;
    for (q7size_t i = 0; i < elements; ++i) {
        const char *s = &packed[i * width];
        values.emplace_back(s, strnlen(s, width));
    }
    return true;
}

// The single string of a marking attribute, or "" when it is absent or
// not a string.
std::string read_mark(q7id_t obj, const char *name) {
    std::vector<std::string> values;
    if (!read_strings(obj, name, values) || values.size() != 1) return {};
    return values[0];
}

bool has_class(q7id_t dset, const char *cls) { return read_mark(dset, kClassAttr) == cls; }

// Opens loc/name as a dataset of the given class; -1 (with an error
// record) otherwise.  what names the class in messages.
q7id_t open_marked(const char *func, unsigned line, q7id_t loc, const char *name, const char *cls,
                   const char *what) {
    if (!valid_name(name)) {
        q7hl::fail(func, line, Q7E_ARGS_g, Q7E_BADVALUE_g, "no %s name given", what);
        return -1;
    }
    q7id_t dset = Q7Dopen2(loc, name, 0);
    if (dset < 0) {
        q7hl::fail(func, line, Q7E_DATASET_g, Q7E_NOTFOUND_g, "cannot open %s \"%s\"", what, name);
        return -1;
    }
    if (!has_class(dset, cls)) {
        Q7Dclose(dset);
        q7hl::fail(func, line, Q7E_DATASET_g, Q7E_BADTYPE_g, "\"%s\" is not marked as %s", name, what);
        return -1;
    }
    return dset;
}

// The file-wide path of an open object.
bool object_path(q7id_t obj, std::string &path) {
    q7ssize_t len = Q7Iget_name(obj, nullptr, 0);
    if (len <= 0) return false;
    std::vector<char> buf(size_t(len) + 1);
    if (Q7Iget_name(obj, buf.data(), buf.size()) != len) return false;
    path.assign(buf.data(), size_t(len));
    return true;
}

// Rank-2 extent of a dataset.
bool extent2(q7id_t dset, q7size_t dims[2]) {
    SpaceCloser space{Q7Dget_space(dset)};
    if (space.id < 0 || Q7Sget_simple_extent_ndims(space.id) != 2) return false;
    return Q7Sget_simple_extent_dims(space.id, dims, nullptr) == 2;
}

// Creates a rank-2 unsigned 8-bit dataset holding rows x cols bytes from
// data, marked with the two strings.  Nothing is left behind on failure.
q7status_t make_marked_dataset(const char *func, unsigned line, q7id_t loc, const char *name, q7size_t rows,
                               q7size_t cols, const unsigned char *data, const char *cls, const char *subclass) {
    if (Q7Lexists(loc, name, 0) > 0)
        return q7hl::fail(func, line, Q7E_DATASET_g, Q7E_EXISTS_g, "\"%s\" already exists", name);
    q7size_t dims[2] = {rows, cols};
    SpaceCloser space{Q7Screate_simple(2, dims, nullptr)};
    if (space.id < 0) return q7hl::fail(func, line, Q7E_DATASPACE_g, Q7E_CANTCREATE_g, "cannot make the dataspace");
    PlistCloser dcpl{Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g)};
    q7size_t chunk[2] = {std::clamp<q7size_t>(kChunkBytes / cols, 1, rows), cols};
    if (dcpl.id < 0 || Q7Pset_chunk(dcpl.id, 2, chunk) < 0)
        return q7hl::fail(func, line, Q7E_PLIST_g, Q7E_CANTCREATE_g, "cannot set up the chunk layout");
    DatasetCloser dset{Q7Dcreate2(loc, name, Q7T_NATIVE_UINT8_g, space.id, 0, dcpl.id, 0)};
    if (dset.id < 0) return q7hl::fail(func, line, Q7E_DATASET_g, Q7E_CANTCREATE_g, "cannot create \"%s\"", name);
    bool ok = Q7Dwrite(dset.id, Q7T_NATIVE_UINT8_g, 0, 0, 0, data) >= 0 &&
              write_strings(dset.id, kClassAttr, {cls}) && write_strings(dset.id, kSubclassAttr, {subclass});
    if (!ok) {
        Q7Dclose(dset.id);
        dset.id = -1;
        Q7Ldelete(loc, name, 0);
        return q7hl::fail(func, line, Q7E_DATASET_g, Q7E_WRITEERROR_g, "cannot write \"%s\"", name);
    }
    return 0;
}

// The palette list of an open image, checked against the limits.
bool read_palette_list(q7id_t image, std::vector<std::string> &paths) {
    return read_strings(image, kPalettesAttr, paths) && paths.size() <= Q7IM_MAX_PALETTES;
}

// Opens palette number index of the image loc/image_name.
q7id_t open_palette_of(const char *func, unsigned line, q7id_t loc, const char *image_name, int index) {
    DatasetCloser image{open_marked(func, line, loc, image_name, kImageClass, "an image")};
    if (image.id < 0) return -1;
    std::vector<std::string> paths;
    if (!read_palette_list(image.id, paths)) {
        q7hl::fail(func, line, Q7E_ATTR_g, Q7E_READERROR_g, "cannot read the palette list of \"%s\"", image_name);
        return -1;
    }
    if (index < 0 || size_t(index) >= paths.size()) {
        q7hl::fail(func, line, Q7E_ARGS_g, Q7E_BADRANGE_g, "image \"%s\" has %zu palettes, no palette %d", image_name,
                   paths.size(), index);
        return -1;
    }
    // Palette paths are file-wide: resolve them from the file's root.
    q7id_t file = Q7Iget_file_id(image.id);
    if (file < 0) {
        q7hl::fail(func, line, Q7E_FILE_g, Q7E_NOTFOUND_g, "cannot find the file of \"%s\"", image_name);
        return -1;
    }
    q7id_t pal = open_marked(func, line, file, paths[size_t(index)].c_str(), kPaletteClass, "a palette");
    Q7Fclose(file);
    if (pal < 0) return -1;
    q7size_t dims[2];
    if (!extent2(pal, dims) || dims[1] != 3 || dims[0] == 0) {
        Q7Dclose(pal);
        q7hl::fail(func, line, Q7E_DATASET_g, Q7E_BADTYPE_g, "palette \"%s\" is not a colours x 3 array",
                   paths[size_t(index)].c_str());
        return -1;
    }
    return pal;
}

q7tri_t is_marked(const char *func, unsigned line, q7id_t loc, const char *name, const char *cls) {
    if (!valid_name(name)) return q7hl::fail(func, line, Q7E_ARGS_g, Q7E_BADVALUE_g, "no dataset name given");
    DatasetCloser dset{Q7Dopen2(loc, name, 0)};
    if (dset.id < 0) return q7hl::fail(func, line, Q7E_DATASET_g, Q7E_NOTFOUND_g, "cannot open \"%s\"", name);
    // A marking that cannot be read is a failure, not an answer "no".
    std::vector<std::string> values;
    bool failed = false;
    if (!read_strings(dset.id, kClassAttr, values, &failed) && failed)
        return q7hl::fail(func, line, Q7E_ATTR_g, Q7E_READERROR_g, "cannot read the class of \"%s\"", name);
    return values.size() == 1 && values[0] == cls ? 1 : 0;
}

} // namespace

extern "C" {

q7status_t Q7IMmake_image_8bit(q7id_t loc_id, const char *dset_name, q7size_t width, q7size_t height,
                               const unsigned char *buf) {
    return q7hl::api_call("Q7IMmake_image_8bit", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!valid_name(dset_name)) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no image name given");
        if (!buf) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no pixel data given");
        if (width == 0 || height == 0)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADRANGE_g, "image \"%s\" has no pixels (%llux%llu)", dset_name,
                             (unsigned long long)width, (unsigned long long)height);
        if (width > SIZE_MAX / height)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADRANGE_g, "image \"%s\" is too large", dset_name);
        return make_marked_dataset(call_.name, __LINE__, loc_id, dset_name, height, width, buf, kImageClass,
                                   kImageSubclass);
    });
}

q7status_t Q7IMmake_palette(q7id_t loc_id, const char *pal_name, const q7size_t *pal_dims,
                            const unsigned char *pal_data) {
    return q7hl::api_call("Q7IMmake_palette", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!valid_name(pal_name)) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no palette name given");
        if (!pal_dims || !pal_data) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no palette dimensions or data given");
        if (pal_dims[1] != 3)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADRANGE_g, "palette \"%s\" has %llu bytes per colour, not 3", pal_name,
                             (unsigned long long)pal_dims[1]);
        if (pal_dims[0] == 0 || pal_dims[0] > SIZE_MAX / 3)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADRANGE_g, "palette \"%s\" has a bad colour count %llu", pal_name,
                             (unsigned long long)pal_dims[0]);
        return make_marked_dataset(call_.name, __LINE__, loc_id, pal_name, pal_dims[0], 3, pal_data, kPaletteClass,
                                   kPaletteSubclass);
    });
}

q7status_t Q7IMlink_palette(q7id_t loc_id, const char *image_name, const char *pal_name) {
    return q7hl::api_call("Q7IMlink_palette", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        DatasetCloser image{open_marked(call_.name, __LINE__, loc_id, image_name, kImageClass, "an image")};
        if (image.id < 0) return -1;
        DatasetCloser pal{open_marked(call_.name, __LINE__, loc_id, pal_name, kPaletteClass, "a palette")};
        if (pal.id < 0) return -1;
        // Palette paths are kept file-wide, so both must live in one file.
        Q7O_info2_t image_info{}, pal_info{};
        if (Q7Oget_info2(image.id, &image_info, Q7O_INFO_BASIC) < 0 || Q7Oget_info2(pal.id, &pal_info, Q7O_INFO_BASIC) < 0)
            return Q7HL_FAIL(Q7E_SYM_g, Q7E_NOTFOUND_g, "cannot look up \"%s\" and \"%s\"", image_name, pal_name);
        if (image_info.fileno != pal_info.fileno)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "palette \"%s\" is not in the file of image \"%s\"", pal_name,
                             image_name);
        std::string path;
        if (!object_path(pal.id, path))
            return Q7HL_FAIL(Q7E_SYM_g, Q7E_NOTFOUND_g, "cannot find the path of palette \"%s\"", pal_name);
        if (path.size() > Q7IM_MAX_PALETTE_PATH)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADRANGE_g, "palette path \"%s\" is too long", path.c_str());
        std::vector<std::string> paths;
        if (!read_palette_list(image.id, paths))
            return Q7HL_FAIL(Q7E_ATTR_g, Q7E_READERROR_g, "cannot read the palette list of \"%s\"", image_name);
        if (std::find(paths.begin(), paths.end(), path) != paths.end()) return 0;
        if (paths.size() >= Q7IM_MAX_PALETTES)
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADRANGE_g, "image \"%s\" already has %d palettes", image_name,
                             Q7IM_MAX_PALETTES);
        std::vector<std::string> updated = paths;
        updated.push_back(path);
        if (!write_strings(image.id, kPalettesAttr, updated)) {
            write_strings(image.id, kPalettesAttr, paths);  // keep the earlier links if the update failed half-way
            return Q7HL_FAIL(Q7E_ATTR_g, Q7E_WRITEERROR_g, "cannot attach palette \"%s\" to \"%s\"", pal_name, image_name);
        }
        return 0;
    });
}

q7status_t Q7IMunlink_palette(q7id_t loc_id, const char *image_name, const char *pal_name) {
    return q7hl::api_call("Q7IMunlink_palette", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        DatasetCloser image{open_marked(call_.name, __LINE__, loc_id, image_name, kImageClass, "an image")};
        if (image.id < 0) return -1;
        DatasetCloser pal{open_marked(call_.name, __LINE__, loc_id, pal_name, kPaletteClass, "a palette")};
        if (pal.id < 0) return -1;
        std::string path;
        if (!object_path(pal.id, path))
            return Q7HL_FAIL(Q7E_SYM_g, Q7E_NOTFOUND_g, "cannot find the path of palette \"%s\"", pal_name);
        std::vector<std::string> paths;
        if (!read_palette_list(image.id, paths))
            return Q7HL_FAIL(Q7E_ATTR_g, Q7E_READERROR_g, "cannot read the palette list of \"%s\"", image_name);
        auto it = std::find(paths.begin(), paths.end(), path);
        if (it == paths.end())
            return Q7HL_FAIL(Q7E_ARGS_g, Q7E_NOTFOUND_g, "palette \"%s\" is not attached to \"%s\"", pal_name, image_name);
        std::vector<std::string> updated = paths;
        updated.erase(updated.begin() + (it - paths.begin()));
        if (!write_strings(image.id, kPalettesAttr, updated)) {
            write_strings(image.id, kPalettesAttr, paths);
            return Q7HL_FAIL(Q7E_ATTR_g, Q7E_WRITEERROR_g, "cannot detach palette \"%s\"", pal_name);
        }
        return 0;
    });
}

q7tri_t Q7IMis_image(q7id_t loc_id, const char *dset_name) {
    return q7hl::api_call("Q7IMis_image", q7tri_t{-1}, [&](q7hl::Call &call_) -> q7tri_t {
        return is_marked(call_.name, __LINE__, loc_id, dset_name, kImageClass);
    });
}

q7tri_t Q7IMis_palette(q7id_t loc_id, const char *dset_name) {
    return q7hl::api_call("Q7IMis_palette", q7tri_t{-1}, [&](q7hl::Call &call_) -> q7tri_t {
        return is_marked(call_.name, __LINE__, loc_id, dset_name, kPaletteClass);
    });
}

q7status_t Q7IMget_image_info(q7id_t loc_id, const char *dset_name, q7size_t *width, q7size_t *height,
                              q7size_t *npals) {
    return q7hl::api_call("Q7IMget_image_info", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        DatasetCloser image{open_marked(call_.name, __LINE__, loc_id, dset_name, kImageClass, "an image")};
        if (image.id < 0) return -1;
        q7size_t dims[2];
        if (!extent2(image.id, dims))
            return Q7HL_FAIL(Q7E_DATASET_g, Q7E_BADTYPE_g, "image \"%s\" is not a two-dimensional array", dset_name);
        std::vector<std::string> paths;
        if (npals && !read_palette_list(image.id, paths))
            return Q7HL_FAIL(Q7E_ATTR_g, Q7E_READERROR_g, "cannot read the palette list of \"%s\"", dset_name);
        if (height) *height = dims[0];
        if (width) *width = dims[1];
        if (npals) *npals = paths.size();
        return 0;
    });
}

q7status_t Q7IMread_image(q7id_t loc_id, const char *dset_name, unsigned char *buf) {
    return q7hl::api_call("Q7IMread_image", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!buf) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no buffer given");
        DatasetCloser image{open_marked(call_.name, __LINE__, loc_id, dset_name, kImageClass, "an image")};
        if (image.id < 0) return -1;
        if (Q7Dread(image.id, Q7T_NATIVE_UINT8_g, 0, 0, 0, buf) < 0)
            return Q7HL_FAIL(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read image \"%s\"", dset_name);
        return 0;
    });
}

q7ssize_t Q7IMget_npalettes(q7id_t loc_id, const char *image_name) {
    return q7hl::api_call("Q7IMget_npalettes", q7ssize_t{-1}, [&](q7hl::Call &call_) -> q7ssize_t {
        DatasetCloser image{open_marked(call_.name, __LINE__, loc_id, image_name, kImageClass, "an image")};
        if (image.id < 0) return -1;
        std::vector<std::string> paths;
        if (!read_palette_list(image.id, paths))
            return Q7HL_FAIL(Q7E_ATTR_g, Q7E_READERROR_g, "cannot read the palette list of \"%s\"", image_name);
        return q7ssize_t(paths.size());
    });
}

q7ssize_t Q7IMget_palette_name(q7id_t loc_id, const char *image_name, int pal_index, char *name,
                               size_t size) {
    return q7hl::api_call("Q7IMget_palette_name", q7ssize_t{-1}, [&](q7hl::Call &call_) -> q7ssize_t {
        DatasetCloser pal{open_palette_of(call_.name, __LINE__, loc_id, image_name, pal_index)};
        if (pal.id < 0) return -1;
        std::string path;
        if (!object_path(pal.id, path))
            return Q7HL_FAIL(Q7E_SYM_g, Q7E_NOTFOUND_g, "cannot find the path of palette %d", pal_index);
        if (name && size > 0) {
            size_t n = std::min(path.size(), size - 1);
            std::memcpy(name, path.data(), n);
            name[n] = '\0';
        }
        return q7ssize_t(path.size());
    });
}

q7status_t Q7IMget_palette_info(q7id_t loc_id, const char *image_name, int pal_index, q7size_t pal_dims[2]) {
    return q7hl::api_call("Q7IMget_palette_info", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!pal_dims) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no place for the dimensions given");
        DatasetCloser pal{open_palette_of(call_.name, __LINE__, loc_id, image_name, pal_index)};
        if (pal.id < 0) return -1;
        if (!extent2(pal.id, pal_dims)) return Q7HL_FAIL(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read the palette's extent");
        return 0;
    });
}

q7status_t Q7IMread_palette(q7id_t loc_id, const char *image_name, int pal_index, unsigned char *pal_data) {
    return q7hl::api_call("Q7IMread_palette", q7status_t{-1}, [&](q7hl::Call &call_) -> q7status_t {
        if (!pal_data) return Q7HL_FAIL(Q7E_ARGS_g, Q7E_BADVALUE_g, "no buffer given");
        DatasetCloser pal{open_palette_of(call_.name, __LINE__, loc_id, image_name, pal_index)};
        if (pal.id < 0) return -1;
        if (Q7Dread(pal.id, Q7T_NATIVE_UINT8_g, 0, 0, 0, pal_data) < 0)
            return Q7HL_FAIL(Q7E_DATASET_g, Q7E_READERROR_g, "cannot read palette %d of \"%s\"", pal_index, image_name);
        return 0;
    });
}

} // extern "C"
