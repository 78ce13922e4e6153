"""NumPy-style indices translated into one hyperslab of a dataset.

Integers (negative ones count from the end), slices with any non-zero step,
one Ellipsis, and mixtures of them.  A negative step is read as the
ascending hyperslab of the same elements and reversed in memory afterwards,
so the library only ever sees start, stride and count.
"""
import operator

import numpy as np


class Selection:
    """One hyperslab: start, stride and count per dimension of the dataset,
    plus how to turn the block read (shape `count`) into NumPy's result."""

    __slots__ = ("start", "stride", "count", "view", "shape", "whole", "ellipsis", "dims")

    def __init__(self, start, stride, count, view, shape, whole, ellipsis, dims):
        self.start = start
        self.stride = stride
        self.count = count
        # Index applied to the block of shape `count` to give NumPy's result:
        # 0 for an integer-indexed dimension, a reversing slice for a
        # negative step, a full slice otherwise.
        self.view = view
        # Shape of the result (dimensions of integer indices dropped).
        self.shape = shape
        # True when the selection is the whole extent in order.
        self.whole = whole
        # True when the key held an Ellipsis.
        self.ellipsis = ellipsis
        # The dataset's extent the selection was made in.
        self.dims = dims

    @property
    def size(self):
        n = 1
        for c in self.count:
            n *= c
        return n

    def hyperslab(self):
        """(start, stride, count, dims), or None for a scalar dataset: the
        extent lets the library place the hyperslab without asking for the
        dataset's space in a transaction of its own."""
        return (self.start, self.stride, self.count, list(self.dims)) if self.dims else None


def _expand(key, ndim):
    if not isinstance(key, tuple):
        key = (key,)
    n_ellipsis = sum(1 for k in key if k is Ellipsis)
    if n_ellipsis > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    if len(key) - n_ellipsis > ndim:
        raise IndexError(f"too many indices: the dataset has {ndim} dimension(s), "
                         f"{len(key) - n_ellipsis} were indexed")
    if n_ellipsis:
        at = key.index(Ellipsis)
        fill = (slice(None),) * (ndim - (len(key) - 1))
        key = key[:at] + fill + key[at + 1:]
    return key + (slice(None),) * (ndim - len(key))


def select(shape, key):
    """Selection of `key` in a dataset of `shape`; IndexError for an index
    out of range, TypeError for an index of an unsupported kind."""
    ndim = len(shape)
    ellipsis = key is Ellipsis or (isinstance(key, tuple) and any(k is Ellipsis for k in key))
    key = _expand(key, ndim)
    start, stride, count, view, out = [], [], [], [], []
    whole = True
    for axis, (k, n) in enumerate(zip(key, shape)):
        if isinstance(k, slice):
            first, stop, step = k.indices(n)
            r = range(first, stop, step)
            c = len(r)
            if step > 0:
                s0, st = (first if c else 0), step
                view.append(slice(None))
            else:
                s0, st = (r[-1] if c else 0), -step
                view.append(slice(None, None, -1))
            if c <= 1:
                st = 1
            start.append(s0)
            stride.append(st)
            count.append(c)
            out.append(c)
            if not (s0 == 0 and st == 1 and c == n and step > 0):
                whole = False
            continue
        if isinstance(k, (bool, np.bool_)):
            raise TypeError("boolean indices are not supported")
        try:
            i = operator.index(k)
        except TypeError:
            raise TypeError(f"index {k!r} is not an integer, slice or '...'") from None
        if i < -n or i >= n:
            raise IndexError(f"index {i} is out of range for axis {axis} with size {n}")
        if i < 0:
            i += n
        start.append(i)
        stride.append(1)
        count.append(1)
        view.append(0)
        whole = False
    return Selection(start, stride, count, tuple(view), tuple(out), whole, ellipsis, shape)
