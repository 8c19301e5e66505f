"""ObsPy traces as records and back, and what obspy.read reads (MiniSEED, SAC)."""
import csv
import datetime
import gzip
import json
import warnings

import numpy as np
import pytest

from tavotools.cli import main
from tavotools.flatfile import run
from tavotools.records import (FORMATS, Event, Record, RecordError, SkippedFile,
                               UnrecognisedFormat, read_record, read_records)
from tavotools.rotd import rotd
from tavotools.spectra import response_spectrum
from tavotools.summary import summarize

obspy = pytest.importorskip("obspy")
from obspy.core.inventory import (Channel, InstrumentSensitivity, Inventory,  # noqa: E402
                                  Network, Response, ResponseStage, Station)

START = obspy.UTCDateTime(2020, 1, 2, 3, 4, 5.5)
COUNTS = ((np.arange(3000) * 7919) % 2001 - 1000).astype(np.int32)


def trace(data=COUNTS, channel="HNZ"):
    return obspy.Trace(data.copy(), header=dict(network="XX", station="ABC", location="00",
                                                channel=channel, sampling_rate=100.0,
                                                starttime=START))


def inventory(units="M/S**2", value=4.0e5):
    sensitivity = InstrumentSensitivity(value=value, frequency=1.0, input_units=units,
                                        output_units="COUNTS")
    channels = [Channel(code, "00", 10.5, 20.25, 30.0, 0.0, start_date=obspy.UTCDateTime(2000, 1, 1),
                        response=Response(instrument_sensitivity=sensitivity, response_stages=[
                            ResponseStage(1, value, 1.0, units, "COUNTS")]))
                for code in ("HNZ", "HNE")]
    station = Station("ABC", 10.5, 20.25, 30.0, channels=channels)
    return Inventory([Network("XX", stations=[station])], source="test")


def written(tmp_path, tr, fmt):
    path = tmp_path / f"record.{fmt.lower()}"
    tr.write(str(path), format=fmt)
    return path


UNKNOWN = ("the samples' units are unknown (counts?): pass units= (--units) "
           "when they are accelerations, or inventory= (--inventory) to divide counts by "
           "the sensitivity")


@pytest.mark.parametrize("fmt", ["MSEED", "SAC"])
def test_counts_need_units_or_an_inventory(tmp_path, fmt):
    path = written(tmp_path, trace(), fmt)
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert str(e.value) == f"{path}: XX.ABC.00.HNZ: {UNKNOWN}"


@pytest.mark.parametrize("fmt", ["MSEED", "SAC"])
def test_units_given_convert_the_samples(tmp_path, fmt):
    r = read_record(written(tmp_path, trace(), fmt), units="gal")
    assert np.array_equal(r.accel, COUNTS.astype(np.float64) * 0.01)
    assert (r.format, r.dt, r.npts, r.units) == (f"obspy:{fmt.lower()}", 0.01, 3000, "gal")
    assert (r.network, r.station, r.location, r.channel, r.is_vertical) == \
        ("XX", "ABC", "00", "HNZ", True)
    assert r.start_time == START.datetime.replace(tzinfo=r.start_time.tzinfo)
    assert r.start_time.utcoffset().total_seconds() == 0


def test_float32_sac_step_and_samples(tmp_path):
    # SAC keeps float32 samples and a float32 step: 0.01 is read back as 0.01.
    data = (COUNTS / 3.0).astype(np.float32)
    r = read_record(written(tmp_path, trace(data), "SAC"), units="m/s2")
    assert r.dt == 0.01
    assert np.array_equal(r.accel, data.astype(np.float64))


@pytest.mark.parametrize("last", [b"\x00\x00\x00\x1a", b"\x00\x1a\r\n", b"\x1a\x1a\x1a\n"])
def test_a_binary_file_ending_as_a_dos_text_ends_is_read_whole(tmp_path, last):
    # Its last bytes (a float32 sample: Ctrl-Z, or Ctrl-Z and a line end) are a
    # sample, not an end-of-file mark.
    data = np.append((COUNTS / 3.0).astype("<f4"), np.frombuffer(last, "<f4"))
    path = written(tmp_path, trace(data), "SAC")
    assert path.read_bytes()[-4:] == data[-1:].tobytes()
    r = read_record(path, units="m/s2")
    assert np.array_equal(r.accel, data.astype(np.float64))


