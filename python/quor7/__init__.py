"""quor7: Python access to Quor7 files (hierarchical scientific data).

    import numpy as np, quor7
    with quor7.File("data.q7", "w") as f:
        ds = f.create_dataset("t", data=np.arange(10.0), chunks=(4,), filters=["deflate"])
        ds.attrs["units"] = "K"
    with quor7.File("data.q7") as f:
        print(f["t"][2:8:2])

File is the root group; groups are mappings of names to groups and
datasets; datasets read and write with NumPy indexing.  Library failures
raise quor7.Error (an OSError) with the library's own messages.
"""
from . import _core
from ._objects import (AttributeManager, Dataset, Error, ExternalLink, File, Group, HardLink,
                       HLObject, SoftLink)

__version__ = _core.__version__

__all__ = ["AttributeManager", "Dataset", "Error", "ExternalLink", "File", "Group", "HardLink",
           "HLObject", "SoftLink", "library_version", "__version__"]


def library_version():
    """The storage library's version as (major, minor, release)."""
    return _core.library_version()
