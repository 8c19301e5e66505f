"""Command line: where the output goes and what stops it. A standard output that cannot
take the report, Ctrl-C, plots that fail half-way or would replace a record, periods a
record's time step cannot use, and a file named twice."""
import errno
import os
import signal
import subprocess
import sys
import textwrap
import zlib

import pytest

from tavotools.cli import main

# The command lines, each as it names itself on stderr.
COMMANDS = [([], "tavotools"), (["spectrum", "--periods", "0.5,1"], "tavotools spectrum"),
            (["obe"], "tavotools obe")]


class _Stream:
    """A standard output whose writes (or flushes) fail with `error`."""

    def __init__(self, error, on="write"):
        self.error, self.on = error, on

    def write(self, text):
        if self.on == "write":
            raise self.error
        return len(text)

    def flush(self):
        if self.on == "flush":
            raise self.error

    def isatty(self):
        return False


@pytest.mark.parametrize("command, prog", COMMANDS)
@pytest.mark.parametrize("stream, status, line", [
    (_Stream(BrokenPipeError(errno.EPIPE, "Broken pipe")), 141, None),
    (_Stream(BrokenPipeError(errno.EPIPE, "Broken pipe"), on="flush"), 141, None),
    (_Stream(OSError(errno.ENOSPC, "No space left on device")), 1,
     "cannot write the output: No space left on device"),
    (_Stream(OSError(errno.ENOSPC, "No space left on device"), on="flush"), 1,
     "cannot write the output: No space left on device"),
    (_Stream(ValueError("I/O operation on closed file.")), 1,
     "cannot write the output: I/O operation on closed file."),
    (None, 1, "cannot write the output: standard output is closed"),
], ids=["pipe", "pipe-flush", "full", "full-flush", "closed-stream", "no-stdout"])
def test_an_output_that_cannot_take_the_report(capsys, monkeypatch, command, prog, stream,
                                               status, line):
    # Each ended in a traceback: a reader that left (`| head -1`) is no error to report,
    # a full disk or a closed stdout is one line.
    monkeypatch.setattr(sys, "stdout", stream)
    assert main(command) == status
    err = capsys.readouterr().err
    assert err == ("" if line is None else f"{prog}: {line}\n")


def _python(script, *args, cwd, **kwargs):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, env=env, **kwargs)


@pytest.mark.parametrize("command, header", [
    (["measures", "--format", "csv"], "record,station,"),
    (["spectrum", "--periods", "1", "--format", "csv"], "record,component,"),
    (["obe"], None),
])
@pytest.mark.parametrize("stderr", [None, _Stream(BrokenPipeError(errno.EPIPE, "Broken pipe")),
                                    _Stream(ValueError("I/O operation on closed file"))],
                         ids=["closed", "reader-gone", "closed-under-us"])
def test_a_stderr_that_cannot_take_messages_costs_only_the_messages(capsys, monkeypatch, tmp_path,
                                                                    command, header, stderr):
    # With stderr closed (`2>&-`) the messages were printed into the report (print's
    # file=None is stdout) and several files ended in AttributeError; a stderr whose
    # reader had gone ended the run at the first message, its report never written.
    (tmp_path / "bad.txt").write_text("0.1\n0.3x\n")
    for name in ("good.txt", "v.txt"):
        (tmp_path / name).write_text("0.1\n-0.2\n0.3\n")
    files = ["bad.txt", "good.txt"] + (["v.txt"] if command == ["obe"] else [])
    monkeypatch.setattr(sys, "stderr", stderr)
    status = main([*command, "--dt", "0.01", "--units", "g", *(tmp_path / f for f in files)])
    out, _ = capsys.readouterr()
    assert status == 1
    if header is None:  # a component that cannot be read leaves no report
        assert out == ""
    else:
        lines = out.splitlines()
        assert lines[0].startswith(header) and len(lines) == 2 and lines[1].startswith("good.txt,")
    assert sys.stderr is stderr


