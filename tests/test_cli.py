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
                                  ["--format", "xml"], ["--seed", "-1"], ["--seed", "x"],
                                  ["--dt", "nan"], ["--jobs", "-3"], ["obe", "--dt", "0"],
                                  ["flatfile", ".", "-o", "f.csv", "--jobs", "0"]])
def test_bad_options_are_usage_errors(capsys, argv):
    with pytest.raises(SystemExit) as e:
        main(argv)
    assert e.value.code == 2
    assert "usage: tavotools" in capsys.readouterr().err


@pytest.mark.parametrize("argv, message", [
    (["--dt", "0.01"], "--dt only applies to files, and none is given"),
    (["--units", "g", "--format", "csv"], "--units only applies to files, and none is given"),
    (["--inventory", "inv.xml"], "--inventory only applies to files, and none is given"),
    (["measures", "--dt", "0.01", "--units", "g"], "--dt, --units only apply to files"),
    (["spectrum", "--dt", "0.01"], "--dt only applies to files, and none is given"),
    (["spectrum", "--units", "m/s2"], "--units only applies to files, and none is given"),
    (["obe", "--units", "g"], "--units only applies to files, and none is given"),
    (["obe", "--dt", "0.02", "--units", "g"], "--dt, --units only apply to files"),
    (["--seed", "3", "FILE"], "--seed only applies to the built-in record, not to files"),
    (["--seed", "0", "FILE"], "--seed only applies to the built-in record, not to files"),
])
def test_an_option_that_would_apply_to_nothing_is_a_usage_error(capsys, tmp_path, argv, message):
    # Each was ignored in silence: the built-in record went on with its own time step,
    # units and seed, and --seed changed nothing about the files.
    record = tmp_path / "a.txt"
    record.write_text("0.1\n-0.2\n0.3\n")
    with pytest.raises(SystemExit) as e:
        main([str(record) if a == "FILE" else a for a in argv])
    out, err = capsys.readouterr()
    assert (e.value.code, out) == (2, "")
    assert "usage: tavotools" in err and message in err


@pytest.mark.parametrize("argv, shown", [
    (["--seed", "0"], "synthetic:0"),
    (["--dt", "0.01", "--units", "g", "FILE"], "a.txt"),
    (["spectrum", "--dt", "0.01", "--units", "g", "FILE"], "a.txt (-): 0.05 damping, dt 0.01 s"),
])
def test_options_that_apply_are_still_taken(capsys, tmp_path, argv, shown):
    record = tmp_path / "a.txt"
    record.write_text("0.1\n-0.2\n0.3\n")
    status, out, _ = run(capsys, *[record if a == "FILE" else a for a in argv])
    assert status == 0 and shown in out


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


@pytest.mark.parametrize("command", [[], ["spectrum", "--periods", "1"], ["obe"]])
@pytest.mark.parametrize("target, words", [
    ("missing-folder/x.png", "No such file or directory"),
    ("plot.notaformat", "not supported"),
])
def test_a_plot_that_cannot_be_written_is_reported(capsys, tmp_path, command, target, words):
    pytest.importorskip("matplotlib")
    status, out, err = run(capsys, *command, "--plot", tmp_path / target)
    # The report is printed; the plot's failure is one line naming the file, and status 1.
    assert status == 1 and out
    assert f"cannot write {tmp_path / target}" in err and words in err
    assert "Traceback" not in err and len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("blocked", [[1], [2], [1, 3], []])
