"""Shared fixtures: the folder of real records, `../shared/data`, a process
pool that breaks while tasks are handed out, the C library's rounding mode, and the
vector unit's flush-to-zero and denormals-are-zero bits.

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
def edited(data, tmp_path):
    """Makes edited copies of the data folder's files: edited(name, edits, target=None) is a
    copy of `name` in tmp_path (named `target`, else as the file) with each (old, new) of
    `edits` made at its first place; each old text must be there."""
    def make(name, edits, target=None):
        text = (data / name).read_bytes().decode("latin-1")
        for old, new in edits:
            assert old in text, old
            text = text.replace(old, new, 1)
        path = tmp_path / (target or name.split("/")[-1])
        path.write_bytes(text.encode("latin-1"))
        return path
    return make


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


def _mxcsr_functions():
    """(load, store) of the x86-64 vector unit's control register, as two four-byte
    functions in an executable page (ldmxcsr [rdi]; ret and stmxcsr [rdi]; ret)."""
    import mmap
    import platform

    if platform.machine() not in ("x86_64", "AMD64"):
        pytest.skip("the MXCSR register is x86-64's")
    try:
        page = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
    except (OSError, AttributeError):
        pytest.skip("no executable page")
    page.write(bytes([0x0F, 0xAE, 0x17, 0xC3, 0x0F, 0xAE, 0x1F, 0xC3]))
    address = ctypes.addressof(ctypes.c_char.from_buffer(page))
    kind = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_uint32))
    return page, kind(address), kind(address + 4)


@pytest.fixture
def flush_to_zero():
    """Sets bits of MXCSR (flush-to-zero 0x8000, denormals-are-zero 0x40) for the test;
    the register is restored after."""
    page, load, store = _mxcsr_functions()
    saved = ctypes.c_uint32()
    store(ctypes.byref(saved))

    def set_bits(mask):
        load(ctypes.byref(ctypes.c_uint32(saved.value | mask)))
        now = ctypes.c_uint32()
        store(ctypes.byref(now))
        assert now.value & mask == mask

    yield set_bits
    load(ctypes.byref(saved))
    del page


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
