"""Timing and memory tables of tavotools against the NumPy/SciPy a user would write.

Run from the repository root, with the extension built (tools/devbuild):

    PYTHONPATH=src .venv/bin/python -m benchmarks            # full run, about a minute
    PYTHONPATH=src .venv/bin/python -m benchmarks --quick    # short run
    PYTHONPATH=src .venv/bin/python -m benchmarks --n 100,40000 --repeat 31

One process, one run: every case is timed against its reference with the
repetitions interleaved, and medians are quoted. The output is one table
(time per call, ratio, ns per sample), the memory peaks of one call at
N = 10^6 (tracemalloc, and the resident high-water mark, which also sees C++
allocations), and a check section that prints each target with PASS or MISS.
`--generic` replaces the module's `np` by a copy so that the measures take the
path written in NumPy calls; it shows what the fused paths save.

Timings are printed, never asserted: the benchmarks are not tests.
"""
