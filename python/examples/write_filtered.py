#!/usr/bin/env python3
"""Writes a 2-D int32 array through the offset plug-in (filter 257, client
data [5]) into FILE, then shows one stored chunk as it lies in the file:
every value plus 5.

    QUOR7_PLUGIN_PATH=build/lib/quor7/plugins PYTHONPATH=build/python \\
        /usr/bin/python3 python/examples/write_filtered.py out.q7
"""
import sys

import numpy as np

import quor7


def main(path):
    data = np.arange(48, dtype="<i4").reshape(6, 8)
    with quor7.File(path, "w") as f:
        ds = f.create_dataset("grid", data=data, chunks=(3, 4), filters=[(257, [5])])
        ds.attrs["units"] = "counts"
        print(f"wrote {path}:/grid, shape {ds.shape}, chunks {ds.chunks}, filters {ds.filters}")
    with quor7.File(path) as f:
        ds = f["grid"]
        equal = np.array_equal(ds[...], data)
        print(f"read back equal to what was written: {'yes' if equal else 'NO'}")
        mask, raw = ds.read_direct_chunk((3, 4))
        stored = np.frombuffer(raw, "<i4").reshape(3, 4)
        print(f"stored chunk at (3, 4), filter mask {mask}:")
        print(stored)
        plus5 = np.array_equal(stored, data[3:6, 4:8] + 5)
        print(f"each stored value is the value plus 5: {'yes' if plus5 else 'NO'}")
    return 0 if equal and plus5 else 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} FILE")
    sys.exit(main(sys.argv[1]))