def test_inventory_divides_by_the_overall_sensitivity_as_obspy_does(tmp_path):
    inv = inventory()
    path = written(tmp_path, trace(), "MSEED")
    expected = trace().remove_sensitivity(inv).data
    xml = tmp_path / "station.xml"
    inv.write(str(xml), format="STATIONXML")
    for given in (inv, str(xml)):
        r = read_record(path, inventory=given)
        assert np.array_equal(r.accel, expected)
        assert (r.units, r.processing) == ("m/s2", ("as recorded", "sensitivity removed"))
        assert (r.latitude, r.longitude, r.elevation) == (10.5, 20.25, 30.0)


@pytest.mark.parametrize("inv, channel, message", [
    (inventory(units="M/S"), "HNZ", "XX.ABC.00.HNZ: the sensor measures M/S, not acceleration"),
    (inventory(), "HNN",
     "XX.ABC.00.HNN: no response at 2020-01-02T03:04:05.500000Z in the inventory"),
])
def test_inventory_faults(tmp_path, inv, channel, message):
    path = written(tmp_path, trace(channel=channel), "MSEED")
    with pytest.raises(RecordError) as e:
        read_records(path, inventory=inv)
    assert str(e.value) == f"{path}: {message}"


def test_gzip_miniseed(tmp_path):
    path = written(tmp_path, trace(), "MSEED")
    packed = tmp_path / "record.mseed.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    assert np.array_equal(read_record(packed, units="g").accel, read_record(path, units="g").accel)


def test_record_to_trace_and_back(data):
    r = read_record(data / "formats" / "knet" / "CHB0021412312349.NS")
    tr = r.to_trace()
    assert (tr.id, tr.stats.delta, tr.stats.npts) == ("K-NET.CHB002..NS", 0.01, 6800)
    assert tr.stats.starttime == obspy.UTCDateTime(r.start_time)
    assert tr.data is not r.accel and np.array_equal(tr.data, r.accel)
    back = Record.from_trace(tr)
    assert np.array_equal(back.accel, r.accel)
    assert (back.units, back.processing, back.start_time, back.channel) == \
        ("m/s2", r.processing, r.start_time, "NS")


@pytest.mark.parametrize("dt", [0.00024, 0.06105694180095081, 0.009999999776482582, 0.005])
def test_a_trace_of_a_record_gives_its_time_step_back_bit_for_bit(dt):
    # ObsPy keeps 1 / (1 / dt): an ulp off the first two; the third is a float32 value.
    r = Record(np.sin(np.arange(50.0)), dt)
    tr = r.to_trace()
    assert Record.from_trace(tr).dt == dt
    tr.stats.sampling_rate = 40.0  # resampled in ObsPy: its own step, not the record's
    assert Record.from_trace(tr).dt == 0.025


@pytest.mark.parametrize("steps", [
    ["ObsPy 1.5.1: integrate(method='cumtrapz'::options={})"],
    ["ObsPy 1.5.1: differentiate(method='gradient'::options={})",
     "ObsPy 1.5.1: detrend(options={}::type='linear')"],
    ["ObsPy 1.5.1: normalize(norm=None)",  # divided by its peak: 1 m/s² whatever it was
     "ObsPy 1.5.1: taper(max_length=None::max_percentage=0.05::side='both'::type='hann')"],
])
@pytest.mark.parametrize("ours", [True, False])
def test_a_trace_integrated_or_differentiated_is_no_longer_an_acceleration(steps, ours):
    if ours:
        tr = Record(np.sin(np.arange(50.0)), 0.01).to_trace()
    else:
        tr = trace(COUNTS.astype(np.float64))
        tr.stats.processing = ["ObsPy 1.5.1: remove_response(output='ACC'::pre_filt=None)"]
    tr.stats.processing = list(tr.stats.get("processing", [])) + steps
    with pytest.raises(RecordError) as e:
        Record.from_trace(tr)
    assert f"the samples are no longer accelerations (ObsPy: {steps[0]}" in str(e.value)
    assert Record.from_trace(tr, "m/s2").units == "m/s2"  # the caller's word is taken


