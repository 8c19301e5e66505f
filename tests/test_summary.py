"""Summary API against the module's own functions, and the built-in synthetic record."""
import hashlib
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tavotools import tavo
from tavotools.records import Record, read_records
from tavotools.rotd import rotd
from tavotools.spectra import STANDARD_PERIODS, response_spectrum
from tavotools.summary import ComponentsSummary, Summary, summarize, summarize_components
from tavotools.synthetic import synthetic_accel, synthetic_record


def same(a, b):
    """Bit-for-bit equal floats, NaN included."""
    return np.float64(a).tobytes() == np.float64(b).tobytes()


def direct(accel, dt):
    """Each measure straight from the module, on copies of the samples."""
    t5, t75, t95 = tavo.get_Ia_times_cy(accel.copy(), dt, np.array([0.05, 0.75, 0.95]))
    return {
        "PGA": tavo.get_PGA_cy(accel.copy()),
        "PGV": tavo.get_PGV_cy(accel.copy(), dt),
        "Ia": tavo.get_Ia_cy(accel.copy(), dt)[0],
        "t5": t5, "t75": t75, "t95": t95,
        "D5_75": t75 - t5, "D5_95": t95 - t5,
        "CAV": tavo.get_CAV_cy(accel.copy(), dt),
        "CAV5": tavo.get_CAVn_cy(accel.copy(), dt, 0.05),
        "CAVstd": tavo.get_CAVstd_cy(accel.copy(), dt),
    }


def real_records(data):
    for pattern in ("*/*.smc", "*/*.V2", "*/*.csv"):
        for path in sorted(data.glob(pattern)):
            yield from read_records(path)


def test_summary_of_real_records_equals_the_module_functions(data):
    for record in real_records(data):
        test_summary_equals_the_module_functions(record)


@pytest.mark.parametrize("record", [synthetic_record(0), synthetic_record(7, duration=12.0, pga=0.4)],
                         ids=lambda r: r.label)
def test_summary_equals_the_module_functions(record):
    before = record.accel.copy()
    s = summarize(record)
    want = direct(record.accel, record.dt)
    assert set(Summary.units()) == set(want)
    for name, value in want.items():
        assert same(getattr(s, name), value), name
    assert all(type(v) is float for v in s.as_dict().values())
    # CAVstd silences windows only in its own copy.
    assert record.accel.tobytes() == before.tobytes()


def test_cavstd_works_on_a_copy_and_differs_from_cav():
    # Two quiet seconds and one strong one: CAVstd drops the quiet ones.
    accel = np.concatenate([np.full(100, 0.1), np.full(100, 1.0), np.full(100, -0.1)])
    s = summarize(accel, 0.01)
    assert s.CAV == pytest.approx(1.2) and s.CAVstd == pytest.approx(1.0)
    assert np.array_equal(accel[:100], np.full(100, 0.1))
    assert s.CAV5 == pytest.approx(s.CAV)  # every sample is at or above 5 cm/s²


def test_summary_units_and_dict():
    units = Summary.units()
    assert units["PGA"] == "m/s2" and units["D5_95"] == "s" and units["CAVstd"] == "m/s"
    s = summarize(synthetic_record(3))
    assert s.as_dict() == {name: getattr(s, name) for name in units}
    with pytest.raises(AttributeError):
        s.PGA = 1.0


@pytest.mark.parametrize("args, error, words", [
    ((np.zeros(0), 0.01), ValueError, "at least one sample"),
    ((np.array([1.0, np.nan]), 0.01), ValueError, "NaN or infinite"),
    ((np.ones(10), 0.0), ValueError, "dt must be a positive"),
    ((np.ones(10), -0.01), ValueError, "dt must be a positive"),
    ((np.ones(10), math.inf), ValueError, "dt must be a positive"),
    ((np.ones((2, 2)), 0.01), ValueError, "one-dimensional"),
    ((np.ones(10),), TypeError, "needs dt"),
])
def test_summary_rejects_bad_input(args, error, words):
    with pytest.raises(error, match=words):
        summarize(*args)


