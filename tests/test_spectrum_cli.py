"""Command line: PSA columns of `measures`, the units of tables, and `spectrum`."""
import csv
import io
import json

import numpy as np
import pytest

from tavotools.cli import main
from tavotools.constants import G
from tavotools.records import read_record, read_records
from tavotools.rotd import rotd
from tavotools.spectra import STANDARD_PERIODS, response_spectrum
from tavotools.summary import summarize
from tavotools.synthetic import synthetic_record

SMC = "usgs_smc_lomaprieta"


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("command", [["measures"], ["spectrum"], ["flatfile", "x", "-o", "y.csv"]])
@pytest.mark.parametrize("text, words", [
    ("", "periods must be positive"),
    (" , ", "periods must be positive"),
    ("0.1,-1", "periods must be positive"),
    ("0,1", "periods must be positive"),
    ("0.1,inf", "periods must be positive"),
    ("0.1,abc", "not a comma-separated list of periods"),
    ("standrd", "not a comma-separated list of periods"),
    # Twice the same period named two columns alike in measures (rows twice over in
    # spectrum), where the flatfile refused it: now all three refuse it alike.
    ("1,1", "the period 1.0 s is given twice"),
    ("0.1,1,1.0,2", "the period 1.0 s is given twice"),
])
def test_bad_periods_are_usage_errors(capsys, command, text, words):
    with pytest.raises(SystemExit) as e:
        main([*command, f"--periods={text}"])
    assert e.value.code == 2
    err = capsys.readouterr().err
    assert "argument --periods:" in err and words in err


def test_measures_psa_columns_in_csv_and_json(data, capsys):
    path = data / SMC / "0111a.smc"
    want = summarize(read_record(path), periods=[0.2, 1.0])
    _, out, _ = run(capsys, "--periods", "0.2,1", "--format", "csv", path)
    (row,) = csv.DictReader(io.StringIO(out))
    assert [float(row["PSA_0.2s (m/s2)"]), float(row["PSA_1s (m/s2)"])] == want.PSA.tolist()
    # The worker processes of --jobs get the periods too.
    files = sorted((data / SMC).glob("*.smc"))
    one = run(capsys, "--periods", "0.2,1", "--format", "csv", *files)
    two = run(capsys, "--periods", "0.2,1", "--format", "csv", "--jobs", "2", *files)
    assert one == two and one[1].count("\n") == 4 and out.splitlines()[1] in one[1]
    _, out, _ = run(capsys, "--periods", "0.2,1", "--format", "json", path)
    doc = json.loads(out)
    (rec,) = doc["records"]
    assert rec["spectrum"] == {"periods": [0.2, 1.0], "PSA": want.PSA.tolist()}
    assert rec["measures"] == want.as_dict() and doc["units"]["PSA"] == "m/s2"
    # Without --periods nothing of the spectra shows.
    _, out, _ = run(capsys, "--format", "json", path)
    assert "spectrum" not in json.loads(out)["records"][0] and "PSA" not in out


def test_measures_standard_periods_on_the_builtin_record(capsys):
    _, out, _ = run(capsys, "--periods", "standard", "--format", "json")
    (rec,) = json.loads(out)["records"]
    assert rec["spectrum"]["periods"] == STANDARD_PERIODS.tolist()
    r = synthetic_record(0)
    assert rec["spectrum"]["PSA"] == response_spectrum(r.accel, r.dt, STANDARD_PERIODS).PSA.tolist()


