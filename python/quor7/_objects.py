"""Files, groups, datasets, attributes and links over quor7._core."""
import collections
import os
import threading
import weakref
from collections.abc import MutableMapping

import numpy as np

from . import _core
from ._selection import select
from ._types import as_array, descriptor, dtype_of

Error = _core.Error

# Built-in filters: name -> identifier, nothing more.  A filter is set with
# no client data unless the caller gives some, as (name or identifier,
# [client data]).
_MANDATORY = 0

# Chunk size aimed at when the package picks a chunk shape itself.
_AUTO_CHUNK_BYTES = 1 << 20


class SoftLink:
    """A link by path, resolved when it is followed: g["alias"] = SoftLink("/a/b")."""

    def __init__(self, path):
        self.path = str(path)

    def __repr__(self):
        return f"SoftLink({self.path!r})"

    def __eq__(self, other):
        return isinstance(other, SoftLink) and other.path == self.path


class ExternalLink:
    """A link to an object of another file: g["x"] = ExternalLink("other.q7", "/x")."""

    def __init__(self, filename, path):
        self.filename = os.fspath(filename)
        self.path = str(path)

    def __repr__(self):
        return f"ExternalLink({self.filename!r}, {self.path!r})"

    def __eq__(self, other):
        return (isinstance(other, ExternalLink) and other.filename == self.filename
                and other.path == self.path)


class HardLink:
    """What Group.get_link returns for a hard link."""

    def __repr__(self):
        return "HardLink()"

    def __eq__(self, other):
        return isinstance(other, HardLink)


_LINK_KINDS = {_core.LINK_HARD: "hard", _core.LINK_SOFT: "soft", _core.LINK_EXTERNAL: "external"}


def _name(name):
    if isinstance(name, bytes):
        name = name.decode("utf-8")
    if not isinstance(name, str):
        raise TypeError(f"names are strings, not {type(name).__name__}")
    return name


class HLObject:
    """A file, group or dataset: owns one library identifier."""

    def __init__(self, handle, file):
        self._h = handle
        self._file = file if file is not None else self
        if file is not None:
            file._track(self)

    @property
    def _id(self):
        # The handle raises ValueError once closed (by close() of its file).
        return self._h.id

    def _close_handle(self):
        self._h.close()

    @property
    def name(self):
        """Path of the object inside its file."""
        return _core.object_name(self._id)

    @property
    def file(self):
        return self._file

    @property
    def attrs(self):
        self._id  # noqa: B018 - refuse closed objects at once
        return AttributeManager(self)

    def __bool__(self):
        return self._h.open

    def _address(self):
        info = _core.object_info(self._id, ".")
        return (info[3], info[0])

    def _key(self):
        # (file number, address), read once: it identifies the object
        # for == and hash() alike, also after the object is closed.
        if getattr(self, "_cached_key", None) is None:
            self._cached_key = self._address()
        return self._cached_key

    def __eq__(self, other):
        """Objects are equal when they are the same object of the same file."""
        if not isinstance(other, HLObject):
            return NotImplemented
        if self is other:
            return True
        try:
            return self._key() == other._key()
        except ValueError:
            return False

    def __hash__(self):
        return hash(self._key())

    # -- pickling and Dask tokens ----------------------------------------
    def __reduce__(self):
        """Objects of read-only files pickle as the file's absolute path and
        the object's path; unpickling reopens the file read-only.  Objects
        of files opened for writing refuse: their pending changes are not
        in the file for another process to see."""
        f = self._file
        if f.mode != "r":
            raise TypeError(f"cannot pickle {self!r}: its file {f.filename!r} is opened for writing "
                            "(only objects of files opened 'r' travel to other processes)")
        return (_reopen, (f._abspath, self.name))

    def __dask_tokenize__(self):
        """A name that changes whenever the file is changed: the file's
        path, device, inode, size and modification time, and the object's
        path."""
        f = self._file
        st = os.stat(f._abspath)
        return ("quor7", type(self).__name__, f._abspath, st.st_dev, st.st_ino, st.st_size,
                st.st_mtime_ns, self.name)