def test_summary_accepts_lists_and_read_only_arrays():
    accel = synthetic_accel(1, duration=5.0)
    ro = accel.copy()
    ro.flags.writeable = False
    want = summarize(accel, 0.01)
    assert summarize(ro, 0.01) == want == summarize(accel.tolist(), 0.01)
    with pytest.raises(ValueError, match="dt 0.02 given"):
        summarize(Record(accel, 0.01), 0.02)


def test_v2_against_the_agency_peaks(data):
    recs = read_records(data / "cdmg_coalinga" / "ce36456p_CE36456.V2")
    for r, pga, pgv in zip(recs, [267.957, 94.805, 256.231], [28.253, 11.377, 34.298]):
        s = summarize(r)
        assert s.PGA == pytest.approx(pga / 100, rel=1e-12)
        # The agency integrates from its own initial velocity; from rest differs a little.
        assert s.PGV == pytest.approx(pgv / 100, rel=0.02)


def test_three_component_set_from_a_v2_file(data):
    h1, v, h2 = read_records(data / "cdmg_coalinga" / "ce36456p_CE36456.V2")
    c = summarize_components(h1, h2, v)
    assert c.h1 == summarize(h1) and c.h2 == summarize(h2) and c.v == summarize(v)
    assert same(c.CAVstd_gm, math.sqrt(c.h1.CAVstd * c.h2.CAVstd))
    assert c.max_CAVstd == max(c.h1.CAVstd, c.h2.CAVstd, c.v.CAVstd) == c.h2.CAVstd
    assert c.max_CAVstd > 1.5696  # strong enough for the damage-potential CAV
    got = c.cavdp(max_PSA=5.0, max_PSV=0.5)
    assert type(got) is float and got == c.CAVstd_gm
    assert c.cavdp(max_PSA=1.0, max_PSV=0.5) == 0 and type(c.cavdp(1.0, 0.5)) is int
    assert c.cavdp(5.0, 0.1) == 0 and c.cavdp(5.0, 0.1, PSV_check=0) == c.CAVstd_gm
    assert ComponentsSummary.units() == {
        "CAVstd_gm": "m/s", "max_CAVstd": "m/s", "PGA_gm": "m/s2", "PGV_gm": "m/s",
        **{f"{m}_RotD{p}": u for m, u in (("PGA", "m/s2"), ("PGV", "m/s")) for p in (0, 50, 100)}}


def test_three_component_set_of_arrays():
    a, b, c = (synthetic_accel(seed, duration=10.0, pga=p) for seed, p in [(1, 2.0), (2, 3.0), (3, 1.0)])
    s = summarize_components(a, b, c, dt=0.01)
    assert same(s.CAVstd_gm, math.sqrt(s.h1.CAVstd * s.h2.CAVstd))
    assert s.max_CAVstd == max(s.h1.CAVstd, s.h2.CAVstd, s.v.CAVstd)


# ---- the built-in record ----------------------------------------------------

def test_synthetic_record_shape():
    r = synthetic_record()
    s = summarize(r)
    assert (r.npts, r.dt, r.units) == (4000, 0.01, "m/s2")
    assert s.PGA == pytest.approx(3.0, rel=1e-14)
    # Quiet at both ends, strong motion in between, like an earthquake.
    assert r.accel[0] == 0.0 and np.abs(r.accel[-100:]).max() < 0.2 * s.PGA
    assert 1.0 < s.t5 < s.t75 < s.t95 < 35.0 and 5.0 < s.D5_95 < 30.0
    assert 0.05 < s.PGV < 1.0 and s.CAVstd < s.CAV


