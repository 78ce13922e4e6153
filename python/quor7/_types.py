"""NumPy dtypes and the element-type descriptors of quor7._core.

A descriptor is a tuple: ("i" | "u" | "f" | "b", size, order) for numbers
(order 0 little-endian, 1 big-endian; "b" is a bit field, read as unsigned),
("S", size) for a fixed-length byte string, ("V", size) for opaque bytes and
("c", size, [(name, offset, descriptor), ...]) for a compound type.
"""
import sys

import numpy as np

_INT_SIZES = (1, 2, 4, 8)
_FLOAT_SIZES = (4, 8)


def _order(dt):
    if dt.byteorder == ">":
        return 1
    if dt.byteorder == "<":
        return 0
    return 1 if (dt.byteorder == "=" and sys.byteorder == "big") else 0


def descriptor(dtype):
    """Descriptor of a NumPy dtype; TypeError for one the library cannot store."""
    dt = np.dtype(dtype)
    if dt.names is not None:
        members = []
        for name in dt.names:
            field = dt.fields[name]
            members.append((name, field[1], descriptor(field[0])))
        return ("c", dt.itemsize, members)
    if dt.subdtype is not None:
        raise TypeError(f"sub-array dtype {dt} has no Quor7 element type")
    if dt.kind in "iu" and dt.itemsize in _INT_SIZES:
        return (dt.kind, dt.itemsize, _order(dt))
    if dt.kind == "f" and dt.itemsize in _FLOAT_SIZES:
        return ("f", dt.itemsize, _order(dt))
    if dt.kind == "S" and dt.itemsize > 0:
        return ("S", dt.itemsize)
    if dt.kind == "V" and dt.itemsize > 0:
        return ("V", dt.itemsize)
    raise TypeError(f"dtype {dt} has no Quor7 element type "
                    "(integers, float32, float64, fixed-length bytes and compounds of them)")


def dtype_of(desc):
    """NumPy dtype laid out byte for byte like the descriptor's type."""
    kind, size = desc[0], desc[1]
    if kind in ("i", "u", "f", "b"):
        letter = "u" if kind == "b" else kind
        return np.dtype((">" if desc[2] == 1 else "<") + letter + str(size))
    if kind == "S":
        return np.dtype(f"S{size}")
    if kind == "V":
        return np.dtype(f"V{size}")
    if kind == "c":
        members = desc[2]
        return np.dtype({
            "names": [m[0] for m in members],
            "formats": [dtype_of(m[2]) for m in members],
            "offsets": [m[1] for m in members],
            "itemsize": size,
        })
    raise TypeError(f"unknown element type descriptor {desc!r}")


def as_array(value, dtype=None):
    """value as a NumPy array, of dtype when one is given (so that a tuple
    becomes one compound element); str (and arrays of str) become UTF-8
    bytes."""
    if isinstance(value, str):
        value = value.encode("utf-8")
    if isinstance(value, np.ndarray) and value.dtype.kind == "U":
        value = np.char.encode(value, "utf-8")
    if dtype is not None:
        return np.asarray(value, dtype=np.dtype(dtype))
    arr = np.asarray(value)
    if arr.dtype.kind == "U":
        arr = np.char.encode(arr, "utf-8")
    if arr.dtype.kind == "b":
        raise TypeError("bool arrays have no Quor7 element type; store them as uint8")
    if arr.dtype.kind == "O":
        raise TypeError("object arrays have no Quor7 element type")
    return arr