class Group(HLObject, MutableMapping):
    """A mapping from link names to groups and datasets."""

    # -- mapping ---------------------------------------------------------
    def _wrap(self, handle, kind):
        if kind == _core.KIND_DATASET:
            return Dataset(handle, self._file)
        return Group(handle, self._file)

    def __getitem__(self, name):
        # A name that is not there raises KeyError from the library's own
        # lookup; any other failure raises Error.
        handle, kind = _core.object_open(self._id, _name(name))
        return self._wrap(handle, kind)

    def _exists(self, name):
        if name in ("", "/", "."):
            return True
        return _core.link_exists(self._id, name)

    def __contains__(self, name):
        try:
            name = _name(name)
        except TypeError:
            return False
        return self._exists(name)

    def __len__(self):
        return len(_core.link_names(self._id))

    def __iter__(self):
        return iter(_core.link_names(self._id))

    def keys(self):
        """Link names, in name order."""
        return _core.link_names(self._id)

    def __delitem__(self, name):
        _core.link_delete(self._id, _name(name))

    def __setitem__(self, name, obj):
        name = _name(name)
        self._make_parents(name)
        if isinstance(obj, SoftLink):
            _core.link_create_soft(obj.path, self._id, name)
        elif isinstance(obj, ExternalLink):
            _core.link_create_external(obj.filename, obj.path, self._id, name)
        elif isinstance(obj, HLObject):
            _core.link_create_hard(obj._id, ".", self._id, name)
        else:
            self.create_dataset(name, data=obj)

    # -- links -------------------------------------------------------------
    def link_kind(self, name):
        """"hard", "soft" or "external": the kind of link a name is."""
        return _LINK_KINDS.get(_core.link_type(self._id, _name(name)), "unknown")

    def get_link(self, name):
        """The link itself: a HardLink, SoftLink or ExternalLink."""
        kind = self.link_kind(name)
        if kind == "hard":
            return HardLink()
        value = _core.link_value(self._id, _name(name))
        return SoftLink(value[0]) if kind == "soft" else ExternalLink(value[0], value[1])

    # -- creation ----------------------------------------------------------
    def _make_parents(self, name):
        parent = name.rstrip("/").rpartition("/")[0]
        if parent and not self._exists(parent):
            self.create_group(parent)

    def create_group(self, name):
        """A new group; missing groups on the way are made too."""
        name = _name(name)
        self._make_parents(name)
        return Group(_core.group_create(self._id, name), self._file)

    def require_group(self, name):
        """The group of that name, made when missing; TypeError when the
        name holds a dataset."""
        name = _name(name)
        try:
            obj = self[name]
        except KeyError:
            return self.create_group(name)
        if not isinstance(obj, Group):
            raise TypeError(f"{name!r} is a {type(obj).__name__}, not a group")
        return obj

    def create_dataset(self, name, shape=None, dtype=None, data=None, chunks=None, maxshape=None,
                       filters=None, fillvalue=None):
        """A new dataset.  shape and dtype are taken from data when not given
        (dtype defaults to float32); chunks=True or None with filters or
        growable dimensions picks a chunk shape; maxshape entries None are
        unlimited; filters is a list of built-in names ("deflate" or
        "gzip", "shuffle", "fletcher32", "zstd", "lz4", "bitshuffle"),
        identifiers, or (name or identifier, [client data...]) tuples,
        applied in order; a name alone gets the library's default client
        data, and a negative value (a zstd level) is stored as its 32-bit
        two's complement."""
        name = _name(name)
        if data is not None:
            if isinstance(data, Dataset):
                data = data[...]
            data = as_array(data, dtype)
            if shape is None:
                shape = data.shape
            else:
                shape = _shape(shape)
                if int(np.prod(shape, dtype=np.int64)) != data.size:
                    raise ValueError(f"data of shape {data.shape} does not fit shape {shape}")
                data = data.reshape(shape)
            dtype = data.dtype
        if shape is None:
            raise TypeError("create_dataset needs a shape or data")
        shape = _shape(shape)
        dtype = np.dtype("f4" if dtype is None else dtype)
        if dtype.kind == "U":
            raise TypeError("str dtypes have no Quor7 element type; use fixed-length bytes (S)")
        desc = descriptor(dtype)
        maxshape = _maxshape(maxshape, shape)
        pipeline = _pipeline(filters)
        if chunks is True or (chunks is None and (pipeline or maxshape != shape)):
            chunks = _auto_chunks(shape, maxshape, dtype.itemsize)
        elif chunks is False:
            chunks = None
        elif chunks is not None:
            chunks = _shape(chunks)
            if len(chunks) != len(shape):
                raise ValueError(f"chunk shape {chunks} has another rank than shape {shape}")
            if any(c < 1 for c in chunks):
                raise ValueError(f"chunk shape {chunks} has a dimension below 1")
        if chunks is None and pipeline:
            raise ValueError("filters need a chunked dataset")
        self._make_parents(name)
        fill = None if fillvalue is None else np.asarray(fillvalue, dtype=dtype).tobytes()
        handle = _core.dataset_create(self._id, name, desc, list(shape),
                                      [m for m in maxshape],
                                      None if chunks is None else list(chunks), pipeline, fill)
        ds = Dataset(handle, self._file)
        try:
            if data is not None and data.size:
                ds[...] = data
        except BaseException:
            # A dataset whose first write failed is not left behind half made.
            ds._close_handle()
            try:
                _core.link_delete(self._id, name)
            except Error:
                pass
            raise
        return ds

    # -- traversal ---------------------------------------------------------
    # Deepest nesting of groups the walks enter below their start, as in
    # the command-line tools: deeper files raise Error.
    MAX_WALK_DEPTH = 8192

    def visit(self, func):
        """Calls func(name) for every object below this group reached by
        hard links, each once, names relative to this group, in name order
        (parents before children).  Stops and returns the first result that
        is not None.  Groups nested more than MAX_WALK_DEPTH levels below
        this one raise Error."""
        return self.visititems(lambda name, _obj: func(name), _open=False)

    def visititems(self, func, _open=True):
        """Like visit, with func(name, object)."""
        seen = {self._address()}
        # The walk keeps its own stack of open groups, each child opened
        # through its parent, so deep nesting never reaches Python's
        # recursion limit.
        stack = [(self, "", iter(list(self.keys())))]
        while stack:
            group, prefix, links = stack[-1]
            link = next(links, None)
            if link is None:
                stack.pop()
                continue
            if group.link_kind(link) != "hard":
                continue
            info = _core.object_info(group._id, link)
            key = (info[3], info[0])
            if key in seen:
                continue
            seen.add(key)
            path = prefix + link
            is_group = info[1] == _core.OBJ_GROUP
            obj = group[link] if (_open or is_group) else None
            result = func(path, obj)
            if result is not None:
                return result
            if is_group:
                # The group is len(stack) levels below this one.
                if len(stack) > self.MAX_WALK_DEPTH:
                    shown = path if len(path) <= 101 else path[:48] + "..." + path[-48:]
                    raise Error(f"{shown!r} lies more than {self.MAX_WALK_DEPTH} groups below "
                                f"{self.name!r}: nesting this deep is refused")
                stack.append((obj, path + "/", iter(list(obj.keys()))))
        return None

    def __repr__(self):
        if not self._h.open:
            return "<Closed quor7 group>"
        return f"<quor7 group {self.name!r} ({len(self)} members)>"


