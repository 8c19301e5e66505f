"""Command line: table, CSV and JSON on real files and the built-in record; plots; errors."""
import csv
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tavotools.cli import main
from tavotools.records import read_records
from tavotools.summary import Summary, summarize
from tavotools.synthetic import synthetic_record

SMC = "usgs_smc_lomaprieta/0111a.smc"
V2 = "cdmg_coalinga/ce36456p_CE36456.V2"


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_builtin_record_json_is_the_summary(capsys):
    status, out, _ = run(capsys, "--format", "json")
    assert status == 0
    doc = json.loads(out)
    (rec,) = doc["records"]
    assert rec["format"] == "synthetic" and rec["npts"] == 4000 and rec["dt"] == 0.01
    # JSON carries floats by repr, so the values come back bit for bit.
    assert rec["measures"] == summarize(synthetic_record(0)).as_dict()
    assert doc["units"]["PGA"] == "m/s2" and doc["units"]["D5_75"] == "s"


def test_builtin_record_table_and_seed(capsys):
    status, out, _ = run(capsys)
    lines = out.splitlines()
    assert status == 0 and len(lines) == 3
    assert lines[0].split() == ["record", "component", "npts", "dt", "PGA", "PGV", "Ia",
                                "D5-75", "D5-95", "CAV", "CAV5", "CAVstd"]
    assert lines[1].split() == ["s", "m/s2", "m/s", "m/s", "s", "s", "m/s", "m/s", "m/s"]
    s = summarize(synthetic_record(0))
    assert lines[2].split()[:5] == ["synthetic:0", "H", "4000", "0.01", f"{s.PGA:.6g}"]
    assert lines[2].split()[-1] == f"{s.CAVstd:.6g}"
    _, other, _ = run(capsys, "--seed", "4")
    assert other != out and "synthetic:4" in other


def test_real_file_in_all_three_formats(data, capsys):
    SMC_FILE = data / SMC
    want = summarize(read_records(SMC_FILE)[0])
    _, table, _ = run(capsys, SMC_FILE)
    row = table.splitlines()[2].split()
    assert row[:4] == ["0111a.smc", "360", "6001", "0.005"]
    assert [float(x) for x in row[4:]] == pytest.approx(
        [want.PGA, want.PGV, want.Ia, want.D5_75, want.D5_95, want.CAV, want.CAV5,
         want.CAVstd], rel=1e-5)
    _, out, _ = run(capsys, "--format", "csv", SMC_FILE)
    (row,) = list(csv.DictReader(io.StringIO(out)))
    assert row["record"] == "0111a.smc" and row["event"] == "Loma Prieta, CA"
    for name, unit in Summary.units().items():
        assert float(row[f"{name} ({unit})"]) == getattr(want, name)
    _, out, _ = run(capsys, "--format", "json", SMC_FILE)
    (rec,) = json.loads(out)["records"]
    assert rec["measures"] == want.as_dict()
    assert rec["units"] == "cm/s2" and rec["stated_PGA"] == pytest.approx(1.044)
    assert abs(rec["measures"]["PGA"] - rec["stated_PGA"]) < 0.0005


def test_many_files_on_several_processes_match_one_process(data, capsys):
    files = sorted(data.glob("*/*.smc")) + [data / V2]
    s1, one, _ = run(capsys, "--format", "csv", *files)
    s2, two, _ = run(capsys, "--format", "csv", "--jobs", "2", *files)
    assert s1 == s2 == 0 and one == two
    labels = [r["record"] for r in csv.DictReader(io.StringIO(one))]
    assert labels == ["0111a.smc", "0111b.smc", "0111c.smc", "ce36456p_CE36456.V2#1",
                      "ce36456p_CE36456.V2#2", "ce36456p_CE36456.V2#3"]


def test_bad_file_is_reported_and_the_others_still_run(capsys, tmp_path):
    good = tmp_path / "good.txt"
    good.write_text("0.1\n-0.2\n0.3\n")
    bad = tmp_path / "bad.txt"
    bad.write_text("0.1\n-0.2\n0.3x\n")
    status, out, err = run(capsys, "--dt", "0.01", "--units", "g", "--format", "json", bad, good)
    assert status == 1
    assert f"{bad}, line 3: '0.3x' is not a number" in err
    (rec,) = json.loads(out)["records"]
    assert rec["record"] == "good.txt" and rec["measures"]["PGA"] == 0.3 * 9.81


@pytest.mark.parametrize("argv", [["--units", "furlongs"], ["--jobs", "0"], ["--dt", "-1"],
                                  ["--format", "xml"]])
def test_bad_options_are_usage_errors(capsys, argv):
    with pytest.raises(SystemExit) as e:
        main(argv)
    assert e.value.code == 2
    assert "usage: tavotools" in capsys.readouterr().err


def _png(path):
    data = Path(path).read_bytes()
    return len(data) > 10_000 and data[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_of_the_builtin_record(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "husid.png"
    status, out, err = run(capsys, "--plot", target)
    assert status == 0 and _png(target) and f"wrote {target}" in err
    assert "synthetic:0" in out


def test_plot_of_a_multichannel_file_writes_one_png_per_channel(data, capsys, tmp_path):
    pytest.importorskip("matplotlib")
    status, _, _ = run(capsys, "--plot", tmp_path / "v2.png", data / V2)
    assert status == 0
    assert all(_png(tmp_path / f"v2-{k}.png") for k in (1, 2, 3))


def test_plot_without_matplotlib_says_what_to_install(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, err = run(capsys, "--plot", tmp_path / "x.png")
    assert status == 1 and "pip install 'tavotools[plot]'" in err
    assert not (tmp_path / "x.png").exists() and "synthetic:0" in out


def test_python_dash_m_and_console_script(tmp_path):
    # Run outside the source tree so the installed package is the one imported.
    cmd = [sys.executable, "-m", "tavotools", "--format", "json"]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True, cwd=tmp_path)
    want = summarize(synthetic_record(0)).as_dict()
    assert json.loads(out.stdout)["records"][0]["measures"] == want
    script = shutil.which("tavotools", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console script is not installed")
    out = subprocess.run([script, "--format", "csv"], capture_output=True, text=True,
                         check=True, cwd=tmp_path)
    assert out.stdout.splitlines()[1].startswith("synthetic:0,synthetic,H,")


def test_obe_subcommand_reaches_the_obe_check(capsys, tmp_path):
    dt = 0.01
    t = [k * dt for k in range(1000)]
    paths = []
    for name, amp in (("h1", 3.0), ("h2", 2.0), ("v", 1.0)):
        p = tmp_path / f"{name}.txt"
        p.write_text("\n".join(f"{amp * ((k % 50) / 25.0 - 1.0):.6f}" for k in range(len(t))))
        paths.append(str(p))
    assert main(["obe", "--dt", str(dt), "--units", "m/s2", "--format", "json", *paths]) == 0
    report = json.loads(capsys.readouterr().out)
    assert "CAVdp" in report and "rg1166" in report
