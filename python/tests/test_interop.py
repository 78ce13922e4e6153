"""Files shared with the C programs: plug-in filters as stored, files
written here read by q7diff and q7ls, files written by C programs read here."""
import re
import subprocess

import numpy as np
import pytest

import quor7


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=60)


# Each plug-in's stored form of the little-endian int32 values x.
STORED = [
    ((257, [5]), lambda x: (x + 5).astype("<i4").tobytes()),
    (258, lambda x: (x * 3).astype("<i4").tobytes()),
    (300, lambda x: (np.frombuffer(x.astype("<i4").tobytes(), "u1") + 3).astype("u1").tobytes()),
]


@pytest.mark.parametrize("filt, stored", STORED, ids=["offset", "scale", "byteshift"])
def test_plugin_filter_reads_back_equal_and_is_stored_transformed(work, rng, program, filt, stored):
    data = rng.integers(-10**6, 10**6, size=21).astype("<i4")
    with quor7.File("p.q7", "w") as f:
        f.create_dataset("d", data=data, chunks=(8,), filters=[filt])
    with quor7.File("p.q7") as f:
        ds = f["d"]
        np.testing.assert_array_equal(ds[...], data)
        assert sorted(ds.chunk_offsets()) == [(0,), (8,), (16,)]
        for (offset,) in ds.chunk_offsets():
            mask, raw = ds.read_direct_chunk((offset,))
            chunk = np.zeros(8, "<i4")
            part = data[offset:offset + 8]
            chunk[:part.size] = part
            assert mask == 0
            assert raw == stored(chunk) and raw != chunk.tobytes()
    listing = run([program("q7ls"), "-r", "p.q7"])
    assert listing.returncode == 0, listing.stderr
    fid = filt[0] if isinstance(filt, tuple) else filt
    assert re.search(rf"Filters:\s+{fid} ", listing.stdout), listing.stdout


def write_station(path, changed):
    grid = np.arange(48, dtype=">f8").reshape(6, 8) / 4
    series = np.linspace(0, 1, 10, dtype="<f4")
    if changed:
        grid[4, 1] += 2.5
        series[7] = -3
    with quor7.File(path, "w") as f:
        f.create_dataset("grid/values", data=grid, chunks=(3, 4), filters=["shuffle", "deflate"])
        f.create_dataset("series", data=series)
        f["grid"].attrs["units"] = "K"


def test_files_written_here_are_compared_by_q7diff(work, program):
    write_station("a.q7", False)
    write_station("b.q7", False)
    write_station("c.q7", True)
    same = run([program("q7diff"), "a.q7", "b.q7"])
    assert same.returncode == 0 and "0 differences found" in same.stdout, same.stdout + same.stderr
    diff = run([program("q7diff"), "a.q7", "c.q7"])
    assert diff.returncode == 1, diff.stdout + diff.stderr
    assert "/grid/values[4,1]: 8.25 vs 10.75, difference 2.5" in diff.stdout
    assert re.search(r"/series\[7\]: 0\.7777\d* vs -3", diff.stdout)
    assert "2 differences found" in diff.stdout


def test_files_written_here_are_listed_by_q7ls(work, program):
    with quor7.File("l.q7", "w") as f:
        f.create_dataset("g/ints", data=np.arange(12, dtype=">i4").reshape(3, 4), maxshape=(None, 4))
        f.create_dataset("g/text", data=np.array([b"abc", b"de"]))
        f.create_dataset("rec", data=np.zeros(2, [("a", "<u2"), ("b", "<f8")]))
        f["g"].attrs["units"] = "m/s"
        f["soft"] = quor7.SoftLink("/g/text")
        f["ext"] = quor7.ExternalLink("other.q7", "/x")
        f["alias"] = f["g/ints"]
    out = run([program("q7ls"), "-r", "-d", "l.q7"])
    assert out.returncode == 0, out.stderr
    text = out.stdout
    for pattern in [
        r"/alias +Dataset\n",
        r"Type: +integer, 4 bytes, big-endian, signed",
        r"Dims: +\{3, 4\} max \{Inf, 4\}",
        r"Data: +0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11",
        r"/ext +External link -> other.q7:/x",
        r"/g/ints +Dataset, same object as /alias",
        r"Attribute: +units .*\"m/s\"",
        r"/g/text +Dataset",
        r"/soft +Soft link -> /g/text",
        r"/rec +Dataset",
    ]:
        assert re.search(pattern, text), f"{pattern!r} not in:\n{text}"


def test_q7diff_samples_read_here_show_the_differences_q7diff_reports(work, program):
    made = run([program("q7diff_samples"), "demo", "."])
    assert made.returncode == 0, made.stderr
    report = run([program("q7diff"), "base.q7", "changed.q7"])
    assert report.returncode == 1
    reported = sorted(re.findall(r"^(/\S+)\[([\d,]+)\]:", report.stdout, re.M))
    found = []
    with quor7.File("base.q7") as a, quor7.File("changed.q7") as b:
        assert a["station/pressure"].dtype == np.dtype(">f4")
        # One-element string attributes, as the C program writes them.
        assert a["station"].attrs["name"].tolist() == [b"north ridge"]
        assert a["station/temperature"].attrs["units"].tolist() == [b"degC"]
        np.testing.assert_array_equal(a["counts"][...], [12, 7, 0, 3, 9])
        a.visititems(lambda name, obj: found.extend(
            ("/" + name, ",".join(map(str, idx)))
            for idx in np.argwhere(obj[...] != b[name][...]))
            if isinstance(obj, quor7.Dataset) else None)
    assert sorted(found) == reported and len(found) == 3


def test_demo_writer_file_is_read_through_its_plugin(work, program):
    made = run([program("q7demo_write"), "demo.q7", "--elements", "30", "--chunk", "7", "--level", "3"])
    assert made.returncode == 0, made.stderr
    first = [int(v) for v in made.stdout.split("first values:")[1].split() if v != "..."]
    with quor7.File("demo.q7") as f:
        ds = f["values"]
        assert ds.shape == (30,) and ds.chunks == (7,) and ds.filters[0][0] == 257
        assert ds.filters[0][2] == [3]
        np.testing.assert_array_equal(ds[:len(first)], first)
        mask, raw = ds.read_direct_chunk((7,))
        np.testing.assert_array_equal(np.frombuffer(raw, "<i4"), ds[7:14] + 3)
