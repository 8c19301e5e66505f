"""Time per call of each measure beside the NumPy/SciPy expression for the same quantity.

Each case is a pair of statements run by `timeit` in one namespace: the
tavotools call and the reference a user would otherwise write. Repetitions of
all cases are interleaved (tavotools and reference alternate which goes first),
so that load from other processes falls on both sides alike; medians are quoted.
"""
from __future__ import annotations

import ctypes
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit
from dataclasses import dataclass, field

import numpy as np
from scipy import integrate

import tavotools
from tavotools import tavo
from tavotools.synthetic import synthetic_accel

DT = 0.01
DEFAULT_N = (1, 100, 4_000, 40_000, 1_000_000)
ARIAS_LEVELS = np.array([0.05, 0.75, 0.95])
MANY_LEVELS = np.linspace(0.001, 0.999, 1000)
# 0.025 g, the CAVstd silencing level, also used as the CAVn threshold.
QUIET = 0.24525000000000002
# A synthetic record longer than this is the shorter one repeated: generating
# it runs in Python, and a record of 10^6 samples is long only for timing.
LONGEST_SYNTHETIC = 40_000


def record(n, dt=DT):
    """n samples (m/s²) of the seeded synthetic accelerogram, quiet at both ends, PGA 3 m/s²."""
    m = min(max(n, 2), LONGEST_SYNTHETIC)
    base = synthetic_accel(seed=0, duration=m * dt, dt=dt)
    return np.resize(base, n)


def cavstd_numpy(a, dt):
    """CAVstd as a NumPy loop over one-second windows; silences `a` in place like the measure."""
    n = int(1.0 / dt)
    n_int = math.ceil(len(a) * dt)
    j = 0
    for _ in range(n_int):
        w = a[j:j + n]
        if w.size == 0 or np.max(np.abs(w)) < 0.24525000000000002:
            w[:] = 0
        j += n
    return np.sum(np.abs(a)) * dt


def cavdp_python(CAVstd_gm, max_CAVstd, max_PSA, max_PSV, PSV_check=1):
    """The damage-potential CAV decision written in Python."""
    if max_PSA > 1.9620000000000002 and max_CAVstd > 1.5696 and (PSV_check == 0 or max_PSV > 0.1534):
        return CAVstd_gm
    return 0


FLOOR_SOURCE = r"""
#include <math.h>
/* The plain strict sum, one dependent addition per sample: the loop to beat. */
double floor_sum_fabs(const double *a, long n) {
  double s = 0.0;
  for (long i = 0; i < n; ++i) s += fabs(a[i]);
  return s;
}
"""


def compiled_function(compiler, flags, source, suffix, symbol, extra_sources=()):
    """Builds `source` (text, with file suffix `suffix`) and `extra_sources` into a shared
    library with `compiler` and returns its function `symbol` through ctypes; None when
    the build or the load fails."""
    tmp = tempfile.mkdtemp(prefix="tavo-bench-")
    src, lib = os.path.join(tmp, "source" + suffix), os.path.join(tmp, "library.so")
    with open(src, "w") as f:
        f.write(source)
    try:
        subprocess.run([compiler, *flags, "-shared", "-fPIC", "-o", lib, src, *extra_sources],
                       check=True, capture_output=True)
        return getattr(ctypes.CDLL(lib), symbol)
    except (OSError, subprocess.CalledProcessError):
        return None
    finally:
        shutil.rmtree(tmp, ignore_errors=True)  # the loaded library stays mapped