class File(Group):
    """A Quor7 file, which is also its root group.

    Modes: "r" read only, "r+" read and write, "w" create (replacing a file
    of that name), "w-" or "x" create (failing when the file exists), "a"
    read and write, creating the file when missing."""

    def __init__(self, path, mode="r"):
        path = os.fspath(path)
        self._children = weakref.WeakSet()
        if mode != "r":
            _release_reopened(path)
        if mode == "r":
            handle = _core.file_open(path, _core.ACC_RDONLY)
        elif mode == "r+":
            handle = _core.file_open(path, _core.ACC_RDWR)
        elif mode == "w":
            handle = _core.file_create(path, _core.ACC_TRUNC)
        elif mode in ("w-", "x"):
            handle = _core.file_create(path, _core.ACC_EXCL)
        elif mode == "a":
            if os.path.exists(path):
                handle = _core.file_open(path, _core.ACC_RDWR)
            else:
                handle = _core.file_create(path, _core.ACC_EXCL)
        else:
            raise ValueError(f"mode {mode!r} is not one of 'r', 'r+', 'w', 'w-', 'x', 'a'")
        self._filename = path
        # Taken now: pickles name the file even after the current directory changed.
        self._abspath = os.path.abspath(path)
        self._mode = "r" if mode == "r" else "r+"
        super().__init__(handle, None)

    def _track(self, obj):
        self._children.add(obj)

    @property
    def filename(self):
        return self._filename

    @property
    def mode(self):
        """"r" for a read-only file, "r+" for a writable one."""
        return self._mode

    @property
    def name(self):
        self._id  # noqa: B018
        return "/"

    def flush(self):
        """Commits the changes made so far to the disk."""
        _core.flush(self._id)

    def close(self):
        """Closes every object opened through this file, then the file,
        which commits pending changes.  Closing twice is harmless."""
        if not self._h.open:
            return
        for obj in list(self._children):
            obj._close_handle()
        self._h.close()

    def __enter__(self):
        self._id  # noqa: B018
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        if not self._h.open:
            return "<Closed quor7 file>"
        return f"<quor7 file {self._filename!r} (mode {self._mode})>"