def test_synthetic_record_is_seeded():
    a, b = synthetic_accel(5), synthetic_accel(5)
    assert a.tobytes() == b.tobytes()
    assert synthetic_accel(6).tobytes() != a.tobytes()
    code = ("import hashlib; from tavotools.synthetic import synthetic_accel; "
            "print(hashlib.sha256(synthetic_accel(5).tobytes()).hexdigest())")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, cwd=Path(__file__).parent)
    assert out.stdout.strip() == hashlib.sha256(a.tobytes()).hexdigest()


@pytest.mark.parametrize("kwargs", [{"dt": 0.0}, {"duration": -1.0}, {"pga": 0.0}, {"dt": math.nan}])
def test_synthetic_rejects_bad_arguments(kwargs):
    with pytest.raises(ValueError):
        synthetic_accel(**kwargs)


@pytest.mark.parametrize("dt, stable", [(0.01, True), (0.05, True), (0.12, True),
                                       (0.13, False), (0.2, False), (0.5, False)])
def test_synthetic_time_steps_too_coarse_for_its_filter_are_refused(dt, stable):
    # Past 1/(2.5 pi) = 0.1273 s the ground filter's central differences blew up:
    # at dt = 0.13 the first half of the record was below 3e-4 m/s2 and its peak
    # the last sample.
    if stable:
        a = synthetic_accel(dt=dt)
        assert np.argmax(np.abs(a)) < a.size // 2
    else:
        with pytest.raises(ValueError) as e:
            synthetic_accel(dt=dt)
        assert str(e.value) == (f"dt must be below 0.1273 s, the step at which the 2.5 Hz "
                                f"ground filter is still stable, not {dt!r}")


# ---- spectra, RotD and geometric means --------------------------------------

PERIODS = (0.05, 0.2, 1.0, 3.0)


def _pair_set():
    a, b, c = (synthetic_accel(seed, duration=10.0, pga=p) for seed, p in [(1, 2.0), (2, 3.0), (3, 1.0)])
    return a, b, c


@pytest.mark.parametrize("periods, want", [(PERIODS, np.array(PERIODS)),
                                           ("standard", STANDARD_PERIODS),
                                           (" Standard ", STANDARD_PERIODS),
                                           (2.0, np.array([2.0]))])
def test_summary_psa_is_the_response_spectrum(periods, want):
    accel = synthetic_accel(4, duration=8.0)
    s = summarize(accel, 0.01, periods=periods)
    assert s.periods.tobytes() == want.tobytes()
    assert s.PSA.tobytes() == response_spectrum(accel, 0.01, periods=want).PSA.tobytes()
    assert not s.PSA.flags.writeable and not s.periods.flags.writeable
    # The scalar measures are those of the summary without periods.
    assert s.as_dict() == summarize(accel, 0.01).as_dict()
    assert s.spectra_dict() == {"periods": want.tolist(), "PSA": s.PSA.tolist()}


def test_summary_without_periods_is_unchanged():
    s = summarize(synthetic_record(2))
    assert s.periods is None and s.PSA is None and s.spectra_dict() == {}
    assert set(s.as_dict()) == set(Summary.units()) and "PSA" not in Summary.units()
    assert Summary.spectral_units() == {"PSA": "m/s2"}
    # Equality and hashing compare the spectra by value.
    a = summarize(synthetic_record(2), periods=PERIODS)
    b = summarize(synthetic_record(2), periods=list(PERIODS))
    assert a == b and hash(a) == hash(b) and a != s
    assert a != summarize(synthetic_record(2), periods=PERIODS[:3])


@pytest.mark.parametrize("periods, words", [
    ((), "periods is empty"), ([0.1, -1.0], r"periods\[1\] is -1.0"), ([0.0], "positive"),
    ([math.nan], "positive"), ("standrd", "'standard'"), (["x"], "must be numbers"),
])
def test_summary_rejects_bad_periods(periods, words):
    with pytest.raises(ValueError, match=words):
        summarize(np.ones(10), 0.01, periods=periods)
    # A set takes its periods as `summarize` does: an empty list is no request for PSA.
    with pytest.raises(ValueError, match=words):
        summarize_components(np.ones(10), np.ones(10), np.ones(10), 0.01, periods=periods)


