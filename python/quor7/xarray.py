"""xarray support: the backend engine "quor7" and a writer.

    import xarray as xr, quor7.xarray
    xds = xr.open_dataset("data.q7", engine="quor7", group="/run")      # lazy
    xds = xr.open_dataset("data.q7", engine="quor7", chunks={})         # Dask, storage chunks
    quor7.xarray.write_dataset(xds, "copy.q7", group="/run", mode="w")

How a group maps onto an xarray Dataset (docs/xarray.md):

- the data variables are the group's datasets, with their attributes as
  ``attrs``; the group's attributes are the Dataset's ``attrs``;
- a dataset's dimension names are kept in its attribute ``_dimensions``,
  a string holding a JSON list of names, one per axis;
- the coordinates are the one-dimensional datasets named after a dimension
  (and those the group's attribute ``_coordinates`` lists by name);
- a dataset without ``_dimensions`` has dimensions named by position:
  ``dim_0``, ``dim_1``, ... (``dim_<axis>_<length>`` where the same
  positional name would stand for two lengths in one group);
- a damaged ``_dimensions`` (not a JSON list of distinct strings, one per
  axis) is ignored with a RuntimeWarning, and the positional names are used.

Nothing reads array data at opening: every variable is a lazy array over its
dataset, read through xarray's explicit indexing when it is used.
"""
import json
import os
import threading
import warnings

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from ._objects import Dataset, File, Group

DIMENSIONS_ATTR = "_dimensions"
COORDINATES_ATTR = "_coordinates"
_HIDDEN_ATTRS = (DIMENSIONS_ATTR, COORDINATES_ATTR)


class _OpenFile:
    """One read-only file of a backend, opened on first use in each process.

    It pickles as its path, so that Dask workers of other processes open the
    file themselves."""

    def __init__(self, path):
        self.path = os.path.abspath(os.fspath(path))
        self._file = None
        self._lock = threading.Lock()

    def get(self):
        with self._lock:
            if self._file is None or not self._file:
                self._file = File(self.path, "r")
            return self._file

    def close(self):
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None

    def __getstate__(self):
        return {"path": self.path}

    def __setstate__(self, state):
        self.__init__(state["path"])


class Quor7BackendArray(BackendArray):
    """A dataset of a file, read lazily through basic indexing."""

    def __init__(self, opener, name, shape, dtype):
        self._opener = opener
        self._name = name
        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                  self._read)

    def _read(self, key):
        return np.asarray(self._opener.get()[self._name][key])


def _dimension_names(name, ds, taken):
    """The dimension names of a dataset, from its attribute or by position.
    taken maps positional names already used in the group to their lengths."""
    shape = ds.shape
    if DIMENSIONS_ATTR in ds.attrs:
        raw = ds.attrs[DIMENSIONS_ATTR]
        try:
            if isinstance(raw, bytes):
                raw = raw.decode("utf-8")
            dims = json.loads(raw) if isinstance(raw, str) else None
        except (ValueError, UnicodeDecodeError):
            dims = None
        if (isinstance(dims, list) and len(dims) == len(shape)
                and all(isinstance(d, str) and d for d in dims) and len(set(dims)) == len(dims)):
            return tuple(dims)
        warnings.warn(f"quor7: dataset {name!r} has a damaged {DIMENSIONS_ATTR} attribute "
                      f"({raw!r}); its dimensions are named by position", RuntimeWarning,
                      stacklevel=4)
    dims = []
    for axis, length in enumerate(shape):
        dim = f"dim_{axis}"
        if taken.setdefault(dim, length) != length:
            dim = f"dim_{axis}_{length}"
        dims.append(dim)
    return tuple(dims)


def _user_attrs(attrs):
    return {k: v for k, v in attrs.items() if k not in _HIDDEN_ATTRS}