def floor_loop():
    """The bare left-to-right fabs sum compiled with the system C compiler, as a ctypes
    function (pointer, count) -> float; None when there is no compiler."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    # The same floating-point flags as the extension: no contraction, no fast math.
    fn = cc and compiled_function(cc, ["-O2", "-ffp-contract=off", "-fno-fast-math"], FLOOR_SOURCE, ".c",
                                  "floor_sum_fabs")
    if not fn:
        return None
    fn.restype = ctypes.c_double
    fn.argtypes = (ctypes.c_void_p, ctypes.c_long)
    return fn


@dataclass
class Case:
    """One row: `tavo` and `ref` are statements that each leave their result in `r`."""
    function: str
    n: int | None
    label: str          # short name of the reference in the table
    tavo: str
    ref: str
    ns: dict = field(repr=False)
    compare: bool = True  # whether both sides compute the same quantity

    @property
    def key(self):
        return (self.function, self.n, self.label)


# Short reference names in the table and the expressions they stand for.
LEGEND = {
    "np.max(np.abs(a))": "np.max(np.abs(a))",
    "cumulative_trapezoid+max": "np.max(np.abs(integrate.cumulative_trapezoid(a, dx=dt)))",
    "cumsum": "c = np.cumsum(a*a)*dt*np.pi/2/9.81; (c[-1], c)",
    "cumsum+searchsorted": "c = cumsum as above; (np.searchsorted(c, levels*c[-1], side='right') + 1) * dt"
                           " for levels (0.05, 0.75, 0.95)",
    "same, 1000 levels": "the same with 1000 levels in [0.001, 0.999]",
    "get_Ia_times_cy, 3 levels": "tavotools itself with 3 levels (ratio = 3 levels / 1000 levels)",
    "np.sum(np.abs(a))*dt": "np.sum(np.abs(a)) * dt",
    "masked sum": "b = np.abs(a); b[b < 0.24525000000000002] = 0; np.sum(b) * dt",
    "C floor loop": "s += fabs(a[i]) from s = 0.0 in C (-O2 -ffp-contract=off), called through ctypes"
                    " (ratio = floor / tavotools)",
    "NumPy window loop": "np.copyto(b, a) into a buffer made once, then per one-second window w:"
                         " if np.max(np.abs(w)) < 0.025 g: w[:] = 0; then np.sum(np.abs(b)) * dt"
                         " (the copy on both sides)",
    "the copy": "r = np.copyto(b, a) alone, included in both CAVstd timings",
    "same, a new copy": "both sides copy into a new array, b = a.copy(), instead",
    "Python function": "if max_PSA > 1.962.. and max_CAVstd > 1.5696 and (PSV_check == 0 or"
                       " max_PSV > 0.1534): return CAVstd_gm; return 0",
}


# The package's public functions under their own names, as `from tavotools import ...` gives them
# (the package also exports `__version__`, which is not a function of the module).
PUBLIC = {name: getattr(tavo, name) for name in tavotools.__all__ if name.startswith("get_")}


def build_cases(ns_list, dt=DT, floor=None):
    """The cases for record lengths `ns_list`, in table order."""
    cases = []
    for n in ns_list:
        a = record(n, dt)
        base = {**PUBLIC, "np": np, "integrate": integrate, "a": a, "dt": dt,
                "levels": ARIAS_LEVELS, "many": MANY_LEVELS, "threshold": QUIET,
                "cavstd_numpy": cavstd_numpy}

        def add(function, label, t, r, compare=True, **extra):
            cases.append(Case(function, n, label, t, r, {**base, **extra}, compare))

        add("get_PGA_cy", "np.max(np.abs(a))", "r = get_PGA_cy(a)", "r = np.max(np.abs(a))")
        if n >= 2:  # cumulative_trapezoid of one sample is empty; np.max of it raises
            add("get_PGV_cy", "cumulative_trapezoid+max", "r = get_PGV_cy(a, dt)",
                "r = np.max(np.abs(integrate.cumulative_trapezoid(a, dx=dt)))")
        add("get_Ia_cy", "cumsum", "r = get_Ia_cy(a, dt)",
            "c = np.cumsum(a*a)*dt*np.pi/2/9.81; r = (c[-1], c)")
        add("get_Ia_times_cy", "cumsum+searchsorted", "r = get_Ia_times_cy(a, dt, levels)",
            "c = np.cumsum(a*a)*dt*np.pi/2/9.81; "
            "r = (np.searchsorted(c, levels*c[-1], side='right') + 1) * dt", compare=n > 1)
        if n == max(ns_list):
            add("get_Ia_times_cy", "same, 1000 levels", "r = get_Ia_times_cy(a, dt, many)",
                "c = np.cumsum(a*a)*dt*np.pi/2/9.81; "
                "r = (np.searchsorted(c, many*c[-1], side='right') + 1) * dt", compare=n > 1)
            add("get_Ia_times_cy", "get_Ia_times_cy, 3 levels", "r = get_Ia_times_cy(a, dt, many)",
                "r = get_Ia_times_cy(a, dt, levels)", compare=False)
        add("get_CAV_cy", "np.sum(np.abs(a))*dt", "r = get_CAV_cy(a, dt)", "r = np.sum(np.abs(a)) * dt")
        if floor is not None and n >= 4_000:
            p = ctypes.c_void_p(a.ctypes.data)
            add("get_CAV_cy", "C floor loop", "r = get_CAV_cy(a, dt)", "r = floor(p, n) * dt",
                floor=floor, p=p, n=n)
        add("get_CAVn_cy", "masked sum", "r = get_CAVn_cy(a, dt, threshold)",
            "b = np.abs(a); b[b < threshold] = 0; r = np.sum(b) * dt")
        if floor is not None and n >= 4_000:
            p = ctypes.c_void_p(a.ctypes.data)
            add("get_CAVn_cy", "C floor loop", "r = get_CAVn_cy(a, dt, threshold)",
                "r = floor(p, n) * dt", compare=False, floor=floor, p=p, n=n)
        # The measure silences its argument in place, so both sides restore the record
        # first, into one buffer made here: a new array each call would time the
        # allocator too, whose placement of it made whole runs fast or slow.
        add("get_CAVstd_cy", "NumPy window loop", "np.copyto(b, a); r = get_CAVstd_cy(b, dt)",
            "np.copyto(b, a); r = cavstd_numpy(b, dt)", b=a.copy())
        add("get_CAVstd_cy", "the copy", "np.copyto(b, a); r = get_CAVstd_cy(b, dt)",
            "r = np.copyto(b, a)", compare=False, b=a.copy())
        add("get_CAVstd_cy", "same, a new copy", "b = a.copy(); r = get_CAVstd_cy(b, dt)",
            "b = a.copy(); r = cavstd_numpy(b, dt)")
    cases.append(Case("get_CAVdp_cy", None, "Python function", "r = get_CAVdp_cy(1.7, 2.0, 2.0, 0.2)",
                      "r = cavdp(1.7, 2.0, 2.0, 0.2)", {**PUBLIC, "cavdp": cavdp_python}))
    return cases


def check_values(cases):
    """Runs both sides of each case once; returns the cases whose results disagree."""
    differ = []
    for case in cases:
        results = []
        for stmt in (case.tavo, case.ref):
            g = dict(case.ns)
            exec(stmt, g)
            results.append(g["r"])
        if case.compare and not _close(*results):
            differ.append((case, results))
    return differ


def _close(x, y):
    if isinstance(x, tuple):
        return isinstance(y, tuple) and len(x) == len(y) and all(map(_close, x, y))
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    return x.shape == y.shape and bool(np.allclose(x, y, rtol=1e-9, atol=0.0, equal_nan=True))


@dataclass
class Timing:
    tavo: float         # median seconds per call
    ref: float
    ratio: float        # median over the repetitions of reference / tavotools within one repetition
    spread: float       # the larger relative median absolute deviation of the two sides


def _numbers(timer, target):
    """Calls per sample so that one sample lasts about `target` seconds."""
    timer.timeit(1)  # warm-up: first-call costs (imports, caches) stay out of the samples
    number, elapsed = 1, timer.timeit(1)
    while elapsed < target / 10 and number < 10**7:
        number *= 10
        elapsed = timer.timeit(number)
    return max(1, min(10**7, round(number * target / max(elapsed, 1e-9))))


def _spread(samples):
    """Median absolute deviation over the median: robust to the few samples that
    another process's time slice stretches."""
    mid = statistics.median(samples)
    return statistics.median(abs(x - mid) for x in samples) / mid if mid > 0 else 0.0


