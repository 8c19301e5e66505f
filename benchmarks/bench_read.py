"""Reading records: the compiled parser's sample blocks, and whole files against
the readers as they were before the parser (pure Python, commit `BEFORE`).

Prints ns per sample of the sample-block parse (target <= 60 ns), the
whole-file read time of both readers on the SMC and V2 samples (target >=
20x), read_records against obspy.read on the K-NET and KiK-net samples
(target >= 20x; skipped without ObsPy), the throughput of read_records on
the sample of every agency format (MB/s, files/s), and a two-column text
file read with the caller's dt against the readers of `TEXT_BEFORE`, side
by side in one run, interleaved, with medians. The readers before
are taken from git (`git show BEFORE:...`) into a temporary package, so the
package itself keeps no copy of them. Run: python -m benchmarks.bench_read
[--repeat N] [--data DIR]
"""
from __future__ import annotations

import argparse
import importlib.util
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tavotools import _parse
from tavotools.records import read_records
from tavotools.records.fields import Lines
from tavotools.records.source import Source

#: The last commit whose readers parse every number in Python.
BEFORE = "abeca95"
#: The last commits whose text reader numbered each row of a time column from the
#: top of the file, and walked every row to check a caller's dt.
TEXT_BEFORE = ("1628df2", "92cb94f")
#: Rows of the text file read with dt (before, its time grew with their square).
TEXT_ROWS = 5000
ROOT = Path(__file__).resolve().parents[1]
BLOCK_TARGET_NS = 60.0
FILE_TARGET = 20.0

OBSPY_TARGET = 20.0

#: K-NET and KiK-net files that ObsPy also reads.
OBSPY_FILES = [
    "formats/knet/CHB0021412312349.EW",
    "formats/knet/CHB0021412312349.UD",
    "formats/kiknet/AICH040010061330.NS2",
]

FILES = [
    ("usgs_smc_lomaprieta/0111a.smc", "smc"),
    ("usgs_smc_lomaprieta/0111b.smc", "smc"),
    ("usgs_smc_lomaprieta/0111c.smc", "smc"),
    ("cdmg_coalinga/ce36456p_CE36456.V2", "v2"),
    ("formats/dmg/CE89146.V2", "v2"),
]


def data_folder(given):
    if given:
        return Path(given)
    for above in ROOT.parents:
        if (above / "shared" / "data").is_dir():
            return above / "shared" / "data"
    return None


def readers_before(tmp, commit=BEFORE):
    """The records package at `commit`, imported as tavotools.records_<commit>; None without git."""
    try:
        names = subprocess.run(["git", "-C", str(ROOT), "ls-tree", "--name-only", commit,
                                "src/tavotools/records/"], check=True, capture_output=True,
                               text=True).stdout.split()
        folder = Path(tmp) / f"records_{commit}"
        folder.mkdir()
        for name in names:
            body = subprocess.run(["git", "-C", str(ROOT), "show", f"{commit}:{name}"], check=True,
                                  capture_output=True).stdout
            (folder / Path(name).name).write_bytes(body)
    except (OSError, subprocess.CalledProcessError):
        return None
    spec = importlib.util.spec_from_file_location(
        f"tavotools.records_{commit}", folder / "__init__.py", submodule_search_locations=[str(folder)])
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def per_call(f, sample_s):
    """Seconds per call of f, from one timed sample of about `sample_s`."""
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            f()
        elapsed = time.perf_counter() - t0
        if elapsed >= sample_s or n >= 1 << 20:
            return elapsed / n
        n = max(2 * n, int(n * sample_s / max(elapsed, 1e-9)) + 1)


def interleaved(functions, repeat, sample_s):
    """Seconds per call of each function, sampled in turn `repeat` times: the
    medians, the spreads (interquartile range over median) and the fastest."""
    times = [[] for _ in functions]
    for _ in range(repeat):
        for k, f in enumerate(functions):
            times[k].append(per_call(f, sample_s))
    medians = [statistics.median(t) for t in times]
    noise = [(statistics.quantiles(t, n=4)[2] - statistics.quantiles(t, n=4)[0]) / m
             if len(t) >= 4 else 0.0 for t, m in zip(times, medians)]
    return medians, noise, [min(t) for t in times]


def sample_block(path):
    """(data, start, count, width, per_line) of the first sample block read by the reader."""
    source = Source.read(path)
    (record, *_) = read_records(path)
    n = record.npts
    if path.suffix.lower() == ".smc":
        lines = Lines(source)
        at = 0
        while True:  # the samples follow the last comment line
            at, line = lines.take("")
            if lines.source.line_number(at) > 27 and not line.startswith("|"):
                return source.data, at, n, 10, 8
    text = source.text.upper()
    at = text.index("POINTS OF ACCEL")
    start = text.index("\n", at) + 1
    width = 10
    return source.data, start, n, width, 8


