"""The OBE-exceedance check: its cut-offs, its spectral peaks, its report and command."""
import json
import math
from dataclasses import replace

import numpy as np
import pytest

from tavotools import tavo
from tavotools.obe import (CAV_CUTOFF, OBE_FREQUENCIES, PSA_CUTOFF, PSV_CUTOFF,
                           RG1166_PSV_CUTOFF, format_report, main, obe_check, plot_spectra,
                           report_as_dict, substeps_for)
from tavotools.records import Record
from tavotools.render import json_text
from tavotools.spectra import response_spectrum
from tavotools.synthetic import synthetic_accel

# 360° and 270° are the horizontals, "up" the vertical.
LOMA = ["0111a.smc", "0111c.smc", "0111b.smc"]


@pytest.fixture(scope="module")
def FILES(data):
    return [str(data / "usgs_smc_lomaprieta" / name) for name in LOMA]

DT = 0.005


def tones(a_low, a_high, duration):
    """A 1.5 Hz tone (the PSV band) plus a 5 Hz tone (the PSA band), in m/s²."""
    t = np.arange(int(round(duration / DT))) * DT
    return a_low * np.sin(2 * math.pi * 1.5 * t) + a_high * np.sin(2 * math.pi * 5.0 * t + 0.3)


def components(a_low, a_high, duration, scale=1.0):
    h1 = scale * tones(a_low, a_high, duration)
    return h1, 0.8 * h1, 0.5 * h1


def criterion(report, check, name):
    items = report.criteria if check == "CAVdp" else report.rg1166
    return next(c for c in items if c.name == name)


# ---- each cut-off, from just below to just above -----------------------------------

# (criterion, tones that leave the other criteria well above their cut-offs)
MODULE_CASES = [
    ("max_PSA", (0.3, 0.2, 30.0)),
    ("max_CAVstd", (1.0, 1.0, 2.0)),  # short and strong: every window counts
    ("max_PSV", (0.145, 1.0, 30.0)),
]


@pytest.mark.parametrize("name,tone", MODULE_CASES)
def test_module_cutoffs_just_below_and_just_above(name, tone):
    base = criterion(obe_check(*components(*tone), DT), "CAVdp", name)
    # Spectra are linear in the amplitude, and so is CAVstd while every
    # one-second window stays above 0.025 g.
    at_cutoff = base.cutoff / base.value
    below = obe_check(*components(*tone, scale=at_cutoff * (1 - 1e-6)), DT)
    above = obe_check(*components(*tone, scale=at_cutoff * (1 + 1e-6)), DT)
    assert not criterion(below, "CAVdp", name).exceeded
    assert criterion(above, "CAVdp", name).exceeded
    for report in (below, above):
        for c in report.criteria:
            if c.name != name:
                assert c.value > 1.2 * c.cutoff
    assert below.CAVdp == 0 and type(below.CAVdp) is int and not below.damage_potential
    assert type(above.CAVdp) is float and above.CAVdp == above.CAVstd_gm > 0.0
    assert above.damage_potential


@pytest.mark.parametrize("name,tone", [
    ("SV", (0.145, 0.15, 30.0)),  # spectral acceleration below 0.2 g: SV alone decides
    ("CAV", (0.3, 0.3, 4.0)),
])
def test_rg1166_cutoffs_just_below_and_just_above(name, tone):
    base = criterion(obe_check(*components(*tone), DT), "RG 1.166", name)
    at_cutoff = base.cutoff / base.value
    below = obe_check(*components(*tone, scale=at_cutoff * (1 - 1e-6)), DT)
    above = obe_check(*components(*tone, scale=at_cutoff * (1 + 1e-6)), DT)
    assert not criterion(below, "RG 1.166", name).exceeded and not below.rg1166_exceeded
    assert criterion(above, "RG 1.166", name).exceeded and above.rg1166_exceeded


def test_velocity_between_the_two_cutoffs_exceeds_rg1166_only():
    tone = (0.145, 0.0, 30.0)
    base = obe_check(*components(*tone), DT)
    target = 0.5 * (RG1166_PSV_CUTOFF + PSV_CUTOFF)  # 15.29 cm/s
    r = obe_check(*components(*tone, scale=target / base.max_PSV), DT)
    assert r.max_PSV == pytest.approx(target, rel=1e-12)
    assert criterion(r, "RG 1.166", "SV").exceeded
    assert not criterion(r, "CAVdp", "max_PSV").exceeded
    assert r.rg1166_response_spectrum_check and r.CAVdp == 0
    # The quiet tone is below 0.025 g in every window: CAVstd is 0, so neither CAV
    # test passes, although the plain CAV is above the cut-off.
    assert r.max_CAVstd == 0.0 and r.max_CAV > CAV_CUTOFF
    assert not r.rg1166_cav_check and not r.rg1166_exceeded


