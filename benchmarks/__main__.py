"""python -m benchmarks: the timing table, the memory peaks and the target checks."""
from __future__ import annotations

import argparse
import sys
import time
import types

import numpy as np

from tavotools import tavo

from . import fallback, measures, memory

# Speed targets: (function, N, reference label, least ratio, target text). The
# ratio is reference time over tavotools time, so "within 1.15x of the floor"
# is a ratio of at least 1 / 1.15.
SPEED = [
    ("get_PGA_cy", 100, "np.max(np.abs(a))", 10.0, ">= 10x"),
    ("get_PGA_cy", 40_000, "np.max(np.abs(a))", 3.0, ">= 3x"),
    ("get_PGA_cy", 1_000_000, "np.max(np.abs(a))", 3.0, ">= 3x"),
    ("get_CAV_cy", 4_000, "np.sum(np.abs(a))*dt", 2.5, ">= 2.5x"),
    *[("get_CAV_cy", n, "np.sum(np.abs(a))*dt", 1.5, ">= 1.5x") for n in (40_000, 1_000_000)],
    *[("get_CAV_cy", n, "C floor loop", 3.0, ">= 3x") for n in (4_000, 40_000, 1_000_000)],
    *[("get_CAVn_cy", n, "masked sum", 6.0, ">= 6x") for n in (4_000, 40_000, 1_000_000)],
    *[("get_Ia_cy", n, "cumsum", 4.0, ">= 4x") for n in (4_000, 40_000, 1_000_000)],
    *[("get_Ia_times_cy", n, "cumsum+searchsorted", 4.0, ">= 4x") for n in (4_000, 40_000, 1_000_000)],
    ("get_Ia_times_cy", 1_000_000, "get_Ia_times_cy, 3 levels", 1 / 1.5,
     ">= 0.67x (1000 levels <= 1.5x 3 levels)"),
    ("get_CAVstd_cy", 40_000, "NumPy window loop", 60.0, ">= 60x"),
    *[("get_PGV_cy", n, "cumulative_trapezoid+max", 4.0, ">= 4x") for n in (4_000, 40_000, 1_000_000)],
    ("get_CAVdp_cy", None, "Python function", 1.5, ">= 1.5x"),
]
NO_TEMPORARY = ("get_PGA_cy", "get_PGV_cy", "get_CAV_cy", "get_CAVn_cy", "get_CAVstd_cy")
SMALL = 4 * 1024
# The resident size grows by whole pages, and a page or two may come from the
# interpreter itself (one run here rose by 8 KiB in a call that allocated nothing):
# far below the 7.6 MiB of a record-size temporary at N = 10^6.
PAGE_SLACK = 64 * 1024


def parse(argv):
    p = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__)
    p.add_argument("--quick", action="store_true", help="short run: fewer and shorter repetitions")
    p.add_argument("--n", type=lambda s: [int(x) for x in s.split(",") if x.strip()],
                   default=list(measures.DEFAULT_N), help="record lengths, comma separated")
    p.add_argument("--repeat", type=int, help="interleaved repetitions per case (default 61, quick 9)")
    p.add_argument("--sample-ms", type=float, help="length of one timed sample (default 1, quick 0.5)")
    p.add_argument("--memory-n", type=int, default=1_000_000, help="record length of the memory peaks")
    p.add_argument("--no-memory", action="store_true", help="skip the memory peaks")
    p.add_argument("--generic", action="store_true",
                   help="bind the module's np to a copy of NumPy: the measures then take their NumPy-call path")
    args = p.parse_args(argv)
    if args.repeat is None:
        args.repeat = 9 if args.quick else 61
    if args.sample_ms is None:
        args.sample_ms = 0.5 if args.quick else 1.0
    if args.repeat < 1 or args.sample_ms <= 0 or not args.n or min(args.n) < 1 or args.memory_n < 1:
        p.error("--repeat, --sample-ms, --n and --memory-n must be positive")
    return args


def generic_numpy():
    """A module holding NumPy's names: not the NumPy the module was started with."""
    copy = types.ModuleType("numpy")
    copy.__dict__.update(np.__dict__)
    return copy


def speed_checks(timings):
    for function, n, label, least, text in SPEED:
        t = timings.get((function, n, label))
        where = f"N = {measures.fmt_n(n)}" if n else "one call"
        name = f"{function} vs {label}, {where}: {text}"
        yield name, (None if t is None else f"{t.ratio:.3g}x"), (None if t is None else t.ratio >= least)


