"""Share of the exact sums' blocks that fell back to the plain sequential loop.

The kernels' own block counter (kernels::block_tally) is compiled from the source
tree with the system C++ compiler into a small library and run on the synthetic
record, on this CPU's instruction-set level, as the measures run it."""
from __future__ import annotations

import ctypes
import os
import shutil

import numpy as np

from . import measures

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIM = r"""
#include "kernels/vector.hpp"
namespace k = tavo::kernels;
extern "C" void tavo_block_tally(int kernel, double *x, long n, double param, long *out) {
  const k::BlockTally t = k::block_tally(static_cast<k::ExactKernel>(kernel), {reinterpret_cast<char *>(x), n, 8}, param);
  out[0] = t.blocks;
  out[1] = t.fallbacks;
}
"""
# (row label, kernels::ExactKernel value, parameter for a record of step dt)
KERNELS = [
    ("sum_abs (CAV)", 0, lambda dt: 0.0),
    ("sum_abs_at_least (CAVn)", 1, lambda dt: measures.QUIET),
    ("silence_and_sum_abs (CAVstd)", 2, lambda dt: float(int(1.0 / dt))),
    ("sum_squares (Ia total)", 3, lambda dt: 0.0),
    ("arias_series (Ia series)", 4, lambda dt: dt),
]


def tally_function():
    """The block counter as a ctypes function, or None without a C++ compiler or source tree."""
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    source = os.path.join(ROOT, "src", "cpp", "kernels", "vector.cpp")
    if not cxx or not os.path.exists(source):
        return None
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-fno-fast-math", "-fno-builtin-pow", "-Wno-psabi",
             "-I", os.path.join(ROOT, "src", "cpp")]
    fn = measures.compiled_function(cxx, flags, SHIM, ".cpp", "tavo_block_tally", [source])
    if fn is None:
        return None
    fn.restype = None
    fn.argtypes = (ctypes.c_int, ctypes.c_void_p, ctypes.c_long, ctypes.c_double, ctypes.c_void_p)
    return fn


def shares(ns, dt=measures.DT):
    """{(label, n): (blocks, fallbacks)} on the synthetic record; None without a compiler."""
    fn = tally_function()
    if fn is None:
        return None
    out = {}
    for n in ns:
        for label, kernel, param in KERNELS:
            x = measures.record(n, dt).copy()  # silenced or overwritten in place
            counts = np.zeros(2, dtype=np.int64)
            fn(kernel, x.ctypes.data, n, param(dt), counts.ctypes.data)
            out[(label, n)] = tuple(int(c) for c in counts)
    return out


def table(result, ns):
    head = ("kernel", *(f"N = {measures.fmt_n(n)}" for n in ns))
    rows = []
    for label, _, _ in KERNELS:
        cells = []
        for n in ns:
            blocks, fallbacks = result[(label, n)]
            cells.append(f"{100 * fallbacks / blocks:.1f}% of {blocks}" if blocks else "no block")
        rows.append((label, *cells))
    widths = [max(len(r[i]) for r in (head, *rows)) for i in range(len(head))]
    line = lambda r: "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
    return [line(head), line(tuple("-" * w for w in widths)), *map(line, rows)]