@pytest.mark.parametrize("command", [["measures"], ["spectrum"], ["obe"]])
def test_a_reader_that_leaves_ends_the_command_quietly(tmp_path, command):
    # A real pipe whose reading end is closed: no traceback, and no second one at exit
    # (status 120) from the text still buffered.
    read, write = os.pipe()
    os.close(read)
    try:
        out = subprocess.run([sys.executable, "-m", "tavotools", *command], stdout=write,
                             stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    finally:
        os.close(write)
    assert (out.returncode, out.stderr) == (141, "")


@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "python-u"])
def test_a_reader_that_leaves_during_a_long_report(tmp_path, unbuffered):
    # `| head -1` on a report longer than the pipe holds: the reader leaves while the
    # report is being written. The write took part of it and the rest was dropped
    # without an error, so the command ended with status 0.
    periods = ",".join("%.6g" % (0.01 * 1.0015 ** k) for k in range(5000))
    process = subprocess.Popen(
        [sys.executable, *(["-u"] if unbuffered else []), "-m", "tavotools", "spectrum",
         "--format", "json", "--periods", periods],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    first = process.stdout.read(2)
    process.stdout.close()
    err = process.stderr.read()
    process.stderr.close()
    assert (first, process.wait(), err) == (b"{\n", 141, b"")


def test_a_full_disk_under_stdout_is_one_line(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open("/dev/full", "w") as full:
        out = subprocess.run([sys.executable, "-m", "tavotools", "--format", "json"],
                             stdout=full, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert (out.returncode, out.stderr) == (
        1, "tavotools: cannot write the output: No space left on device\n")


@pytest.mark.parametrize("command, prog, target", [
    ([], "tavotools", "tavotools.summary.summarize"),
    (["spectrum"], "tavotools spectrum", "tavotools.spectra.response_spectrum"),
])
def test_ctrl_c_is_one_line_and_status_130(capsys, monkeypatch, command, prog, target):
    module, name = target.rsplit(".", 1)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(sys.modules[module], name, interrupted)
    try:
        status = main(command)
    except KeyboardInterrupt:   # would stop the test session itself
        pytest.fail("Ctrl-C escaped the command as a traceback")
    assert status == 130
    out, err = capsys.readouterr()
    assert (out, err) == ("", f"{prog}: interrupted\n")


def _ctrl_c_default():
    # A test run started in the background of a shell without job control inherits
    # SIGINT ignored, and Python then keeps it so: the command would never see Ctrl-C.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_ctrl_c_stops_the_workers_without_a_traceback(tmp_path):
    # Ctrl-C reaches the whole process group: each worker printed a traceback of its
    # own beside the parent's. The process group here is the command's alone.
    for k in range(12):
        (tmp_path / f"r{k:02d}.txt").write_text("0.1\n-0.2\n0.3\n")
    script = """
        import os, signal, sys, time
        from tavotools.cli import main, measures

        real = measures._process

        def process(task):
            if task[0].endswith("r03.txt"):
                os.killpg(0, signal.SIGINT)
                time.sleep(0.5)
            return real(task)

        measures._process = process
        sys.exit(main(sys.argv[1:]))
    """
    out = _python(script, "--jobs", "2", "--dt", "0.01", "--units", "g", tmp_path,
                  cwd=tmp_path, start_new_session=True, timeout=120, preexec_fn=_ctrl_c_default)
    assert (out.returncode, out.stdout, out.stderr) == (130, "", "tavotools: interrupted\n")


def test_ctrl_c_while_a_worker_is_starting_reaches_no_worker(tmp_path):
    # A worker forked just before Ctrl-C took it before its initializer had it ignored,
    # and printed a traceback of its own. Here the second worker is slow to start and the
    # first one's task sends Ctrl-C to the group meanwhile.
    for k in range(4):
        (tmp_path / f"r{k:02d}.txt").write_text("0.1\n-0.2\n0.3\n")
    script = """
        import os, signal, sys, time
        from tavotools import workers
        from tavotools.cli import main, measures

        real_start, real_process = workers.start_worker, measures._process

        def start_worker(run_pid):
            try:
                os.mkdir("first")   # the first worker starts at once, the other late
            except FileExistsError:
                time.sleep(1.0)
            real_start(run_pid)

        def process(task):
            if not os.path.exists("sent"):
                os.mkdir("sent")
                os.killpg(0, signal.SIGINT)
                time.sleep(0.5)
            return real_process(task)

        workers.start_worker, measures._process = start_worker, process
        sys.exit(main(sys.argv[1:]))
    """
    out = _python(script, "--jobs", "2", "--dt", "0.01", "--units", "g", *sorted(tmp_path.glob("r*.txt")),
                  cwd=tmp_path, start_new_session=True, timeout=120, preexec_fn=_ctrl_c_default)
    assert (out.returncode, out.stdout, out.stderr) == (130, "", "tavotools: interrupted\n")


# ---- plots ------------------------------------------------------------------------

#: The plotting function each command calls, as patched here.
PLOTTERS = {"tavotools": ("tavotools.plot", "plot_record", 1),
            "tavotools spectrum": ("tavotools.plot", "plot_response_spectra", 3),
            "tavotools obe": ("tavotools.obe", "plot_spectra", 1)}


def _failing_plot(monkeypatch, prog, error):
    """Make the command's plot write a part of its file, then fail with `error`."""
    module, name, where = PLOTTERS[prog]

    def plot(*args, **kwargs):
        with open(args[where], "wb") as f:
            f.write(b"\x89PNG half a plot")
        raise error

    monkeypatch.setattr(sys.modules[module], name, plot)


def _chained(outer, inner):
    try:
        raise inner
    except OSError:
        try:
            raise outer
        except type(outer) as e:
            return e


@pytest.mark.parametrize("command, prog", COMMANDS)
@pytest.mark.parametrize("error, reason", [
    (OSError(errno.ENOSPC, "No space left on device"), "No space left on device"),
    # What matplotlib's PDF backend raises when the disk fills under it.
    (_chained(zlib.error("Error -2 while flushing"), OSError(errno.ENOSPC, "No space left on device")),
     "No space left on device"),
    (RuntimeError("a backend's fault"), "RuntimeError: a backend's fault"),
])
def test_a_plot_that_fails_half_way_leaves_the_old_file(capsys, monkeypatch, tmp_path, command,
                                                        prog, error, reason):
    # The half-written file was left in place of the plot (a zlib.error even escaped
    # as a traceback). Now the plot is written beside the target and renamed when whole.
    target = tmp_path / "plot.pdf"
    target.write_bytes(b"the plot of an earlier run")
    _failing_plot(monkeypatch, prog, error)
    status, out = main([*command, "--plot", str(target)]), capsys.readouterr()
    assert status == 1 and out.out
    assert out.err == f"{prog}: cannot write {target}: {reason}\n"
    assert target.read_bytes() == b"the plot of an earlier run"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plot.pdf"]


@pytest.mark.parametrize("command, prog", COMMANDS)
def test_a_plot_named_without_a_suffix_is_reported_by_the_file_written(capsys, tmp_path,
                                                                       command, prog):
    # matplotlib writes "out.png" for "out": the command said "wrote out".
    pytest.importorskip("matplotlib")
    status = main([*command, "--plot", str(tmp_path / "out")])
    err = capsys.readouterr().err
    assert (status, err) == (0, f"{prog}: wrote {tmp_path / 'out.png'}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.png"]


@pytest.mark.parametrize("command, prog, files", [
    ([], "tavotools", ["rec.svg"]),
    (["spectrum", "--periods", "1"], "tavotools spectrum", ["rec.svg"]),
    (["obe"], "tavotools obe", ["rec.svg", "h2.txt", "v.txt"]),
])
def test_a_plot_never_replaces_a_file_read(capsys, monkeypatch, tmp_path, command, prog, files):
    # A record whose name ends like a plot's was overwritten by its own plot.
    monkeypatch.chdir(tmp_path)
    text = "0.1\n-0.2\n0.3\n" * 40
    for name in files:
        (tmp_path / name).write_text(text)
    status = main([*command, "--dt", "0.01", "--units", "g", "--plot", "./rec.svg", *files])
    err = capsys.readouterr().err
    assert (status, err) == (1, f"{prog}: cannot write ./rec.svg: it is one of the files read\n")
    assert (tmp_path / "rec.svg").read_text() == text


# ---- periods a record cannot use; a file named twice ---------------------------------

def test_a_period_too_short_for_the_builtin_record(capsys):
    assert main(["--periods", "1e-300"]) == 1
    out, err = capsys.readouterr()
    assert (out, err) == ("", "tavotools: synthetic:0: periods[0] = 1e-300 s is too short "
                              "for double precision\n")


@pytest.mark.parametrize("args", [["a.txt", "a.txt"], ["a.txt", "./a.txt"], [".", "a.txt"]])
def test_spectrum_reads_a_file_named_twice_once(capsys, monkeypatch, tmp_path, args):
    # Its record twice over formed a pair with itself: a RotD0 of 0 from one component.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("0.1\n-0.2\n0.3\n-0.1\n")
    if "." in args:
        (tmp_path / "b.txt").write_text("0.2\n-0.1\n0.3\n0.1\n")
    status = main(["spectrum", "--periods", "1", "--dt", "0.01", "--units", "g",
                   "--format", "csv", *args])
    rows = [line.split(",")[:2] for line in capsys.readouterr().out.splitlines()[1:]]
    want = [["a.txt", ""]] if "." not in args else [["a.txt", ""], ["b.txt", ""],
                                                   ["a.txt + b.txt", "RotD"]]
    assert (status, rows) == (0, want)


def test_a_missing_value_is_spelled_alike_in_measures_and_flatfile_csv(capsys, tmp_path):
    # A measure that does not exist (the PGV of one sample) is "nan" in both CSVs, which
    # float() and every CSV reader take as NaN; an empty cell is a value that does not
    # apply (no second horizontal, no stated PGA), in the flatfile only.
    import csv
    import io

    path = tmp_path / "one.txt"
    path.write_text("0.5\n")
    assert main(["--dt", "0.01", "--units", "g", "--format", "csv", str(path)]) == 0
    (row,) = csv.DictReader(io.StringIO(capsys.readouterr().out))
    out = tmp_path / "flat.csv"
    assert main(["flatfile", "--dt", "0.01", "--units", "g", str(path), "-o", str(out)]) == 0
    with open(out, newline="") as f:
        (flat,) = csv.DictReader(f)
    assert (row["PGV (m/s)"], row["D5_75 (s)"]) == ("nan", "nan")
    assert (flat["H1_PGV (m/s)"], flat["H1_D5-75 (s)"]) == ("nan", "nan")
    assert (flat["H2_PGA (m/s2)"], flat["H1_stated_PGA (m/s2)"], row["event"]) == ("", "", "")
