"""Pickling and Dask tokens, Dask arrays over datasets (threads and worker
processes), and the xarray engine and writer."""
import gc
import os
import pickle
import subprocess
import sys
import warnings
import weakref

import numpy as np
import pytest

import quor7

da = pytest.importorskip("dask.array", reason="python3-dask is not installed")
import dask  # noqa: E402  (after the skip above)
from dask.base import tokenize  # noqa: E402


def change_in_another_process(path, statement, mode="r+"):
    """Runs statement with w, the file opened in mode ("r+" unless told),
    in a process of its own: the one writer, while this process reads."""
    code = f"import numpy as np, quor7\nwith quor7.File({path!r}, {mode!r}) as w:\n    {statement}\n"
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


@pytest.fixture
def filed(work, rng):
    """A file with a group, a filtered 2-D dataset and an attribute; its path and data."""
    data = rng.normal(size=(40, 30)).astype("f8")
    with quor7.File("d.q7", "w") as f:
        ds = f.create_dataset("run/t", data=data, chunks=(10, 15), filters=["shuffle", "deflate"])
        ds.attrs["units"] = "K"
    return str(work / "d.q7"), data


def test_objects_of_read_only_files_pickle_and_tokens_follow_the_file(filed):
    path, data = filed
    with quor7.File(path) as f:
        objects = {"file": f, "group": f["run"], "dataset": f["run/t"]}
        for kind, obj in objects.items():
            copy = pickle.loads(pickle.dumps(obj))
            again = pickle.loads(pickle.dumps(obj))
            assert type(copy) is type(obj) and copy.name == obj.name, kind
            assert os.path.samefile(copy.file.filename, path)
            assert tokenize(copy) == tokenize(again) == tokenize(obj), kind
        np.testing.assert_array_equal(pickle.loads(pickle.dumps(f["run/t"]))[...], data)
        assert tokenize(f["run"]) != tokenize(f["run/t"])
        before = tokenize(f["run/t"])
    change_in_another_process(path, 'w["run/t"][0, 0] = 1e9; w.flush()')
    with quor7.File(path) as f:
        assert tokenize(f["run/t"]) != before
    # A file open for writing refuses to travel: it could not be reopened as
    # it is in another process.
    with quor7.File("w.q7", "w") as w:
        w.create_dataset("g/d", data=data)
        for obj in (w, w["g"], w["g/d"]):
            with pytest.raises(TypeError, match="opened for writing"):
                pickle.dumps(obj)


def test_unpickling_keeps_one_open_file_that_stays_current(filed):
    path, data = filed
    with quor7.File(path) as f:
        blob = pickle.dumps(f["run/t"])
    ds = pickle.loads(blob)
    kept = weakref.ref(ds.file)
    del ds
    gc.collect()
    # No object of the file was alive in between: it was kept open all the same.
    ds = pickle.loads(blob)
    assert ds.file is kept() and pickle.loads(blob).file is kept()
    change_in_another_process(path, 'w["run/t"][0, 0] = 1e9; w.flush()')
    assert ds[0, 0] == pickle.loads(blob)[0, 0] == 1e9
    # A file replaced on disk is another file: unpickling opens the new one.
    change_in_another_process(path, 'w.create_dataset("run/t", data=np.ones((2, 3)))', mode="w")
    new = pickle.loads(blob)
    assert new.file is not kept() and new.shape == (2, 3) and ds.shape == data.shape
    # Once nothing uses them, kept files give way to this process writing.
    del ds, new
    with quor7.File(path, "r+") as w:
        w["run/t"][0, 0] = 7.0
    assert pickle.loads(blob)[0, 0] == 7.0


def test_dask_threads_read_and_store_from_threads(filed, rng):
    path, data = filed
    with quor7.File(path) as f:
        ds = f["run/t"]
        for chunks in (ds.chunks, "auto"):
            x = da.from_array(ds, chunks=chunks)
            # Dask's own chunks are whole storage chunks (or the whole axis).
            assert all(c % s == 0 or c == n for c, s, n in zip(x.chunksize, ds.chunks, ds.shape))
            np.testing.assert_allclose(x.sum().compute(scheduler="threads"), data.sum())
            np.testing.assert_array_equal(x[3:37:2, ::-1].compute(scheduler="threads"),
                                          data[3:37:2, ::-1])
    new = rng.normal(size=data.shape)
    with quor7.File(path, "r+") as f:
        da.store(da.from_array(new, chunks=(10, 15)), f["run/t"], lock=True, scheduler="threads")
    with quor7.File(path) as f:
        np.testing.assert_array_equal(f["run/t"][...], new)


def test_distributed_with_worker_processes(filed):
    distributed = pytest.importorskip("distributed", reason="python3-distributed is not installed")
    path, data = filed
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client, quor7.File(path) as f:
        x = da.from_array(f["run/t"], chunks=f["run/t"].chunks)
        total = client.compute(x.sum()).result(timeout=60)
        assert np.isclose(total, data.sum())
        columns = client.compute(x.mean(axis=0)).result(timeout=60)
        np.testing.assert_allclose(columns, data.mean(axis=0))