def _group_coordinates(group):
    raw = group.attrs.get(COORDINATES_ATTR) if COORDINATES_ATTR in group.attrs else None
    if raw is None:
        return set()
    try:
        names = json.loads(raw.decode("utf-8") if isinstance(raw, bytes) else raw)
        if isinstance(names, list) and all(isinstance(n, str) for n in names):
            return set(names)
    except (ValueError, UnicodeDecodeError, AttributeError):
        pass
    warnings.warn(f"quor7: group {group.name!r} has a damaged {COORDINATES_ATTR} attribute "
                  f"({raw!r}); it is ignored", RuntimeWarning, stacklevel=3)
    return set()


def open_group(path, group=None, drop_variables=None):
    """The xarray Dataset of one group of a file (lazy); what the engine
    "quor7" of xr.open_dataset returns."""
    opener = _OpenFile(path)
    f = opener.get()
    try:
        g = f if group in (None, "", "/") else f[group]
        if not isinstance(g, Group):
            raise TypeError(f"{group!r} in {path} is a dataset, not a group")
        drop = set([drop_variables] if isinstance(drop_variables, str) else drop_variables or ())
        extra_coords = _group_coordinates(g)
        taken = {}
        variables, coord_names = {}, set()
        for name in g.keys():
            if name in drop or g.link_kind(name) == "external":
                continue
            ds = g[name]
            if not isinstance(ds, Dataset):
                continue
            dims = _dimension_names(name, ds, taken)
            encoding = {"dtype": ds.dtype, "source": opener.path}
            if ds.chunks is not None:
                encoding["chunks"] = ds.chunks
                encoding["preferred_chunks"] = dict(zip(dims, ds.chunks))
            if ds.filters:
                encoding["filters"] = [(fid, list(cd)) for fid, _name, cd in ds.filters]
            data = indexing.LazilyIndexedArray(
                Quor7BackendArray(opener, g.name.rstrip("/") + "/" + name, ds.shape, ds.dtype))
            variables[name] = xr.Variable(dims, data, _user_attrs(ds.attrs), encoding)
            if (len(dims) == 1 and dims[0] == name) or name in extra_coords:
                coord_names.add(name)
        attrs = _user_attrs(g.attrs)
    except BaseException:
        opener.close()
        raise
    xds = xr.Dataset({k: v for k, v in variables.items() if k not in coord_names},
                     coords={k: v for k, v in variables.items() if k in coord_names}, attrs=attrs)
    xds.set_close(opener.close)
    return xds


class Quor7BackendEntrypoint(BackendEntrypoint):
    """xr.open_dataset(path, engine="quor7", group="/run", drop_variables=[...])."""

    description = "Open Quor7 files (.q7) in xarray"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "group")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, group=None):
        return open_group(filename_or_obj, group=group, drop_variables=drop_variables)

    def guess_can_open(self, filename_or_obj):
        try:
            return os.fspath(filename_or_obj).endswith(".q7")
        except TypeError:
            return False


def write_dataset(xds, path, group="/", mode="w"):
    """Writes an xarray Dataset into a group of a file: every variable and
    coordinate as a dataset with its attributes and dimension names, the
    Dataset's attributes on the group.  Chunk shapes and filters come from
    each variable's encoding (``chunks``, ``filters``, as create_dataset
    takes them).  mode is File's: "w" replaces the file, "a" or "r+" adds
    to it (the group must not hold the names yet)."""
    with File(path, mode) as f:
        g = f if group in (None, "", "/") else f.require_group(group)
        extra_coords = []
        for name, var in xds.variables.items():
            enc = var.encoding
            chunks = enc.get("chunks")
            if chunks is not None and len(chunks) != var.ndim:
                chunks = None
            ds = g.create_dataset(name, data=np.asarray(var.values), chunks=chunks,
                                  filters=enc.get("filters"))
            for key, value in var.attrs.items():
                ds.attrs[key] = value
            ds.attrs[DIMENSIONS_ATTR] = json.dumps(list(var.dims))
            if name in xds.coords and not (var.ndim == 1 and var.dims[0] == name):
                extra_coords.append(name)
        for key, value in xds.attrs.items():
            g.attrs[key] = value
        if extra_coords:
            g.attrs[COORDINATES_ATTR] = json.dumps(extra_coords)