def test_table_units_g_converts_by_g(capsys):
    s = summarize(synthetic_record(0), periods=[0.5])
    status, out, _ = run(capsys, "--periods", "0.5", "--table-units", "g")
    head, units, row = (line.split() for line in out.splitlines())
    assert status == 0 and head[-1] == "PSA_0.5s"
    assert units == ["s", "g", "cm/s", "m/s", "s", "s", "g", "s", "g", "s", "g", "s", "g"]
    shown = dict(zip(head[4:], row[4:]))
    want = {"PGA": s.PGA / G, "PGV": s.PGV * 100.0, "Ia": s.Ia, "D5-75": s.D5_75,
            "CAV": s.CAV / G, "CAVstd": s.CAVstd / G, "PSA_0.5s": float(s.PSA[0]) / G}
    for name, value in want.items():
        assert shown[name] == f"{value:.6g}", name
    # The SI table is today's; CSV and JSON ignore the option.
    assert run(capsys, "--table-units", "si")[1] == run(capsys)[1]
    assert run(capsys, "--format", "csv", "--table-units", "g")[1] == \
        run(capsys, "--format", "csv")[1]


def _json_spectrum(capsys, *argv):
    status, out, err = run(capsys, "spectrum", "--format", "json", *argv)
    return status, json.loads(out), err


def test_spectrum_of_the_loma_prieta_triplet(data, capsys):
    files = sorted((data / SMC).glob("*.smc"))
    status, doc, _ = _json_spectrum(capsys, "--periods", "0.2,1,3", *files)
    assert status == 0 and doc["periods"] == [0.2, 1.0, 3.0] and doc["damping"] == 0.05
    assert [r["record"] for r in doc["records"]] == ["0111a.smc", "0111b.smc", "0111c.smc"]
    for rec, path in zip(doc["records"], files):
        sp = response_spectrum(read_record(path).accel, 0.005, periods=[0.2, 1.0, 3.0])
        assert (rec["PSA"], rec["PSV"], rec["SD"]) == (sp.PSA.tolist(), sp.PSV.tolist(),
                                                       sp.SD.tolist())
    # The two horizontals (360 and 270) form one pair; the vertical is left out.
    (pair,) = doc["rotd"]
    h1, _, h2 = (read_record(f) for f in files)
    r = rotd(h1, h2, periods=[0.2, 1.0, 3.0], trim=True)
    assert (pair["H1"], pair["H2"], pair["npts"]) == ("0111a.smc", "0111c.smc", 6001)
    assert pair["notes"] == list(r.notes)
    for k, p in enumerate((0, 50, 100)):
        assert pair[f"RotD{p}"] == r.PSA[k].tolist()
    assert pair["RotD100_angle"] == r.PSA_angle.tolist() == [1.0, 45.0, 118.0]
    # The table and CSV carry the same rows.
    _, table, _ = run(capsys, "spectrum", "--periods", "0.2,1,3", *files)
    assert "RotD of PSA, 0111a.smc + 0111c.smc" in table
    _, out, _ = run(capsys, "spectrum", "--periods", "0.2,1,3", "--format", "csv", *files)
    rows = list(csv.DictReader(io.StringIO(out)))
    rotd_rows = [row for row in rows if row["component"] == "RotD"]
    assert len(rows) == 12 and [float(row["RotD50_PSA (m/s2)"]) for row in rotd_rows] == \
        r.PSA[1].tolist()


def test_copies_of_a_recording_in_two_folders_pair_per_folder(data, tmp_path, capsys):
    # The flatfile groups within one folder; so does spectrum: the copies of one
    # recording in two folders are two recordings, not one set of four horizontals.
    for folder in ("raw", "copy"):
        (tmp_path / folder).mkdir()
        for f in sorted((data / SMC).glob("*.smc")):
            (tmp_path / folder / f.name).write_bytes(f.read_bytes())
    status, doc, _ = _json_spectrum(capsys, "--periods", "1", tmp_path / "raw", tmp_path / "copy")
    assert status == 0 and len(doc["records"]) == 6
    assert [(p["H1"], p["H2"]) for p in doc["rotd"]] == [("0111a.smc", "0111c.smc")] * 2
    assert doc["rotd"][0]["RotD50"] == doc["rotd"][1]["RotD50"]


