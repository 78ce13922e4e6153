// quor7._core: datasets, their selections, reads and writes, and chunks.
#include "core.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <tuple>

namespace q7py {

namespace {

std::vector<q7size_t> to_dims(const std::vector<std::optional<q7size_t>> &v) {
    std::vector<q7size_t> out;
    for (auto &x : v) out.push_back(x ? *x : Q7S_UNLIMITED);
    return out;
}

std::unique_ptr<Handle> dataset_create(q7id_t loc, const std::string &name, const py::tuple &desc,
                                       const std::vector<q7size_t> &shape,
                                       const std::vector<std::optional<q7size_t>> &maxshape,
                                       const std::optional<std::vector<q7size_t>> &chunks,
                                       const std::vector<std::tuple<int, unsigned, std::vector<unsigned>>> &filters,
                                       const std::optional<std::string> &fill) {
    std::vector<q7size_t> maxdims = to_dims(maxshape);
    TypeDesc td = desc_from_py(desc);
    q7id_t id = run([&](Op &op) -> q7id_t {
        LibraryError err;
        Temp type(type_create(td, err), Q7Tclose);
        if (type.id < 0) {
            op.fail(err);
            return -1;
        }
        Temp space(op(Q7Screate_simple((int)shape.size(), shape.data(), maxdims.data()), "Q7Screate_simple"),
                   Q7Sclose);
        if (space.id < 0) return -1;
        Temp dcpl(op(Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g), "Q7Pcreate"), Q7Pclose);
        if (dcpl.id < 0) return -1;
        if (chunks && op(Q7Pset_chunk(dcpl.id, (int)chunks->size(), chunks->data()), "Q7Pset_chunk") < 0) return -1;
        for (auto &[fid, flags, cd] : filters)
            if (op(Q7Pset_filter(dcpl.id, fid, flags, cd.size(), cd.data()), "Q7Pset_filter") < 0) return -1;
        // One element in the dataset's own type, kept with the dataset.
        if (fill) {
            if (fill->size() != Q7Tget_size(type.id)) {
                op.fail("a fill value of " + std::to_string(fill->size()) + " bytes for elements of " +
                        std::to_string(Q7Tget_size(type.id)) + " bytes");
                return -1;
            }
            if (op(Q7Pset_fill_value(dcpl.id, type.id, fill->data()), "Q7Pset_fill_value") < 0) return -1;
        }
        return op(Q7Dcreate2(loc, name.c_str(), type.id, space.id, 0, dcpl.id, 0), "Q7Dcreate2");
    });
    return std::make_unique<Handle>(id, Q7I_DATASET);
}

// (shape, maxshape) with None for an unlimited maximum.
py::tuple dataset_shape(q7id_t dset) {
    std::vector<q7size_t> dims(Q7_MAX_RANK), maxdims(Q7_MAX_RANK);
    int rank = run([&](Op &op) {
        Temp space(op(Q7Dget_space(dset), "Q7Dget_space"), Q7Sclose);
        if (space.id < 0) return -1;
        return op(Q7Sget_simple_extent_dims(space.id, dims.data(), maxdims.data()), "Q7Sget_simple_extent_dims");
    });
    py::tuple shape(rank), maxshape(rank);
    for (int i = 0; i < rank; ++i) {
        shape[i] = py::int_(dims[i]);
        maxshape[i] = maxdims[i] == Q7S_UNLIMITED ? py::object(py::none()) : py::object(py::int_(maxdims[i]));
    }
    return py::make_tuple(shape, maxshape);
}

py::tuple dataset_type(q7id_t dset) {
    TypeDesc desc;
    run([&](Op &op) {
        Temp type(op(Q7Dget_type(dset), "Q7Dget_type"), Q7Tclose);
        if (type.id < 0) return false;
        LibraryError err;
        return type_describe(type.id, desc, err) || op.fail(err);
    });
    return desc_to_py(desc);
}

// The dataset's fill value: one element in its own type, as bytes.
py::bytes dataset_fill(q7id_t dset) {
    std::string value;
    run([&](Op &op) {
        Temp dcpl(op(Q7Dget_create_plist(dset), "Q7Dget_create_plist"), Q7Pclose);
        if (dcpl.id < 0) return -1;
        Temp type(op(Q7Dget_type(dset), "Q7Dget_type"), Q7Tclose);
        if (type.id < 0) return -1;
        value.assign(Q7Tget_size(type.id), '\0');
        return op(Q7Pget_fill_value(dcpl.id, type.id, value.data()), "Q7Pget_fill_value");
    });
    return py::bytes(value);
}

// (chunk shape or None, [(id, name, [client data]), ...])
py::tuple dataset_layout(q7id_t dset) {
    std::vector<q7size_t> chunk(Q7_MAX_RANK);
    int rank = 0;
    std::vector<std::tuple<int, std::string, std::vector<unsigned>>> filters;
    run([&](Op &op) {
        Temp dcpl(op(Q7Dget_create_plist(dset), "Q7Dget_create_plist"), Q7Pclose);
        if (dcpl.id < 0) return -1;
        rank = op(Q7Pget_chunk(dcpl.id, Q7_MAX_RANK, chunk.data()), "Q7Pget_chunk");
        if (rank < 0) return -1;
        int n = op(Q7Pget_nfilters(dcpl.id), "Q7Pget_nfilters");
        if (n < 0) return -1;
        for (int i = 0; i < n; ++i) {
            std::vector<unsigned> cd(64);
            size_t ncd = cd.size();
            char name[256] = {0};
            unsigned flags = 0, config = 0;
            q7filter_t id = op(Q7Pget_filter2(dcpl.id, (unsigned)i, &flags, &ncd, cd.data(), sizeof name, name, &config),
                               "Q7Pget_filter2");
            if (id < 0) return -1;
            cd.resize(std::min(ncd, cd.size()));
            filters.emplace_back(id, std::string(name), cd);
        }
        return 0;
    });
    py::object chunks = py::none();
    if (rank > 0) chunks = py::cast(std::vector<q7size_t>(chunk.begin(), chunk.begin() + rank));
    return py::make_tuple(chunks, py::cast(filters));
}

// (start, stride, count, dims): a hyperslab of a dataset whose extent was
// dims when the selection was made.
using Selection = std::optional<
    std::tuple<std::vector<q7size_t>, std::vector<q7size_t>, std::vector<q7size_t>, std::vector<q7size_t>>>;

// Reads or writes the hyperslab of the dataset (its whole extent when sel
// is None, as for a scalar dataset) from or into buf, which holds exactly
// the selected elements in row-major order, with the dataset's own element
// type.  The file space is made from the selection's dims instead of being
// asked for, which would cost a transaction of its own: the read or write
// places the hyperslab in the extent it finds, and fails for one that no
// longer fits.  With same_extent it fails, moving nothing, when the extent
// is no longer dims (the caller selects again).  Runs without the GIL: sel
// and buf are plain C++ and memory the caller keeps alive.
void transfer(q7id_t dset, const Selection &sel, void *buf, size_t nbytes, bool write, bool same_extent = false) {
    run(
        [&](Op &op) {
            Temp xfer;
            if (same_extent) {
                xfer = Temp(op(Q7Pcreate(Q7P_CLS_DATASET_XFER_ID_g), "Q7Pcreate"), Q7Pclose);
                if (xfer.id < 0 || op(Q7Pset_same_extent(xfer.id, 1), "Q7Pset_same_extent") < 0) return false;
            }
            Temp type(op(Q7Dget_type(dset), "Q7Dget_type"), Q7Tclose);
            if (type.id < 0) return false;
            size_t elem = Q7Tget_size(type.id);
            Temp file_space, mem_space;
            q7size_t npoints = 1;
            if (sel) {
                auto &[start, stride, count, dims] = *sel;
                if (start.size() != count.size() || stride.size() != count.size() || dims.size() != count.size())
                    return op.fail("selection of mismatched ranks");
                file_space = Temp(op(Q7Screate_simple((int)dims.size(), dims.data(), nullptr), "Q7Screate_simple"),
                                  Q7Sclose);
                if (file_space.id < 0 ||
                    op(Q7Sselect_hyperslab(file_space.id, Q7S_SELECT_SET, start.data(), stride.data(), count.data(),
                                           nullptr),
                       "Q7Sselect_hyperslab") < 0)
                    return false;
                mem_space = Temp(op(Q7Screate_simple((int)count.size(), count.data(), nullptr), "Q7Screate_simple"),
                                 Q7Sclose);
                if (mem_space.id < 0) return false;
                for (q7size_t c : count) npoints *= c;
            } else {
                Temp space(op(Q7Dget_space(dset), "Q7Dget_space"), Q7Sclose);
                if (space.id < 0) return false;
                q7ssize_t n = op(Q7Sget_simple_extent_npoints(space.id), "Q7Sget_simple_extent_npoints");
                if (n < 0) return false;
                npoints = (q7size_t)n;
            }
            if (npoints * elem != nbytes)
                return op.fail("buffer of " + std::to_string(nbytes) + " bytes for " + std::to_string(npoints) +
                               " elements of " + std::to_string(elem) + " bytes");
            q7id_t ms = sel ? mem_space.id : Q7S_ALL, fs = sel ? file_space.id : Q7S_ALL;
            q7id_t dxpl = same_extent ? xfer.id : 0;
            if (write) return op(Q7Dwrite(dset, type.id, ms, fs, dxpl, buf), "Q7Dwrite") >= 0;
            return op(Q7Dread(dset, type.id, ms, fs, dxpl, buf), "Q7Dread") >= 0;
        },
        false, true);
}

void dataset_read(q7id_t dset, const Selection &sel, py::array out) {
    check_buffer(out, true);
    transfer(dset, sel, out.mutable_data(), (size_t)out.nbytes(), false);
}

// Reads into a new array of dtype and shape from NumPy's own allocator,
// filled by the library with the GIL released.  Measured against malloc
// (a C program's buffer) for 1-256 MiB: glibc serves these sizes with a
// fresh mmap that is faulted in 4 KiB pages during the read (about 65,000
// faults for 256 MiB, 2.2x the time of the same read into a warm buffer),
// where NumPy madvises its large blocks for huge pages, faulted 512 times
// fewer; with THP "madvise" both for enabled and defrag, no compaction
// stall was seen (compact_stall unchanged), and the fill costs what
// np.fromfile's own allocation costs.
py::array dataset_read_new(q7id_t dset, const Selection &sel, const py::dtype &dt,
                           const std::vector<py::ssize_t> &shape, bool same_extent) {
    py::array out(dt, shape);
    size_t n = (size_t)out.nbytes();
    if (n) transfer(dset, sel, out.mutable_data(), n, false, same_extent);
    return out;
}

void dataset_write(q7id_t dset, const Selection &sel, const py::array &data) {
    check_buffer(data, false);
    transfer(dset, sel, const_cast<void *>(data.data()), (size_t)data.nbytes(), true);
}

void dataset_set_extent(q7id_t dset, const std::vector<q7size_t> &dims) {
    // A smaller extent rewrites the chunks it cuts through.
    call("Q7Dset_extent", [&] { return Q7Dset_extent(dset, dims.data()); }, false, true);
}

// Stored bytes of the chunk at offset, past the pipeline: (filter mask,
// bytes).  The size and the bytes are read under one hold of g_lib, so no
// other thread of ours can store a larger chunk in between.
py::tuple chunk_read(q7id_t dset, const std::vector<q7size_t> &offset) {
    std::string buf;
    uint32_t mask = 0;
    run(
        [&](Op &op) {
            q7size_t nbytes = 0;
            if (op(Q7Dget_chunk_storage_size(dset, offset.data(), &nbytes), "Q7Dget_chunk_storage_size") < 0)
                return false;
            buf.assign((size_t)nbytes, '\0');
            return op(Q7Dread_chunk(dset, 0, offset.data(), &mask, buf.data()), "Q7Dread_chunk") >= 0;
        },
        false, true);
    return py::make_tuple(mask, py::bytes(buf));
}

// What asking for the stored size of one chunk by its offset (an indexed
// lookup in a transaction of its own) costs, in the steps past one row
// that Q7Dget_chunk_info(i) takes i of before it reaches its row: about 10
// in a file open for writing, about 140 in one open read-only (each
// lookup starts a read transaction).  40 stays within a factor of 4 of the
// cheaper way in both.
constexpr double kLookupSteps = 40;

// Offsets (in elements) of the stored chunks, in the dataset's order (row
// order of the chunk grid).  Q7Dget_chunk_info(i) steps past i rows to
// find stored chunk i, so asking it for every i costs n*n/2 steps.  Where
// the grid is not much larger than that, the grid is walked once instead,
// in the same order, asking each place whether a chunk is stored there,
// until all n are found; a sparse grid much larger than n*n is left to the
// index.
std::vector<std::vector<q7size_t>> chunk_offsets(q7id_t dset) {
    std::vector<std::vector<q7size_t>> out;
    run(
        [&](Op &op) {
            q7size_t n = 0;
            if (op(Q7Dget_num_chunks(dset, &n), "Q7Dget_num_chunks") < 0) return false;
            if (n == 0) return true;
            std::vector<q7size_t> dims(Q7_MAX_RANK), chunk(Q7_MAX_RANK);
            Temp space(op(Q7Dget_space(dset), "Q7Dget_space"), Q7Sclose);
            if (space.id < 0) return false;
            int rank = op(Q7Sget_simple_extent_dims(space.id, dims.data(), nullptr), "Q7Sget_simple_extent_dims");
            if (rank < 0) return false;
            Temp dcpl(op(Q7Dget_create_plist(dset), "Q7Dget_create_plist"), Q7Pclose);
            if (dcpl.id < 0) return false;
            int chunk_rank = op(Q7Pget_chunk(dcpl.id, Q7_MAX_RANK, chunk.data()), "Q7Pget_chunk");
            if (chunk_rank < 0) return false;
            if (chunk_rank != rank) return op.fail("chunk rank " + std::to_string(chunk_rank) + " of a dataset of rank " + std::to_string(rank));
            dims.resize((size_t)rank);
            chunk.resize((size_t)rank);

            double grid = 1;
            std::vector<q7size_t> blocks((size_t)rank);
            for (int i = 0; i < rank; ++i) {
                blocks[i] = chunk[i] ? dims[i] / chunk[i] + (dims[i] % chunk[i] != 0) : 0;
                grid *= (double)blocks[i];
            }
            if (grid > 0 && grid * kLookupSteps <= (double)n * (double)n / 2) {
                std::vector<q7size_t> bc((size_t)rank, 0), off((size_t)rank);
                for (q7size_t found = 0; found < n;) {
                    for (int i = 0; i < rank; ++i) off[i] = bc[i] * chunk[i];
                    q7size_t nbytes = 0;
                    if (op(Q7Dget_chunk_storage_size(dset, off.data(), &nbytes), "Q7Dget_chunk_storage_size") < 0)
                        return false;
                    if (nbytes > 0) {
                        out.push_back(off);
                        ++found;
                    }
                    int i = rank - 1;
                    while (i >= 0 && ++bc[i] == blocks[i]) bc[i--] = 0;
                    if (i < 0) break;
                }
                if (out.size() == n) return true;
                // Fewer found than stored (a chunk the grid does not
                // reach): the index lists them all.
                out.clear();
            }
            std::vector<q7size_t> off((size_t)std::max(rank, 1));
            for (q7size_t i = 0; i < n; ++i) {
                if (op(Q7Dget_chunk_info(dset, i, off.data(), nullptr, nullptr), "Q7Dget_chunk_info") < 0)
                    return false;
                out.emplace_back(off.begin(), off.begin() + rank);
            }
            return true;
        },
        false, true);
    return out;
}

} // namespace

void bind_datasets(py::module_ &m) {
    m.def("dataset_create", &dataset_create);
    m.def("dataset_shape", &dataset_shape);
    m.def("dataset_type", &dataset_type);
    m.def("dataset_layout", &dataset_layout);
    m.def("dataset_fill", &dataset_fill);
    m.def("dataset_read", &dataset_read);
    m.def("dataset_read_new", &dataset_read_new, py::arg("dset"), py::arg("sel"), py::arg("dtype"), py::arg("shape"),
          py::arg("same_extent") = false);
    m.def("dataset_write", &dataset_write);
    m.def("dataset_set_extent", &dataset_set_extent);
    m.def("chunk_read", &chunk_read);
    m.def("chunk_offsets", &chunk_offsets);
}

} // namespace q7py
