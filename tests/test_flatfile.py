"""tavotools flatfile: grouping, rows against the summaries, CSV and Parquet, the errors
file, resuming, interruptions, killed workers, local processes and a Dask cluster."""
import contextlib
import csv
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

from tavotools.flatfile import Schema, run
from tavotools.flatfile.rows import Options, process_batch
from tavotools.flatfile.scan import batches
from tavotools.flatfile.schema import period_label
from tavotools.records import read_records
from tavotools.rotd import rotd
from tavotools.spectra import response_spectrum
from tavotools.summary import summarize, summarize_components

PERIODS = (0.1, 0.2, 0.5, 1.0)


def smc_text(station, component, samples, rate=100.0, minute=4):
    """A USGS SMC corrected accelerogram (cm/s²) of `samples`."""
    ints = [-32768] * 48
    ints[1:6] = [1989, 291, 0, minute, 0]
    ints[15], ints[16] = 1, len(samples)
    reals = [1.7e38] * 50
    reals[1] = rate
    lines = ["2 CORRECTED ACCELEROGRAM", "*", station[:4],
             f"     1989  10  18    00{minute:02d} Test event",
             "Moment Mag=      6.0", f"station = {station} component=    {component}",
             "epicentral dist =     10.0       pk     =      1.0", "*", "*", "*", "*"]
    lines += ["".join(f"{v:10d}" for v in ints[k:k + 8]) for k in range(0, 48, 8)]
    lines += ["".join(f"{v:15.7E}" for v in reals[k:k + 5]) for k in range(0, 50, 5)]
    lines.append("| synthetic")
    lines += ["".join(f"{v:10.4f}" for v in samples[k:k + 8]) for k in range(0, len(samples), 8)]
    return "\n".join(lines) + "\n"


def write_recording(folder, stem, seed, n=800, components=("360", "up", "270"), minute=4):
    """Three SMC files `<stem>a.smc`, `b`, `c` of one station: one recording."""
    rng = np.random.default_rng(seed)
    env = np.sin(np.linspace(0, np.pi, n))
    paths = []
    for letter, comp in zip("abc", components):
        samples = np.round(rng.normal(0, 50, n) * env, 4)
        path = Path(folder) / f"{stem}{letter}.smc"
        path.write_text(smc_text(f"Station {stem}", comp, samples, minute=minute))
        paths.append(path)
    return paths


def write_text(path, seed, n=500):
    rng = np.random.default_rng(seed)
    t = np.arange(n) * 0.01
    rows = "\n".join(f"{ti:.2f},{float(a)!r}" for ti, a in zip(t, rng.normal(0, 0.05, n)))
    Path(path).write_text("time,acc (g)\n" + rows + "\n")
    return Path(path)


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture
def folder(tmp_path):
    src = tmp_path / "records"
    (src / "site").mkdir(parents=True)
    write_recording(src / "site", "0111", seed=1)
    write_recording(src / "site", "0112", seed=2, minute=5)
    write_text(src / "single.csv", seed=3)
    (src / "site" / "event.json").write_text('{"id": "x"}')
    return src


def test_rows_are_the_summaries_bit_for_bit(folder, tmp_path):
    out = tmp_path / "flat.csv"
    report = run([folder], out, periods=PERIODS)
    assert (report.rows, report.failed, report.skipped, report.status) == (3, 0, 1, 0)
    rows = read_csv(out)
    assert [r["recording"] for r in rows] == ["single.csv", "0111", "0112"]
    row = rows[1]
    a, b, c = (read_records(folder / "site" / f"0111{x}.smc")[0] for x in "abc")
    # 360 and 270 are the horizontals, in file order; "up" is the vertical.
    assert [row["H1_component"], row["H2_component"], row["V_component"]] == ["360", "270", "up"]
    assert row["components"] == "3" and row["station"] == "Station 0111"
    combined = summarize_components(a, c, b)
    for slot, s in (("H1", combined.h1), ("H2", combined.h2), ("V", combined.v)):
        for name, title in (("PGA", "PGA (m/s2)"), ("PGV", "PGV (m/s)"), ("Ia", "Ia (m/s)"),
                            ("D5_75", "D5-75 (s)"), ("CAVstd", "CAVstd (m/s)")):
            assert float(row[f"{slot}_{title}"]) == getattr(s, name)  # repr round-trips
    assert float(row["CAVstd_gm (m/s)"]) == combined.CAVstd_gm
    # The spectra of the horizontals come with their rotation: the same doubles.
    r = rotd(a, c, periods=PERIODS)
    for slot, record in (("H1", a), ("H2", c), ("V", b)):
        psa = response_spectrum(record.accel, record.dt, periods=PERIODS).PSA
        assert [float(row[f"{slot}_PSA_{period_label(T)} (m/s2)"]) for T in PERIODS] == list(psa)
    for k, p in enumerate((0, 50, 100)):
        assert float(row[f"RotD{p}_PGV (m/s)"]) == r.PGV[k]
        assert [float(row[f"RotD{p}_PSA_{period_label(T)} (m/s2)"]) for T in PERIODS] == \
            list(r.PSA[k])
    assert [float(row[f"GM_PSA_{period_label(T)} (m/s2)"]) for T in PERIODS] == \
        list(r.geometric_mean.PSA)
    single = rows[0]
    assert single["components"] == "1" and single["H2_PGA (m/s2)"] == ""
    assert float(single["H1_PGA (m/s2)"]) == summarize(read_records(folder / "single.csv")[0]).PGA


def test_schema_names_carry_units():
    schema = Schema(PERIODS)
    floats = [c for c in schema.columns if c.kind == "float"]
    assert all(c.name.endswith(f"({c.unit})") for c in floats if c.unit)
    names = [c.name for c in schema.columns]
    assert "H1_PSA_0.1s (m/s2)" in names and "RotD50_PSA_1s (m/s2)" in names
    assert "GM_PSA_0.5s (m/s2)" in names and "CAVdp (m/s)" in names
    with pytest.raises(ValueError):
        Schema((0.1, 0.1))


def test_bad_file_is_reported_and_the_run_goes_on(folder, tmp_path):
    bad = folder / "site" / "0113a.smc"
    bad.write_text(smc_text("Station 0113", "360", [1.0] * 16).replace("    1.0000", "    1.0x00", 1))
    out = tmp_path / "flat.csv"
    report = run([folder], out, periods=PERIODS)
    assert (report.rows, report.failed, report.status) == (3, 1, 1)
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error["file"] == str(bad)
    assert error["reason"].startswith("line 29: ") and "1.0x00" in error["reason"]
    # Mended, the file is read again and the errors file goes away.
    bad.write_text(smc_text("Station 0113", "360", [1.0] * 16))
    report = run([folder], out, periods=PERIODS)
    assert (report.rows, report.computed, report.failed) == (4, 1, 0)
    assert not (tmp_path / "flat.errors.csv").exists()


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_outputs_get_the_permissions_of_a_plain_file(folder, tmp_path, suffix):
    # A temporary file renamed over the output once made every flatfile private (0600).
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    bad = folder / "site" / "0113a.smc"
    bad.write_text("not a record")
    out = tmp_path / f"flat{suffix}"
    old = os.umask(0o022)
    try:
        run([folder], out, periods=PERIODS)
        assert stat.S_IMODE(out.stat().st_mode) == 0o644
        assert stat.S_IMODE((tmp_path / "flat.errors.csv").stat().st_mode) == 0o644
        out.chmod(0o640)  # a mode the user chose survives the next run
        bad.unlink()
        (folder / "site" / "0111a.smc").touch()
        run([folder], out, periods=PERIODS)
        assert stat.S_IMODE(out.stat().st_mode) == 0o640
    finally:
        os.umask(old)