def test_cutoffs_are_the_modules_doubles():
    assert PSA_CUTOFF == 1.9620000000000002 and CAV_CUTOFF == 1.5696
    assert PSV_CUTOFF == 0.1534 and RG1166_PSV_CUTOFF == 0.1524
    # The module agrees on each edge: exactly at a cut-off is not above it.
    assert tavo.get_CAVdp_cy(1.0, CAV_CUTOFF, 5.0, 1.0) == 0
    assert tavo.get_CAVdp_cy(1.0, 5.0, PSA_CUTOFF, 1.0) == 0
    assert tavo.get_CAVdp_cy(1.0, 5.0, 5.0, PSV_CUTOFF) == 0


# ---- the frequency grid and the sub-steps -----------------------------------------------

@pytest.mark.parametrize("f_input,band", [(5.0137, "PSA"), (1.4972, "PSV"), (9.9, "PSA")])
def test_grid_does_not_miss_a_sharp_peak(f_input, band):
    # A steady sinusoid gives the sharpest peak a 5 %-damped spectrum can have.
    t = np.arange(int(30.0 / DT)) * DT
    onset = np.sin(0.5 * math.pi * np.clip(t / 10.0, 0.0, 1.0)) ** 2
    accel = 0.3 * onset * np.sin(2 * math.pi * f_input * t)
    report = obe_check(accel, accel, accel, DT)
    dense_f = np.linspace(0.97 * f_input, 1.03 * f_input, 601)
    dense = response_spectrum(accel, DT, frequencies=dense_f, substeps=10)
    want = (dense.PSA if band == "PSA" else dense.PSV).max()
    got = report.max_PSA if band == "PSA" else report.max_PSV
    # 0.16 % for the grid, 0.05 % for the sampling of the response.
    assert want * (1 - 2.1e-3) <= got <= want * (1 + 1e-9)


def test_grid_holds_the_band_edges():
    f = OBE_FREQUENCIES
    assert {1.0, 2.0, 10.0} <= set(f.tolist()) and f[0] == 1.0 and f[-1] == 10.0
    assert np.all(np.diff(np.log10(f)) <= 1 / 400 + 1e-12)


@pytest.mark.parametrize("dt,substeps", [(0.005, 5), (0.01, 10), (0.02, 20), (0.001, 1),
                                         (0.0001, 1), (0.0075, 8), (10.0, 10000), (10.0001, 10000),
                                         (1e306, 10000), (1.7976931348623157e308, 10000)])
def test_substeps_sample_ten_hertz_a_hundred_times(dt, substeps):
    assert substeps_for(dt) == substeps


# 7 sub-steps of 0.007 s are 7 / 0.07 = 99.99999999999999 points per cycle in doubles.
@pytest.mark.parametrize("dt", [0.005, 0.007, 0.009, 0.014, 0.0075, 0.05])
def test_a_record_sampled_as_asked_has_no_note_of_too_few_points(dt):
    h1, h2, v = components(0.3, 0.2, 2.0)
    assert obe_check(h1, h2, v, dt).notes == ()


# ---- a real record ----------------------------------------------------------------

@pytest.fixture(scope="module")
def loma(FILES):
    from tavotools.records import read_record

    records = [read_record(f) for f in FILES]
    before = [r.accel.copy() for r in records]
    return records, before, obe_check(*records, trim=True)


def test_loma_prieta_leaves_the_records_unchanged(loma):
    records, before, report = loma
    for r, b in zip(records, before):
        assert np.array_equal(r.accel, b)
    assert [c.npts for c in report.components] == [6001, 6001, 6001]
    assert report.notes == ("trimmed to 6001 samples (H2 dropped 3, V dropped 1)",)


