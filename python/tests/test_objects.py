"""Files, groups as mappings, attributes, links, and every kind of error."""
import os

import numpy as np
import pytest

import quor7


def test_version():
    assert quor7.library_version() == tuple(int(p) for p in quor7.__version__.split("."))


@pytest.mark.parametrize("mode, exists, outcome", [
    ("r", False, quor7.Error), ("r", True, "read"), ("r+", True, "write"), ("r+", False, quor7.Error),
    ("w", True, "empty"), ("w", False, "empty"), ("w-", True, quor7.Error), ("x", False, "empty"),
    ("a", True, "write"), ("a", False, "empty"), ("rw", False, ValueError),
])
def test_file_modes(work, mode, exists, outcome):
    if exists:
        with quor7.File("m.q7", "w") as f:
            f.create_group("kept")
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            quor7.File("m.q7", mode)
        return
    with quor7.File("m.q7", mode) as f:
        assert list(f) == ([] if outcome == "empty" else ["kept"])
        if outcome == "read":
            with pytest.raises(quor7.Error, match="read-only"):
                f.create_group("new")
        else:
            f.create_group("new")
    assert not f and repr(f) == "<Closed quor7 file>"


def test_groups_are_mappings_in_name_order(work):
    with quor7.File("g.q7", "w") as f:
        for name in ["b", "a", "c/d/e"]:
            f.create_group(name)
        f["a"].create_dataset("x", data=[1, 2])
        assert list(f) == list(f.keys()) == ["a", "b", "c"] and len(f) == 3
        assert [g.name for g in f.values()] == ["/a", "/b", "/c"]
        assert [k for k, _ in f.items()] == ["a", "b", "c"]
        assert "c/d/e" in f and "/c/d" in f["a"] and "c/x" not in f and "z/y" not in f
        assert f["c"]["d/e"].name == f["/c/d/e"].name == "/c/d/e"
        assert f.require_group("c/d") == f["c/d"]
        with pytest.raises(TypeError):
            f.require_group("a/x")
        del f["b"]
        assert "b" not in f and list(f) == ["a", "c"]
        seen = []
        assert f.visit(seen.append) is None
        assert seen == ["a", "a/x", "c", "c/d", "c/d/e"]
        assert f.visit(lambda n: n if n.startswith("c/") else None) == "c/d"


def test_attributes_hold_scalars_arrays_and_strings(work):
    with quor7.File("at.q7", "w") as f:
        ds = f.create_dataset("d", shape=(2,), dtype="<i4")
        for obj in (f, f.create_group("g"), ds):
            obj.attrs["units"] = "K"
            obj.attrs["scale"] = 0.5
            obj.attrs["n"] = np.uint16(7)
            obj.attrs["v"] = np.arange(6, dtype=">i8").reshape(2, 3)
            obj.attrs["names"] = ["ab", "c"]
            obj.attrs.create("small", 3, dtype="i1")
    with quor7.File("at.q7", "r+") as f:
        for obj in (f, f["g"], f["d"]):
            a = obj.attrs
            assert list(a) == ["n", "names", "scale", "small", "units", "v"] and len(a) == 6
            assert a["units"] == "K" and a["scale"] == 0.5 and a["small"].dtype == np.int8
            assert a["n"] == 7 and a["n"].dtype == np.uint16
            assert a["v"].dtype == np.dtype(">i8")
            np.testing.assert_array_equal(a["v"], np.arange(6).reshape(2, 3))
            np.testing.assert_array_equal(a["names"], [b"ab", b"c"])
            a["units"] = "kelvin"
            a["scale"] = [1.0, 2.0]
            assert a["units"] == "kelvin" and list(a["scale"]) == [1.0, 2.0]
            del a["n"]
            assert "n" not in a and "v" in a
            with pytest.raises(KeyError):
                a["n"]
            with pytest.raises(KeyError):
                del a["n"]


