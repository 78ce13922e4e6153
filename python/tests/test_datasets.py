"""Datasets: every element type round trip, NumPy indexing against NumPy's
own indexing of the same array, extents, chunking and filters."""
import numpy as np
import pytest

import quor7
from quor7 import _core
from quor7._selection import select

COMPOUND = np.dtype([("id", "<u2"), ("t", ">f8"), ("tag", "S3"), ("n", "<i1")])
NESTED = np.dtype({"names": ["pos", "w"],
                   "formats": [np.dtype([("x", "<f4"), ("y", "<f4")]), ">i8"],
                   "offsets": [0, 12], "itemsize": 24})
DTYPES = [np.dtype(t) for t in (
    "i1", "u1", "<i2", ">i2", "<u2", ">u2", "<i4", ">i4", "<u4", ">u4",
    "<i8", ">i8", "<u8", ">u8", "<f4", ">f4", "<f8", ">f8", "S1", "S7")] + [COMPOUND, NESTED]


def random_values(dtype, shape, rng):
    """Values spread over the dtype's whole range (strings of any length up
    to the item size, compounds filled member by member)."""
    dtype = np.dtype(dtype)
    out = np.empty(shape, dtype)
    if dtype.names:
        for name in dtype.names:
            out[name] = random_values(dtype.fields[name][0], shape, rng)
    elif dtype.kind in "iu":
        info = np.iinfo(dtype)
        out[...] = rng.integers(info.min, info.max, size=shape, endpoint=True,
                                dtype=dtype.newbyteorder("="))
    elif dtype.kind == "f":
        out[...] = rng.standard_normal(shape) * 10.0 ** rng.integers(-30, 30, size=shape)
    elif dtype.kind == "S":
        letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz0123456789", "S1")
        flat = out.reshape(-1)
        for i in range(flat.size):
            flat[i] = b"".join(rng.choice(letters, size=rng.integers(0, dtype.itemsize + 1)))
    return out


def random_index(n, rng):
    """An integer (maybe negative) or a slice with any step, bounds that
    may be negative, missing or past the end."""
    if rng.random() < 0.3:
        return int(rng.integers(-n, n))
    bound = lambda: None if rng.random() < 0.3 else int(rng.integers(-n - 2, n + 3))  # noqa: E731
    step = [None, 1, 2, 3, -1, -2][rng.integers(0, 6)]
    return slice(bound(), bound(), step)


def random_key(shape, rng):
    key = [random_index(n, rng) for n in shape]
    if rng.random() < 0.3:
        # An Ellipsis standing for a run of dimensions.
        a = int(rng.integers(0, len(key) + 1))
        b = int(rng.integers(a, len(key) + 1))
        key = key[:a] + [Ellipsis] + key[b:]
    return key[0] if len(key) == 1 and rng.random() < 0.5 else tuple(key)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: d.str if not d.names else "compound" + str(len(d.names)))
def test_round_trip_random_shapes_and_slices(work, rng, dtype):
    for trial in range(4):
        shape = tuple(int(s) for s in rng.integers(1, 8, size=rng.integers(1, 4)))
        chunks = tuple(int(rng.integers(1, s + 1)) for s in shape) if trial % 2 else None
        expected = random_values(dtype, shape, rng)
        with quor7.File("t.q7", "w") as f:
            f.create_dataset("d", data=expected, chunks=chunks)
        with quor7.File("t.q7", "r+") as f:
            ds = f["d"]
            assert (ds.shape, ds.dtype, ds.chunks) == (shape, dtype, chunks)
            np.testing.assert_array_equal(ds[...], expected)
            for _ in range(12):
                key = random_key(shape, rng)
                got, want = ds[key], expected[key]
                assert type(got) is type(want) and np.shape(got) == np.shape(want), key
                np.testing.assert_array_equal(got, want, err_msg=str(key))
                new = random_values(dtype, np.shape(want), rng)
                ds[key] = new
                expected[key] = new
        with quor7.File("t.q7") as f:
            np.testing.assert_array_equal(f["d"][...], expected)


@pytest.mark.parametrize("key", [(), Ellipsis, (Ellipsis,)], ids=["empty", "ellipsis", "tuple-ellipsis"])
def test_scalar_dataset_indexing_matches_numpy(work, key):
    expected = np.array(-17, dtype=">i4")
    with quor7.File("s.q7", "w") as f:
        ds = f.create_dataset("s", data=expected)
        assert ds.shape == () and ds.ndim == 0 and ds.size == 1
        got = ds[key]
        assert type(got) is type(expected[key]) and got == expected[key]
        with pytest.raises(TypeError):
            len(ds)


