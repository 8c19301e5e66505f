"""The Python API under careless use: the caller's data left alone, wrong arguments
named, records and summaries that survive copies, pickling and threads."""
import array
import ast
import copy
import datetime as dt
import pathlib
import pickle
import threading

import numpy as np
import pytest

import tavotools
from tavotools import processing, records
from tavotools.obe import obe_check
from tavotools.records import Event, Record
from tavotools.rotd import rotd
from tavotools.spectra import response_spectrum
from tavotools.summary import measure_recording, summarize, summarize_components
from tavotools.synthetic import synthetic_record

DT = 0.01
UTC = dt.timezone.utc


def motion(seed, quiet=800):
    """A synthetic component followed by a quiet tail, so that CAVstd has windows to silence."""
    a = synthetic_record(seed, pga=3.0).accel[:1500]
    return np.concatenate([a, a[:quiet] * 1e-4])


# ---- the caller's samples are never changed ----------------------------------------

def given_forms(a):
    """The same samples as a caller may hold them: (name, object, its bytes now)."""
    big = np.zeros(2 * a.size)
    big[::2] = a
    frozen = a.copy()
    frozen.setflags(write=False)
    forms = [("array", a.copy()), ("strided view", big[::2]), ("reversed view", a[::-1].copy()[::-1]),
             ("list", a.tolist()), ("array.array", array.array("d", a)), ("read-only", frozen)]
    return forms


def fingerprint(x):
    if isinstance(x, np.ndarray):
        return x.tobytes(), x.strides, x.flags.writeable
    return bytes(memoryview(x)) if isinstance(x, array.array) else list(x)