def test_missing_path_and_bad_output_name(tmp_path):
    report = run([tmp_path / "nowhere.smc"], tmp_path / "flat.csv")
    assert (report.rows, report.failed, report.status) == (0, 1, 1)
    assert read_csv(tmp_path / "flat.errors.csv")[0]["reason"].startswith("cannot read file")
    assert read_csv(tmp_path / "flat.csv") == []
    with pytest.raises(ValueError) as e:
        run([tmp_path], tmp_path / "flat.txt")
    assert str(e.value) == f"the output must end in .parquet or .csv, not {str(tmp_path / 'flat.txt')!r}"


@pytest.mark.parametrize("args, message", [
    (["-o", "{tmp}/flat.txt"], "tavotools flatfile: the output must end in .parquet or .csv, "
                               "not '{tmp}/flat.txt'"),
    (["-o", "{tmp}/no/flat.csv"], "tavotools flatfile: the output's folder '{tmp}/no' does not exist"),
])
def test_command_errors(tmp_path, capsys, args, message):
    from tavotools.cli import main

    status = main(["flatfile", str(tmp_path)] + [a.format(tmp=tmp_path) for a in args])
    assert (status, capsys.readouterr().err) == (2, message.format(tmp=tmp_path) + "\n")


@pytest.mark.parametrize("paths, output, message", [
    # The record named as the output was read, then replaced by the flatfile: exit 0.
    (["{rec}"], "{rec}", "the output '{rec}' is also the input '{rec}'"),
    (["{rec}"], "{tmp}/records/../records/single.csv", "is also the input '{rec}'"),
    # Below a folder the walk leaves the output out, so the record was not even read.
    (["{src}"], "{rec}", "the output '{rec}' is a file below '{src}' that is not a flatfile"),
    # The folder named through a link: its record was read, then replaced, exit 0.
    (["{link}"], "{rec}", "the output '{rec}' is a file below '{link}' that is not a flatfile"),
    # The walk left the errors file out too: a record so named was never read, and
    # removed by a run with no failure.
    (["{src}"], "{src}/flat.csv", "the output's errors file '{src}/flat.errors.csv' is a file "
                                  "below '{src}' that is not an errors file"),
    # Found a folder only once every file was read, naming a temporary file.
    (["{src}"], "{tmp}/out.csv", "the output '{tmp}/out.csv' is a folder"),
])
def test_an_output_that_would_replace_a_file_read_is_refused(folder, tmp_path, capsys, paths,
                                                              output, message):
    from tavotools.cli import main

    names = {"rec": folder / "single.csv", "src": folder, "tmp": tmp_path,
             "link": tmp_path / "link"}
    (tmp_path / "out.csv").mkdir()
    os.symlink(folder, tmp_path / "link")
    write_text(folder / "flat.errors.csv", seed=5)
    kept = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    status = main(["flatfile", *(p.format(**names) for p in paths), "-o", output.format(**names)])
    err = capsys.readouterr().err
    assert status == 2 and err.startswith("tavotools flatfile: ") and message.format(**names) in err
    assert {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()} == kept
    assert not list(tmp_path.rglob("*.state"))


def test_the_errors_file_of_the_output_is_never_an_input(tmp_path, capsys):
    from tavotools.cli import main

    record = write_text(tmp_path / "x.errors.csv", seed=4)
    kept = record.read_bytes()
    assert main(["flatfile", str(record), "-o", str(tmp_path / "x.csv")]) == 2
    assert "is also the input" in capsys.readouterr().err and record.read_bytes() == kept


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_outputs_below_a_folder_named_through_a_link_are_not_inputs(folder, tmp_path, suffix):
    # The walk left the outputs out by path only: through the link it read the
    # flatfile and the state (skipped as no record), and again on every run.
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    os.symlink(folder, tmp_path / "link")
    out = folder / f"flat{suffix}"
    first = run([tmp_path / "link"], out, periods=PERIODS)
    again = run([tmp_path / "link"], out, periods=PERIODS)
    assert (first.rows, first.computed, first.skipped) == (3, 8, 1)
    assert (again.rows, again.computed, again.reused, again.skipped) == (3, 0, 8, 1)


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_flatfile_below_its_folder_is_replaced_also_without_its_state(folder, tmp_path, suffix):
    # Deleting OUT.state starts over: the flatfile found in its place is the run's own.
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    out = folder / f"flat{suffix}"
    (folder / "bad.smc").write_text("2 CORRECTED ACCELEROGRAM\n")   # and its errors file
    first = run([folder], out, periods=PERIODS)
    Path(f"{out}.state").unlink()
    again = run([folder], out, periods=PERIODS)
    assert (first.rows, again.rows, again.computed, again.status) == (3, 3, first.computed, 1)
    out.write_bytes(b"")   # an empty file holds nothing to lose
    (folder / "flat.errors.csv").write_bytes(b"")
    assert run([folder], out, periods=PERIODS).status == 1


def test_command_summary_and_status(folder, tmp_path, capsys):
    from tavotools.cli import main

    (folder / "bad.smc").write_text("2 CORRECTED ACCELEROGRAM\n")
    out = tmp_path / "flat.csv"
    assert main(["flatfile", str(folder), "-o", str(out)]) == 1
    assert capsys.readouterr().err.splitlines() == [
        f"tavotools flatfile: wrote {out}: 3 rows (9 files read, 0 unchanged)",
        "tavotools flatfile: skipped 1 file in the folders that no reader recognises "
        "(event.json, README, ...)",
        f"tavotools flatfile: 1 file failed: see {tmp_path / 'flat.errors.csv'}"]


def test_resume_reads_only_new_or_changed_files(folder, tmp_path):
    out = tmp_path / "flat.csv"
    first = run([folder], out, periods=PERIODS)
    before = out.read_bytes()
    again = run([folder], out, periods=PERIODS)
    assert (again.computed, again.reused, out.read_bytes()) == (0, 8, before)
    # A changed component: its recording is computed again, from all three files.
    path = folder / "site" / "0112b.smc"
    os.utime(path, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns + 10**9))
    changed = run([folder], out, periods=PERIODS)
    assert (changed.computed, changed.rows, out.read_bytes()) == (3, 3, before)
    # A file gone takes its row's other files with it: they are read again.
    (folder / "single.csv").unlink()
    gone = run([folder], out, periods=PERIODS)
    assert (gone.rows, gone.computed) == (2, 0)
    # Other periods: everything again.
    other = run([folder], out, periods=(0.3,))
    assert (first.computed, other.reset, other.computed) == (8, True, 7)


def test_vertical_added_later_merges_with_stored_row(folder, tmp_path):
    out = tmp_path / "flat.csv"
    whole = tmp_path / "whole.csv"
    run([folder], whole, periods=PERIODS)
    vertical = folder / "site" / "0111b.smc"
    kept = vertical.read_bytes()
    vertical.unlink()
    assert run([folder], out, periods=PERIODS).rows == 3
    vertical.write_bytes(kept)
    report = run([folder], out, periods=PERIODS)
    assert (report.rows, report.computed) == (3, 1)
    assert read_csv(out) == read_csv(whole)


@pytest.mark.parametrize("names, size, expect", [
    # Components of one recording share the longest start: cut between recordings.
    (["A01.EW", "A01.NS", "A01.UD", "A02.EW", "A02.NS", "A02.UD", "A03.EW"], 4,
     [["A01.EW", "A01.NS", "A01.UD"], ["A02.EW", "A02.NS", "A02.UD", "A03.EW"]]),
    (["x1", "x2", "x3"], 1, [["x1"], ["x2"], ["x3"]]),
])
def test_batches_cut_between_recordings(names, size, expect):
    files = [(n, n, "dir", False) for n in names]
    assert [[p for p, _, _ in b] for b in batches(files, size)] == expect


def test_batches_never_mix_folders():
    files = [(f"{d}/f{k}", f"{d}/f{k}", d, False) for d in "ab" for k in range(3)]
    assert [len(b) for b in batches(files, 10)] == [3, 3]
    assert all(len({os.path.dirname(p) for p, _, _ in b}) == 1 for b in batches(files, 10))