def test_loma_prieta_decision(loma):
    records, _, report = loma
    a = [np.array(r.accel[:6001]) for r in records]
    cavstd = [tavo.get_CAVstd_cy(x.copy(), 0.005) for x in a]
    assert [c.CAVstd for c in report.components] == cavstd
    assert report.CAVstd_gm == math.sqrt(cavstd[0] * cavstd[1])
    # The module's decision and the three criteria agree.
    assert report.damage_potential == all(c.exceeded for c in report.criteria)
    assert report.CAVdp == tavo.get_CAVdp_cy(report.CAVstd_gm, report.max_CAVstd,
                                             report.max_PSA, report.max_PSV)
    # Both CAV tests read the standardized CAV; the plain one is never below it.
    assert criterion(report, "RG 1.166", "CAV").value == report.max_CAVstd
    assert all(c.CAV >= c.CAVstd for c in report.components)


@pytest.mark.parametrize("index", [0, 1, 2])
def test_loma_prieta_band_peaks_against_a_dense_search(loma, index):
    records, _, report = loma
    c = report.components[index]
    accel = records[index].accel[:6001]
    for band, got, f_at, kind in (((2.0, 10.0), c.max_PSA, c.f_max_PSA, "PSA"),
                                  ((1.0, 2.0), c.max_PSV, c.f_max_PSV, "PSV")):
        assert band[0] <= f_at <= band[1]
        dense = response_spectrum(accel, 0.005, frequencies=np.geomspace(*band, 1001),
                                  substeps=10)
        want = getattr(dense, kind).max()
        assert want * (1 - 2.1e-3) <= got <= want * (1 + 1e-9)


def test_loma_prieta_report_text(loma):
    _, _, report = loma
    text = format_report(report)
    assert "0111a.smc" in text and "0111b.smc" in text
    assert f"CAVdp = {report.CAVdp:.6g} m/s" in text if report.damage_potential \
        else "CAVdp = 0" in text
    assert "15.34 cm/s" in text and "15.24 cm/s (6 in/s)" in text
    assert "standardized CAV (1-s windows >= 0.025 g)" in text


@pytest.fixture(scope="module")
def small_report():
    return obe_check(*components(0.3, 0.2, 6.0), DT)


@pytest.mark.parametrize("index", range(6))
@pytest.mark.parametrize("factor", [1 - 1e-5, 1 - 1e-9, 1.0, 1 + 1e-9, 1 + 1e-5])
def test_report_text_never_shows_a_value_as_its_cutoff_when_it_is_not(small_report, index,
                                                                      factor):
    # Rounded to 4 decimals of g, 1.9619 m/s2 read "0.2000 g  > 0.2 g  not exceeded" and
    # 1.96201 "0.2000 g  > 0.2 g  exceeded": the shown numbers contradicted the result.
    items = small_report.criteria + small_report.rg1166
    changed = replace(items[index], value=items[index].cutoff * factor)
    items = items[:index] + (changed,) + items[index + 1:]
    report = replace(small_report, criteria=items[:3], rg1166=items[3:])
    row = next(line for line in format_report(report).splitlines()
               if line.startswith("  " + changed.quantity + " "))
    words = row[len(changed.quantity) + 2:].split()
    value, cutoff = float(words[0]), float(words[words.index(">") + 1])
    assert words[-1] == "exceeded" and (words[-2] == "not") != changed.exceeded
    assert (value > cutoff) == changed.exceeded
    assert (value == cutoff) == (factor == 1.0)


def test_arrays_and_records_give_the_same_report():
    h1, h2, v = components(0.3, 0.2, 6.0)
    from_arrays = obe_check(h1, h2, v, DT)
    from_records = obe_check(Record(h1, DT), Record(h2, DT), Record(v, DT))
    assert [c.label for c in from_records.components] == ["record"] * 3
    relabelled = tuple(replace(c, label=c.name) for c in from_records.components)
    assert replace(from_records, components=relabelled) == from_arrays


def test_a_vertical_given_as_horizontal_is_noted():
    h1, h2, v = components(0.3, 0.2, 3.0)
    r = obe_check(Record(h1, DT, component="up"), Record(h2, DT, component="90"),
                  Record(v, DT, component="up"))
    assert r.notes == ("H1 (record) states component 'up', a vertical one",)


# ---- bad input --------------------------------------------------------------------

def ones(n=400):
    return np.ones(n)