@pytest.mark.parametrize("missing", [0, 1, 2])
def test_a_missing_component_is_named_as_missing(missing):
    accel = [np.ones(10), np.ones(10), np.ones(10)]
    accel[missing] = None
    with pytest.raises(ValueError, match="accel must be numbers, not None"):
        summarize_components(*accel, dt=0.01)
    with pytest.raises(ValueError, match="accel must be numbers, not None"):
        summarize(accel[missing], 0.01)


@pytest.mark.parametrize("slot", [0, 1, 2])
@pytest.mark.parametrize("fault, message", [
    (None, "accel must be numbers, not None"),
    (np.array([]), "a record needs at least one sample"),
    (np.r_[np.ones(9), np.nan], "accel holds NaN or infinite samples"),
])
def test_a_faulty_component_of_a_set_is_named_by_its_slot(slot, fault, message):
    # The fault was told without the component: which of the three holds the NaN?
    accel = [np.ones(10), np.ones(10), np.ones(10)]
    accel[slot] = fault
    with pytest.raises(ValueError) as e:
        summarize_components(*accel, dt=0.01)
    assert str(e.value) == f"{('H1', 'H2', 'V')[slot]}: {message}"


@pytest.mark.parametrize("slot", [0, 1, 2])
def test_a_component_left_out_is_named_when_no_dt_is_given(slot):
    # Records state their dt: None among them was "summarize_components() needs dt
    # when given an array of samples", a TypeError about something not given.
    records = [Record(np.ones(10), 0.01) for _ in range(3)]
    records[slot] = None
    with pytest.raises(ValueError) as e:
        summarize_components(*records)
    assert str(e.value) == f"{('H1', 'H2', 'V')[slot]}: accel must be numbers, not None"
    with pytest.raises(ValueError) as e:
        summarize(None)
    assert str(e.value) == "accel must be numbers, not None"
    # The OBE check and RotD named it as 'an array of samples needs dt'.
    from tavotools.obe import obe_check

    with pytest.raises(ValueError) as e:
        obe_check(*records)
    assert str(e.value) == f"{('H1', 'H2', 'V')[slot]}: accel must be numbers, not None"
    if slot < 2:
        with pytest.raises(ValueError) as e:
            rotd(*records[:2])
        assert str(e.value) == f"{('H1', 'H2')[slot]}: accel must be numbers, not None"


@pytest.mark.parametrize("periods", [None, PERIODS])
def test_components_rotd_and_geometric_means_are_rotd(periods):
    a, b, c = _pair_set()
    s = summarize_components(a, b, c, dt=0.01, periods=periods)
    r = rotd(a, b, 0.01, periods=[] if periods is None else periods)
    for k, p in enumerate((0, 50, 100)):
        assert same(getattr(s, f"PGA_RotD{p}"), r.PGA[k]) and same(getattr(s, f"PGV_RotD{p}"), r.PGV[k])
    # As recorded: the geometric mean of each component's own measure, bit for bit.
    assert same(s.PGA_gm, math.sqrt(s.h1.PGA * s.h2.PGA))
    assert same(s.PGV_gm, math.sqrt(s.h1.PGV * s.h2.PGV))
    assert s.notes == () and s.rotd.PGA.tolist() == r.PGA.tolist()
    if periods is None:
        assert s.periods is s.PSA_gm is s.PSA_RotD50 is s.h1.PSA is None
        assert s.h1 == summarize(a, 0.01) and s.v == summarize(c, 0.01)
        return
    for k, p in enumerate((0, 50, 100)):
        assert getattr(s, f"PSA_RotD{p}").tobytes() == r.PSA[k].tobytes()
    for comp, accel in ((s.h1, a), (s.h2, b), (s.v, c)):
        assert comp.PSA.tobytes() == response_spectrum(accel, 0.01, periods=PERIODS).PSA.tobytes()
    assert s.PSA_gm.tobytes() == np.sqrt(s.h1.PSA * s.h2.PSA).tobytes()
    assert set(s.spectra_dict()) == {"periods", "PSA_gm", "PSA_RotD0", "PSA_RotD50", "PSA_RotD100"}


