"""Timing and memory tables of tavotools against the NumPy/SciPy a user would write.

Run from the repository root, with the extension built (tools/devbuild):

    PYTHONPATH=. .venv/bin/python -m benchmarks            # full run, a few minutes
    PYTHONPATH=. .venv/bin/python -m benchmarks --quick    # short run
    PYTHONPATH=. .venv/bin/python -m benchmarks --n 100,40000 --repeat 31

One process, one run: every case is timed against its reference with the
repetitions interleaved, and medians are quoted. The output is one table
(time per call, ratio, ns per sample), the tracemalloc peaks per call at the
largest N, and a check section that prints each target with PASS or MISS.
`--generic` replaces the module's `np` by a copy so that the measures take the
path written in NumPy calls; it shows what the fused paths save.

Timings are printed, never asserted: the benchmarks are not tests.
"""