def test_merge_task_builds_only_its_recording(folder):
    files = [(str(p), str(p), False) for p in sorted((folder / "site").glob("*.smc"))]
    every = process_batch(files, Options())
    assert len(every.rows) == 2
    key = every.rows[1][1]
    (only,) = process_batch(files, Options(), only=key).rows
    assert only[1] == key


@pytest.mark.parametrize("lengths, notes", [
    ((800, 760, 800), "V holds 760 samples, the horizontals 800"),
    ((800, 800, 790),
     "trimmed to 790 samples (H1 dropped 10); V holds 800 samples, the horizontals 790"),
    ((800, 800, 800), ""),
])
def test_a_row_notes_a_vertical_unlike_the_horizontals(tmp_path, lengths, notes):
    rng = np.random.default_rng(4)
    for letter, comp, n in zip("abc", ("360", "up", "270"), lengths):
        samples = np.round(rng.normal(0, 50, n), 4)
        (tmp_path / f"0300{letter}.smc").write_text(smc_text("Station 0300", comp, samples))
    run([tmp_path], tmp_path / "flat.csv", periods=PERIODS)
    (row,) = read_csv(tmp_path / "flat.csv")
    assert row["notes"] == notes and row["components"] == "3"


def test_parquet_matches_csv(folder, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    run([folder], tmp_path / "flat.csv", periods=PERIODS)
    run([folder], tmp_path / "flat.parquet", periods=PERIODS)
    table = pq.read_table(tmp_path / "flat.parquet")
    rows = read_csv(tmp_path / "flat.csv")
    schema = Schema(PERIODS)
    assert table.column_names == [c.name for c in schema.columns]
    assert table.schema.field("H1_PGA (m/s2)").metadata[b"unit"] == b"m/s2"
    data = table.to_pylist()
    for got, want in zip(data, rows):
        for c in schema.columns:
            if c.kind == "float":
                assert got[c.name] == (float(want[c.name]) if want[c.name] else None), c.name
    assert str(table.schema.field("event_time (UTC)").type) == "timestamp[us, tz=UTC]"
    assert data[1]["event_time (UTC)"].isoformat() == rows[1]["event_time (UTC)"]


# ---- processes, Dask, interruptions ---------------------------------------------------


def many(folder, count):
    for k in range(count):
        write_recording(folder, f"r{k:04d}", seed=k, n=2000)


@pytest.mark.parametrize("output, scheduler, missing, extra", [
    ("flat.parquet", None, ["pyarrow", "pyarrow.parquet"], "parquet"),
    ("flat.csv", "tcp://127.0.0.1:9", ["dask", "dask.distributed"], "dask"),
])
def test_a_missing_optional_library_stops_the_run_before_any_file_is_read(
        tmp_path, monkeypatch, output, scheduler, missing, extra):
    # Without the extra installed, the run read and computed every file, then
    # failed at writing Parquet (or at starting Dask) and left its run state behind.
    for name in missing:
        monkeypatch.setitem(sys.modules, name, None)
    src = tmp_path / "records"
    src.mkdir()
    write_recording(src, "0111", seed=1)
    with pytest.raises(ImportError, match=rf"pip install 'tavotools\[{extra}\]'"):
        run([src], tmp_path / output, periods=PERIODS, scheduler=scheduler)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["records"]


def test_jobs_and_dask_give_the_same_output(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    src = tmp_path / "records"
    src.mkdir()
    many(src, 12)
    write_text(src / "zz.csv", seed=9)
    (src / "zz_bad.smc").write_text("2 CORRECTED ACCELEROGRAM\n")
    one = run([src], tmp_path / "one.csv", periods=PERIODS)
    two = run([src], tmp_path / "two.csv", periods=PERIODS, jobs=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        dask = run([src], tmp_path / "dask.csv", periods=PERIODS,
                   scheduler=cluster.scheduler_address)
    assert one.rows == two.rows == dask.rows == 13
    assert one.failed == two.failed == dask.failed == 1
    text = (tmp_path / "one.csv").read_bytes()
    assert (tmp_path / "two.csv").read_bytes() == text
    assert (tmp_path / "dask.csv").read_bytes() == text
    assert (tmp_path / "dask.errors.csv").read_bytes() == (tmp_path / "one.errors.csv").read_bytes()


def command(*args, env=None):
    return [sys.executable, "-m", "tavotools", "flatfile", *map(str, args)]


def hooked(tmp_path, code):
    """An environment whose Python processes (the workers too) run `code` at start-up."""
    hook = tmp_path / "hook"
    hook.mkdir()
    (hook / "sitecustomize.py").write_text(textwrap.dedent(code))
    return dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(hook)] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))