def test_links_soft_external_and_hard(work):
    with quor7.File("other.q7", "w") as o:
        o.create_dataset("x", data=np.arange(4.0))
    with quor7.File("l.q7", "w") as f:
        f.create_dataset("a/b", data=[1, 2, 3])
        f["alias"] = quor7.SoftLink("/a/b")
        f["ext"] = quor7.ExternalLink("other.q7", "/x")
        f["same"] = f["a"]
        f["dangling"] = quor7.SoftLink("/nowhere")
        kinds = {name: f.link_kind(name) for name in f}
        assert kinds == {"a": "hard", "alias": "soft", "dangling": "soft", "ext": "external", "same": "hard"}
        assert f.get_link("alias") == quor7.SoftLink("/a/b")
        assert f.get_link("ext") == quor7.ExternalLink("other.q7", "/x")
        assert f.get_link("same") == quor7.HardLink()
        np.testing.assert_array_equal(f["alias"][...], [1, 2, 3])
        np.testing.assert_array_equal(f["ext"][...], np.arange(4.0))
        f["same/b"][0] = 9
        assert f["a/b"][0] == 9 and f["same"] == f["a"] and f["same"] != f["alias"]
        with pytest.raises(KeyError):
            f["dangling"]
        del f["a"]
        np.testing.assert_array_equal(f["same/b"][...], [9, 2, 3])
        with pytest.raises(KeyError):
            f.link_kind("a")


def closed_uses(f, g, ds):
    return [lambda: f["g"], lambda: len(g), lambda: g.create_group("x"), lambda: ds[0],
            lambda: ds.shape, lambda: ds.attrs, lambda: f.flush(), lambda: ds.__setitem__(0, 1)]


def test_closed_objects_raise_value_error(work):
    f = quor7.File("c.q7", "w")
    g = f.create_group("g")
    ds = g.create_dataset("d", data=[1, 2])
    f.close()
    f.close()
    for use in closed_uses(f, g, ds):
        with pytest.raises(ValueError):
            use()
    assert repr(ds) == "<Closed quor7 dataset>" and repr(g) == "<Closed quor7 group>"


ERRORS = [
    ("missing name", lambda f: f["nope"], KeyError, None),
    ("missing nested name", lambda f: f["g/nope/x"], KeyError, None),
    ("delete missing name", lambda f: f.__delitem__("nope"), KeyError, None),
    ("index past the end", lambda f: f["g/d"][5], IndexError, None),
    ("negative index past the start", lambda f: f["g/d"][-6], IndexError, None),
    ("too many indices", lambda f: f["g/d"][1, 2], IndexError, None),
    ("two ellipses", lambda f: f["g/d"][..., ...], IndexError, None),
    ("float index", lambda f: f["g/d"][1.5], TypeError, None),
    ("zero step", lambda f: f["g/d"][::0], ValueError, None),
    ("name taken", lambda f: f.create_group("g"), quor7.Error, "exist"),
    ("plug-in missing", lambda f: f.create_dataset("p", data=[1], filters=[(999, [])]), quor7.Error, "999"),
    ("resize past maxshape", lambda f: f["g/d"].resize((9,)), quor7.Error, None),
    ("unknown filter name", lambda f: f.create_dataset("q", data=[1], filters=["lzma"]), ValueError, None),
    ("unsupported dtype", lambda f: f.create_dataset("u", data=np.array([1 + 2j])), TypeError, None),
    ("external file missing", lambda f: f["ext"], quor7.Error, "missing.q7"),
    # Not a missing name: the file on the way cannot be opened.
    ("path through external file missing", lambda f: f["ext/x"], quor7.Error, "missing.q7"),
]


@pytest.mark.parametrize("use, error, message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_error_kinds(work, capfd, use, error, message):
    with quor7.File("e.q7", "w") as f:
        f.create_dataset("g/d", data=np.arange(5))
        f["ext"] = quor7.ExternalLink("missing.q7", "/x")
        with pytest.raises(error) as caught:
            use(f)
        if message:
            assert message in str(caught.value)
        if error is quor7.Error:
            assert isinstance(caught.value, OSError) and str(caught.value)
        # A failed dataset creation leaves no half-made dataset behind.
        assert "p" not in f
    # The library's own printing of the error stack is off.
    assert capfd.readouterr().err == ""


def test_missing_file_names_the_file(work):
    with pytest.raises(quor7.Error, match="nofile.q7"):
        quor7.File("nofile.q7")
    assert not os.path.exists("nofile.q7")