def test_spectrum_of_two_horizontal_text_files(tmp_path, capsys):
    a, b = (synthetic_record(seed, duration=6.0) for seed in (1, 2))
    paths = []
    for name, r in (("one.txt", a), ("two.txt", b)):
        paths.append(tmp_path / name)
        np.savetxt(paths[-1], r.accel)
    status, doc, _ = _json_spectrum(capsys, "--periods", "0.5", "--damping", "0.1",
                                    "--dt", "0.01", "--units", "m/s2", *paths)
    (pair,) = doc["rotd"]
    r = rotd(a.accel, b.accel, 0.01, periods=[0.5], damping=0.1)
    assert status == 0 and doc["damping"] == 0.1 and pair["RotD50"] == r.PSA[1].tolist()


def test_spectrum_table_units_and_builtin_set(capsys):
    status, si, _ = run(capsys, "spectrum", "--periods", "1")
    _, g, _ = run(capsys, "spectrum", "--periods", "1", "--table-units", "g")
    assert status == 0 and si.count("RotD of PSA") == 1
    # Row "1  PSA  PSV  SD" of the first record, then of the RotD block.
    si_rows = [line.split() for line in si.splitlines() if line.startswith("1 ")]
    g_rows = [line.split() for line in g.splitlines() if line.startswith("1 ")]
    (psa, psv, sd), (psa_g, psv_g, sd_g) = map(float, si_rows[0][1:]), map(float, g_rows[0][1:])
    assert (psa_g, psv_g, sd_g) == pytest.approx((psa / G, psv * 100, sd * 100), rel=1e-5)
    assert float(g_rows[-1][2]) == pytest.approx(float(si_rows[-1][2]) / G, rel=1e-5)


def test_spectrum_bad_file_beside_a_good_one(data, tmp_path, capsys):
    bad = tmp_path / "bad.txt"
    bad.write_text("0.1\n0.3x\n")
    status, doc, err = _json_spectrum(capsys, "--periods", "1", "--dt", "0.01", "--units", "g",
                                      bad, data / SMC / "0111a.smc")
    assert status == 1 and "bad.txt" in err and "0.3x" in err
    assert [r["record"] for r in doc["records"]] == ["0111a.smc"] and doc["rotd"] == []


@pytest.mark.parametrize("argv", [["--damping", "1"], ["--damping", "-0.1"], ["--damping", "x"]])
def test_spectrum_rejects_bad_damping(capsys, argv):
    with pytest.raises(SystemExit):
        main(["spectrum", *argv])
    assert "argument --damping" in capsys.readouterr().err


def test_spectrum_plot(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    target = tmp_path / "psa.png"
    status, _, err = run(capsys, "spectrum", "--periods", "0.1,0.5,1,2", "--plot", target)
    assert status == 0 and "wrote" in err
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_v2_channels_form_a_pair(data, capsys):
    status, doc, _ = _json_spectrum(capsys, "--periods", "1", data / "cdmg_coalinga")
    (pair,) = doc["rotd"]
    h1, _, h2 = read_records(data / "cdmg_coalinga" / "ce36456p_CE36456.V2")
    assert (pair["H1"], pair["H2"]) == (h1.label, h2.label)
    assert pair["RotD100"] == rotd(h1, h2, periods=[1.0], trim=True).PSA[2].tolist()


def test_a_record_whose_response_overflows_fails_alone(tmp_path, capsys):
    # Its response leaves the range of doubles: that once stopped the command with a
    # traceback (and, before that was refused, printed a spectrum of inf or 0).
    fine, big = tmp_path / "fine.txt", tmp_path / "big.txt"
    np.savetxt(fine, synthetic_record(1, duration=2.0).accel)
    np.savetxt(big, [0.0, 1e290, 1e290, 0.0])
    status, doc, err = _json_spectrum(capsys, "--periods", "1e12", "--dt", "1e10", "--units",
                                      "m/s2", fine, big)
    assert status == 1
    assert [r["record"] for r in doc["records"]] == ["fine.txt"] and doc["rotd"] == []
    assert "big.txt: no spectrum: the response at periods[0] = 1000000000000.0 s leaves" in err
    assert "fine.txt + big.txt: no RotD: the response at periods[0]" in err