class Dataset(HLObject):
    """A typed, shaped array in a file, read and written with NumPy indexing."""

    # Reads select in the extent this object last saw, and the library
    # checks that extent in the read's own transaction (same_extent): asking
    # for the shape first would cost a transaction as long as a small read.
    # A read that finds another extent (resized here, through another
    # object, or in another process) selects again in the new one.
    _RESELECTS = 3

    def __init__(self, handle, file):
        super().__init__(handle, file)
        self._dtype = dtype_of(_core.dataset_type(handle.id))
        self._extent = None

    @property
    def shape(self):
        self._extent = _core.dataset_shape(self._id)[0]
        return self._extent

    @property
    def maxshape(self):
        """Maximum extent, None for an unlimited dimension."""
        return _core.dataset_shape(self._id)[1]

    @property
    def dtype(self):
        self._id  # noqa: B018
        return self._dtype

    @property
    def ndim(self):
        return len(self.shape)

    @property
    def size(self):
        n = 1
        for d in self.shape:
            n *= d
        return n

    @property
    def chunks(self):
        """Chunk shape, None for a contiguous dataset."""
        chunks = _core.dataset_layout(self._id)[0]
        return None if chunks is None else tuple(chunks)

    @property
    def filters(self):
        """The pipeline: [(identifier, name, [client data...]), ...] in order."""
        return [(fid, name, list(cd)) for fid, name, cd in _core.dataset_layout(self._id)[1]]

    @property
    def fillvalue(self):
        """The value of elements never written (kept with the dataset; zero
        unless one was given at creation)."""
        return np.frombuffer(_core.dataset_fill(self._id), dtype=self._dtype)[0]

    def __len__(self):
        shape = self.shape
        if not shape:
            raise TypeError("a scalar dataset has no len()")
        return shape[0]

    def resize(self, size, axis=None):
        """Changes the extent (within maxshape); with axis, only that
        dimension changes to size."""
        shape = self.shape
        if axis is not None:
            if not 0 <= axis < len(shape):
                raise ValueError(f"axis {axis} is out of range for {len(shape)} dimensions")
            new = list(shape)
            new[axis] = int(size)
            size = tuple(new)
        size = _shape(size)
        if len(size) != len(shape):
            raise ValueError(f"shape {size} has another rank than the dataset's {shape}")
        _core.dataset_set_extent(self._id, list(size))

    def __getitem__(self, key):
        shape = self._extent
        for _ in range(self._RESELECTS):
            if shape is None:
                shape = self.shape
            try:
                sel = select(shape, key)
                # An empty selection reads nothing, so nothing checks it.
                if not sel.size and self.shape != shape:
                    shape = None
                    continue
                # The library fills the new array directly.
                block = _core.dataset_read_new(self._id, sel.hyperslab(), self._dtype, sel.count, True)
            except (IndexError, Error):
                if self.shape == shape:
                    raise
                shape = None
                continue
            # An Ellipsis in the key keeps the result an array, as in NumPy.
            return block[sel.view + (Ellipsis,)] if sel.ellipsis else block[sel.view]
        # An extent that keeps changing: select in a fresh one, and let the
        # library place the selection in whatever it finds then.
        sel = select(self.shape, key)
        block = _core.dataset_read_new(self._id, sel.hyperslab(), self._dtype, sel.count)
        return block[sel.view + (Ellipsis,)] if sel.ellipsis else block[sel.view]

    def __setitem__(self, key, value):
        sel = select(self.shape, key)
        data = as_array(value, self._dtype)
        try:
            data = np.broadcast_to(data, sel.shape)
        except ValueError:
            raise ValueError(f"cannot write data of shape {data.shape} into a selection of shape {sel.shape}") from None
        if not sel.size:
            return
        # The Ellipsis keeps a 0-d block an array: a NumPy scalar would be
        # in native byte order whatever the dataset's.
        data = np.asarray(data.reshape(sel.count)[_flips(sel.view) + (Ellipsis,)], dtype=self._dtype, order="C")
        _core.dataset_write(self._id, sel.hyperslab(), data)

    def read_direct(self, dest, source_sel=Ellipsis):
        """Reads the selection source_sel straight into the existing array
        dest: C-contiguous, writable, of the dataset's dtype and of the
        selection's size, with no reversed (negative-step) dimension."""
        sel = select(self.shape, source_sel)
        if not isinstance(dest, np.ndarray) or not dest.flags.c_contiguous or not dest.flags.writeable:
            raise TypeError("read_direct needs a writable C-contiguous NumPy array")
        if dest.dtype != self._dtype or dest.size != sel.size:
            raise ValueError(f"read_direct needs {sel.size} elements of {self._dtype}, "
                             f"not {dest.size} of {dest.dtype}")
        if any(v == slice(None, None, -1) for v in sel.view):
            raise ValueError("read_direct cannot read a reversed selection")
        if sel.size:
            _core.dataset_read(self._id, sel.hyperslab(), dest)

    def __array__(self, dtype=None):
        arr = self[...]
        return arr if dtype is None else arr.astype(dtype)

    def read_direct_chunk(self, offset):
        """(filter mask, bytes) of the stored chunk at offset (in elements),
        as it lies in the file, past the filter pipeline."""
        return _core.chunk_read(self._id, [int(o) for o in offset])

    def chunk_offsets(self):
        """Offsets of the chunks stored, in the dataset's order."""
        return [tuple(o) for o in _core.chunk_offsets(self._id)]

    def __repr__(self):
        if not self._h.open:
            return "<Closed quor7 dataset>"
        return f"<quor7 dataset {self.name!r}: shape {self.shape}, type {self._dtype.str}>"