CALLS = {
    "summarize": lambda a, b, c: summarize(a, DT, periods=[0.1, 1.0]),
    "summarize_components": lambda a, b, c: summarize_components(a, b, c, DT, periods=[0.5]),
    "obe_check": lambda a, b, c: obe_check(a, b, c, DT),
    "rotd": lambda a, b, c: rotd(a, b, DT, periods=[0.5]),
    "response_spectrum": lambda a, b, c: response_spectrum(a, DT, periods=[0.5]),
    "Record.from_samples": lambda a, b, c: Record.from_samples(a, DT, "g"),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("form", range(6), ids=[n for n, _ in given_forms(np.zeros(1))])
def test_no_call_changes_the_samples_it_is_given(call, form):
    given = [given_forms(motion(seed))[form][1] for seed in (1, 2, 3)]
    before = [fingerprint(x) for x in given]
    CALLS[call](*given)
    assert [fingerprint(x) for x in given] == before


STEPS = {
    "summarize": lambda r: summarize(r[0]),
    "summarize_components": lambda r: summarize_components(*r),
    "measure_recording": lambda r: measure_recording(*r, periods=[0.5]),
    "obe_check": lambda r: obe_check(*r),
    "rotd": lambda r: rotd(r[0], r[1], periods=[0.5]),
    "processing": lambda r: processing.apply_steps(
        r[0], "demean,detrend:2,taper,bandpass:0.1-20"),
}


@pytest.mark.parametrize("call", STEPS)
def test_no_call_changes_the_samples_of_a_record(call):
    records = [Record(motion(seed), DT) for seed in (1, 2, 3)]
    before = [r.accel.tobytes() for r in records]
    out = STEPS[call](records)
    assert [r.accel.tobytes() for r in records] == before
    if isinstance(out, Record):
        assert not np.shares_memory(out.accel, records[0].accel)


# ---- arguments of the wrong kind are named -----------------------------------------

@pytest.mark.parametrize("value, error", [
    ([0.01], TypeError), (np.array([0.01, 0.02]), TypeError), (0.01 + 0j, TypeError),
    ("abc", ValueError), (True, TypeError), (np.True_, TypeError), (10**400, OverflowError),
], ids=["list", "array", "complex", "text", "True", "np.True_", "huge int"])
@pytest.mark.parametrize("call, prefix", [
    (lambda step: Record([1.0, 2.0], step), ""),
    (lambda step: summarize([1.0, 2.0], step), ""),
    (lambda step: response_spectrum([1.0, 2.0], step), ""),
    # The components' checks say which component, as a ValueError.
    (lambda step: rotd([1.0, 2.0], [2.0, 1.0], step), "H1: "),
    # A dt beside a record is checked as one beside samples.
    (lambda step: summarize(Record([1.0, 2.0], 1.0), step), ""),
    (lambda step: rotd(Record([1.0, 2.0], 1.0), Record([2.0, 1.0], 1.0), step), "H1: "),
], ids=["Record", "summarize", "response_spectrum", "rotd", "summarize a Record",
        "rotd of Records"])
def test_a_time_step_that_is_no_number_is_named(call, prefix, value, error):
    with pytest.raises(ValueError if prefix else error) as e:
        call(value)
    assert str(e.value).startswith(f"{prefix}dt must be a positive, finite time step, not ")


@pytest.mark.parametrize("value, error", [
    (None, TypeError), ([0.05], TypeError), (False, TypeError), ("x", ValueError),
])
@pytest.mark.parametrize("call", [
    lambda d: response_spectrum([1.0, 2.0], DT, periods=[1.0], damping=d),
    lambda d: rotd([1.0, 2.0], [2.0, 1.0], DT, periods=[1.0], damping=d),
], ids=["response_spectrum", "rotd"])
def test_a_damping_that_is_no_number_is_named(call, value, error):
    with pytest.raises(error, match=r"^damping must be a ratio in \[0, 1\), not "):
        call(value)


@pytest.mark.parametrize("values", [
    np.array(["2020-01-01", "2020-01-02"], dtype="datetime64[D]"),
    np.array([1, 2], dtype="timedelta64[s]"),
    np.array([(1.5,), (2.5,)], dtype=[("a", "f8")]),
], ids=["datetime64", "timedelta64", "structured"])
@pytest.mark.parametrize("call", [
    lambda v: Record(v, DT),
    lambda v: Record.from_samples(v, DT, "g"),
    lambda v: summarize(v, DT),
    lambda v: response_spectrum([1.0, 2.0], DT, periods=v),
], ids=["Record", "from_samples", "summarize", "periods"])
def test_dates_durations_and_structures_are_no_numbers(call, values):
    # NumPy casts them to counts of days or seconds, or to their one field.
    with pytest.raises(ValueError, match=r"must be numbers, not "):
        call(values)


@pytest.mark.parametrize("field, value, words", [
    ("station", 5, "station must be a str or None, not int 5"),
    ("component", 360, "component must be a str or None, not int 360"),
    ("network", b"NC", "network must be a str or None"),
    ("format", 1, "format must be a str or None"),
    ("path", 5, "path must be a str or a path or None, not int 5"),
    ("event", 123, "event must be an Event or a str or None, not int 123"),
    ("start_time", "2020-01-01T00:00:00Z", "start_time must be a datetime or None, not str"),
    ("start_time", dt.date(2020, 1, 1), "start_time must be a datetime or None, not date"),
    ("stated_pga", "1.0", "stated_pga must be a real number or None, not str"),
    ("latitude", [37.0], "latitude must be a real number or None, not list"),
    ("elevation", True, "elevation must be a real number or None, not bool"),
    ("channel", 1.5, "channel must be an int, a str or None, not float 1.5"),
    ("channel", True, "channel must be an int, a str or None, not bool"),
    ("processing", ("demean", 2), "processing must be a sequence of str or None, not int 2"),
])
def test_record_fields_of_the_wrong_type_are_refused(field, value, words):
    with pytest.raises(TypeError) as e:
        Record([1.0, 2.0], DT, **{field: value})
    assert str(e.value).startswith(words)


@pytest.mark.parametrize("field, value, error, words", [
    ("name", 5, TypeError, "name must be a str or None, not int 5"),
    ("time", "2020-01-01", TypeError, "time must be a datetime or None, not str"),
    ("time", dt.date(2020, 1, 1), TypeError, "time must be a datetime or None, not date"),
    ("time", dt.datetime(2020, 1, 1), ValueError, "time must be timezone-aware (UTC)"),
    ("date", "2020-01-01", TypeError, "date must be a date or None, not str"),
    ("magnitude", "6.9", TypeError, "magnitude must be a real number or None, not str"),
    ("depth", False, TypeError, "depth must be a real number or None, not bool"),
])
def test_event_fields_of_the_wrong_type_are_refused(field, value, error, words):
    # Stored, each failed only in str(event) or as_dict(), or was written out as text.
    with pytest.raises(error) as e:
        Event(**{field: value})
    assert str(e.value).startswith(words)


def test_an_event_time_in_another_zone_is_its_utc_time_and_date():
    e = Event(time=dt.datetime(2020, 1, 1, 3, tzinfo=dt.timezone(dt.timedelta(hours=9))))
    assert (e.time, e.date) == (dt.datetime(2019, 12, 31, 18, tzinfo=UTC), dt.date(2019, 12, 31))


def test_record_fields_in_forms_that_mean_one_thing():
    r = Record([1.0, 2.0], DT, processing="mean removed", path=pathlib.Path("a/b.smc"),
               start_time=dt.datetime(2020, 1, 1, 9, tzinfo=dt.timezone(dt.timedelta(hours=9))),
               latitude=np.float32(37.5), channel=np.int64(2))
    assert r.processing == ("mean removed",)  # one step, not its letters
    assert r.path == "a/b.smc" and r.label == "b.smc"
    assert r.start_time == dt.datetime(2020, 1, 1, tzinfo=UTC) and r.start_time.tzinfo is UTC
    with pytest.raises(ValueError, match="start_time must be timezone-aware"):
        Record([1.0, 2.0], DT, start_time=dt.datetime(2020, 1, 1))


def test_naive_start_times_no_longer_reach_rotd():
    # Stored, a naive time failed only where two records were aligned, with
    # "can't subtract offset-naive and offset-aware datetimes".
    aware = Record([1.0, 2.0, 1.0], DT, start_time=dt.datetime(2020, 1, 1, tzinfo=UTC))
    with pytest.raises(ValueError, match="start_time must be timezone-aware"):
        rotd(aware, Record([1.0, 2.0, 1.0], DT, start_time=dt.datetime(2020, 1, 1)))


@pytest.mark.parametrize("call, error, words", [
    (lambda r: processing.demean(r.accel), TypeError, "demean() takes a Record, not ndarray"),
    (lambda r: processing.taper(list(r.accel)), TypeError, "taper() takes a Record, not list"),
    (lambda r: processing.taper(r, None), TypeError, "taper fraction must be a number"),
    (lambda r: processing.taper(r, True), TypeError, "taper fraction must be a number in (0, 0.5], "
                                                     "not a bool"),
    (lambda r: processing.bandpass(r, True, 20.0), TypeError, "low corner must be a frequency "
                                                              "in Hz, not a bool"),
    (lambda r: processing.bandpass(r, 0.1, [20.0]), TypeError, "high corner must be a frequency"),
    (lambda r: processing.bandpass(r, 0.1, 20.0, order=True), TypeError,
     "filter order must be an integer, not a bool"),
    (lambda r: processing.detrend(r, True), TypeError, "order must be an integer, not a bool"),
])
def test_processing_arguments_of_the_wrong_kind_are_named(call, error, words):
    with pytest.raises(error) as e:
        call(Record(motion(1), DT))
    assert str(e.value).startswith(words)


@pytest.mark.parametrize("step, samples", [
    ("mean removed", [1e308, 1e308, -1e308]),  # NumPy's mean sums past the largest double
    ("acausal Butterworth bandpass 0.5-10 Hz", np.tile([1e308, -1e308], 200)),
])
def test_a_step_that_leaves_the_doubles_says_so(step, samples):
    r = Record(samples, DT)
    with pytest.raises(ValueError) as e:
        processing.apply_steps(r, "demean" if step.startswith("mean") else "bandpass:0.5-10")
    assert str(e.value).startswith(step) and "leave the range of doubles" in str(e.value)


def test_steps_given_by_their_text_in_a_list():
    r = Record(motion(1), DT)
    got = processing.apply_steps(r, ["demean", "detrend:2", processing.taper])
    want = processing.apply_steps(r, "demean,detrend:2,taper")
    assert got.processing == want.processing and got.accel.tobytes() == want.accel.tobytes()


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("call, prefix", [
    (lambda r: summarize(r), ""),
    (lambda r: measure_recording(None, None, r), ""),
    (lambda r: summarize_components(Record(motion(2), DT), r, Record(motion(3), DT)), "H2: "),
    (lambda r: rotd(Record(motion(2), DT), r), "H2: "),
    (lambda r: obe_check(Record(motion(2), DT), Record(motion(3), DT), r), "V: "),
    # Not "mean removed: the processed samples leave the range of doubles".
    (processing.demean, ""),
    (lambda r: processing.bandpass(r, 0.1, 20.0), ""),
], ids=["summarize", "measure_recording", "summarize_components", "rotd", "obe_check",
        "demean", "bandpass"])
def test_a_sample_made_non_finite_after_the_record_is_refused(call, prefix, bad):
    # The samples are writable: a NaN put there later gave a summary's PGA and PGV
    # of the other samples, and NaN sums, with no word of it; the components named
    # the kernel's argument ("accel1") or none.
    r = Record(motion(1), DT)
    r.accel[7] = bad
    with pytest.raises(ValueError) as e:
        call(r)
    assert str(e.value) == f"{prefix}accel holds a NaN or infinite sample at index 7"


# ---- records and summaries through copies, pickles and threads ---------------------

def test_a_record_pickles_bit_for_bit_with_everything_it_states():
    samples = [-0.0, 5e-324, -1.7976931348623157e308, 0.1, 1 / 3]
    r = Record(samples, 0.005, "cm/s2", station="ST", component="HNE", channel="HNE",
               network="NC", location="00", event=Event(name="E", magnitude=6.9,
                                                       time=dt.datetime(1989, 10, 18, tzinfo=UTC)),
               start_time=dt.datetime(1989, 10, 18, 0, 4, 12, 345678, tzinfo=UTC),
               stated_pga=1.044, path="x/0111a.smc", format="smc", latitude=37.0,
               processing=("corrected by agency",), station_name="A place")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        for back in (pickle.loads(pickle.dumps(r, protocol)), copy.deepcopy(r)):
            assert back.accel.tobytes() == r.accel.tobytes() and back.accel.flags.writeable
            assert repr(back) == repr(r)
            assert all(getattr(back, f) == getattr(r, f) for f in r.__dataclass_fields__
                       if f != "accel")


@pytest.mark.parametrize("build", [
    lambda: summarize([1.0], DT),  # no PGV, no durations: NaN
    lambda: summarize(np.zeros(50), DT, periods=[0.5]),
    lambda: summarize_components([1.0], [2.0], [3.0], DT),
    lambda: summarize_components(motion(1), motion(2), motion(3), DT, periods=[0.2, 1.0]),
], ids=["one sample", "zeros", "components of one sample", "components"])
def test_summaries_of_one_record_are_equal_however_they_travel(build):
    a = build()
    for b in (build(), pickle.loads(pickle.dumps(a)), copy.deepcopy(a)):
        assert a == b and hash(a) == hash(b)


def test_nan_summaries_still_differ_from_other_values():
    one, other = summarize([1.0], DT), summarize([2.0], DT)
    assert one != other and summarize([1.0, 2.0], DT) != summarize([1.0, 3.0], DT)


def test_one_record_summarized_by_several_threads_at_once():
    record = Record(motion(1, quiet=3000), DT)
    want = summarize(record, periods=[0.1, 1.0])
    results, barrier = [], threading.Barrier(4)

    def work():
        barrier.wait()
        results.extend(summarize(record, periods=[0.1, 1.0]) for _ in range(5))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 20 and all(s == want for s in results)
    assert record.accel.tobytes() == Record(motion(1, quiet=3000), DT).accel.tobytes()


# ---- the stubs type-check ----------------------------------------------------------

@pytest.mark.parametrize("stub", sorted(p.name for p in pathlib.Path(tavotools.__file__).parent
                                        .glob("*.pyi")))
def test_no_stub_binds_a_name_twice(stub):
    # mypy refuses the whole stub ("Name already defined") where an import and a
    # declared attribute share a name, as `import numpy as np` and `np: ModuleType` did.
    tree = ast.parse((pathlib.Path(tavotools.__file__).parent / stub).read_text())
    names = []
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names += [(a.asname or a.name).partition(".")[0] for a in node.names]
        elif isinstance(node, ast.AnnAssign):
            names.append(node.target.id)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.append(node.name)
    assert len(names) == len(set(names)), sorted(n for n in names if names.count(n) > 1)


def arrays_of(result):
    """Every array a frozen result holds, its own fields' and its nested results'."""
    for name in result.__dataclass_fields__:
        value = getattr(result, name)
        if isinstance(value, np.ndarray):
            yield name, value
        elif hasattr(value, "__dataclass_fields__"):
            yield from ((f"{name}.{n}", v) for n, v in arrays_of(value))
        elif isinstance(value, tuple):
            for k, item in enumerate(value):
                if hasattr(item, "__dataclass_fields__"):
                    yield from ((f"{name}[{k}].{n}", v) for n, v in arrays_of(item))


@pytest.mark.parametrize("build", [
    lambda: summarize(motion(1), DT, periods="standard"),
    lambda: summarize_components(motion(1), motion(2), motion(3), DT, periods=[0.2, 1.0]),
    lambda: response_spectrum(motion(1), DT, periods=[0.2, 1.0]),
    lambda: rotd(motion(1), motion(2), DT, periods=[0.2, 1.0]),
    lambda: obe_check(motion(1), motion(2), motion(3), DT),
], ids=["Summary", "ComponentsSummary", "ResponseSpectrum", "RotD", "OBEReport"])
def test_read_only_results_stay_read_only_through_pickling(build):
    # NumPy unpickles arrays writable: a result sent to a worker and back could
    # then be changed in place where the one computed here refuses it.
    result = build()
    held = dict(arrays_of(result))
    assert held and not any(a.flags.writeable for a in held.values())
    for back in (pickle.loads(pickle.dumps(result)), copy.deepcopy(result)):
        back_held = dict(arrays_of(back))
        assert back_held.keys() == held.keys()
        for name, a in back_held.items():
            assert not a.flags.writeable, name
            assert a.tobytes() == held[name].tobytes(), name


def test_a_file_obspy_does_not_read_keeps_its_closest_format_through_pickling():
    from tavotools.records.obspy import NotRead

    e = pickle.loads(pickle.dumps(NotRead("f.knet", None, "ObsPy reads it as KNET", "knet")))
    assert (e.closest, str(e)) == ("knet", "f.knet: ObsPy reads it as KNET")


# ---- channels ----------------------------------------------------------------------

def test_a_bool_is_no_channel(tmp_path):
    path = tmp_path / "a.txt"
    path.write_text("1.0\n2.0\n3.0\n")
    assert records.read_record(path, channel=1, dt=DT, units="g").npts == 3
    with pytest.raises(TypeError, match="channel must be a channel number or code, not a bool"):
        records.read_record(path, channel=True, dt=DT, units="g")  # True == 1
