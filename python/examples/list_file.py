#!/usr/bin/env python3
"""Lists every group, dataset, link and attribute of a Quor7 file.

    list_file.py FILE
"""
import sys

import quor7


def describe(group, prefix, out):
    for name in group:
        path = prefix + name
        kind = group.link_kind(name)
        if kind != "hard":
            link = group.get_link(name)
            target = link.path if kind == "soft" else f"{link.filename}:{link.path}"
            out.append(f"{path:30} {kind} link -> {target}")
            continue
        obj = group[name]
        if isinstance(obj, quor7.Dataset):
            extra = f", chunks {obj.chunks}" if obj.chunks else ""
            filters = ", filters " + ", ".join(f"{fid} {cd}" for fid, _, cd in obj.filters) if obj.filters else ""
            out.append(f"{path:30} dataset {obj.shape} {obj.dtype.str}{extra}{filters}")
        else:
            out.append(f"{path:30} group ({len(obj)} members)")
        for key, value in obj.attrs.items():
            out.append(f"{'':30}   @{key} = {value!r}")
        if isinstance(obj, quor7.Group):
            describe(obj, path + "/", out)


def main(argv):
    if len(argv) != 2:
        sys.exit(f"usage: {argv[0]} FILE")
    with quor7.File(argv[1]) as f:
        lines = [f"{'/':30} file {f.filename}"]
        for key, value in f.attrs.items():
            lines.append(f"{'':30}   @{key} = {value!r}")
        describe(f, "/", lines)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