def test_scalar_write_broadcasts_into_a_selection(work):
    expected = np.zeros((5, 6), "<i8")
    with quor7.File("b.q7", "w") as f:
        ds = f.create_dataset("b", data=expected, chunks=(2, 4))
        ds[1:4, ::2] = 9
        expected[1:4, ::2] = 9
        ds[:, -1] = np.arange(5)
        expected[:, -1] = np.arange(5)
        ds[::-2, 0] = [1, 2, 3]
        expected[::-2, 0] = [1, 2, 3]
        np.testing.assert_array_equal(ds[...], expected)
        np.testing.assert_array_equal(np.asarray(ds), expected)
        with pytest.raises(ValueError):
            ds[0:2, 0:2] = np.ones((3, 3))


def test_resize_within_maxshape_and_fill_value(work):
    with quor7.File("r.q7", "w") as f:
        ds = f.create_dataset("r", shape=(2, 3), maxshape=(None, 5), dtype="<i2", fillvalue=-7)
        assert ds.maxshape == (None, 5) and ds.chunks is not None
        np.testing.assert_array_equal(ds[...], np.full((2, 3), -7))
        ds[...] = [[1, 2, 3], [4, 5, 6]]
        ds.resize((4, 5))
        assert ds.shape == (4, 5) and len(ds) == 4
        expected = np.full((4, 5), -7, "<i2")
        expected[:2, :3] = [[1, 2, 3], [4, 5, 6]]
        np.testing.assert_array_equal(ds[...], expected)
        ds.resize(1, axis=0)
        assert ds.shape == (1, 5)
        with pytest.raises(quor7.Error, match="exceed|maximum|beyond|larger"):
            ds.resize((1, 6))
    # The fill value is the file's, not this object's: it stays after reopening.
    with quor7.File("r.q7", "r+") as f:
        ds = f["r"]
        assert ds.fillvalue == -7
        ds.resize((3, 5))
        np.testing.assert_array_equal(ds[1:, :], np.full((2, 5), -7))
        # A selection made in an older extent (a read racing another
        # handle's resize) still reads its own elements, and fails once
        # they are outside the extent.
        sel = select(ds.shape, (slice(0, 2), slice(0, 5, 2)))
        ds.resize((5, 5))
        np.testing.assert_array_equal(_core.dataset_read_new(ds._id, sel.hyperslab(), ds.dtype, sel.count),
                                      [[1, 3, -7], [-7, -7, -7]])
        ds.resize((1, 5))
        with pytest.raises(quor7.Error, match="outside the extent"):
            _core.dataset_read_new(ds._id, sel.hyperslab(), ds.dtype, sel.count)
        # ds[...] selects in the extent the object last saw, and the read
        # itself finds an extent changed through another object: keys that
        # depend on the extent (negative indices, open slices, an index
        # past the old end) are selected again in the new one.
        other = f["r"]
        other.resize((4, 5))
        other[3] = [9, 8, 7, 6, 5]
        np.testing.assert_array_equal(ds[-1], [9, 8, 7, 6, 5])
        np.testing.assert_array_equal(ds[:, 0], [1, -7, -7, 9])
        other.resize((2, 5))
        np.testing.assert_array_equal(ds[-1], np.full(5, -7))
        other.resize((4, 5))
        np.testing.assert_array_equal(ds[3], np.full(5, -7))
        other.resize((6, 5))
        other[5] = [1, 2, 3, 4, 5]
        np.testing.assert_array_equal(ds[-1], [1, 2, 3, 4, 5])  # row 3 would still fit the old extent
        other.resize((8, 5))
        assert ds[6:].shape == (2, 5)  # empty in the old extent: no read checks it
        with pytest.raises(IndexError):
            ds[8]


@pytest.mark.parametrize("filters, chunks, pipeline", [
    (None, (4, 4), []),
    (["deflate"], None, [1]),
    (["shuffle", ("deflate", [9]), "fletcher32"], (3, 5), [2, 1, 3]),
    ([(257, [5]), 258], (8, 1), [257, 258]),
    (["shuffle", ("zstd", [3])], (4, 4), [2, 10]),
    (["bitshuffle", "lz4"], (5, 3), [12, 11]),
    (["bitshuffle", ("zstd", [-5]), ("gzip", [1])], (16, 10), [12, 10, 1]),
], ids=["chunked", "deflate-auto-chunks", "builtin-chain", "plugins", "shuffle-zstd", "bitshuffle-lz4",
        "bitshuffle-zstd-negative-gzip"])
def test_filters_are_recorded_and_data_reads_back(work, rng, filters, chunks, pipeline):
    data = rng.integers(-1000, 1000, size=(16, 10)).astype("<i4")
    with quor7.File("f.q7", "w") as f:
        f.create_dataset("d", data=data, chunks=chunks, filters=filters)
    with quor7.File("f.q7") as f:
        ds = f["d"]
        assert [entry[0] for entry in ds.filters] == pipeline
        assert all(isinstance(name, str) and isinstance(cd, list) for _, name, cd in ds.filters)
        if chunks:
            assert ds.chunks == chunks
        np.testing.assert_array_equal(ds[...], data)
        np.testing.assert_array_equal(ds[3:11:3, ::-4], data[3:11:3, ::-4])


