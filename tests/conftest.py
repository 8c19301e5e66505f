"""Shared fixtures: the folder of real records, `../shared/data`, a process
pool that breaks while tasks are handed out, and the C library's rounding mode.

It lies beside the repository (`TAVOTOOLS_DATA` names another place). A git
worktree may sit deeper than the main checkout, so the nearest `shared/data`
beside the repository or any folder above it is used. Tests that need it
skip when there is none.
"""
import concurrent.futures as cf
import ctypes
import ctypes.util
import os
import time
from pathlib import Path

import pytest


def _data_folder():
    given = os.environ.get("TAVOTOOLS_DATA")
    if given:
        return Path(given) if Path(given).is_dir() else None
    root = Path(__file__).resolve().parents[1]
    for above in root.parents:
        candidate = above / "shared" / "data"
        if candidate.is_dir():
            return candidate
    return None


@pytest.fixture(scope="session")
def data():
    """The folder of real records; the test is skipped when it is absent."""
    folder = _data_folder()
    if folder is None:
        pytest.skip("../shared/data is absent")
    return folder


@pytest.fixture
def pool_breaks_at_third_hand_out(monkeypatch):
    """Every process pool kills its workers at the third task handed out and waits
    until it knows itself broken, so that this hand-out meets the broken pool before
    the lost tasks come back. Returns the count of hand-outs (a one-element list)."""
    real_submit = cf.ProcessPoolExecutor.submit
    calls = [0]

    def submit(self, *args, **kwargs):
        calls[0] += 1
        if calls[0] == 3:
            for process in list(self._processes.values()):
                process.kill()
            deadline = time.monotonic() + 60
            while not self._broken and time.monotonic() < deadline:
                time.sleep(0.01)
            assert self._broken
        return real_submit(self, *args, **kwargs)

    monkeypatch.setattr(cf.ProcessPoolExecutor, "submit", submit)
    return calls


@pytest.fixture
def rounding_mode():
    """Sets the C library's rounding mode (as some C code may leave one set); restored after."""
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    yield lambda mode: libm.fesetround(mode)
    libm.fesetround(0)


@pytest.fixture
def unlistable(monkeypatch):
    """Makes a folder impossible to list, as one without read permission would be
    (the tests run as root, whom permissions do not stop)."""
    def refuse(folder):
        scandir = os.scandir

        def listing(path="."):
            if os.fspath(path) == str(folder):
                raise PermissionError(13, "Permission denied", str(folder))
            return scandir(path)

        monkeypatch.setattr(os, "scandir", listing)

    return refuse
