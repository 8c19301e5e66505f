"""The benchmark entry points still run: a renamed function or export broke
`python -m benchmarks` once without any test noticing. Timings are not
checked here (a shared machine makes them meaningless); each run is the
shortest its options allow, and must finish and print its verdict lines."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(bool(os.environ.get("TAVO_SANITIZED")), reason="timings under the sanitizer mean nothing")
@pytest.mark.parametrize("module, args, verdict", [
    ("benchmarks", ["--quick", "--n", "200", "--repeat", "1", "--sample-ms", "0.05", "--no-memory"],
     "get_CAVdp_cy vs Python function"),
    ("benchmarks.bench_read", ["--repeat", "1", "--sample-ms", "0.05", "--data"], "sample blocks"),
    ("benchmarks.bench_rotd", ["--repeat", "1"], "rotd / two response spectra"),
    ("benchmarks.bench_spectra", ["--repeat", "1"], "agree within"),
    ("benchmarks.bench_flatfile", ["--copies", "1", "--data"], "per recording"),
])
def test_benchmark_runs(module, args, verdict, data):
    if not (ROOT / "benchmarks" / "__main__.py").exists():
        pytest.skip("the benchmarks are in the source tree only")
    if args[-1] == "--data":
        args = [*args, str(data)]
    done = subprocess.run([sys.executable, "-m", module, *args], cwd=ROOT,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert verdict in done.stdout