@pytest.mark.parametrize("kwargs", [dict(units="gal"), dict(inventory=inventory())])
def test_complex_samples_are_refused(kwargs):
    with pytest.raises(RecordError) as e:
        Record.from_trace(trace(COUNTS + 0.5j), **kwargs)
    assert str(e.value) == "XX.ABC.00.HNZ: the samples must be real numbers, not complex"


def test_summarize_takes_a_trace(data):
    r = read_record(data / "formats" / "knet" / "CHB0021412312349.UD")
    assert summarize(r.to_trace()) == summarize(r)
    raw = trace()
    with pytest.raises(RecordError) as e:
        summarize(raw)
    assert str(e.value) == f"XX.ABC.00.HNZ: {UNKNOWN}"
    assert summarize(raw, units="gal") == summarize(COUNTS * 0.01, 0.01)


def test_a_trace_whose_response_obspy_removed_to_acceleration():
    tr = trace(COUNTS.astype(np.float64))
    tr.stats.processing = ["ObsPy 1.5.1: remove_response(output='ACC'::pre_filt=None)"]
    assert Record.from_trace(tr).units == "m/s2"
    tr.stats.processing = ["ObsPy 1.5.1: remove_response(output='VEL'::pre_filt=None)"]
    with pytest.raises(RecordError):
        Record.from_trace(tr)


@pytest.mark.parametrize("samples", [
    np.linspace(-1, 1, 500).astype(np.float32), np.arange(-250, 250, dtype=np.int16),
    list(range(-250, 250)),
])
def test_summarize_converts_float32_integers_and_lists(samples):
    assert summarize(samples, 0.01) == summarize(np.asarray(samples, dtype=np.float64), 0.01)


def test_a_file_obspy_reads_as_a_format_read_here_is_told_in_that_reader_s_terms(data, tmp_path):
    # ObsPy reads K-NET by line position, and takes even this cut header.
    path = tmp_path / "cut"
    path.write_bytes((data / "formats" / "knet" / "CHB0021412312349.EW").read_bytes()[:80])
    with pytest.raises(RecordError) as e:
        read_records(path)
    tried = ", ".join(m.NAME for m in FORMATS)
    assert str(e.value) == (f"{path}: not a recognised record format (tried: {tried}); as knet: "
                            f"line 3: file ends inside the header (no 'Memo.' line)")


def test_a_trace_with_gaps_is_refused():
    tr = trace(COUNTS.astype(np.float64))
    tr.data = np.ma.masked_array(tr.data, mask=np.arange(3000) % 1000 == 5)
    with pytest.raises(RecordError) as e:
        Record.from_trace(tr, "gal")
    assert str(e.value) == ("XX.ABC.00.HNZ: the trace has gaps (masked samples): "
                            "fill them or read its parts as traces of their own")
    tr.data = np.ma.masked_array(COUNTS.astype(np.float64), mask=False)
    assert np.array_equal(Record.from_trace(tr, "gal").accel, COUNTS * 0.01)


@pytest.mark.parametrize("fmt", ["MSEED", "SAC"])
@pytest.mark.parametrize("rate", [4096.0, 8192.0, 200.0, 1.0])
def test_a_step_of_one_over_whole_hertz_is_read_as_it_is(tmp_path, fmt, rate):
    # 2**-12 s is a float32 value whose shortest float32 decimal, 0.00024414062, is another double.
    tr = trace(COUNTS.astype(np.float32))
    tr.stats.sampling_rate = rate
    r = read_record(written(tmp_path, tr, fmt), units="m/s2")
    assert r.dt == 1.0 / rate
    assert Record.from_trace(tr, "m/s2").dt == 1.0 / rate


@pytest.mark.parametrize("header, dt", [
    (np.float32(0.01), 0.01),
    (np.frombuffer(b"\x0b\xd7#=", "<f4")[0], 0.04),  # 0.04 stored an ulp low
    (np.float32(2.0 ** -12), 2.0 ** -12),
])
def test_a_sac_step_is_read_as_written(tmp_path, header, dt):
    tr = trace(COUNTS.astype(np.float32))
    tr.stats.delta = float(header)
    path = written(tmp_path, tr, "SAC")
    with open(path, "r+b") as f:  # the header's step as some SAC writers store it
        f.write(header.astype("<f4").tobytes())
    assert read_record(path, units="m/s2").dt == dt


