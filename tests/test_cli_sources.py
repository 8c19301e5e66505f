"""Command line: directories and gzip, --process, --inventory, the marks of records
the agency has not corrected."""
import gzip
import json
import shutil

import numpy as np
import pytest

from tavotools.cli import main
from tavotools.processing import apply_steps
from tavotools.records import read_record, read_records
from tavotools.summary import summarize

KNET = "formats/knet"
EW = "formats/knet/CHB0021412312349.EW"
ELCENTRO = "elcentro1940_chopra/elcentro_chopra.csv"
RAW = ("* not corrected by the agency: what was done is the processing of --format json; "
       "--process applies basic steps")
UNSTATED = "? the file does not say whether the agency corrected the record"


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_directory_reads_its_records_and_notes_the_rest(data, capsys, tmp_path, jobs):
    shutil.copytree(data / KNET, tmp_path / "knet")
    (tmp_path / "knet" / "UD.gz").write_bytes(gzip.compress((data / EW).read_bytes()))
    status, out, err = run(capsys, "--jobs", jobs, tmp_path / "knet", data / ELCENTRO)
    assert status == 0
    assert err == f"tavotools: note: {tmp_path / 'knet' / 'event.json'} skipped, not a record file\n"
    lines = out.splitlines()
    assert [line.split("  ")[0] for line in lines[2:7]] == [
        "CHB0021412312349.EW *", "CHB0021412312349.NS *", "CHB0021412312349.UD *", "UD.gz *",
        "elcentro_chopra.csv ?"]
    assert lines[7:] == [RAW, UNSTATED]


def test_agency_corrected_records_and_the_builtin_one_are_not_marked(data, capsys):
    status, out, _ = run(capsys, data / "formats/esm/HI.ARS1..HNE.D.20190728.160908.C.ACC.ASC")
    assert status == 0 and "*" not in out and "?" not in out
    status, out, _ = run(capsys)
    assert status == 0 and "*" not in out and "?" not in out


def test_process_applies_the_steps_in_order(data, capsys):
    status, out, _ = run(capsys, "--format", "json", "--process", "demean,detrend,bandpass:0.1-25",
                         data / EW)
    assert status == 0
    (rec,) = json.loads(out)["records"]
    expected = apply_steps(read_record(data / EW), "demean,detrend,bandpass:0.1-25")
    assert rec["processing"] == ["as recorded", "mean removed", "mean removed",
                                 "linear baseline removed",
                                 "acausal Butterworth bandpass 0.1-25 Hz, order 4"]
    assert rec["measures"] == summarize(expected).as_dict()


def test_a_step_that_does_not_fit_a_record_is_that_file_s_error(data, capsys):
    status, out, err = run(capsys, "--process", "bandpass:0.1-25", data / ELCENTRO, data / EW)
    assert status == 1 and "CHB0021412312349.EW" in out
    assert err == (f"tavotools: {data / ELCENTRO}: --process bandpass:0.1-25: high corner 25.0 Hz "
                   f"must lie between 0 and the Nyquist frequency 25 Hz\n")


@pytest.mark.parametrize("steps, message", [
    ("lowpass:60", "high corner 60.0 Hz must lie between 0 and the Nyquist frequency 50 Hz"),
    ("demean,taper:0.7", "taper fraction must be in (0, 0.5], not 0.7"),
    ("detrend:4000", "a baseline of order 4000 needs more than 4000 samples"),
])
def test_a_step_that_does_not_fit_the_builtin_record_is_its_error(capsys, steps, message):
    # These once escaped as a traceback: the steps of the built-in record ran unguarded.
    status, out, err = run(capsys, "--process", steps)
    assert (status, out) == (1, "")
    assert err == f"tavotools: synthetic:0: --process {steps}: {message}\n"


def test_bad_steps_are_a_usage_error(capsys):
    with pytest.raises(SystemExit) as e:
        main(["--process", "demean,smooth"])
    assert e.value.code == 2
    assert capsys.readouterr().err.endswith(
        "tavotools: error: --process: unknown processing step 'smooth': use demean, "
        "detrend[:ORDER], taper[:FRACTION], bandpass:LOW-HIGH[:ORDER], highpass:LOW, "
        "lowpass:HIGH\n")


def test_csv_carries_the_processing(data, capsys):
    status, out, _ = run(capsys, "--format", "csv", "--process", "taper", data / EW)
    assert status == 0
    header, row = out.splitlines()
    assert header.split(",")[6] == "processing"
    assert row.split(",")[6] == "as recorded; mean removed; cosine taper 5 % at each end"


def test_inventory_converts_miniseed_counts(capsys, tmp_path):
    obspy = pytest.importorskip("obspy")
    from obspy.core.inventory import (Channel, InstrumentSensitivity, Inventory, Network,
                                      Response, ResponseStage, Station)

    start = obspy.UTCDateTime(2021, 5, 6)
    counts = (np.arange(2000) * 37 % 201 - 100).astype(np.int32)
    trace = obspy.Trace(counts, header=dict(network="XX", station="ABC", channel="HNE",
                                            sampling_rate=200.0, starttime=start))
    trace.write(str(tmp_path / "a.mseed"), format="MSEED")
    response = Response(instrument_sensitivity=InstrumentSensitivity(
        2.5e5, 1.0, "M/S**2", "COUNTS"), response_stages=[ResponseStage(1, 2.5e5, 1.0, "M/S**2",
                                                                        "COUNTS")])
    channel = Channel("HNE", "", 1.0, 2.0, 3.0, 0.0, start_date=start, response=response)
    Inventory([Network("XX", stations=[Station("ABC", 1.0, 2.0, 3.0, channels=[channel])])],
              source="test").write(str(tmp_path / "inv.xml"), format="STATIONXML")

    status, out, err = run(capsys, tmp_path / "a.mseed")
    assert status == 1 and "the samples' units are unknown (counts?)" in err
    status, out, _ = run(capsys, "--format", "json", "--inventory", tmp_path / "inv.xml",
                         tmp_path / "a.mseed")
    assert status == 0
    (rec,) = json.loads(out)["records"]
    [record] = read_records(tmp_path / "a.mseed", inventory=str(tmp_path / "inv.xml"))
    assert rec["measures"] == summarize(record).as_dict()
    assert rec["units"] == "m/s2" and rec["format"] == "obspy:mseed"


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("inventory, reason", [
    ("missing.xml", "FileNotFoundError: [Errno 2] No such file or directory: '{path}'"),
    ("samples.txt", "TypeError: Unknown format for file {path}"),
])
def test_an_inventory_that_cannot_be_read_is_one_line(capsys, tmp_path, jobs, inventory, reason):
    # It failed every file, those that need no inventory too, each with this one line.
    pytest.importorskip("obspy")
    for name in ("samples.txt", "a.txt", "b.txt", "c.txt"):
        (tmp_path / name).write_text("0.1\n-0.2\n0.3\n")
    path = tmp_path / inventory
    status, out, err = run(capsys, "--inventory", path, "--dt", "0.01", "--units", "g",
                           "--jobs", jobs, *(tmp_path / n for n in ("a.txt", "b.txt", "c.txt")))
    assert (status, out) == (1, "")
    assert err == (f"tavotools: {path}: cannot be read as an inventory "
                   f"({reason.format(path=path)})\n")