def test_each_plot_of_several_records_is_tried(capsys, tmp_path, blocked):
    # The first plot that could not be written ended the command: the later records
    # got no plot and no line about it.
    pytest.importorskip("matplotlib")
    files = []
    for k in range(3):
        files.append(tmp_path / f"r{k}.txt")
        files[-1].write_text(f"0.1\n-0.{k + 2}\n0.3\n")
    for k in blocked:
        (tmp_path / f"x-{k}.png").mkdir()   # a folder where the plot should go
    status, out, err = run(capsys, "--dt", "0.01", "--units", "g", "--plot", tmp_path / "x.png",
                           *files)
    assert status == (1 if blocked else 0) and len(out.splitlines()) == 6   # the table, whole
    lines = err.splitlines()
    assert lines == [f"tavotools: cannot write {tmp_path}/x-{k}.png: Is a directory" if k in blocked
                     else f"tavotools: wrote {tmp_path}/x-{k}.png" for k in (1, 2, 3)]
    assert all(_png(tmp_path / f"x-{k}.png") for k in (1, 2, 3) if k not in blocked)


def test_without_matplotlib_several_plots_are_one_line(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    files = [tmp_path / "a.txt", tmp_path / "b.txt"]
    for f in files:
        f.write_text("0.1\n-0.2\n0.3\n")
    status, out, err = run(capsys, "--dt", "0.01", "--units", "g", "--plot", tmp_path / "x.png",
                           *files)
    assert (status, err.splitlines()) == (
        1, ["tavotools: plotting needs matplotlib: pip install 'tavotools[plot]'"])
    assert "a.txt" in out and "b.txt" in out


def _record(path=None):
    from dataclasses import replace

    r = synthetic_record(0, duration=2.0)
    return r if path is None else replace(r, path=path, station=path)


def _draw_record(path, name=None):
    from tavotools.plot import plot_record

    plot_record(_record(name), path)


def _draw_spectra(path, name=None):
    from tavotools.plot import plot_response_spectra
    from tavotools.rotd import rotd
    from tavotools.spectra import response_spectrum

    r = _record(name)
    plot_response_spectra([r.label], [response_spectrum(r.accel, r.dt, periods=[0.5, 1.0])],
                          [(r.label, rotd(r, r, periods=[0.5, 1.0]))], path)


def _draw_obe(path, name=None):
    from tavotools.obe import obe_check, plot_spectra

    plot_spectra(obe_check(*[_record(name)] * 3), path)


@pytest.mark.parametrize("draw", [_draw_record, _draw_spectra, _draw_obe])
def test_a_plot_names_a_file_name_that_is_not_utf8(tmp_path, draw):
    # Python keeps the bytes of such a name as surrogates, which matplotlib cannot draw.
    pytest.importorskip("matplotlib")
    draw(tmp_path / "x.png", name="/data/r\udce9cord.smc")
    assert _png(tmp_path / "x.png")


@pytest.mark.parametrize("draw", [_draw_record, _draw_spectra, _draw_obe])
def test_a_plot_that_fails_closes_its_figure(tmp_path, draw):
    plt = pytest.importorskip("matplotlib.pyplot")
    plt.close("all")
    with pytest.raises(FileNotFoundError):
        draw(tmp_path / "missing-folder" / "x.png")
    assert plt.get_fignums() == []


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


# ---- one file's failure is that file's; edge cases of the arguments ---------------------

@pytest.mark.parametrize("jobs", ["1", "2"])
def test_an_unforeseen_error_in_one_file_is_reported_and_the_others_run(capsys, tmp_path,
                                                                        monkeypatch, jobs):
    import tavotools.summary

    real = tavotools.summary.summarize

    def failing(record, *args, **kwargs):
        if record.label == "bad.txt":
            raise RuntimeError("a fault no reader foresaw")
        return real(record, *args, **kwargs)

    # Worker processes are forked, so they see the replacement too.
    monkeypatch.setattr(tavotools.summary, "summarize", failing)
    paths = []
    for name in ("good.txt", "bad.txt", "other.txt"):
        (tmp_path / name).write_text("0.1\n-0.2\n0.3\n")
        paths.append(tmp_path / name)
    status, out, err = run(capsys, "--dt", "0.01", "--units", "g", "--format", "csv",
                           "--jobs", jobs, *paths)
    assert status == 1
    assert err == f"tavotools: {tmp_path / 'bad.txt'}: RuntimeError: a fault no reader foresaw\n"
    assert [r["record"] for r in csv.DictReader(io.StringIO(out))] == ["good.txt", "other.txt"]


def test_workers_dying_while_tasks_are_handed_out_cost_only_files(capsys, tmp_path,
                                                                  pool_breaks_at_third_hand_out):
    # The pool breaks before every file is handed out (this once ended in a traceback):
    # each file is then either measured or reported, none lost, none twice.
    names = [f"r{k}.txt" for k in range(5)]
    for name in names:
        (tmp_path / name).write_text("0.1\n-0.2\n0.3\n")
    status, out, err = run(capsys, "--dt", "0.01", "--units", "g", "--format", "csv", "--jobs", "2",
                           *(tmp_path / n for n in names))
    measured = [r["record"] for r in csv.DictReader(io.StringIO(out))]
    reported = [line.split(": ")[1].rsplit("/", 1)[-1] for line in err.splitlines()]
    assert status == 1 and pool_breaks_at_third_hand_out[0] == 5
    assert sorted(measured + reported) == names and "Traceback" not in err
    assert all("BrokenProcessPool" in line for line in err.splitlines())


def test_obe_reports_each_file_that_fails(capsys, tmp_path, monkeypatch):
    import tavotools.records

    def failing(path, **options):
        raise RuntimeError(f"cannot make sense of {os.path.basename(path)}")

    monkeypatch.setattr(tavotools.records, "read_records", failing)
    paths = [tmp_path / n for n in ("h1.txt", "h2.txt", "v.txt")]
    status, out, err = run(capsys, "obe", *paths)
    assert (status, out) == (1, "")
    assert err.splitlines() == [f"tavotools obe: {p}: RuntimeError: cannot make sense of {p.name}"
                                for p in paths]


@pytest.mark.parametrize("given, line", [
    ("v2", "{path} holds 3 records (channels 1, 2, 3): give one file per component, H1 H2 V"),
    ("empty", "{path} holds 0 records: give one file per component, H1 H2 V"),
    ("two", "{path} holds 2 records: give one file per component, H1 H2 V"),
])
def test_obe_names_a_file_that_is_not_one_component(request, capsys, tmp_path, given, line):
    # The message asked to "pass channel", an argument the command has no option for.
    (tmp_path / "empty").mkdir()
    (tmp_path / "two").mkdir()
    for name in ("two/a.txt", "two/b.txt", "h.txt", "v.txt"):
        (tmp_path / name).write_text("0.1\n-0.2\n0.3\n")
    path = request.getfixturevalue("data") / V2 if given == "v2" else tmp_path / given
    status, out, err = run(capsys, "obe", "--dt", "0.01", "--units", "g", tmp_path / "h.txt",
                           path, tmp_path / "v.txt")
    assert (status, out) == (1, "")
    assert err == "tavotools obe: " + line.format(path=path) + "\n"


@pytest.mark.parametrize("given, twice", [
    (["h1.txt", "h1.txt", "v.txt"], "H1 and H2 are one file, h1.txt"),
    (["h1.txt", "./h1.txt", "v.txt"], "H1 and H2 are one file, ./h1.txt"),
    (["h1.txt", "h2.txt", "h2.txt"], "H2 and V are one file, h2.txt"),
    (["v.txt", "h2.txt", "link.txt"], "H1 and V are one file, link.txt"),
])
def test_obe_refuses_one_file_given_as_two_components(capsys, monkeypatch, tmp_path, given,
                                                      twice):
    # A text file states no channel: the check took it twice and gave the CAVstd_gm of
    # one horizontal, or a vertical that was a horizontal, without a word.
    monkeypatch.chdir(tmp_path)
    for k, name in enumerate(("h1.txt", "h2.txt", "v.txt")):
        (tmp_path / name).write_text("\n".join(f"{(j * (k + 3)) % 7 - 3}" for j in range(300)))
    os.link(tmp_path / "v.txt", tmp_path / "link.txt")
    status, out, err = run(capsys, "obe", "--dt", "0.01", "--units", "g", *given)
    assert (status, out) == (1, "")
    assert err == (f"tavotools obe: {twice}: the same component given twice, not two "
                   f"components of one motion\n")
    assert run(capsys, "obe", "--dt", "0.01", "--units", "g", "h1.txt", "h2.txt", "v.txt")[0] == 0


@pytest.mark.parametrize("form", ["table", "csv", "json"])
def test_file_names_that_are_not_utf8_are_printed_escaped(tmp_path, form):
    name = os.fsdecode(b"r\xe9cord.txt")
    (tmp_path / name).write_text("0.1\n-0.2\n0.3\n")
    bad = os.fsdecode(b"b\xffd.txt")
    (tmp_path / bad).write_text("0.1\nx\n")
    env = {**os.environ, "PYTHONIOENCODING": "utf-8", "LC_ALL": "C.UTF-8"}
    out = subprocess.run([sys.executable, "-m", "tavotools", "--dt", "0.01", "--units", "g",
                          "--format", form, name, bad], capture_output=True, text=True,
                         cwd=tmp_path, env=env)
    assert out.returncode == 1
    shown = json.loads(out.stdout)["records"][0]["record"] if form == "json" else out.stdout
    assert "r\\xe9cord.txt" in shown
    assert out.stderr == "tavotools: b\\xffd.txt, line 2: 'x' is not a number\n"


def test_one_sample_has_no_pgv_and_no_durations(capsys, tmp_path):
    path = tmp_path / "one.txt"
    path.write_text("0.5\n")
    status, out, _ = run(capsys, "--dt", "0.01", "--units", "g", path)
    assert status == 0
    row = out.splitlines()[2].split()
    assert (row[6], row[8], row[9]) == ("n/a", "n/a", "n/a")
    _, out, _ = run(capsys, "--dt", "0.01", "--units", "g", "--format", "json", path)
    measures = json.loads(out)["records"][0]["measures"]
    assert [measures[k] for k in ("PGV", "t5", "D5_75", "D5_95")] == [None] * 4
    assert measures["PGA"] == 0.5 * 9.81


def test_version_and_the_subcommands(capsys):
    import tavotools

    with pytest.raises(SystemExit) as e:
        main(["--version"])
    assert e.value.code == 0 and capsys.readouterr().out == f"tavotools {tavotools.__version__}\n"
    with pytest.raises(SystemExit):
        main(["--help"])
    out = capsys.readouterr().out
    assert all(name in out for name in ("measures", "obe", "flatfile"))


def test_the_installed_version_is_the_package_s(tmp_path):
    from importlib.metadata import PackageNotFoundError, version

    import tavotools

    try:
        installed = version("tavotools")
    except PackageNotFoundError:
        pytest.skip("the package is not installed")
    assert installed == tavotools.__version__


@pytest.mark.parametrize("command", ["measures", "spectrum"])
def test_a_folder_that_cannot_be_listed_is_reported(capsys, tmp_path, unlistable, command):
    # os.walk passes over such a folder in silence: its records went missing with exit 0.
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.txt").write_text("0.1\n-0.2\n0.3\n")
    (tmp_path / "sub" / "b.txt").write_text("0.1\n-0.2\n0.3\n")
    unlistable(tmp_path / "sub")
    status, out, err = run(capsys, command, "--dt", "0.01", "--units", "g", "--format", "csv",
                           tmp_path)
    prefix = "tavotools" if command == "measures" else "tavotools spectrum"
    assert status == 1
    assert f"{prefix}: {tmp_path / 'sub'}: cannot read folder (Permission denied)" in err
    assert "a.txt" in out and "b.txt" not in out
    with pytest.raises(PermissionError):
        read_records(tmp_path, dt=0.01, units="g")