def time_cases(cases, repeat, target, progress=None):
    """Median time per call of both sides of every case, the repetitions interleaved.

    A sample of fewer than ten calls follows one untimed call of its own
    statement: a large call's cost depends on the state of the allocator (a
    freed block to reuse, or fresh pages to fault in), and that state should be
    what the statement itself leaves, not what the case before it left."""
    timers = []
    for case in cases:
        pair = []
        for stmt in (case.tavo, case.ref):
            timer = timeit.Timer(stmt, globals=dict(case.ns))
            pair.append((timer, _numbers(timer, target)))
        timers.append(pair)
    samples = [([], []) for _ in cases]
    for rep in range(repeat):
        for pair, (t_tavo, t_ref) in zip(timers, samples):
            order = (0, 1) if rep % 2 == 0 else (1, 0)
            for side in order:
                timer, number = pair[side]
                if number < 10:
                    timer.timeit(1)
                (t_tavo, t_ref)[side].append(timer.timeit(number) / number)
        if progress:
            progress(rep + 1, repeat)
    out = {}
    for case, (t_tavo, t_ref) in zip(cases, samples):
        # Paired within a repetition, so that a slow spell of the machine that
        # falls on both sides cancels in the ratio.
        ratio = statistics.median(r / t for t, r in zip(t_tavo, t_ref))
        out[case.key] = Timing(statistics.median(t_tavo), statistics.median(t_ref), ratio,
                               max(_spread(t_tavo), _spread(t_ref)))
    return out


