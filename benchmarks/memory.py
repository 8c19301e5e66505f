"""Peak memory of one call: as tracemalloc sees it, and as the resident set grows.

NumPy reports its data buffers to tracemalloc, so a record-size temporary made
by NumPy (or by the module through np.zeros) shows in the traced peak; memory
that C++ code takes with operator new or malloc does not. The rise of the
resident high-water mark over the call sees both, for blocks of 128 KiB or
more (Linux with glibc only; "-" elsewhere).
"""
from __future__ import annotations

import ctypes
import gc
import sys
import tracemalloc
from dataclasses import dataclass

from . import measures


@dataclass
class Peak:
    function: str
    label: str
    tavo: int                    # traced bytes above those traced before the call
    ref: int
    tavo_rss: int | None = None  # rise of the resident high-water mark, bytes
    ref_rss: int | None = None


# The CAVstd statements restore the record first; for the peak that is done
# before the measurement, so that only the call itself counts.
COPY = "np.copyto(b, a); "


def _split_copy(stmt):
    return (COPY, stmt[len(COPY):]) if stmt.startswith(COPY) else ("pass", stmt)


def _status(field):
    with open("/proc/self/status") as f:
        for row in f:
            if row.startswith(field):
                return int(row.split()[1]) * 1024
    raise OSError(field)


def _reset_high_water():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size


def _fixed_mmap_threshold():
    """Blocks of 128 KiB or more straight from mmap and back on free, so that the
    resident size follows the live large allocations (glibc would otherwise raise
    its threshold after a large free and recycle the block unseen); and a heap
    that is never trimmed, so that small allocations reuse pages already resident
    instead of faulting in new ones. False where that is not possible."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None)
        M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
        ok = libc.mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1 and libc.mallopt(M_TRIM_THRESHOLD, 1 << 30) == 1
        _reset_high_water()
        _status("VmHWM:")
        return ok
    except (OSError, AttributeError):
        return False


def measure(stmt, ns, setup="pass", rss=False):
    """(traced peak, resident high-water rise or None) of one run of `stmt`, in bytes.

    `setup` runs before the measurement. The statement runs once unmeasured
    first, so that one-time costs (imports, caches) stay out of the peak."""
    g = dict(ns)
    code = compile(stmt, "<memory>", "exec")
    exec(setup, g)
    exec(code, g)
    exec(setup, g)
    g.pop("r", None)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        exec(code, g)
        traced = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    rise = None
    if rss:
        g.pop("r", None)
        exec(setup, g)
        exec(code, g)  # the heap settles under the new malloc settings
        g.pop("r", None)
        exec(setup, g)
        gc.collect()
        resident = _status("VmRSS:")
        _reset_high_water()
        exec(code, g)
        rise = _status("VmHWM:") - resident
    return traced, rise


def peaks(n):
    """Peaks per call of both sides of every measure at record length n.

    Changes the process's malloc settings when the resident size is measured:
    run it after any timing."""
    rss = _fixed_mmap_threshold()
    empty, _ = measure("pass", {})
    out = []
    for case in measures.build_cases([n]):
        if case.label in ("the copy", "same, a new copy", "get_Ia_times_cy, 3 levels"):
            continue
        (t, t_rss), (r, r_rss) = (measure(stmt, case.ns, setup, rss)
                                  for setup, stmt in map(_split_copy, (case.tavo, case.ref)))
        out.append(Peak(case.function, case.label, t - empty, r - empty, t_rss, r_rss))
    return out


def fmt_bytes(b):
    if b is None:
        return "-"
    if abs(b) >= 1 << 20:
        return f"{b / (1 << 20):.2f} MiB"
    if abs(b) >= 1 << 10:
        return f"{b / (1 << 10):.1f} KiB"
    return f"{b} B"


def table(rows, n):
    head = ("function", "reference", "tavotools traced", "reference traced", "traced / (8 N)",
            "tavotools RSS rise", "reference RSS rise")
    body = [(p.function, p.label, fmt_bytes(p.tavo), fmt_bytes(p.ref), f"{p.tavo / (8 * n):.3f}",
             fmt_bytes(p.tavo_rss), fmt_bytes(p.ref_rss)) for p in rows]
    widths = [max(len(r[i]) for r in (head, *body)) for i in range(len(head))]

    def line(r):
        return "  ".join(c.rjust(w) if i >= 2 else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    return [line(head), line(tuple("-" * w for w in widths)), *map(line, body)]