def fmt(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m benchmarks.bench_read", description=__doc__)
    p.add_argument("--repeat", type=int, default=21, help="interleaved repetitions (default 21)")
    p.add_argument("--sample-ms", type=float, default=20.0, help="length of one timed sample")
    p.add_argument("--data", help="the folder of real records (default: ../shared/data)")
    args = p.parse_args(argv)
    data = data_folder(args.data)
    if data is None or not data.is_dir():
        print("bench_read: no ../shared/data folder: pass --data DIR", file=sys.stderr)
        return 2
    sample_s = args.sample_ms / 1000.0
    print(f"# {platform.processor() or platform.machine()}, {os.cpu_count()} cores; "
          f"Python {platform.python_version()}, NumPy {np.__version__}; "
          f"{args.repeat} interleaved repetitions, medians")

    print("\nSample blocks parsed from the bytes (tavotools._parse), ns per sample: the median,")
    print("and the fastest repetition, the cost when the shared cores are free (the target's):")
    print(f"{'block':40s} {'samples':>8s} {'time':>9s} {'median':>7s} {'fastest':>7s} {'noise':>6s}  "
          f"target")
    rng = np.random.default_rng(0)
    big = rng.normal(size=1_000_000) * 100
    fixed_big = "".join(f"{v:10.4f}" + ("\n" if k % 8 == 7 else "") for k, v in enumerate(big))
    free_big = "\n".join(" ".join(f"{v:15.7E}" for v in big[k:k + 5]) for k in range(0, big.size, 5))
    blocks = []
    for name, _ in FILES:
        path = data / name
        if path.is_file():
            d, start, n, width, per_line = sample_block(path)
            blocks.append((f"fixed  {Path(name).name}", n,
                           lambda d=d, s=start, n=n, w=width, k=per_line: _parse.fixed(d, s, n, w, k)))
    fb, eb = fixed_big.encode(), free_big.encode()
    blocks.append(("fixed  synthetic 10.4f, 8 a line", big.size, lambda: _parse.fixed(fb, 0, big.size, 10, 8)))
    blocks.append(("floats synthetic 15.7E, 5 a line", big.size, lambda: _parse.floats(eb, 0, big.size)))
    blocks.append(("floats synthetic, count unknown", big.size, lambda: _parse.floats(eb, 0)))
    medians, noise, fastest = interleaved([f for _, _, f in blocks], args.repeat, sample_s)
    worst = 0.0
    for (label, n, _), t, z, best in zip(blocks, medians, noise, fastest):
        ns, best_ns = t / n * 1e9, best / n * 1e9
        worst = max(worst, best_ns)
        print(f"{label:40s} {n:8d} {fmt(t):>9s} {ns:7.1f} {best_ns:7.1f} {z:6.0%}  "
              f"<= {BLOCK_TARGET_NS:.0f} ns")

    obspy_ratios = against_obspy(data, args.repeat, sample_s)
    every_format(data, args.repeat, sample_s)
    text_with_dt(args.repeat, sample_s)
    with tempfile.TemporaryDirectory() as tmp:
        before = readers_before(tmp)
        print(f"\nWhole files: read_records before ({BEFORE}, numbers parsed in Python) and now:")
        if before is None:
            print("  (git or commit {BEFORE} unavailable: no comparison)")
            return 0
        print(f"{'file':28s} {'samples':>8s} {'before':>9s} {'now':>9s} {'ratio':>7s} "
              f"{'noise':>6s}  target")
        ratios = []
        for name, _ in FILES:
            path = data / name
            if not path.is_file():
                continue
            old = before.read_records(path)
            new = read_records(path)
            assert [r.npts for r in old] == [r.npts for r in new]
            assert all(np.array_equal(a.accel, b.accel) for a, b in zip(old, new)), name
            (t_old, t_new), (z_old, z_new), _ = interleaved(
                [lambda: before.read_records(path), lambda: read_records(path)], args.repeat, sample_s)
            ratio = t_old / t_new
            ratios.append(ratio)
            print(f"{Path(name).name:28s} {sum(r.npts for r in new):8d} {fmt(t_old):>9s} "
                  f"{fmt(t_new):>9s} {ratio:6.1f}x {max(z_old, z_new):6.0%}  >= {FILE_TARGET:.0f}x")
    print()
    print(f"{'PASS' if worst <= BLOCK_TARGET_NS else 'MISS'}: sample blocks at most "
          f"{worst:.1f} ns per sample, fastest repetition (target <= {BLOCK_TARGET_NS:.0f})")
    if ratios:
        print(f"{'PASS' if min(ratios) >= FILE_TARGET else 'MISS'}: whole files "
              f"{min(ratios):.1f}x to {max(ratios):.1f}x faster than before (target >= "
              f"{FILE_TARGET:.0f}x)")
    if obspy_ratios:
        print(f"{'PASS' if min(obspy_ratios) >= OBSPY_TARGET else 'MISS'}: K-NET files "
              f"{min(obspy_ratios):.1f}x to {max(obspy_ratios):.1f}x faster than obspy.read "
              f"(target >= {OBSPY_TARGET:.0f}x)")
    return 0


def every_format(data, repeat, sample_s):
    """read_records on the sample file of every agency format: MB/s, files/s, ns per sample."""
    paths = sorted(p for p in (data / "formats").glob("*/*")
                   if p.suffix.lower() not in (".json", ".md"))
    if not paths:
        return
    print("\nThe sample of every format, read_records (the file's bytes, its samples):")
    print(f"{'format':8s} {'file':34s} {'kB':>6s} {'records':>7s} {'samples':>8s} {'time':>9s} "
          f"{'MB/s':>6s} {'files/s':>7s} {'ns/sample':>9s}")
    counts = [sum(r.npts for r in read_records(p)) for p in paths]
    records = [len(read_records(p)) for p in paths]
    medians, _, _ = interleaved([lambda p=p: read_records(p) for p in paths], repeat, sample_s)
    for p, n, k, t in zip(paths, counts, records, medians):
        size = p.stat().st_size
        print(f"{p.parent.name:8s} {p.name[:34]:34s} {size / 1e3:6.0f} {k:7d} {n:8d} {fmt(t):>9s} "
              f"{size / t / 1e6:6.0f} {1 / t:7.0f} {t / n * 1e9:9.0f}")


def text_with_dt(repeat, sample_s):
    """A two-column text file of TEXT_ROWS rows read with the caller's dt, by the readers
    of TEXT_BEFORE and now (and now without dt), side by side."""
    with tempfile.TemporaryDirectory() as tmp:
        olds = [readers_before(tmp, commit) for commit in TEXT_BEFORE]
        if None in olds:
            print(f"\n(git or commits {', '.join(TEXT_BEFORE)} unavailable: no text comparison)")
            return
        path = Path(tmp) / "two_columns.csv"
        rng = np.random.default_rng(1)
        path.write_text("time (s), acc (g)\n" + "".join(
            f"{k * 0.01:.2f},{v:.6f}\n" for k, v in enumerate(rng.normal(size=TEXT_ROWS) * 0.1)))
        (new,) = read_records(path, dt=0.01)
        for old in olds:
            (r,) = old.read_records(path, dt=0.01)
            assert r.dt == new.dt and np.array_equal(r.accel, new.accel)
        calls = [lambda old=old: old.read_records(path, dt=0.01) for old in olds]
        calls += [lambda: read_records(path, dt=0.01), lambda: read_records(path)]
        medians, noise, _ = interleaved(calls, repeat, sample_s)
        print(f"\nA time and acceleration text file of {TEXT_ROWS} rows read with dt=0.01 "
              f"(the same samples and step):")
        for label, t, z in zip([*TEXT_BEFORE, "now", "now, no dt"], medians, noise):
            print(f"{label:12s} {fmt(t):>9s} {medians[0] / t:7.1f}x {z:6.0%}")


def against_obspy(data, repeat, sample_s):
    """read_records and obspy.read (finding the format, as a user calls it; and told
    it) on the same K-NET files: the ratios to obspy.read, or [] without ObsPy."""
    try:
        import obspy
    except ImportError:
        print("\nWhole files against obspy.read: ObsPy is not installed (pip install "
              "'tavotools[obspy]')")
        return []
    print(f"\nWhole files: read_records against obspy.read (ObsPy {obspy.__version__}) on the "
          f"same file:")
    print(f"{'file':28s} {'samples':>8s} {'obspy':>9s} {'KNET':>9s} {'now':>9s} {'ratio':>7s} "
          f"{'noise':>6s}  target")
    ratios = []
    for name in OBSPY_FILES:
        path = data / name
        if not path.is_file():
            continue
        (record,), (trace,) = read_records(path), obspy.read(str(path))
        assert record.npts == trace.stats.npts and record.dt == trace.stats.delta, name
        (t_obspy, t_told, t_new), noise, _ = interleaved(
            [lambda: obspy.read(str(path)), lambda: obspy.read(str(path), format="KNET"),
             lambda: read_records(path)], repeat, sample_s)
        ratios.append(t_obspy / t_new)
        print(f"{Path(name).name:28s} {record.npts:8d} {fmt(t_obspy):>9s} {fmt(t_told):>9s} "
              f"{fmt(t_new):>9s} {t_obspy / t_new:6.1f}x {max(noise):6.0%}  >= "
              f"{OBSPY_TARGET:.0f}x")
    print("(KNET: obspy.read told the format; the ratio is to obspy.read as called on a file)")
    return ratios


if __name__ == "__main__":
    sys.exit(main())