def own_trace(samples, channel):
    """A trace of `to_trace`: its samples state their units (m/s²)."""
    return Record(samples, 0.01, network="XX", station="ABC", location="00", channel=channel,
                  start_time=START.datetime.replace(tzinfo=datetime.timezone.utc)
                  ).to_trace()


H1, H2 = np.sin(np.arange(400) * 0.1), np.cos(np.arange(400) * 0.07) * 0.5


@pytest.mark.parametrize("call", [
    lambda tr: Record(tr, 0.01),
    lambda tr: Record.from_samples(tr, 0.01, "gal"),
    lambda tr: response_spectrum(tr, 0.01, periods=[1.0]),
    lambda tr: rotd(tr, H2, 0.01, periods=[]),
], ids=["Record", "from_samples", "response_spectrum", "rotd"])
@pytest.mark.parametrize("make", [lambda: trace(COUNTS.astype(np.float64), "HNE"),
                                  lambda: own_trace(H1, "HNE")], ids=["counts", "m/s2"])
def test_a_trace_is_not_taken_for_bare_samples(call, make):
    # NumPy reads a trace as its samples: counts would pass for m/s², its own step unseen.
    with pytest.raises(ValueError, match="is an ObsPy Trace|dt is given by the trace itself"):
        call(make())


def test_rotd_takes_traces_as_records():
    a, b = own_trace(H1, "HNE"), own_trace(H2, "HNN")
    ours = rotd(a, b, periods=[0.5, 1.0])
    expected = rotd(Record.from_trace(a), Record.from_trace(b), periods=[0.5, 1.0])
    assert np.array_equal(ours.PSA, expected.PSA) and np.array_equal(ours.PGV, expected.PGV)
    with pytest.raises(RecordError, match="units are unknown"):
        rotd(trace(COUNTS.astype(np.float64), "HNE"), b, periods=[])
    b.stats.starttime += 0.5  # fifty steps later: not simultaneous
    with pytest.raises(ValueError, match="start 0.5 s apart"):
        rotd(a, b, periods=[])


def converted_by_obspy():
    tr = trace(COUNTS.astype(np.float64))
    tr.remove_sensitivity(inventory())
    return tr


def response_removed():
    tr = trace(COUNTS.astype(np.float64))
    tr.stats.processing = ["ObsPy 1.5.1: remove_response(output='ACC'::pre_filt=None)"]
    return tr


@pytest.mark.parametrize("make, why", [
    (converted_by_obspy, "ObsPy 1.5.1: remove_sensitivity("),
    (response_removed, "ObsPy 1.5.1: remove_response(output='ACC'"),
    (lambda: own_trace(H1, "HNZ"), "they are in m/s2"),
], ids=["remove_sensitivity", "remove_response", "to_trace"])
def test_an_inventory_does_not_divide_samples_that_are_no_longer_counts(make, why):
    with pytest.raises(RecordError) as e:
        Record.from_trace(make(), inventory=inventory())
    assert str(e.value).startswith(f"XX.ABC.00.HNZ: the samples are no longer counts ({why}")
    assert str(e.value).endswith("an inventory converts counts; pass units= for what they are")


@pytest.mark.parametrize("channels, recordings", [
    # An accelerometer (HN) and a broadband sensor (HH) of one station, started together.
    (["HNE", "HNN", "HNZ", "HHE", "HHN", "HHZ"], [["HNE", "HNN", "HNZ"], ["HHE", "HHN", "HHZ"]]),
    (["HNE", "HHN", "HNZ"], [["HNE", "HNZ"], ["HHN"]]),
    (["HN1", "HN2", "HNZ"], [["HN1", "HN2", "HNZ"]]),
])
def test_a_miniseed_of_two_sensors_gives_a_row_per_sensor(tmp_path, channels, recordings):
    st = obspy.Stream([trace(COUNTS.astype(np.float64) * (k + 1), ch)
                       for k, ch in enumerate(channels)])
    (tmp_path / "in").mkdir()
    st.write(str(tmp_path / "in" / "station.mseed"), format="MSEED")
    run([tmp_path / "in"], tmp_path / "flat.csv", units="gal")
    with open(tmp_path / "flat.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    got = [[row[f"{slot}_channel"] for slot in ("H1", "H2", "V") if row[f"{slot}_channel"]]
           for row in rows]
    assert sorted(got) == sorted(recordings)
    for row in rows:
        if row["H2_channel"]:  # the RotD of the one sensor's horizontals
            h1, h2 = (Record.from_trace(st.select(channel=row[f"{s}_channel"])[0], "gal")
                      for s in ("H1", "H2"))
            assert float(row["RotD50_PGA (m/s2)"]) == rotd(h1, h2, periods=[]).PGA[1]


