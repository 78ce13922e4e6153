"""Files from others: each kind of hostile file, crafted with sqlite3 from a
file the package wrote, raises quor7.Error when opened or walked, within a
time bound, and never crashes, hangs or runs the file's own SQL."""
import os
import sqlite3
import time

import numpy as np
import pytest

import quor7


def base_file(path):
    with quor7.File(path, "w") as f:
        f.create_group("g")
        ds = f.create_dataset("d", data=np.arange(64, dtype=np.int32), chunks=(16,))
        ds.attrs["a"] = np.arange(4, dtype=np.int32)


def run_sql(path, text):
    db = sqlite3.connect(path)
    db.executescript(text)
    db.commit()
    db.close()


def fan_out():
    # a0 names a1 ten times, a1 names a2 ten times, ... a14 the root.
    rows = []
    for i in range(15):
        value = ("/" if i == 14 else f"/a{i + 1}") * 10
        rows.append(f"INSERT INTO links(parent, name, type, value) VALUES(1, 'a{i}', 1, '{value}');")
    return "".join(rows)


def fifo(directory):
    os.mkfifo(os.path.join(directory, "fifo.q7"))
    return ("INSERT INTO links(parent, name, type, value) VALUES(1, 'e', 64, "
            "CAST('fifo.q7' || char(0) || '/' || char(0) AS BLOB));")


KINDS = {
    "view": lambda d: "ALTER TABLE settings RENAME TO s0; CREATE VIEW settings(key, value) AS "
                      "WITH RECURSIVE r(k, v) AS (SELECT 'root', 1 UNION ALL SELECT k, v FROM r) SELECT k, v FROM r;",
    "trigger": lambda d: "CREATE TRIGGER t AFTER INSERT ON links BEGIN DELETE FROM chunks; END;",
    "virtual table": lambda d: "CREATE VIRTUAL TABLE v USING fts4(x);",
    "extra table": lambda d: "CREATE TABLE extra(x);",
    # 2^62 + 4 elements of 4 bytes: 16 bytes modulo 2^64.
    "wrapping attribute": lambda d: "UPDATE attributes SET dims = X'0400000000000040';",
    "wrapping extent": lambda d: "UPDATE datasets SET dims = X'00000000010000000000000001000000', "
                                 "maxdims = X'FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF', "
                                 "chunk = X'10000000000000001000000000000000';",
    "link fan-out": lambda d: fan_out(),
    "name holding /": lambda d: "UPDATE links SET name = 'g/x' WHERE name = 'g';",
    "external link to a FIFO": fifo,
}
SAYS = {
    "view": "SQL schema", "trigger": "SQL schema", "virtual table": "SQL schema", "extra table": "SQL schema",
    "wrapping attribute": "do not match", "wrapping extent": "more elements than can be counted",
    "link fan-out": "links followed in one lookup", "name holding /": "not a member name",
    "external link to a FIFO": "not a regular file",
}


def walk(path):
    with quor7.File(path, "r") as f:
        for name in list(f):
            obj = f[name]
            for key in list(obj.attrs):
                obj.attrs[key]
            if isinstance(obj, quor7.Dataset):
                obj[()]


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_hostile_file_raises_error(work, kind):
    path = str(work / "hostile.q7")
    base_file(path)
    run_sql(path, KINDS[kind](str(work)))
    start = time.monotonic()
    with pytest.raises(quor7.Error, match=SAYS[kind]):
        walk(path)
    assert time.monotonic() - start < 10
    # A writer adding a group loses nothing (the trigger never runs).
    try:
        with quor7.File(path, "r+") as f:
            f.create_group("new")
    except quor7.Error:
        pass
    db = sqlite3.connect(path)
    assert db.execute("SELECT count(*) FROM chunks").fetchone()[0] == 4
    db.close()


def test_relative_external_link_resolves_beside_the_linking_file(work, monkeypatch):
    for sub in ("here", "there"):
        os.mkdir(work / sub)
    with quor7.File(str(work / "there" / "t.q7"), "w") as f:
        f.create_group("beside")
    with quor7.File(str(work / "here" / "t.q7"), "w") as f:
        f.create_group("decoy")
    with quor7.File(str(work / "there" / "main.q7"), "w") as f:
        f["ext"] = quor7.ExternalLink("t.q7", "/beside")
        f["decoy"] = quor7.ExternalLink("t.q7", "/decoy")
    monkeypatch.chdir(work / "here")
    with quor7.File("../there/main.q7", "r") as f:
        assert isinstance(f["ext"], quor7.Group)
        # The decoy's group lies only in the file of the current directory.
        with pytest.raises(KeyError, match="not found"):
            f["decoy"]