def fmt_time(s):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def fmt_n(n):
    return "-" if n is None else f"{n:,}".replace(",", " ")


def table(cases, timings, targets=None):
    """The timing table as lines of text."""
    targets = targets or {}
    head = ("function", "N", "reference", "tavotools", "reference", "ratio", "ns/sample", "noise", "target")
    rows = []
    for case in cases:
        t = timings[case.key]
        ns_sample = f"{t.tavo / case.n * 1e9:.3g}" if case.n else "-"
        rows.append((case.function, fmt_n(case.n), case.label, fmt_time(t.tavo), fmt_time(t.ref),
                     f"{t.ratio:.3g}x", ns_sample, f"{100 * t.spread:.0f}%", targets.get(case.key, "")))
    widths = [max(len(r[i]) for r in (head, *rows)) for i in range(len(head))]
    right = {1, 3, 4, 5, 6, 7}

    def line(r):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    return [line(head), line(tuple("-" * w for w in widths)), *map(line, rows)]


def machine_line():
    """CPU model, cores, library versions, and whether OPENBLAS_* is set."""
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for row in f:
                if row.startswith("model name"):
                    model = row.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import scipy
    cores = os.cpu_count()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else cores
    openblas = sorted(k for k in os.environ if k.startswith("OPENBLAS_"))
    blas = ("OPENBLAS_* set: " + ", ".join(f"{k}={os.environ[k]}" for k in openblas)) if openblas \
        else "no OPENBLAS_* set"
    return (f"machine: {model}, {cores} cores ({usable} usable); Python {sys.version.split()[0]}, "
            f"NumPy {np.__version__}, SciPy {scipy.__version__}, tavotools {_tavo_version()}; {blas}")


def _tavo_version():
    try:
        from importlib.metadata import version
        return version("tavotools")
    except Exception:  # running from the source tree, not installed
        pass
    tree = os.path.dirname(os.path.dirname(os.path.abspath(tavo.__file__)))
    try:
        rev = subprocess.run(["git", "-C", tree, "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        rev = "?"
    return f"source tree {tree} at {rev}"