def test_a_file_changed_between_opening_and_computing(filed):
    path, data = filed
    with quor7.File(path) as f:
        x = da.from_array(f["run/t"], chunks=f["run/t"].chunks)
        before = tokenize(f["run/t"])
        change_in_another_process(path, 'w["run/t"][...] = w["run/t"][...] * 2')
        # The graph reads the file as it is when it runs; the dataset is
        # named anew, so a graph built now is not mistaken for the old one.
        np.testing.assert_array_equal(x.compute(scheduler="threads"), data * 2)
        assert tokenize(f["run/t"]) != before
        change_in_another_process(path, 'del w["run/t"]')
        with pytest.raises(quor7.Error, match="no longer exists"):
            x.compute(scheduler="sync")


# ---------------------------------------------------------------------------
# xarray
# ---------------------------------------------------------------------------

def _xr():
    return pytest.importorskip("xarray", reason="python3-xarray is not installed")


def _sample(rng, case):
    xr = _xr()
    if case == "grid":
        time, y, x = np.arange(4.0), np.linspace(0, 1, 5), np.arange(6, dtype="i4")
        temp = rng.normal(280, 5, size=(4, 5, 6)).astype("f4")
        xds = xr.Dataset({"temp": (("time", "y", "x"), temp, {"units": "K", "scale": 0.5}),
                          "mask": (("y", "x"), rng.integers(0, 2, size=(5, 6)).astype("u1"))},
                         coords={"time": time, "y": y, "x": x,
                                 "lat": (("y", "x"), rng.normal(size=(5, 6)))},
                         attrs={"title": "grid", "version": np.int64(3)})
        xds.temp.encoding.update(chunks=(2, 5, 3), filters=["shuffle", "deflate"])
        return xds
    if case == "scalar_and_series":
        return xr.Dataset({"offset": ((), np.float64(2.5), {"note": "scalar"}),
                           "counts": (("t",), rng.integers(-9, 9, size=7).astype("i2"))},
                          coords={"t": np.arange(7, dtype="u8")})
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["grid", "scalar_and_series"])
def test_xarray_round_trip(work, rng, case):
    xr = _xr()
    import quor7.xarray as qx
    xds = _sample(rng, case)
    qx.write_dataset(xds, "x.q7", group="/run")
    with xr.open_dataset("x.q7", engine="quor7", group="/run") as back:
        xr.testing.assert_identical(back.load(), xds)
        for name, var in xds.variables.items():
            if "chunks" in var.encoding:
                assert back[name].encoding["chunks"] == var.encoding["chunks"]
    with xr.open_dataset("x.q7", engine="quor7", group="/run", chunks={},
                         drop_variables=["mask"]) as lazy:
        assert "mask" not in lazy
        if case == "grid":
            assert lazy.temp.data.chunksize == (2, 5, 3)
            np.testing.assert_allclose(lazy.temp.mean().compute(), xds.temp.mean(), rtol=1e-6)


def test_xarray_opening_reads_no_data_variable(work, rng, monkeypatch):
    xr = _xr()
    import quor7.xarray as qx
    qx.write_dataset(_sample(rng, "grid"), "x.q7")
    reads = []
    real = quor7.Dataset.__getitem__
    monkeypatch.setattr(quor7.Dataset, "__getitem__",
                        lambda self, key: reads.append(self.name) or real(self, key))
    with xr.open_dataset("x.q7", engine="quor7") as xds:
        # Only the index coordinates are read, as xarray builds its indexes.
        assert set(reads) <= {"/time", "/x", "/y"}
        reads.clear()
        xds.temp[1, 2, 3].values  # noqa: B018
        assert reads == ["/temp"]


def test_xarray_dimension_attributes_missing_or_damaged(work):
    xr = _xr()
    import quor7.xarray as qx
    with quor7.File("d.q7", "w") as f:
        f.create_dataset("plain", data=np.zeros((2, 3)))
        f.create_dataset("other", data=np.zeros((4,)))
        for name, bad in [("wrong_rank", '["a"]'), ("not_json", "a,b"), ("repeated", '["a", "a"]'),
                          ("not_text", np.arange(2))]:
            f.create_dataset(name, data=np.zeros((2, 2))).attrs[qx.DIMENSIONS_ATTR] = bad
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        xds = xr.open_dataset("d.q7", engine="quor7")
    damaged = {str(w.message).split("'")[1] for w in caught if issubclass(w.category, RuntimeWarning)}
    assert damaged == {"wrong_rank", "not_json", "repeated", "not_text"}
    # Positional names, taken in name order; a length that differs from the
    # one a name already stands for gets its own name.
    assert xds.not_json.dims == ("dim_0", "dim_1")
    assert xds.other.dims == ("dim_0_4",)
    assert xds.plain.dims == ("dim_0", "dim_1_3")
    assert xds.repeated.dims == ("dim_0", "dim_1")
    xds.close()