@pytest.mark.parametrize("args,kwargs,message", [
    ((ones(), ones(), ones(399)), {"dt": DT},
     "H1, H2 and V hold 400, 400 and 399 samples: components of one record must have the "
     "same length (trim cuts them to the shortest, 399)"),
    ((Record(ones(), 0.005), Record(ones(), 0.01), Record(ones(), 0.005)), {},
     "H1, H2 and V have different time steps (0.005, 0.01, 0.005 s): they must share one"),
    ((ones(), ones(), np.r_[ones(399), np.nan]), {"dt": DT},
     "V: accel holds NaN or infinite samples"),
    ((ones(), ones(), ones()), {}, "H1: an array of samples needs dt"),
    ((ones(), ones(), ones()), {"dt": -0.01},
     "H1: dt must be a positive, finite time step, not -0.01"),
    ((ones(), np.array([]), ones()), {"dt": DT}, "H2: a record needs at least one sample"),
    ((ones(), ones(), None), {"dt": DT}, "V: accel must be numbers, not None"),
    ((ones(), ones(), [1.0] * 399 + [None]), {"dt": DT}, "V: accel must be numbers, not None"),
    ((Record(ones(), 0.005), ones(), ones()), {"dt": 0.01},
     "H1: dt 0.01 given for a record whose dt is 0.005"),
])
def test_bad_input_raises_value_error(args, kwargs, message):
    with pytest.raises(ValueError) as e:
        obe_check(*args, **kwargs)
    assert str(e.value) == message


def test_trim_cuts_to_the_shortest_without_touching_the_inputs():
    h1, h2, v = components(0.3, 0.2, 3.0)
    longer = np.r_[h1, np.full(7, 5.0)]
    kept = longer.copy()
    r = obe_check(longer, h2, v, DT, trim=True)
    assert np.array_equal(longer, kept)
    assert r.components == obe_check(h1, h2, v, DT).components
    assert r.notes == ("trimmed to 600 samples (H1 dropped 7)",)


@pytest.mark.parametrize("later, refused", [(0.5, True), (0.0025, True), (0.002, False),
                                            (0.0, False)])
def test_trim_refuses_components_that_start_apart(later, refused):
    # Cut from their starts, H1 0-6 s and H2 0.5-6.5 s were measured as one time.
    import datetime

    h1, h2, v = components(0.3, 0.2, 3.0)
    t0 = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    t1 = t0 + datetime.timedelta(seconds=later)
    records = (Record(np.r_[h1, np.full(7, 5.0)], DT, start_time=t0),
               Record(h2, DT, start_time=t1), Record(v, DT, start_time=t0))
    if refused:
        with pytest.raises(ValueError) as e:
            obe_check(*records, trim=True)
        assert str(e.value) == (f"H1 and H2 start {later:g} s apart ({t0.isoformat()} and "
                                f"{t1.isoformat()}): cut to the shortest from their starts, "
                                f"they would not cover one time")
    else:
        whole = obe_check(*(Record(x, DT) for x in (h1, h2, v)))
        assert obe_check(*records, trim=True).components == whole.components
    # Nothing cut: each component is measured whole, wherever it starts.
    assert obe_check(records[0], Record(np.r_[h2, np.zeros(7)], DT, start_time=t1),
                     Record(np.r_[v, np.zeros(7)], DT, start_time=t0)).notes == ()


# ---- the command ------------------------------------------------------------------

