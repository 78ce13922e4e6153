#!/usr/bin/env python3
"""A small Dask computation over a stored dataset and an xarray round trip.

Writes a (days, y, x) temperature field (a smooth daily cycle plus sensor
noise, float32, chunked and compressed with shuffle + deflate) with
quor7.xarray.write_dataset, opens it lazily with
xr.open_dataset(..., engine="quor7", chunks={}), computes the mean of every
day with Dask, and checks it against NumPy.

    QUOR7_PLUGIN_PATH=build/lib/quor7/plugins PYTHONPATH=build/python \\
        /usr/bin/python3 python/examples/dask_xarray.py out.q7
"""
import sys

import numpy as np
import xarray as xr

import quor7.xarray


def field(days=12, ny=64, nx=96, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(days)[:, None, None]
    y = np.linspace(-1, 1, ny)[None, :, None]
    x = np.linspace(-1, 1, nx)[None, None, :]
    smooth = 285 + 8 * np.cos(2 * np.pi * t / 12) - 6 * y**2 + 3 * np.sin(3 * x)
    return (smooth + rng.normal(0, 0.4, size=(days, ny, nx))).astype("f4")


def main(path):
    temp = field()
    xds = xr.Dataset(
        {"temp": (("day", "y", "x"), temp, {"units": "K", "long_name": "air temperature"})},
        coords={"day": np.arange(temp.shape[0]), "y": np.linspace(-1, 1, temp.shape[1]),
                "x": np.linspace(-1, 1, temp.shape[2])},
        attrs={"title": "a synthetic temperature field"})
    xds.temp.encoding.update(chunks=(1, 64, 48), filters=["shuffle", "deflate"])
    quor7.xarray.write_dataset(xds, path, group="/run")
    print(f"wrote {path}:/run with write_dataset: temp {temp.shape} float32 in chunks (1, 64, 48)")

    with xr.open_dataset(path, engine="quor7", group="/run", chunks={}) as back:
        print(f"opened lazily: temp is a Dask array in chunks {back.temp.data.chunksize}, "
              f"units {back.temp.attrs['units']!r}")
        daily = back.temp.mean(dim=("y", "x")).compute()
        expect = temp.mean(axis=(1, 2))
        ok = np.allclose(daily.values, expect, rtol=1e-5)
        print("daily means (K):", " ".join(f"{v:.2f}" for v in daily.values))
        print(f"Dask means equal NumPy's: {'yes' if ok else 'NO'}")
        same = back.load().identical(xds)
        print(f"read back identical to what was written: {'yes' if same else 'NO'}")
    return 0 if ok and same else 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
