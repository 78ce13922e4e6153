#!/usr/bin/env python3
"""Dask and xarray over the quor7 package, as ratios against a baseline of
the same run (medians of ROUNDS rounds, default 5; higher is better):

  dask threads       da.from_array(ds, chunks=ds.chunks).sum().compute()
                     with the threaded scheduler, vs ds[...].sum()     target >= 0.8
  dask distributed   the same on a LocalCluster of 2 worker processes
                     (started before the timing), vs ds[...].sum()    target >= 0.8
  xarray open        xr.open_dataset of a file holding a 1 GiB dataset:
                     seconds (target < 0.2) and the number of reads of
                     data variables it made (target 0)

The data: 256 MiB of float64, a smooth field plus sensor noise quantized to
1/64, in (256, 512) chunks of 1 MiB, stored through shuffle + deflate.

    PYTHONPATH=build/python QUOR7_PLUGIN_PATH=build/lib/quor7/plugins \\
        /usr/bin/python3 perf/bench_dask_xarray.py [SCRATCH_DIR]
"""
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import quor7

ROUNDS = int(os.environ.get("ROUNDS", "5"))


def field(rows, cols, seed=3):
    rng = np.random.default_rng(seed)
    y = np.linspace(0, 4 * np.pi, rows)[:, None]
    x = np.linspace(0, 6 * np.pi, cols)[None, :]
    smooth = 20 + 5 * np.sin(y) * np.cos(x) + 0.01 * y * x
    return np.round((smooth + rng.normal(0, 0.3, size=(rows, cols))) * 64) / 64


def main(scratch):
    import dask.array as da
    import xarray as xr

    path = os.path.join(scratch, "bench.q7")
    rows, cols = 8192, 4096          # 256 MiB of float64
    data = field(rows, cols)
    with quor7.File(path, "w") as f:
        f.create_dataset("t", data=data, chunks=(256, 512), filters=["shuffle", "deflate"])
    expect = data.sum()
    failed = False
    print(f"{'measure':<22}{'seconds':>10}{'baseline s':>12}{'ratio':>8}{'target':>9}")

    def report(name, seconds, base, target):
        nonlocal failed
        ratio = base / seconds
        ok = ratio >= target
        failed |= not ok
        print(f"{name:<22}{seconds:>10.3f}{base:>12.3f}{ratio:>8.2f}{'>= ' + str(target):>9}"
              f"{'' if ok else '  BELOW TARGET'}")

    with quor7.File(path) as f:
        ds = f["t"]
        x = da.from_array(ds, chunks=ds.chunks)
        sums = {}
        base = lambda: sums.__setitem__("numpy", ds[...].sum())  # noqa: E731
        threads = lambda: sums.__setitem__("threads", x.sum().compute(scheduler="threads"))  # noqa: E731
        # Baseline and Dask alternate within each round.
        times = {"numpy": [], "threads": []}
        for _ in range(ROUNDS):
            for name, fn in (("numpy", base), ("threads", threads)):
                t = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - t)
        med = {k: sorted(v)[len(v) // 2] for k, v in times.items()}
        assert np.isclose(sums["threads"], expect) and np.isclose(sums["numpy"], expect)
        report("dask threads", med["threads"], med["numpy"], 0.8)

        try:
            import distributed
        except ImportError:
            print("dask distributed: skipped (python3-distributed is not installed)")
        else:
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                             dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as client:
                client.compute(x.sum()).result()  # workers open the file once
                times = {"numpy": [], "distributed": []}
                for _ in range(ROUNDS):
                    for name, fn in (("numpy", base),
                                     ("distributed",
                                      lambda: sums.__setitem__("dist", client.compute(x.sum()).result()))):
                        t = time.perf_counter()
                        fn()
                        times[name].append(time.perf_counter() - t)
                med = {k: sorted(v)[len(v) // 2] for k, v in times.items()}
                assert np.isclose(sums["dist"], expect)
                report("dask distributed", med["distributed"], med["numpy"], 0.8)

    # xarray: opening a file with a 1 GiB dataset reads no array data.
    big = os.path.join(scratch, "big.q7")
    block = field(1024, 8192).astype("f8")        # 64 MiB
    with quor7.File(big, "w") as f:
        ds = f.create_dataset("v", shape=(16384, 8192), dtype="f8", chunks=(128, 1024))
        for r in range(0, 16384, 1024):
            ds[r:r + 1024] = block
        ds.attrs["_dimensions"] = '["row", "col"]'
        f.create_dataset("row", data=np.arange(16384.0)).attrs["_dimensions"] = '["row"]'
        f.create_dataset("col", data=np.arange(8192.0)).attrs["_dimensions"] = '["col"]'
    reads = []
    real = quor7.Dataset.__getitem__
    quor7.Dataset.__getitem__ = lambda self, key: reads.append(self.name) or real(self, key)
    try:
        times = []
        for _ in range(ROUNDS):
            reads.clear()
            t = time.perf_counter()
            xds = xr.open_dataset(big, engine="quor7")
            times.append(time.perf_counter() - t)
            data_reads = [r for r in reads if r == "/v"]
            xds.close()
    finally:
        quor7.Dataset.__getitem__ = real
    seconds = sorted(times)[len(times) // 2]
    ok = seconds < 0.2 and not data_reads
    failed |= not ok
    print(f"{'xarray open 1 GiB':<22}{seconds:>10.3f}{'':>12}{'':>8}{'< 0.2 s':>9}"
          f"  reads of the data variable: {len(data_reads)}{'' if ok else '  BELOW TARGET'}")
    return 1 if failed else 0


if __name__ == "__main__":
    scratch = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="q7bench-")
    try:
        sys.exit(main(scratch))
    finally:
        if len(sys.argv) <= 1:
            shutil.rmtree(scratch, ignore_errors=True)