def memory_checks(rows, n):
    by_function = {p.function: p for p in rows}

    def fits(p, allowance):
        ok = p.tavo < allowance + SMALL
        if p.tavo_rss is not None:
            ok = ok and p.tavo_rss < allowance + PAGE_SLACK
        got = f"{memory.fmt_bytes(p.tavo)} traced, RSS rise {memory.fmt_bytes(p.tavo_rss)}"
        return got, ok

    for function in NO_TEMPORARY:
        if function in by_function:
            got, ok = fits(by_function[function], 0)
            yield f"{function} peak, N = {measures.fmt_n(n)}: < 4 KiB (no record-size temporary)", got, ok
    if "get_Ia_cy" in by_function:
        got, ok = fits(by_function["get_Ia_cy"], 8 * n)
        yield (f"get_Ia_cy peak, N = {measures.fmt_n(n)}: the returned series only "
               f"({memory.fmt_bytes(8 * n)} + < 4 KiB)"), got, ok


def main(argv=None):
    args = parse(argv)
    out = print
    err = sys.stderr
    started = time.perf_counter()

    saved_np = tavo.np
    if args.generic:
        tavo.np = generic_numpy()
    try:
        floor = measures.floor_loop()
        cases = measures.build_cases(sorted(set(args.n)), floor=floor)
        differ = measures.check_values(cases)
        print(f"timing {len(cases)} cases x {args.repeat} interleaved repetitions ...", file=err)
        every = max(1, args.repeat // 5)

        def progress(i, k):
            if i % every == 0 or i == k:
                print(f"  repetition {i}/{k}, {time.perf_counter() - started:.0f} s", file=err)

        timings = measures.time_cases(cases, args.repeat, args.sample_ms / 1e3, progress)
        rows = [] if args.no_memory else memory.peaks(args.memory_n)
    finally:
        tavo.np = saved_np

    out(measures.machine_line())
    out("command: " + " ".join(["python -m benchmarks", *(argv if argv is not None else sys.argv[1:])]))
    path = "NumPy-call path (module np replaced by a copy)" if args.generic else "default (fast paths while NumPy is untouched)"
    out(f"measures: {path}; dt = {measures.DT} s; synthetic record (seed 0, PGA 3 m/s^2); "
        f"median of {args.repeat} interleaved repetitions, samples of ~{args.sample_ms:g} ms")
    if floor is None:
        out("floor loop: no C compiler found, floor rows omitted")
    out("")
    targets = {(f, n, label): text for f, n, label, _, text in SPEED}
    out("\n".join(measures.table(cases, timings, targets)))
    out("")
    out("ratio = reference time / tavotools time, the median of that quotient over the repetitions (above 1:")
    out("tavotools faster); ns/sample = tavotools time / N;")
    out("noise = the larger median absolute deviation of the two sides over its median.")
    out("references:")
    for label in dict.fromkeys(c.label for c in cases):
        out(f"  {label}: {measures.LEGEND.get(label, label)}")
    if differ:
        out("results that differ beyond 1e-9 relative (check the comparison, not only the timing):")
        for case, (x, y) in differ:
            out(f"  {case.function} N = {measures.fmt_n(case.n)} vs {case.label}: {x!r} against {y!r}")
    else:
        out("results: every compared pair agrees within 1e-9 relative")

    blocks = fallback.shares([n for n in sorted(set(args.n)) if n >= 1_000])
    if blocks:
        out("")
        out("exact sums: blocks that fell back to the plain sequential loop on the synthetic record "
            "(this CPU's level; the rest were added by the block method):")
        out("\n".join(fallback.table(blocks, [n for n in sorted(set(args.n)) if n >= 1_000])))
    elif blocks is None:
        out("exact sums: no C++ compiler or source tree, fallback shares omitted")

    checks = list(speed_checks(timings))
    if rows:
        out("")
        out(f"peak memory per call, N = {measures.fmt_n(args.memory_n)} (tracemalloc, and the rise of the "
            "resident high-water mark, which also sees C++ allocations):")
        out("\n".join(memory.table(rows, args.memory_n)))
        checks += list(memory_checks(rows, args.memory_n))

    out("")
    out("targets:" + (" (they are set for the default path; shown here for comparison)" if args.generic else ""))
    width = max(len(name) for name, _, _ in checks)
    for name, got, ok in checks:
        verdict = "not measured" if ok is None else ("PASS" if ok else "MISS")
        out(f"  {name.ljust(width)}  {(got or '-').rjust(30)}  {verdict}")
    passed = sum(ok is True for _, _, ok in checks)
    missed = sum(ok is False for _, _, ok in checks)
    out(f"{passed} PASS, {missed} MISS, {len(checks) - passed - missed} not measured; "
        f"run took {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