@pytest.mark.parametrize("channels, pairs", [
    (["HNE", "HHN"], []),  # two sensors' horizontals: no pair to rotate
    (["HNE", "HNN"], [("HNE", "HNN")]),
    (["HNE", "HHN", "HNN", "HHE", "HHZ"], [("HNE", "HNN"), ("HHN", "HHE")]),
])
def test_spectrum_rotates_only_one_sensor_s_horizontals(tmp_path, capsys, channels, pairs):
    st = obspy.Stream([trace(COUNTS.astype(np.float64) * (k + 1), ch)
                       for k, ch in enumerate(channels)])
    st.write(str(tmp_path / "station.mseed"), format="MSEED")
    status = main(["spectrum", "--format", "json", "--periods", "1", "--units", "gal",
                   str(tmp_path / "station.mseed")])
    doc = json.loads(capsys.readouterr().out)
    assert status == 0
    # The pairs' labels are the file's name: tell them by their values.
    expected = [rotd(*(Record.from_trace(st.select(channel=c)[0], "gal") for c in pair),
                     periods=[1.0]).PSA[1].tolist() for pair in pairs]
    assert sorted(p["RotD50"] for p in doc["rotd"]) == sorted(expected)


@pytest.mark.parametrize("second, apart", [
    (dict(starttime=START + 15.0), "starting 2020-01-02T03:04:05.500000+00:00, "
                                   "2020-01-02T03:04:20.500000+00:00"),
    (dict(location="10"), "locations 00, 10"),
    (dict(station="ABD"), "stations ABC, ABD"),
])
def test_two_traces_of_one_channel_are_told_apart_by_what_differs(tmp_path, second, apart):
    # The parts of a trace with gaps, or two sensors' HNZ: which one is meant is not guessed.
    st = obspy.Stream([trace(COUNTS[:1000]), trace(COUNTS[1500:])])
    for key, value in second.items():
        st[1].stats[key] = value
    st.write(str(tmp_path / "two.mseed"), format="MSEED")
    with pytest.raises(ValueError) as e:
        read_record(tmp_path / "two.mseed", units="gal", channel="HNZ")
    assert str(e.value) == f"{tmp_path / 'two.mseed'} holds 2 records that channel 'HNZ' " \
                           f"names ({apart})"


def test_obe_check_takes_traces_as_records():
    from tavotools.obe import obe_check

    traces = [own_trace(x, ch) for x, ch in ((H1, "HNE"), (H2, "HNN"), (H1 * 0.3, "HNZ"))]
    assert obe_check(*traces) == obe_check(*(Record.from_trace(t) for t in traces))
    with pytest.raises(RecordError, match="units are unknown"):
        obe_check(trace(COUNTS.astype(np.float64), "HNE"), *traces[1:])


def test_from_trace_reads_an_inventory_file(tmp_path):
    inv = inventory()
    xml = tmp_path / "station.xml"
    inv.write(str(xml), format="STATIONXML")
    expected = Record.from_trace(trace(), inventory=inv)
    for given in (str(xml), xml):
        r = Record.from_trace(trace(), inventory=given)
        assert np.array_equal(r.accel, expected.accel) and r.latitude == 10.5
    with pytest.raises(RecordError, match="nope.xml: cannot be read as an inventory"):
        Record.from_trace(trace(), inventory=str(tmp_path / "nope.xml"))


