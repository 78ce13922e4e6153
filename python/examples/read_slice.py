#!/usr/bin/env python3
"""Reads a slice of a dataset with NumPy indexing and prints it.

    read_slice.py FILE DATASET [INDEX]

INDEX is written as inside square brackets, for example "2:10, ::3" or
"-1, ..."; without it the whole dataset is read.
"""
import sys

import numpy as np

import quor7


def parse_index(text):
    """'2:10, ::3, -1, ...' as a tuple of slices, integers and Ellipsis."""
    parts = []
    for item in text.split(","):
        item = item.strip()
        if item == "...":
            parts.append(Ellipsis)
        elif ":" in item:
            fields = [int(x) if x.strip() else None for x in item.split(":")]
            parts.append(slice(*fields))
        else:
            parts.append(int(item))
    return tuple(parts)


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(f"usage: {argv[0]} FILE DATASET [INDEX]")
    key = parse_index(argv[3]) if len(argv) == 4 else Ellipsis
    with quor7.File(argv[1]) as f:
        ds = f[argv[2]]
        values = ds[key]
        print(f"{ds.name}{'' if key is Ellipsis else '[' + argv[3] + ']'}: shape {np.shape(values)}, "
              f"dtype {ds.dtype.str}")
        print(values)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
