"""Shared fixtures: a scratch directory per test, the build tree's programs."""
import os
import shutil

import numpy as np
import pytest


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A scratch directory, also the current directory of the test."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def program():
    """Path of a program of the build tree (QUOR7_BIN_DIR, else the PATH)."""
    def find(name):
        bin_dir = os.environ.get("QUOR7_BIN_DIR")
        path = os.path.join(bin_dir, name) if bin_dir else shutil.which(name)
        if not path or not os.access(path, os.X_OK):
            pytest.fail(f"program {name} not found (QUOR7_BIN_DIR={bin_dir!r})")
        return path
    return find


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