@pytest.mark.parametrize("idep, refused", [
    (6, "displacements (IDISP)"), (7, "velocities (IVEL)"), (50, "volts (IVOLTS)"),
    (8, None), (5, None), (None, None),  # accelerations, unknown, unset
])
def test_a_sac_file_stating_another_quantity_is_refused(tmp_path, idep, refused):
    tr = trace(COUNTS.astype(np.float32))
    if idep is not None:
        tr.stats.sac = obspy.core.AttribDict(idep=idep)
    path = written(tmp_path, tr, "SAC")
    if refused:
        with pytest.raises(RecordError) as e:
            read_record(path, units="gal")
        assert str(e.value) == (f"{path}: XX.ABC.00.HNZ: the SAC header states the samples "
                                f"are {refused}, not accelerations")
    else:
        assert np.array_equal(read_record(path, units="gal").accel, COUNTS * 0.01)
    processed = obspy.read(str(path))[0]
    processed.differentiate()  # ObsPy's steps leave the header as it was
    assert Record.from_trace(processed, "gal").npts == COUNTS.size


@pytest.mark.parametrize("second, refused", [(5.0e5, True), (4.0e5, False)])
@pytest.mark.parametrize("location", ["00", ""])
def test_an_inventory_stating_two_sensitivities_at_once_is_refused(second, refused, location):
    # ObsPy takes the first of overlapping responses, with a warning at most.
    inv = inventory() + inventory(value=second)
    for cha in inv[0][0].channels + inv[1][0].channels:
        cha.location_code = location
    tr = trace()
    tr.stats.location = location
    if refused:
        with pytest.raises(RecordError) as e:
            Record.from_trace(tr, inventory=inv)
        assert str(e.value) == (f"{tr.id}: the inventory states 2 different sensitivities at "
                                f"2020-01-02T03:04:05.500000Z (400000.0 per M/S**2, 500000.0 per "
                                f"M/S**2): which one holds is not for the reader to guess")
    else:
        assert np.array_equal(Record.from_trace(tr, inventory=inv).accel, COUNTS / 4.0e5)


def calibrated_trace():
    tr = trace(COUNTS.astype(np.float64))
    tr.stats.calib = 2.0 ** -12  # a float32 value: SAC keeps it as it is
    return tr


def sac_with_scale(tmp_path):
    # ObsPy writes calib as SAC's SCALE and reads SCALE back as calib.
    return obspy.read(str(written(tmp_path, calibrated_trace(), "SAC")))[0]


@pytest.mark.parametrize("make", [lambda tmp_path: calibrated_trace(), sac_with_scale])
def test_samples_stating_a_calibration_factor_are_not_taken_for_the_units_named(tmp_path, make):
    # Counts times calib are the values; read(apply_calib=True) multiplies and keeps calib.
    tr = make(tmp_path)
    with pytest.raises(RecordError) as e:
        Record.from_trace(tr, "gal")
    assert str(e.value) == ("XX.ABC.00.HNZ: the samples state a calibration factor (calib "
                            "0.000244140625) that may or may not have been applied to them: "
                            "multiply them by it if need be and set stats.calib to 1.0, then give "
                            "units= for what they are; counts are divided by the sensitivity with "
                            "inventory= (--inventory)")
    with pytest.raises(RecordError, match="calibration factor"):
        summarize(tr, units="gal")
    tr.data = tr.data * tr.stats.calib
    tr.stats.calib = 1.0
    assert np.array_equal(Record.from_trace(tr, "gal").accel, COUNTS * 2.0 ** -12 * 0.01)


def test_a_sac_file_with_a_scale_is_refused_with_units_but_divided_by_an_inventory(tmp_path):
    path = written(tmp_path, calibrated_trace(), "SAC")
    with pytest.raises(RecordError, match=f"^{path}: XX.ABC.00.HNZ: the samples state a "
                                          f"calibration factor"):
        read_record(path, units="gal")
    # ObsPy's remove_sensitivity divides the counts and leaves calib aside: so does the reader.
    assert np.array_equal(read_record(path, inventory=inventory()).accel, COUNTS / 4.0e5)