def test_command_prints_the_report(FILES, capsys):
    assert main(FILES + ["--trim"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("OBE exceedance check") and "US NRC Regulatory Guide 1.166" in out


def test_command_json(FILES, capsys):
    assert main(FILES + ["--trim", "--format", "json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert [c["name"] for c in doc["components"]] == ["H1", "H2", "V"]
    assert len(doc["components"][0]["PSA"]) == len(doc["frequencies"]) == OBE_FREQUENCIES.size
    assert {c["name"] for c in doc["criteria"]} == {"max_PSA", "max_CAVstd", "max_PSV"}
    assert doc["rg1166"]["criteria"][1]["cutoff"] == RG1166_PSV_CUTOFF


def test_command_refuses_different_lengths_without_trim(FILES, capsys):
    assert main(FILES) == 1
    err = capsys.readouterr().err
    assert err == ("tavotools obe: H1, H2 and V hold 6001, 6004 and 6002 samples: components of "
                   "one record must have the same length (--trim cuts them to the shortest, "
                   "6001)\n")


def test_command_reports_an_unreadable_file(tmp_path, capsys):
    missing = str(tmp_path / "missing.smc")
    assert main([missing, missing, missing]) == 1
    assert capsys.readouterr().err.startswith(f"tavotools obe: {missing}: cannot read file")


def test_command_reads_text_files(tmp_path, capsys):
    paths = []
    for name, x in zip(("h1", "h2", "v"), components(0.3, 0.2, 3.0)):
        p = tmp_path / f"{name}.txt"
        np.savetxt(p, x)
        paths.append(str(p))
    assert main(paths + ["--dt", str(DT), "--units", "m/s2", "--format", "json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    want = obe_check(*components(0.3, 0.2, 3.0), DT)
    assert doc["max_PSA"] == pytest.approx(want.max_PSA, rel=1e-12)


def test_plot(tmp_path):
    pytest.importorskip("matplotlib")
    report = obe_check(*components(0.3, 0.2, 6.0), DT)
    target = tmp_path / "spectra.png"
    assert plot_spectra(report, target) == target
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_command_without_files_runs_on_the_builtin_set(capsys):
    assert main(["--format", "json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["CAVdp"] == pytest.approx(out["CAVstd_gm"]) and out["CAVdp"] > 0


@pytest.mark.parametrize("files", [["a"], ["a", "b"], ["a", "b", "c", "d"]])
def test_command_wants_three_files_or_none(files, capsys):
    with pytest.raises(SystemExit) as e:
        main(files)
    assert e.value.code == 2 and "give three files" in capsys.readouterr().err


def test_a_record_sampled_too_coarsely_is_checked_and_noted(capsys, tmp_path):
    # dt = 20 s: 100 points per cycle of 10 Hz would need 20 000 sub-steps.
    dt = 20.0
    h1, h2, v = (np.sin(0.01 * k * np.arange(50)) for k in (1, 2, 3))
    report = obe_check(h1, h2, v, dt)
    assert report.substeps == 10000 and substeps_for(dt) == 10000
    assert report.notes == (
        "the record is sampled every 20 s, too coarsely for the 2-10 Hz band (Nyquist "
        "frequency 0.025 Hz): its spectral values above 0.025 Hz come from the straight "
        "lines between samples, not from recorded motion",
        "the response is sampled 10000 times a step (10000 at most), 50 times per cycle of "
        "10 Hz, fewer than 100: peaks there may read up to 0.2 % low")
    paths = []
    for name, x in zip(("h1", "h2", "v"), (h1, h2, v)):
        paths.append(str(tmp_path / f"{name}.txt"))
        np.savetxt(paths[-1], x)
    assert main(paths + ["--dt", str(dt), "--units", "m/s2"]) == 0
    assert "too coarsely for the 2-10 Hz band" in capsys.readouterr().out


@pytest.mark.parametrize("slot", [0, 2])
def test_a_note_naming_an_undecodable_file_name_prints(slot):
    # A file name that is not UTF-8 keeps its bytes as surrogates; the note names the file.
    records = [Record(synthetic_accel(k, duration=4.0), 0.01, component="EW") for k in (1, 2)]
    records.insert(2, Record(synthetic_accel(3, duration=4.0), 0.01, component="UD"))
    records[slot] = replace(records[slot], path="/data/r\udce9cord.smc",
                            component="EW" if slot == 2 else "UD")
    report = obe_check(*records)
    assert any("r\\xe9cord.smc" in note for note in report.notes)
    # Every output encodes strictly: a terminal's UTF-8 refuses lone surrogates.
    format_report(report).encode("utf-8")
    json_text(report_as_dict(report)).encode("utf-8")


def test_a_component_of_unknown_orientation_is_not_noted():
    h1, h2, v = components(0.3, 0.2, 3.0)
    r = obe_check(Record(h1, DT, component="ver"), Record(h2, DT, component="channel 7"),
                  Record(v, DT, component="HNZ"))
    assert r.notes == ("H1 (record) states component 'ver', a vertical one",)


@pytest.mark.parametrize("v_station, refused", [("ABD", True), ("ABC", False), (None, False)])
def test_components_of_two_stations_are_refused(v_station, refused):
    rng = np.random.default_rng(7)
    h1, h2, v = (Record(rng.normal(0, 1, 500), 0.01, station=s)
                 for s in ("ABC", "ABC", v_station))
    if refused:
        with pytest.raises(ValueError) as e:
            obe_check(h1, h2, v)
        assert str(e.value) == ("H1, H2 and V are records of different stations ('ABC', 'ABC' "
                                "and 'ABD'): not the components of one motion")
    else:
        assert obe_check(h1, h2, v).CAVdp == obe_check(h1.accel, h2.accel, v.accel, 0.01).CAVdp