def test_components_of_different_lengths_rotate_the_common_part(data):
    h1, v, h2 = (read_records(data / "usgs_smc_lomaprieta" / f"0111{x}.smc")[0] for x in "abc")
    c = summarize_components(h1, h2, v, periods=[0.2, 1.0])
    r = rotd(h1, h2, periods=[0.2, 1.0], trim=True)
    assert r.notes == ("trimmed to 6001 samples (H2 dropped 3)",)
    assert c.notes == r.notes + ("V holds 6002 samples, the horizontals 6001",)
    assert c.PSA_RotD100.tobytes() == r.PSA[2].tobytes() and c.PGA_RotD50 == r.PGA[1]
    # Each component keeps its own, whole record.
    assert c.h2 == summarize(h2, periods=[0.2, 1.0])


@pytest.mark.parametrize("steps, lengths, notes", [
    ((0.01, 0.01, 0.02), (1000, 1000, 1000),
     ("V is sampled every 0.02 s, the horizontals every 0.01 s",)),
    ((0.01, 0.01, 0.01), (1000, 1000, 990), ("V holds 990 samples, the horizontals 1000",)),
    ((0.01, 0.01, 0.01), (1000, 1000, 1000), ()),
    # Compared with the horizontals as rotated, after the trim that notes them.
    ((0.01, 0.01, 0.01), (995, 1000, 995), ("trimmed to 995 samples (H2 dropped 5)",)),
    ((0.01, 0.01, 0.005), (995, 1000, 1000),
     ("trimmed to 995 samples (H2 dropped 5)",
      "V is sampled every 0.005 s, the horizontals every 0.01 s",
      "V holds 1000 samples, the horizontals 995")),
])
def test_a_vertical_unlike_the_horizontals_is_noted(steps, lengths, notes):
    # Such a vertical was taken in silence, while the OBE check of the same three
    # refuses or notes it; each component is still measured whole, on its own.
    records = [Record(a[:n], dt) for a, dt, n in zip(_pair_set(), steps, lengths)]
    s = summarize_components(*records, periods=[0.2, 1.0])
    assert s.notes == notes
    assert s.v == summarize(records[2], periods=[0.2, 1.0])
    assert s.max_CAVstd == max(s.h1.CAVstd, s.h2.CAVstd, s.v.CAVstd)


def test_components_refuse_mixed_time_steps_and_allow_one_sample():
    a, b, c = _pair_set()
    with pytest.raises(ValueError, match="different time steps"):
        summarize_components(Record(a, 0.01), Record(b, 0.02), Record(c, 0.01))
    s = summarize_components([1.0], [2.0], [0.5], dt=0.01)
    assert math.isnan(s.PGA_RotD50) and s.notes == ("a horizontal holds one sample: no RotD",)
    assert s.CAVstd_gm == math.sqrt(s.h1.CAVstd * s.h2.CAVstd)


@pytest.mark.parametrize("v_station, refused", [("ABD", True), ("ABC", False), (None, False)])
def test_summarize_components_refuses_a_vertical_of_another_station(v_station, refused):
    # Its CAVstd would be the maximum of another station's set.
    rng = np.random.default_rng(3)
    h1, h2, v = (Record(rng.normal(0, 1, 300), 0.01, station=s)
                 for s in ("ABC", "ABC", v_station))
    if refused:
        with pytest.raises(ValueError) as e:
            summarize_components(h1, h2, v)
        assert str(e.value) == ("H1, H2 and V are records of different stations ('ABC', 'ABC' "
                                "and 'ABD'): not the components of one motion")
    else:
        assert summarize_components(h1, h2, v) == \
            summarize_components(h1.accel, h2.accel, v.accel, 0.01)