@pytest.mark.parametrize("name", ["knet/CHB0021412312349.EW", "kiknet/AICH040010061330.EW2"])
def test_a_k_net_trace_read_by_obspy_measures_as_the_native_reader_reads_it(data, name):
    from tavotools.processing import demean

    native = read_record(data / "formats" / name)
    tr = obspy.read(str(data / "formats" / name))[0]  # counts, with the scale factor as calib
    with pytest.raises(RecordError, match="calibration factor"):
        Record.from_trace(tr, "gal")
    tr = obspy.read(str(data / "formats" / name), apply_calib=True)[0]  # m/s², calib kept
    tr.stats.calib = 1.0
    ours = demean(Record.from_trace(tr, "m/s2"))  # the native reader removes the mean
    assert (ours.dt, ours.npts, ours.start_time, ours.station, ours.channel) == \
        (native.dt, native.npts, native.start_time, native.station, native.channel)
    # ObsPy's scale factor is 0.01 · N / D, the native one N / D gal: an ulp apart in
    # each sample, a few parts in 10¹³ in the sums.
    a, b = summarize(ours), summarize(native)
    for field in ("PGA", "PGV", "Ia", "CAV", "CAVstd", "t5", "t95"):
        assert getattr(a, field) == pytest.approx(getattr(b, field), rel=1e-12, abs=0.0)


FIELDS = ("network", "station", "location", "channel", "component", "station_name", "latitude",
          "path", "format",
          "longitude", "elevation", "event", "stated_pga", "start_time", "dt", "processing",
          "label", "orientation")


@pytest.mark.parametrize("fields", [
    dict(station="CE89146", channel=2, component="90 DEG", path="/x/CE89146.V2", format="dmg"),
    dict(station="GIL067", component="UP", latitude=37.0, longitude=-121.6, elevation=12.0,
         station_name="Gilroy Array #6", stated_pga=0.43,
         event=Event(name="Loma Prieta", magnitude=6.9, time=START.datetime.replace(
             tzinfo=datetime.timezone.utc))),
    dict(network="XX", station="ABC", location="00", channel="HNE",
         start_time=datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)),
    dict(processing=("as recorded", "mean removed")),  # no name, no start time
])
def test_a_trace_of_a_record_gives_its_fields_back(fields):
    r = Record(H1, 0.005, **fields)
    back = Record.from_trace(r.to_trace())
    assert {f: getattr(back, f) for f in FIELDS} == {f: getattr(r, f) for f in FIELDS}
    assert np.array_equal(back.accel, r.accel)


def test_a_trace_renamed_or_moved_is_read_as_it_now_is():
    r = Record(H1, 0.005, station="ABC", channel="HNE", component="east", latitude=1.0)
    tr = r.to_trace()
    tr.stats.channel = "HNN"  # another channel: what the record said of its own is not
    back = Record.from_trace(tr)
    assert (back.channel, back.component, back.latitude, back.start_time) == \
        ("HNN", "HNN", None, None)
    tr.stats.starttime = START
    assert Record.from_trace(tr).start_time == START.datetime.replace(tzinfo=datetime.timezone.utc)


def staged_inventory(value):
    """A sensor of 2 V per m/s² and a digitiser of 1e5 counts per V, stating `value` overall."""
    from obspy.core.inventory.response import (CoefficientsTypeResponseStage,
                                               PolesZerosResponseStage)

    inv = inventory()
    response = inv[0][0][0].response
    response.instrument_sensitivity.value = value
    response.response_stages = [
        PolesZerosResponseStage(1, 2.0, 1.0, "M/S**2", "V", "LAPLACE (RADIANS/SECOND)", 1.0,
                                zeros=[], poles=[]),
        CoefficientsTypeResponseStage(2, 1.0e5, 1.0, "V", "COUNTS", "DIGITAL", numerator=[1.0],
                                      denominator=[], decimation_input_sample_rate=100.0,
                                      decimation_factor=1, decimation_offset=0,
                                      decimation_delay=0, decimation_correction=0)]
    return inv


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf")])
def test_a_sensitivity_that_is_no_number_is_recalculated_from_the_stages(value):
    # It was taken as stated: NaN samples, blamed on the trace, or from ±inf a record of zeros.
    inv = staged_inventory(value)
    r = Record.from_trace(trace(), inventory=inv)
    assert np.array_equal(r.accel, COUNTS / 2.0e5)
    stated = inv[0][0][0].response.instrument_sensitivity.value
    assert stated == value or (np.isnan(stated) and np.isnan(value))  # the caller's, untouched
    inv[0][0][0].response.response_stages = []  # nothing to recalculate it from
    with pytest.raises(RecordError) as e:
        Record.from_trace(trace(), inventory=inv)
    assert str(e.value) == (f"XX.ABC.00.HNZ: the inventory states no overall sensitivity "
                            f"(it states {value!r})")