def wait_for_rows(state, least, proc, timeout=120):
    """Wait until the run has stored `least` rows."""
    import sqlite3

    end = time.monotonic() + timeout
    while time.monotonic() < end:
        assert proc.poll() is None, proc.communicate()
        if state.exists():
            try:
                with sqlite3.connect(state) as db:
                    if db.execute("SELECT count(*) FROM recordings").fetchone()[0] >= least:
                        return
            except sqlite3.OperationalError:
                pass
        time.sleep(0.05)
    raise AssertionError("the run stored no rows in time")


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL])
def test_interrupted_run_keeps_its_rows_and_resumes(tmp_path, how):
    src = tmp_path / "records"
    src.mkdir()
    many(src, 40)
    out = tmp_path / "flat.csv"
    # The run stalls on the last recording, so the signal always lands
    # mid-run however fast the machine reads the others.
    env = hooked(tmp_path, """
        import os, time
        import tavotools.records as records

        _read = records.read_records

        def read_records(path, *args, **kwargs):
            if os.path.basename(str(path)).startswith("r0039"):
                time.sleep(600)
            return _read(path, *args, **kwargs)

        records.read_records = read_records
    """)
    # A run started in the background inherits Ctrl-C ignored; the child gets
    # it back, as in a terminal.
    proc = subprocess.Popen(command(src, "-o", out, "--periods", "0.1,0.2,0.5,1"), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    wait_for_rows(tmp_path / "flat.csv.state", 3, proc)
    proc.send_signal(how)
    _, err = proc.communicate(timeout=60)
    if how == signal.SIGKILL:
        assert not out.exists()
    else:
        assert proc.returncode == 130, err
        assert "interrupted" in err
        partial = read_csv(out)
        assert 3 <= len(partial) < 40
    again = subprocess.run(command(src, "-o", out, "--periods", "0.1,0.2,0.5,1"),
                           capture_output=True, text=True)
    assert again.returncode == 0, again.stderr
    whole = run([src], tmp_path / "whole.csv", periods=PERIODS)
    assert whole.rows == 40
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()
    unchanged = int(again.stderr.split(" read, ")[1].split()[0])
    assert unchanged >= 9   # the three rows stored before the stop, at least


def test_pool_broken_between_hand_outs_is_replaced(tmp_path, pool_breaks_at_third_hand_out):
    # Workers die while tasks are handed out, and the next hand-out meets the broken
    # pool before the lost tasks come back: a new pool takes it, the lost ones are
    # tried again, and no recording is missing (this once ended the run with no output).
    src = tmp_path / "records"
    src.mkdir()
    many(src, 8)
    result = run([src], tmp_path / "flat.csv", jobs=2)
    assert pool_breaks_at_third_hand_out[0] > 3 and result.rows == 8 and result.failed == 0


# A reader that kills its process on a file named *crash*, as a fault in a reader would.
CRASH_ON_CRASH_NAMES = """
        import os
        import tavotools.records as records

        _read = records.read_records

        def read_records(path, *args, **kwargs):
            if "crash" in os.path.basename(str(path)):
                os._exit(9)
            return _read(path, *args, **kwargs)

        records.read_records = read_records
"""


def test_killed_worker_costs_only_its_file(tmp_path):
    src = tmp_path / "records"
    src.mkdir()
    many(src, 6)
    (src / "r0003b.smc").rename(src / "r0003b-crash.smc")
    # Reading a file named *crash* kills the process, as a fault in a reader would.
    env = hooked(tmp_path, CRASH_ON_CRASH_NAMES)
    out = tmp_path / "flat.csv"
    proc = subprocess.Popen(command(src, "-o", out, "--jobs", "2"), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == 1, err
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error["file"] == str(src / "r0003b-crash.smc")
    assert error["reason"].startswith("the worker died or failed while reading this file")
    rows = read_csv(out)
    assert len(rows) == 6
    assert [r["components"] for r in rows] == ["3", "3", "3", "2", "3", "3"]


# A worker that dies while it sends its result back (killed by SIGTERM sent to the whole
# run, or by the out-of-memory killer, while its result fills the pipe): the start of
# the message is in the pipe, the rest never comes, and the lock of the pipe stays held.
DIE_WHILE_SENDING = """
        import os, signal, struct, sys
        import tavotools.records as records

        _read = records.read_records

        def read_records(path, *args, **kwargs):
            if "midsend" in os.path.basename(str(path)):
                frame = sys._getframe()
                while "result_queue" not in frame.f_locals:
                    frame = frame.f_back
                queue = frame.f_locals["result_queue"]
                if "stop" in os.path.basename(str(path)):
                    os.kill(frame.f_locals["initargs"][0], signal.SIGTERM)   # the run's
                queue._wlock.acquire()
                os.write(queue._writer.fileno(), struct.pack("!i", 1 << 20) + bytes(1000))
                os._exit(9)
            return _read(path, *args, **kwargs)

        records.read_records = read_records
"""


def run_dying_while_sending(tmp_path, name, argv_of):
    """Four stations in tmp_path/records, the second's b component renamed `name` (its
    worker dies while sending), run by argv_of(records folder, output) with that hook:
    (folder, output, return code, stderr). A hang fails the test after 120 s."""
    src = tmp_path / "records"
    src.mkdir()
    many(src, 4)
    (src / "r0002b.smc").rename(src / name)
    out = tmp_path / "flat.csv"
    proc = subprocess.Popen(argv_of(src, out), env=hooked(tmp_path, DIE_WHILE_SENDING),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        _, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    return src, out, proc.returncode, err


@pytest.mark.parametrize("which", ["flatfile", "measures"])
def test_a_worker_dying_while_it_sends_its_result_ends_the_run(tmp_path, which):
    # The pool waited for the rest of that result for ever, and the run with it (also
    # once stopped: SIGTERM sent to every process of the run hung it the same way).
    def argv_of(src, out):
        if which == "flatfile":
            return command(src, "-o", out, "--jobs", "2")
        return [sys.executable, "-m", "tavotools", "--format", "csv", "--jobs", "2",
                *sorted(map(str, src.iterdir()))]

    src, out, returncode, err = run_dying_while_sending(tmp_path, "r0002b-midsend.smc", argv_of)
    assert returncode == 1, err
    if which == "measures":
        assert f"tavotools: {src / 'r0002b-midsend.smc'}: BrokenProcessPool" in err
        return
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error == {"file": str(src / "r0002b-midsend.smc"), "reason":
                     "the worker died or failed while reading this file (its process ended)"}
    assert [r["components"] for r in read_csv(out)] == ["3", "3", "2", "3"]


def test_a_run_stopped_while_a_worker_dies_sending_its_result_ends_and_resumes(tmp_path):
    # SIGTERM sent to every process of a run: the run stops, and its workers die, one of
    # them in the middle of sending its result; the stop waited for that result for ever.
    src, out, returncode, err = run_dying_while_sending(
        tmp_path, "r0002b-midsend-stop.smc", lambda src, out: command(src, "-o", out, "--jobs", "2"))
    assert returncode == 130, err
    assert "tavotools flatfile: interrupted" in err
    assert len(read_csv(out)) < 4
    again = subprocess.run(command(src, "-o", out, "--jobs", "2"), capture_output=True,
                           text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    run([src], tmp_path / "whole.csv")
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()


def _running(pid):
    """Whether process `pid` still runs (a zombie, its run over, does not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
@pytest.mark.parametrize("which", ["flatfile", "measures"])
def test_workers_end_with_a_run_killed_outright(tmp_path, which):
    # A run killed by SIGKILL (or the out-of-memory killer) cannot shut its pool
    # down; its workers used to wait for tasks for ever, holding the terminal's
    # output open, so that whatever read it never saw its end.
    src = tmp_path / "records"
    src.mkdir()
    many(src, 6)
    if which == "flatfile":
        argv = command(src, "-o", tmp_path / "flat.csv", "--jobs", "2")
    else:
        argv = [sys.executable, "-m", "tavotools", *sorted(map(str, src.iterdir())), "--jobs", "2"]
    pids = tmp_path / "pids"
    pids.mkdir()
    env = hooked(tmp_path, f"""
        import os, time
        import tavotools.records as records

        _read = records.read_records

        def read_records(path, *args, **kwargs):
            open(os.path.join({str(pids)!r}, str(os.getpid())), "w").close()
            if os.path.basename(str(path)).startswith("r0005"):
                open(os.path.join({str(pids)!r}, "stalled"), "w").close()
                time.sleep(600)
            return _read(path, *args, **kwargs)

        records.read_records = read_records
    """)
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    workers = []
    try:
        deadline = time.monotonic() + 120
        while not (pids / "stalled").exists():
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        proc.kill()
        proc.wait()
        workers = [int(p.name) for p in pids.iterdir() if p.name.isdigit()]
        assert workers
        deadline = time.monotonic() + 60
        while any(map(_running, workers)) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not any(map(_running, workers))
    finally:
        proc.kill()
        for pid in workers:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)


def test_a_killed_worker_is_reported_alike_by_local_processes_and_dask(tmp_path, monkeypatch):
    # The reason quoted the executor's message: the pool's, or Dask's, naming the
    # task's key and the worker's address, so that no two errors files were alike.
    distributed = pytest.importorskip("dask.distributed")
    dask_config = pytest.importorskip("dask.config")
    src = tmp_path / "records"
    src.mkdir()
    many(src, 3)
    (src / "r0001b.smc").rename(src / "r0001b-crash.smc")
    env = hooked(tmp_path, CRASH_ON_CRASH_NAMES)
    local = subprocess.run(command(src, "-o", tmp_path / "local.csv", "--jobs", "2"), env=env,
                           capture_output=True, text=True, timeout=300)
    assert local.returncode == 1, local.stderr
    monkeypatch.setenv("PYTHONPATH", env["PYTHONPATH"])   # the cluster's workers start hooked
    # A task that kills its worker is given up at once, not tried on three more.
    with dask_config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster:
        dask = run([src], tmp_path / "dask.csv", scheduler=cluster.scheduler_address)
    assert dask.failed == 1
    assert (tmp_path / "dask.errors.csv").read_bytes() == (tmp_path / "local.errors.csv").read_bytes()
    assert (tmp_path / "dask.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()


def test_merge_that_kills_its_worker_ends_as_errors(tmp_path):
    # Each file of the recording alone is read in a task of its own (three files for two
    # jobs), and the task that reads them together kills its worker every time: its
    # files end in the errors file, where splitting it again would call for the same
    # merge for ever.
    src = tmp_path / "records"
    src.mkdir()
    write_recording(src, "r0000", seed=0)
    env = hooked(tmp_path, """
        import os
        import sys
        import tavotools.flatfile.rows as rows

        run = sys.modules["tavotools.flatfile.run"]  # the package's `run` is the function

        _batch = rows.process_batch

        def process_batch(files, options, only=None):
            if only is not None and len(files) > 1:
                os._exit(9)
            return _batch(files, options, only)

        process_batch.__module__, process_batch.__qualname__ = rows.__name__, "process_batch"
        rows.process_batch = run.process_batch = process_batch
    """)
    out = tmp_path / "flat.csv"
    proc = subprocess.Popen(command(src, "-o", out, "--jobs", "2"), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        _, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 1, err
    errors = read_csv(tmp_path / "flat.errors.csv")
    assert len(errors) >= 2
    assert all(e["reason"].startswith("the worker died or failed while reading these files together")
               for e in errors)
    assert {Path(e["file"]).name for e in errors} <= {"r0000a.smc", "r0000b.smc", "r0000c.smc"}
    # Every file once: in the errors, or in a row of the files that came after the merge.
    assert len(errors) + sum(int(r["components"]) for r in read_csv(out)) == 3


def write_mseed(path, channels, seed):
    """A MiniSEED file of (station, channel) traces of one start time: several recordings."""
    obspy = pytest.importorskip("obspy")
    rng = np.random.default_rng(seed)
    start = obspy.UTCDateTime(2020, 1, 1)
    obspy.Stream([obspy.Trace(rng.normal(0, 0.1, 500), header=dict(
        network="XX", station=station, channel=channel, delta=0.01, starttime=start))
        for station, channel in channels]).write(str(path), format="MSEED")


@pytest.mark.parametrize("then", ["gone", "changed", "unchanged"])
def test_stopped_merge_leaves_no_row_of_a_shared_file_behind(tmp_path, monkeypatch, then):
    # a.mseed holds S1's east and all of S2; b.mseed holds S1's north, read by another
    # task: S1 calls for a merge, which forgets both files until it is done.  A run
    # stopped before it kept S2's row with a file it no longer knew, so the row stayed
    # in every later flatfile even once a.mseed was gone or no longer held S2.
    run_module = sys.modules["tavotools.flatfile.run"]
    src = tmp_path / "records"
    src.mkdir()
    shared = src / "a.mseed"
    write_mseed(shared, [("S1", "HNE"), ("S2", "HNE")], seed=1)
    write_mseed(src / "b.mseed", [("S1", "HNN")], seed=2)
    out = tmp_path / "flat.csv"
    batch = run_module.process_batch

    def stopped_in_merges(files, options, only=None):
        if only is not None:
            raise KeyboardInterrupt
        return batch(files, options, only)

    with monkeypatch.context() as m:
        m.setattr(run_module, "process_batch", stopped_in_merges)
        stopped = run([src], out, units="m/s2")
    assert (stopped.interrupted, stopped.rows) == (True, 1)
    if then == "gone":
        shared.unlink()
    elif then == "changed":
        write_mseed(shared, [("S1", "HNE")], seed=3)
    again = run([src], out, units="m/s2")
    whole = run([src], tmp_path / "whole.csv", units="m/s2")
    assert (again.failed, whole.failed) == (0, 0)
    stations = ["S1", "S2"] if then == "unchanged" else ["S1"]
    assert sorted(r["station"] for r in read_csv(out)) == stations
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()


def test_a_stopped_merge_leaves_no_file_known_whose_row_is_missing(tmp_path, monkeypatch):
    # b.mseed holds S1's east and all of S2, read after a.mseed (S1's north) by a task of
    # its own: S1 calls for a merge that forgets both files until it is done, but S2's
    # row, stored after it by the same task, recorded b.mseed again.  A run stopped
    # before the merge then read a.mseed alone and stored S1 without its east.
    run_module = sys.modules["tavotools.flatfile.run"]
    src = tmp_path / "records"
    src.mkdir()
    write_mseed(src / "a.mseed", [("S1", "HNN")], seed=1)
    write_mseed(src / "b.mseed", [("S1", "HNE"), ("S2", "HNE"), ("S2", "HNN")], seed=2)
    out = tmp_path / "flat.csv"
    batch = run_module.process_batch

    def stopped_in_merges(files, options, only=None):
        if only is not None:
            raise KeyboardInterrupt
        return batch(files, options, only)

    with monkeypatch.context() as m:
        m.setattr(run_module, "MAX_BATCH", 1)
        m.setattr(run_module, "process_batch", stopped_in_merges)
        assert run([src], out, units="m/s2").interrupted
    again = run([src], out, units="m/s2")
    whole = run([src], tmp_path / "whole.csv", units="m/s2")
    assert (again.rows, whole.rows) == (2, 2)
    assert [r["components"] for r in read_csv(out)] == ["2", "2"]
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()


def test_a_merge_stopped_after_another_of_a_shared_file_leaves_it_unknown(tmp_path, monkeypatch):
    # b.mseed holds the east of S1 and of S2, whose norths are a.mseed and c.mseed, each
    # read by a task of its own: two merges share b.mseed.  The first done stored it as
    # read; the run stopped before the second, and the next one read a.mseed alone and
    # stored S1 without its east.
    run_module = sys.modules["tavotools.flatfile.run"]
    state_module = sys.modules["tavotools.flatfile.state"]
    src = tmp_path / "records"
    src.mkdir()
    write_mseed(src / "a.mseed", [("S1", "HNN")], seed=1)
    write_mseed(src / "b.mseed", [("S1", "HNE"), ("S2", "HNE")], seed=2)
    write_mseed(src / "c.mseed", [("S2", "HNN")], seed=3)
    out = tmp_path / "flat.csv"
    batch, commit, merges = run_module.process_batch, state_module.State.commit, []

    def marked(files, options, only=None):
        result = batch(files, options, only)
        result.merge = only
        return result

    def stopped_at_the_second_merge(self, result, *args):
        if result.merge is not None:
            merges.append(result.merge)
            if len(merges) == 2:
                raise KeyboardInterrupt
        return commit(self, result, *args)

    with monkeypatch.context() as m:
        m.setattr(run_module, "MAX_BATCH", 1)
        m.setattr(run_module, "process_batch", marked)
        m.setattr(state_module.State, "commit", stopped_at_the_second_merge)
        assert run([src], out, units="m/s2").interrupted
    assert len(merges) == 2
    again = run([src], out, units="m/s2")
    whole = run([src], tmp_path / "whole.csv", units="m/s2")
    assert (again.rows, whole.rows) == (2, 2)
    assert [r["components"] for r in read_csv(out)] == ["2", "2"]
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()


@pytest.mark.parametrize("batch", [1, 4])
def test_a_set_read_in_many_tasks_is_merged_once(tmp_path, monkeypatch, batch):
    # Forty records of one station, one time: a set split into a row per component,
    # read by ten tasks.  Each task merged with all the tasks before it, each merge
    # reading every file so far again: the reads grew with the square of the set.
    run_module = sys.modules["tavotools.flatfile.run"]
    src = tmp_path / "records"
    src.mkdir()
    rng = np.random.default_rng(5)
    for k in range(40):
        (src / f"s{k:03d}.smc").write_text(
            smc_text("Station X", "360", np.round(rng.normal(0, 50, 200), 4)))
    whole = run([src], tmp_path / "whole.csv")
    reads = []
    batch_of = run_module.process_batch

    def counted(files, options, only=None):
        reads.append(len(files))
        return batch_of(files, options, only)

    monkeypatch.setattr(run_module, "MAX_BATCH", batch)
    monkeypatch.setattr(run_module, "process_batch", counted)
    report = run([src], tmp_path / "flat.csv")
    assert (whole.rows, report.rows, report.computed) == (40, 40, 40)
    assert sum(reads) <= 2 * 40, reads
    assert (tmp_path / "flat.csv").read_bytes() == (tmp_path / "whole.csv").read_bytes()


@pytest.mark.parametrize("how", ["each file alone", "two jobs", "resumed"])
def test_rows_of_one_sort_key_keep_their_order_whatever_the_batches(tmp_path, monkeypatch, how):
    # a.mseed holds S1's east and S2's three components: both rows begin with the
    # file and channel a.mseed, HNE.  They went out in the order they were stored,
    # S1 after S2 when S1 needed a merge (its north in b.mseed, read by another task)
    # and before it when one task read both files, so --jobs changed the flatfile.
    run_module = sys.modules["tavotools.flatfile.run"]
    src = tmp_path / "records"
    src.mkdir()
    write_mseed(src / "a.mseed", [("S1", "HNE"), ("S2", "HNE"), ("S2", "HNN"), ("S2", "HNZ")],
                seed=1)
    write_mseed(src / "b.mseed", [("S1", "HNN"), ("S1", "HNZ")], seed=2)
    for k in range(2):
        write_recording(src, f"c{k}", seed=10 + k)
    whole = run([src], tmp_path / "whole.csv", units="m/s2")
    out = tmp_path / "flat.csv"
    if how == "each file alone":
        monkeypatch.setattr(run_module, "MAX_BATCH", 1)
        run([src], out, units="m/s2")
    elif how == "two jobs":
        run([src], out, units="m/s2", jobs=2)
    else:
        later = (src / "b.mseed").read_bytes()
        (src / "b.mseed").unlink()
        run([src], out, units="m/s2")
        (src / "b.mseed").write_bytes(later)
        run([src], out, units="m/s2")
    assert whole.rows == 4 and whole.failed == 0
    assert [r["station"] for r in read_csv(out)][:2] == ["S1", "S2"]
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()


@pytest.mark.parametrize("first, then", [("relative", "absolute"), ("absolute", "relative")])
def test_a_resumed_run_shows_the_files_as_it_names_them(folder, tmp_path, monkeypatch, first,
                                                        then):
    # The file columns held the names of the run that computed each row, so a run
    # resumed with the folder named otherwise mixed both spellings in one flatfile.
    monkeypatch.chdir(tmp_path)
    named = {"relative": Path("records"), "absolute": folder}
    out = tmp_path / "flat.csv"
    run([named[first]], out, periods=PERIODS)
    os.utime(folder / "site" / "0112a.smc", ns=(0, 0))   # one recording read again
    again = run([named[then]], out, periods=PERIODS)
    whole = run([named[then]], tmp_path / "whole.csv", periods=PERIODS)
    assert again.reused > 0 and again.computed == 3
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()
    assert whole.rows == 3 and all(
        r["H1_file"].startswith(str(named[then])) for r in read_csv(out))


@pytest.mark.parametrize("where", ["walk", "plan"])
def test_a_run_stopped_while_finding_the_files_leaves_the_outputs(folder, tmp_path, monkeypatch,
                                                                   capsys, where):
    # Stopped before the files were all found and checked, a run wrote the stored rows
    # (some of files since changed or gone, unchecked) and an errors file of the files
    # found so far: the errors of the last run were lost, the file names changed.
    run_module = sys.modules["tavotools.flatfile.run"]
    monkeypatch.chdir(tmp_path)
    (folder / "zz_bad.smc").write_text("2 CORRECTED ACCELEROGRAM\n")
    first = run([Path("records")], "flat.csv", periods=PERIODS)
    assert first.failed == 1
    before = {p: (tmp_path / p).read_bytes() for p in ("flat.csv", "flat.errors.csv")}
    (folder / "single.csv").unlink()
    def stop(*args, **kwargs):
        raise KeyboardInterrupt

    if where == "walk":
        monkeypatch.setattr(run_module, "walk", stop)
    else:
        monkeypatch.setattr(run_module.State, "plan", stop)
    from tavotools.cli import main

    status = main(["flatfile", "records", "-o", "flat.csv", "--periods", "0.1,0.2,0.5,1"])
    assert status == 130
    assert {p: (tmp_path / p).read_bytes() for p in before} == before
    assert "left as it was" in capsys.readouterr().err
    monkeypatch.undo()
    monkeypatch.chdir(tmp_path)
    again = run([Path("records")], "flat.csv", periods=PERIODS)
    assert (again.rows, again.failed) == (2, 1)


def test_interrupted_run_reports_the_files_it_read(tmp_path, monkeypatch):
    # The count of files read was the return value of the task loop, so a stop
    # reported "0 files read" beside the rows those files had given.
    run_module = sys.modules["tavotools.flatfile.run"]
    src = tmp_path / "records"
    src.mkdir()
    many(src, 12)
    batch = run_module.process_batch
    finished = []

    def stopped_at_third(files, options, only=None):
        if len(finished) == 2:
            raise KeyboardInterrupt
        result = batch(files, options, only)
        finished.append(len(files))
        return result

    monkeypatch.setattr(run_module, "process_batch", stopped_at_third)
    stopped = run([src], tmp_path / "flat.csv")
    assert stopped.interrupted
    assert 0 < stopped.rows < 12
    assert stopped.computed == sum(finished)


def test_progress_bar_only_on_request(folder, tmp_path, capsys):
    pytest.importorskip("tqdm")
    run([folder], tmp_path / "a.csv", progress=True)
    err = capsys.readouterr().err
    assert "8/8" in err and "file/s" in err
    run([folder], tmp_path / "b.csv")   # stderr is not a terminal under pytest
    assert capsys.readouterr().err == ""


def test_real_records_one_row_per_recording(data, tmp_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "flat.parquet"
    report = run([data / "usgs_smc_lomaprieta", data / "cdmg_coalinga"], out, periods=PERIODS)
    assert (report.rows, report.failed) == (2, 0)
    import pyarrow.parquet as pq

    v2, smc = pq.read_table(out).to_pylist()
    assert (smc["recording"], smc["components"]) == ("0111", 3)
    assert [smc[f"{c}_component"] for c in ("H1", "H2", "V")] == ["360", "270", "up"]
    assert [v2[f"{c}_channel"] for c in ("H1", "H2", "V")] == ["1", "3", "2"]
    h1, v, h2 = read_records(data / "cdmg_coalinga" / "ce36456p_CE36456.V2")
    assert v2["H2_PGA (m/s2)"] == summarize(h2).PGA and v2["V_CAV (m/s)"] == summarize(v).CAV
    assert v2["CAVstd_gm (m/s)"] == summarize_components(h1, h2, v).CAVstd_gm
    assert v2["event_time (UTC)"].isoformat() == "1983-05-02T23:42:38.500000+00:00"
    # Components of different lengths: the rotation is of the first 6001 samples,
    # each component's spectrum of all of its own.
    a, b, c = (read_records(data / "usgs_smc_lomaprieta" / f"0111{x}.smc")[0] for x in "abc")
    assert smc["notes"] == ("trimmed to 6001 samples (H2 dropped 3); "
                            "V holds 6002 samples, the horizontals 6001")
    assert smc["RotD50_PSA_0.2s (m/s2)"] == rotd(a, c, periods=PERIODS, trim=True).PSA[1][1]
    assert smc["H2_PSA_0.2s (m/s2)"] == response_spectrum(c.accel, c.dt, periods=PERIODS).PSA[1]


def test_processing_steps_apply_and_are_part_of_the_settings(folder, tmp_path):
    from tavotools.processing import demean

    out = tmp_path / "flat.csv"
    run([folder], out)
    report = run([folder], out, process="demean")
    assert (report.reset, report.rows) == (True, 3)
    row = read_csv(out)[1]
    a = demean(read_records(folder / "site" / "0111a.smc")[0])
    assert float(row["H1_PGV (m/s)"]) == summarize(a).PGV
    assert row["processing"] == "; ".join(a.processing)
    with pytest.raises(ValueError) as e:
        run([folder], out, process="smooth")
    assert str(e.value).startswith("unknown processing step 'smooth'")


def test_an_unrecognised_file_named_on_the_command_line_is_an_error(folder, tmp_path):
    report = run([folder / "site" / "event.json", folder / "single.csv"], tmp_path / "flat.csv")
    assert (report.rows, report.failed, report.skipped) == (1, 1, 0)
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error["reason"].startswith("not a recognised record format")



@pytest.mark.parametrize("first, then", [("folder", "named"), ("named", "folder")])
def test_an_unrecognised_file_counts_as_this_run_finds_it(folder, tmp_path, first, then):
    # Stored as skipped (found in a folder) or failed (named), an unchanged event.json
    # kept that verdict in the next run, which found it the other way: a resumed run
    # and a new one told different failures and exit statuses.
    given = {"folder": [folder], "named": [folder / "site" / "event.json", folder / "single.csv"]}
    out = tmp_path / "flat.csv"
    run(given[first], out)
    again = run(given[then], out)
    whole = run(given[then], tmp_path / "whole.csv")
    assert again.reused == 2    # event.json and single.csv: read by the first run
    assert ((again.failed, again.skipped, again.status)
            == (whole.failed, whole.skipped, whole.status)
            == {"folder": (0, 1, 0), "named": (1, 0, 1)}[then])
    errors, expected = tmp_path / "flat.errors.csv", tmp_path / "whole.errors.csv"
    if then == "named":
        assert errors.read_bytes() == expected.read_bytes()
    else:
        assert not errors.exists() and not expected.exists()



def test_a_file_that_could_not_be_opened_is_tried_again(folder, tmp_path, monkeypatch):
    # A file the run could not open (no permission, an I/O error) was stored as failed
    # with its size and time: once readable again, but unchanged, every later run
    # still told the old failure and never read it.
    import tavotools.records.source as source

    blocked = str(folder / "site" / "0111a.smc")

    def refusing(path, *args, **kwargs):
        if os.fspath(path) == blocked:
            raise PermissionError(13, "Permission denied", blocked)
        return open(path, *args, **kwargs)

    out = tmp_path / "flat.csv"
    with monkeypatch.context() as m:
        m.setattr(source, "open", refusing, raising=False)
        first = run([folder], out)
    assert (first.failed, first.status) == (1, 1)
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error == {"file": blocked, "reason": "cannot read file (Permission denied)"}
    again = run([folder], out)
    assert (again.failed, again.status) == (0, 0)
    assert not (tmp_path / "flat.errors.csv").exists()
    run([folder], tmp_path / "whole.csv")
    assert out.read_bytes() == (tmp_path / "whole.csv").read_bytes()



def test_files_that_could_not_be_opened_are_not_held_in_a_list(tmp_path, monkeypatch):
    # Told as failures but kept out of the state, such files were held in a list for
    # the errors file: a tree the run may not read held a pair per file.
    import gc
    import tracemalloc

    import tavotools.records.source as source

    def refusing(path, *args, **kwargs):
        raise PermissionError(13, "Permission denied", os.fspath(path))

    monkeypatch.setattr(source, "open", refusing, raising=False)
    module = sys.modules["tavotools.flatfile.run"]
    compute, held = module._compute, []

    def measured(*args):
        compute(*args)
        gc.collect()    # the task loop's closures, and the page of files they held
        held.append(tracemalloc.get_traced_memory()[0])    # what the reading left behind

    monkeypatch.setattr(module, "_compute", measured)
    for n in (100, 1000):
        src = tmp_path / f"closed{n}"
        src.mkdir()
        for k in range(n):
            (src / f"closed{k:05d}.smc").write_text("2 CORRECTED ACCELEROGRAM\n")
        tracemalloc.start()
        try:
            report = run([src], tmp_path / f"flat{n}.csv")
        finally:
            tracemalloc.stop()
        assert report.failed == n and len(read_csv(tmp_path / f"flat{n}.errors.csv")) == n
    # A pair held takes some 250 bytes: 900 more of them, 225 kB.
    assert held[1] - held[0] < 50_000, held


# ---- names, sensors of one station, folders that cannot be listed -------------------------


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_file_names_that_are_not_utf8(folder, tmp_path, suffix):
    # One such name below the folders once stopped the whole run (exit 2, no flatfile).
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    site = folder / "site"
    for x in "abc":
        (site / f"0112{x}.smc").rename(site / os.fsdecode(b"\xe9t\xe9 0112" + x.encode() + b".smc"))
    (site / os.fsdecode(b"bad\xff.smc")).write_text("2 CORRECTED ACCELEROGRAM\n")
    out = tmp_path / f"flat{suffix}"
    report = run([folder], out, periods=PERIODS)
    assert (report.rows, report.failed) == (3, 1)
    if suffix == ".csv":
        rows = read_csv(out)
    else:
        import pyarrow.parquet as pq

        rows = pq.read_table(out).to_pylist()
    escaped = [r for r in rows if r["recording"] == "\\xe9t\\xe9 0112"]
    assert len(escaped) == 1 and escaped[0]["H1_file"] == str(site) + "/\\xe9t\\xe9 0112a.smc"
    assert escaped[0]["components"] in (3, "3")
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error["file"] == str(site) + "/bad\\xff.smc"
    before = out.read_bytes()
    again = run([folder], out, periods=PERIODS)
    assert (again.computed, again.reused, out.read_bytes()) == (0, 9, before)


def sensors(folder, stems):
    """Recordings of one station at one minute: the same recording key for all of them."""
    for k, stem in enumerate(stems):
        rng = np.random.default_rng(k)
        for letter, comp in zip("abc", ("360", "up", "270")):
            samples = np.round(rng.normal(0, 50, 400), 4)
            (folder / f"{stem}{letter}.smc").write_text(smc_text("Station S", comp, samples))


@pytest.mark.parametrize("how", ["one run", "resumed", "two jobs"])
def test_several_sensors_of_one_station_give_a_row_per_component(tmp_path, how):
    # More than two horizontals in one recording: a row per component, whichever
    # way the files were cut into tasks (a task holding one sensor's three files
    # once stored a three-component row beside the others' one-component rows).
    src = tmp_path / "records"
    src.mkdir()
    out = tmp_path / "flat.csv"
    stems = ["s1", "s2", "s3"]
    if how == "resumed":
        sensors(src, stems[:1])
        assert run([src], out).rows == 1
    sensors(src, stems)
    report = run([src], out, jobs=2 if how == "two jobs" else 1)
    assert (report.rows, report.failed) == (9, 0)
    rows = read_csv(out)
    assert [r["components"] for r in rows] == ["1"] * 9
    assert [r["recording"] for r in rows] == [f"{s}{x}.smc" for s in stems for x in "abc"]
    files = process_batch([(str(p), str(p), False) for p in sorted(src.iterdir())], Options())
    assert len(files.rows) == 9


def test_a_folder_that_cannot_be_listed_is_an_error(folder, tmp_path, unlistable):
    # os.walk passes over such a folder in silence: its records were missing from
    # a flatfile that reported success.
    unlistable(folder / "site")
    out = tmp_path / "flat.csv"
    report = run([folder], out)
    assert (report.rows, report.failed, report.status) == (1, 1, 1)
    (error,) = read_csv(tmp_path / "flat.errors.csv")
    assert error == {"file": str(folder / "site"), "reason": "cannot read folder (Permission denied)"}


@pytest.mark.parametrize("link, target, rows", [
    ("linked", "elsewhere", 4),     # a data folder linked in: its recording is read
    ("site/back", ".", 3),          # a link up the tree: the walk ends, nothing twice
    ("alias", "site", 3),           # a second way to one folder: its files once
])
def test_linked_folders_are_read_once(folder, tmp_path, link, target, rows):
    # os.walk passes over links to folders in silence: their records were missing.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    write_recording(elsewhere, "0200", seed=5)
    os.symlink(elsewhere if target == "elsewhere" else folder / target, folder / link)
    report = run([folder], tmp_path / "flat.csv")
    assert (report.rows, report.failed) == (rows, 0)
    assert len({r["recording"] for r in read_csv(tmp_path / "flat.csv")}) == rows


@pytest.mark.parametrize("extra", [["site"], ["site/0111a.smc", "site/0111a.smc"], ["."]])
def test_a_file_named_twice_is_read_once_and_counted_once(folder, tmp_path, extra):
    # A file both below a folder and named again was counted as unchanged on a first run.
    out = tmp_path / "flat.csv"
    report = run([folder] + [folder / e for e in extra], out)
    assert (report.rows, report.computed, report.reused) == (3, 8, 0)
    again = run([folder] + [folder / e for e in extra], out)
    assert (again.rows, again.computed, again.reused) == (3, 0, 8)


@pytest.mark.parametrize("how", ["link", "hard link", "named through a linked folder"])
def test_a_file_reached_by_two_paths_is_read_once(folder, tmp_path, how):
    # Read by both paths, its record was a fourth component of its recording, whose
    # one row became four rows of one component (or its only horizontal paired with itself).
    site, extra = folder / "site", []
    if how == "link":
        os.symlink(site / "0111a.smc", site / "0111d.smc")
    elif how == "hard link":
        os.link(site / "0111a.smc", site / "0111d.smc")
    else:
        os.symlink(folder, tmp_path / "alias")
        extra = [tmp_path / "alias" / "site" / "0111a.smc"]
    out = tmp_path / "flat.csv"
    report = run([folder, *extra], out)
    assert (report.rows, report.computed, report.reused) == (3, 8, 0)
    (row,) = [r for r in read_csv(out) if r["recording"] == "0111"]
    assert (row["components"], row["H1_file"]) == ("3", str(site / "0111a.smc"))
    again = run([folder, *extra], out)
    assert (again.rows, again.computed, again.reused) == (3, 0, 8)


# ---- many files ---------------------------------------------------------------------


def text_tree(root, n, folders=3):
    """`n` short text records over `folders` folders: one row each, cheap to compute."""
    for k in range(n):
        folder = Path(root) / f"d{k % folders}"
        folder.mkdir(parents=True, exist_ok=True)
        write_text(folder / f"r{k:05d}.csv", seed=k, n=40)
    return Path(root)


def touch_all(root, seconds=1):
    for path in Path(root).rglob("*.csv"):
        st = path.stat()
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + seconds * 10**9))


@pytest.fixture
def plan_statements(monkeypatch):
    """The number of SQL statements of each plan, under a cap of 100 bound variables."""
    import sqlite3

    from tavotools.flatfile.state import State

    log, counts = [], []
    init, plan = State.__init__, State.plan

    def traced_init(self, *args, **kwargs):
        init(self, *args, **kwargs)
        self.db.setlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER, 100)
        self.db.set_trace_callback(log.append)

    def traced_plan(self):
        start = len(log)
        try:
            return plan(self)
        finally:
            counts.append(len(log) - start)

    monkeypatch.setattr(State, "__init__", traced_init)
    monkeypatch.setattr(State, "plan", traced_plan)
    return counts


@pytest.mark.parametrize("change", ["touched", "moved"])
def test_a_tree_changed_throughout_is_planned_in_a_few_statements(tmp_path, plan_statements,
                                                                   change):
    # Every file stale (a touched or moved tree) once cost a statement per file, each
    # scanning an unkeyed table of the stale files (quadratic), and one bound variable
    # per stored row: past SQLite's limit the run failed, and every run after it.
    planned = []
    for n in (120, 360):
        src = text_tree(tmp_path / f"records{n}", n)
        out = tmp_path / f"flat{n}.csv"
        run([src], out)
        if change == "touched":
            touch_all(src)
        else:
            src = src.rename(tmp_path / f"moved{n}")
        report = run([src], out)
        planned.append(plan_statements[-1])
        assert (report.rows, report.computed, report.reused) == (n, n, 0)
        run([src], tmp_path / f"whole{n}.csv")
        assert out.read_bytes() == (tmp_path / f"whole{n}.csv").read_bytes()
    assert planned[0] == planned[1]


def test_the_errors_file_goes_by_name_and_reason(tmp_path):
    # Sorted as Python sorts the (name, reason) pairs, also where that differs from
    # the order of folders and names ("a-b/" before "a/") and from the order of the
    # bytes (an undecodable byte, a surrogate, before U+E000); a file that could not
    # be found, never stored, goes in its place.
    src = tmp_path / "records"
    names = ["a/z.smc", "a-b/c.smc", os.fsdecode(b"a/\xf0.smc"), "a/\ue000.smc"]
    for name in names:
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_text("2 CORRECTED ACCELEROGRAM\n")
    report = run([src, src / "a" / "m.smc"], tmp_path / "flat.csv")
    assert (report.rows, report.failed) == (0, 5)
    shown = [r["file"] for r in read_csv(tmp_path / "flat.errors.csv")]
    assert shown == [f"{src}/{name}" for name in
                     ["a-b/c.smc", "a/m.smc", "a/z.smc", "a/\\xf0.smc", "a/\ue000.smc"]]


def test_the_errors_file_is_written_without_a_list_of_the_errors(tmp_path, monkeypatch):
    # Every failure was held in a list (twice, sorted) to write the errors file: a tree
    # of a million files that fail held a million pairs.
    import tracemalloc

    module = sys.modules["tavotools.flatfile.run"]
    compute, base, peaks = module._compute, [], []

    def measured(*args):
        compute(*args)
        tracemalloc.reset_peak()    # what follows: writing the outputs
        base.append(tracemalloc.get_traced_memory()[0])

    monkeypatch.setattr(module, "_compute", measured)
    for n in (100, 1000):
        src = tmp_path / f"bad{n}"
        src.mkdir()
        for k in range(n):
            (src / f"bad{k:05d}.smc").write_text("2 CORRECTED ACCELEROGRAM\n")
        tracemalloc.start()
        try:
            report = run([src], tmp_path / f"flat{n}.csv")
            peaks.append(tracemalloc.get_traced_memory()[1] - base[-1])
        finally:
            tracemalloc.stop()
        assert report.failed == n and len(read_csv(tmp_path / f"flat{n}.errors.csv")) == n
    # A pair held takes some 200 bytes: 900 more of them, 180 kB.
    assert peaks[1] - peaks[0] < 50_000, peaks


def test_the_walk_holds_one_folder_at_a_time(tmp_path):
    # The scan listed every file of the tree before the first was recorded: memory
    # grew with the files of the tree, not with those of its largest folder.
    from tavotools.flatfile.scan import walk

    src = text_tree(tmp_path / "records", 6)
    found = walk([src])
    kind, first = next(found)
    assert (kind, os.path.basename(first[0])) == ("file", "r00000.csv")
    write_text(src / "d2" / "r99999.csv", seed=0, n=40)   # a folder not reached yet
    rest = [os.path.basename(item[0]) for _, item in found]
    assert rest == ["r00003.csv", "r00001.csv", "r00004.csv", "r00002.csv", "r00005.csv",
                    "r99999.csv"]


@pytest.mark.parametrize("channels, groups", [
    (["HNE", "HNN", "HNZ", "HHE", "HHN", "HHZ"], [["HNE", "HNN", "HNZ"], ["HHE", "HHN", "HHZ"]]),
    (["hne", "HNN", "HNZ"], [["hne", "HNN", "HNZ"]]),
    # Names that are directions, not SEED codes, stay one recording.
    (["NS1", "EW1", "UD1"], [["NS1", "EW1", "UD1"]]),
    (["N-S", "E-W", "U-D"], [["N-S", "E-W", "U-D"]]),
    ([1, 2, 3], [[1, 2, 3]]),
    (["360", "90", "UP"], [["360", "90", "UP"]]),
])
def test_records_of_one_station_group_by_sensor(channels, groups):
    from tavotools.flatfile.rows import group_records
    from tavotools.records import Record

    components = {1: "90", 2: "up", 3: "360"}
    items = [("f", Record(np.ones(4), 0.01, station="ABC", channel=c,
                          component=components.get(c, c))) for c in channels]
    assert [[r.channel for _, r in members] for _, members in group_records(items)] == groups


@pytest.mark.parametrize("name, code, words", [
    ("formats/cosmos/Cosmos12TimeSeriesTest.v1", "J2236", "Yucaipa - Bryant & Oak Glen"),
    ("formats/unam/CUP50401.012", "CUP5", "IDEI PATIO 5"),
    ("formats/geonet/20180212_211557_WPWS_20.V2A", "WPWS", None),
])
def test_station_code_and_name_both_reach_the_row(data, tmp_path, name, code, words):
    """The code identifies the station in the agencies' metadata; the name is kept beside it."""
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / Path(name).name).symlink_to(data / name)
    out = tmp_path / "flat.csv"
    assert run([folder], out).status == 0
    (row,) = read_csv(out)
    expected_name = words if words is not None else read_records(data / name)[0].station_name
    assert (row["station"], row["station_name"] or None) == (code, expected_name)