def _flips(view):
    # The reversals of a selection's view, with integer dimensions kept.
    return tuple(v if isinstance(v, slice) else slice(None) for v in view)


class AttributeManager(MutableMapping):
    """Attributes of a file, group or dataset: scalars, arrays and strings.

    Strings are stored as fixed-length UTF-8 bytes; a scalar string
    attribute reads back as str, arrays of strings as NumPy bytes arrays."""

    def __init__(self, parent):
        self._parent = parent

    def _id(self):
        return self._parent._id

    def __getitem__(self, name):
        name = _name(name)
        desc, shape = _core.attr_info(self._id(), name)
        out = np.empty(shape, dtype=dtype_of(desc))
        _core.attr_read(self._id(), name, out)
        if out.ndim == 0:
            value = out[()]
            if isinstance(value, bytes):
                try:
                    return value.decode("utf-8")
                except UnicodeDecodeError:
                    return value
            return value
        return out

    def __setitem__(self, name, value):
        name = _name(name)
        arr = np.asarray(as_array(value), order="C")
        _core.attr_write(self._id(), name, descriptor(arr.dtype), list(arr.shape), arr)

    def create(self, name, data, dtype=None):
        """Writes an attribute of a given dtype."""
        name = _name(name)
        arr = np.asarray(as_array(data, dtype), order="C")
        _core.attr_write(self._id(), name, descriptor(arr.dtype), list(arr.shape), arr)

    def __delitem__(self, name):
        _core.attr_delete(self._id(), _name(name))

    def __contains__(self, name):
        try:
            return _core.attr_exists(self._id(), _name(name))
        except TypeError:
            return False

    def __iter__(self):
        return iter(_core.attr_names(self._id()))

    def keys(self):
        return _core.attr_names(self._id())

    def __len__(self):
        return len(_core.attr_names(self._id()))

    def __repr__(self):
        return f"<attributes of {self._parent!r}>"


# -- helpers -----------------------------------------------------------------

def _shape(shape):
    if isinstance(shape, (int, np.integer)):
        shape = (shape,)
    out = tuple(int(s) for s in shape)
    if any(s < 0 for s in out):
        raise ValueError(f"shape {out} has a negative dimension")
    return out


def _maxshape(maxshape, shape):
    if maxshape is None:
        return shape
    if isinstance(maxshape, (int, np.integer)):
        maxshape = (maxshape,)
    maxshape = tuple(None if m is None else int(m) for m in maxshape)
    if len(maxshape) != len(shape):
        raise ValueError(f"maxshape {maxshape} has another rank than shape {shape}")
    for s, m in zip(shape, maxshape):
        if m is not None and m < s:
            raise ValueError(f"maxshape {maxshape} is below shape {shape}")
    return maxshape