def log_trace(text=b"Q330 restarted: power restored"):
    """A datalogger's log channel as ObsPy reads it from MiniSEED: ASCII bytes, no rate."""
    return obspy.Trace(np.frombuffer(text, dtype="|S1").copy(), header=dict(
        network="XX", station="ABC", channel="LOG", sampling_rate=0.0, starttime=START))


def state_of_health():
    """Numbers of no sampling rate (a clock's error count): ObsPy's step is 0 s."""
    return obspy.Trace(np.array([5, 6], dtype=np.int32), header=dict(
        network="XX", station="ABC", channel="ACE", sampling_rate=0.0, starttime=START))


def write_quietly(st, path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # ObsPy on mixed encodings in one file
        st.write(str(path), format="MSEED")


@pytest.mark.parametrize("channels", [["HNE"], ["HNE", "HNN", "HNZ"]])
def test_a_miniseed_s_log_and_health_channels_are_left_out_not_the_file(tmp_path, channels):
    # A text trace made the whole file "the samples must be numbers", one of no
    # rate a ZeroDivisionError.
    st = obspy.Stream([trace(COUNTS.astype(np.float64) * (k + 1), ch)
                       for k, ch in enumerate(channels)])
    path = tmp_path / "station.mseed"
    write_quietly(st + obspy.Stream([log_trace(), state_of_health()]), path)
    assert {"LOG", "ACE"} <= {t.stats.channel for t in obspy.read(str(path))}
    records = read_records(path, units="gal")
    assert [r.channel for r in records] == channels
    for k, r in enumerate(records):
        assert np.array_equal(r.accel, COUNTS * (k + 1) * 0.01)


@pytest.mark.parametrize("makers, ids", [
    ([log_trace], "XX.ABC..LOG"), ([state_of_health], "XX.ABC..ACE"),
    ([log_trace, state_of_health], "XX.ABC..ACE, XX.ABC..LOG"),
])
def test_a_miniseed_of_logs_only_is_no_record_file(tmp_path, makers, ids):
    path = tmp_path / "logs.mseed"
    write_quietly(obspy.Stream([make() for make in makers]), path)
    with pytest.raises(UnrecognisedFormat) as e:
        read_records(path)
    assert str(e.value) == (f"{path}: ObsPy finds only text or channels of no sampling rate "
                            f"in it ({ids}), no samples in time")
    with pytest.warns(SkippedFile, match="logs.mseed: skipped, not a record file"):
        assert read_records(tmp_path, units="gal") == []


def test_a_trace_of_no_sampling_rate_is_refused():
    with pytest.raises(RecordError) as e:
        Record.from_trace(state_of_health(), "gal")
    assert str(e.value) == "XX.ABC..ACE: the trace states no sampling rate (0.0 Hz): not " \
                           "samples in time"


@pytest.mark.parametrize("make, kwargs, before, after", [
    (lambda: Record(H1, 0.01, processing=("as recorded", "mean removed")).to_trace(), {},
     ("as recorded", "mean removed"), ()),
    (lambda: trace(COUNTS.astype(np.float64)), dict(units="gal"), (), ()),
    (lambda: trace(COUNTS.astype(np.float64)), dict(inventory=inventory()), ("as recorded",),
     ("sensitivity removed",)),
])
def test_the_steps_obspy_took_are_in_the_record_s_processing(make, kwargs, before, after):
    # A record filtered in ObsPy came back "as recorded", "mean removed" and no more.
    tr = make()
    assert Record.from_trace(tr, **kwargs).processing == before + after
    tr.detrend("linear")
    tr.filter("bandpass", freqmin=0.5, freqmax=10.0)
    steps = tuple(tr.stats.processing)
    assert len(steps) == 2 and "detrend(" in steps[0] and "filter(" in steps[1]
    assert Record.from_trace(tr, **kwargs).processing == before + steps + after