def test_deflate_level_and_plugin_client_data_are_listed(work):
    with quor7.File("c.q7", "w") as f:
        ds = f.create_dataset("d", data=np.arange(100, dtype="<u2"), chunks=(10,),
                              filters=[("deflate", [9]), (257, [5])])
        (fid1, _, cd1), (fid2, _, cd2) = ds.filters
        assert (fid1, cd1[:1], fid2, cd2) == (1, [9], 257, [5])
        # Names alone get the library's defaults; the element size and the
        # block of bitshuffle come from the type; a negative level is stored
        # as its two's complement.
        ds = f.create_dataset("e", data=np.arange(100, dtype="<u2"), chunks=(10,),
                              filters=["bitshuffle", "zstd", ("zstd", [-1]), "lz4"])
        assert [(fid, cd) for fid, _, cd in ds.filters] == [(12, [2, 4096]), (10, [3]), (10, [4294967295]), (11, [1])]


@pytest.mark.parametrize("shape, chunks, writes, stored", [
    # Most of the grid stored: listed by walking the grid.
    ((60, 45), (2, 3), [np.s_[0:40], np.s_[50, 7]],
     [(r, c) for r in range(0, 40, 2) for c in range(0, 45, 3)] + [(50, 6)]),
    # A few chunks in a large grid: listed from the chunk index.
    ((10**6,), (10,), [np.s_[i * 24_390] for i in range(41)], [(i * 24_390 // 10 * 10,) for i in range(41)]),
], ids=["dense", "sparse"])
def test_stored_chunks_are_listed_once_each_in_row_order(work, shape, chunks, writes, stored):
    with quor7.File("k.q7", "w") as f:
        ds = f.create_dataset("d", shape=shape, dtype="u1", chunks=chunks)
        for key in writes:
            ds[key] = 1
        assert ds.chunk_offsets() == stored


@pytest.mark.parametrize("key, dest, error", [
    (Ellipsis, np.empty((4, 6), "<i4"), None),
    ((slice(1, 4, 2), -2), np.empty(2, "<i4"), None),
    (Ellipsis, np.empty((4, 6), "<i8"), ValueError),
    (Ellipsis, np.empty(23, "<i4"), ValueError),
    (slice(None, None, -1), np.empty((4, 6), "<i4"), ValueError),
    (Ellipsis, np.empty((6, 4), "<i4").T, TypeError),
], ids=["whole", "slice", "wrong-dtype", "wrong-size", "reversed", "not-contiguous"])
def test_read_direct_fills_an_existing_array(work, key, dest, error):
    data = np.arange(24, dtype="<i4").reshape(4, 6)
    with quor7.File("rd.q7", "w") as f:
        ds = f.create_dataset("d", data=data, chunks=(3, 3))
        if error:
            with pytest.raises(error):
                ds.read_direct(dest, key)
        else:
            ds.read_direct(dest, key)
            np.testing.assert_array_equal(dest.reshape(np.shape(data[key])), data[key])


@pytest.mark.parametrize("dtype, key, value", [
    (COMPOUND, 1, (7, 1.5, b"xy", -1)),
    (COMPOUND, slice(0, 2), [(1, 2.0, b"a", 3), (4, 5.0, b"bcd", 6)]),
    ("S4", 0, "abc"),
    ("S4", slice(1, 3), ["ab", "cdef"]),
    (">f8", slice(None), [1, 2, 3]),
    ("<u1", -1, 255),
], ids=["compound-tuple", "compound-list", "str", "str-list", "int-list-to-float", "uint8"])
def test_python_values_are_written_as_numpy_converts_them(work, dtype, key, value):
    expected = np.zeros(3, dtype)
    expected[key] = value
    with quor7.File("v.q7", "w") as f:
        ds = f.create_dataset("d", shape=(3,), dtype=dtype)
        ds[key] = value
        np.testing.assert_array_equal(ds[...], expected)


def test_threads_reading_and_writing_at_once_see_their_own_data(work):
    # Bulk transfers run without the GIL; each thread works on its own rows.
    from concurrent.futures import ThreadPoolExecutor
    with quor7.File("th.q7", "w") as f:
        ds = f.create_dataset("d", shape=(64, 300), dtype="<f8", chunks=(8, 64), filters=["deflate"])

        def worker(t):
            rows = slice(t * 16, (t + 1) * 16)
            for k in range(15):
                block = np.full((16, 300), t * 1000.0 + k)
                ds[rows] = block
                if not np.array_equal(ds[rows], block):
                    return False
            return True

        with ThreadPoolExecutor(4) as pool:
            assert all(pool.map(worker, range(4)))
        np.testing.assert_array_equal(ds[::16, 0], [14.0, 1014.0, 2014.0, 3014.0])