def _pipeline(filters):
    """[(identifier, flags, [client data]), ...] from the filters argument.
    Names, identifiers and defaults come from the library's table of
    built-in filters."""
    out = []
    for entry in filters or ():
        cd = None
        if isinstance(entry, (tuple, list)):
            if len(entry) != 2:
                raise ValueError(f"filter entry {entry!r} is not (identifier, [client data])")
            entry, cd = entry
            cd = [int(v) for v in cd]
        if isinstance(entry, str):
            try:
                fid, defaults = _core.builtin_filter(entry)
            except Error as e:
                raise ValueError(f"unknown filter {entry!r}: {e}") from None
            if cd is None:
                cd = list(defaults)
        elif isinstance(entry, (int, np.integer)) and not isinstance(entry, bool):
            fid = int(entry)
        else:
            raise TypeError(f"filter {entry!r} is not a name, an identifier or (identifier, [client data])")
        cd = cd or []
        if any(v < -0x80000000 or v > 0xFFFFFFFF for v in cd):
            raise ValueError(f"client data {cd} of filter {fid} do not fit 32 bits")
        out.append((fid, _MANDATORY, [v & 0xFFFFFFFF for v in cd]))
    return out


def _auto_chunks(shape, maxshape, itemsize):
    """A chunk shape of about _AUTO_CHUNK_BYTES or less: the extent (a
    growable dimension of size 0 counts as 1024), halved along its longest
    dimension until small enough."""
    if not shape:
        raise ValueError("a scalar dataset cannot be chunked")
    chunk = [s if s > 0 else (1024 if m is None or m > 0 else 1) for s, m in zip(shape, maxshape)]
    chunk = [max(1, c) for c in chunk]
    while int(np.prod(chunk, dtype=np.int64)) * itemsize > _AUTO_CHUNK_BYTES and max(chunk) > 1:
        i = chunk.index(max(chunk))
        chunk[i] = (chunk[i] + 1) // 2
    return tuple(chunk)


# Files reopened by unpickling, per process: Dask sends a dataset with
# every graph (with every task under inline_array=True), and opening a file
# costs a schema check, so the last _REOPEN_KEEP files reopened stay open
# even while no object of theirs is alive, shared by every object unpickled
# there.  They are keyed by device and inode: a file replaced on disk (a
# new inode) is opened anew, and changes written in place are seen by a
# kept file anyway, since each of its reads is a read transaction of its
# own.  A kept file that nothing uses gives way when this process opens the
# same file for writing (_release_reopened).  A kept file is used only
# through the groups and datasets opened from it, which its _children
# track; a File unpickled as itself is a File of its own (on the same open
# file of the library, so its opening is cheap).
_REOPEN_KEEP = 4
_reopened = collections.OrderedDict()   # (st_dev, st_ino) -> File
_reopen_lock = threading.Lock()


def _drop_reopened(key):
    # Called with _reopen_lock held: forgets a kept file and closes it when
    # nothing else uses it (else it closes with its last object).
    f = _reopened.pop(key)
    if not f._children:
        f.close()


def _release_reopened(path):
    """Before this process opens path for writing: kept files of it that
    nothing uses are closed, for the library refuses to open or replace a
    file that is open read-only in the same process."""
    try:
        st = os.stat(path)
    except OSError:
        return
    with _reopen_lock:
        if (st.st_dev, st.st_ino) in _reopened:
            _drop_reopened((st.st_dev, st.st_ino))


def _reopen(path, name):
    try:
        st = os.stat(path)
    except OSError:
        File(path, "r")  # raises the library's own error for a missing file
        raise
    key = (st.st_dev, st.st_ino)
    with _reopen_lock:
        f = _reopened.get(key)
        if f is not None and f:
            _reopened.move_to_end(key)
        else:
            if f is not None:  # closed through one of its objects
                del _reopened[key]
            f = File(path, "r")
            # Files this path named before (replaced since) are not kept.
            for old in [k for k, g in _reopened.items() if g._abspath == f._abspath]:
                _drop_reopened(old)
            _reopened[key] = f
            while len(_reopened) > _REOPEN_KEEP:
                _drop_reopened(next(iter(_reopened)))
        # Opened under the lock, so that no other thread closes the kept
        # file in between as unused.
        return File(path, "r") if name == "/" else f[name]
