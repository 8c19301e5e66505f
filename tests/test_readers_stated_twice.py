"""What a header states twice must agree: a step given as an interval and as a
rate or a length, units given on the data line and in the text, a direction
given by the header and by the file's name. Where the two differ the file does
not say which holds, and the reader refuses it rather than pick one. Times are
taken only in the zone the header names."""
import datetime as dt

import pytest

from tavotools.records import RecordError, read_record, read_records

UTC = dt.timezone.utc
F = "formats"
UNAM = f"{F}/unam/CUP50401.012"
ESM = f"{F}/esm/HI.ARS1..HNE.D.20190728.160908.C.ACC.ASC"
DMG_V1, DMG_V2 = f"{F}/dmg/CE89146.V1", f"{F}/dmg/CE89146.V2"
GEONET = f"{F}/geonet/20180212_211557_WPWS_20.V2A"
KIKNET_UD2 = f"{F}/kiknet/AICH040010061330.UD2"


@pytest.mark.parametrize("direction, target", [("U-D", "x.NS2"), ("E-W", "x.UD1"),
                                               ("N-S", "x.EW2")])
def test_kiknet_name_and_direction_that_differ_are_refused(edited, direction, target):
    """A KiK-net file whose direction is written as K-NET's takes its sensor from its name;
    a name that states another direction than the header's is another file's name."""
    path = edited(KIKNET_UD2,
                  [("Dir.              6", f"Dir.              {direction}")], target)
    with pytest.raises(RecordError, match=f"Dir. {direction} is not the direction the file "
                                          f"name states") as caught:
        read_record(path)
    assert caught.value.line == 13


@pytest.mark.parametrize("direction, target, expected", [
    ("U-D", "x.UD1", ("UD1", "U-D", "borehole")),   # the name's sensor, the header's direction
    ("6", "x.NS2", ("UD2", "U-D", "surface")),      # the header states both: the name is not read
])
def test_kiknet_direction_and_sensor(edited, direction, target, expected):
    path = edited(KIKNET_UD2,
                  [("Dir.              6", f"Dir.              {direction}")], target)
    (r,) = read_records(path)
    assert (r.channel, r.component, r.location) == expected


# (file, edits, the line named, words of the message)
DISAGREEING = [
    (UNAM, [(": /250/250/250", ": /200/200/200")], 39, "200 samples/s is not the interval"),
    (UNAM, [(": /70.00/70.00/70.00", ": /80.00/80.00/80.00")], 70, "not the 80 s stated"),
    (ESM, [("DURATION_S: 95.640", "DURATION_S: 191.280")], 31, "DURATION_S 191.28 s"),
    (DMG_V2, [("intervals of    .005", "intervals of    .010")], 46,
     "a step of .005 s, the header .010 s"),
    (DMG_V1, [("at 200 Samples/sec", "at 100 Samples/sec")], 28,
     "a rate of 200 samples/s, the header 100"),
    (DMG_V1, [("uncor data are sec and g", "uncor data are sec and cm/sec2")], 28,
     "units of 'g', the header 'cm/sec2'"),
    (GEONET, [("peak    -41.6 mm/s/s", "peak    -41.6 cm/s/s")], 14, "stated in 'cm/s/s'"),
    # The table's own names, in another order than the header's orientations.
    (UNAM, [("         V      N90E      N00E", "      N90E         V      N00E")], 108,
     "the table names its columns N90E V N00E, the header's orientations are V N90E N00E"),
    (UNAM, [("/V/N90E/N00E", "/V/N00E/N90E")], 108, "orientations are V N00E N90E"),
    (GEONET, [("peak    -41.6 mm/s/s", "peak    -41.6 furlongs")], 14, "stated in 'furlongs'"),
]


@pytest.mark.parametrize("name, edits, line, words", DISAGREEING,
                         ids=[f"{d[0].split('/')[1]}-{k}" for k, d in enumerate(DISAGREEING)])
def test_what_a_header_states_twice_and_differently_is_refused(edited, name, edits, line, words):
    path = edited(name, edits)
    with pytest.raises(RecordError, match=words) as caught:
        read_records(path)
    assert caught.value.line == line


# The same statements printed otherwise, or counting the last step or not: they agree.
AGREEING = [
    (UNAM, [(": /70.00/70.00/70.00", ": /70.0/70/69.996")]),
    (UNAM, [(": /250/250/250", ": /250.0/250.00/250")]),
    (ESM, [("DURATION_S: 95.640", "DURATION_S: 95.635")]),
    (ESM, [("DURATION_S: 95.640", "DURATION_S: 96")]),
    (DMG_V2, [("intervals of    .005", "intervals of   .0050")]),
    (DMG_V1, [("at 200 Samples/sec", "at 200.0 Samples/sec")]),
    (DMG_V1, [("uncor data are sec and g", "uncor data are sec and G")]),
    (GEONET, [("peak    -41.6 mm/s/s", "peak    -41.6 mm/s2")]),
    (UNAM, [("         V      N90E      N00E", "         v      n90e      n00e")]),
]


@pytest.mark.parametrize("name, edits", AGREEING,
                         ids=[f"{d[0].split('/')[1]}-{k}" for k, d in enumerate(AGREEING)])
def test_the_same_statements_printed_otherwise_read_as_the_file(edited, data, name, edits):
    original = read_records(data / name)
    records = read_records(edited(name, edits))
    assert [(r.dt, r.units, r.accel.tobytes()) for r in records] == \
        [(r.dt, r.units, r.accel.tobytes()) for r in original]


START = "HORA DE LA PRIMERA MUESTRA (GMT)"
ORIGIN_DATE, ORIGIN_TIME = "FECHA DEL SISMO [GMT]", "HORA EPICENTRO (GMT)"


@pytest.mark.parametrize("edits, start, date, time", [
    # A first sample in local time is not a UTC time; the origin stays as stated.
    ([(START, "HORA DE LA PRIMERA MUESTRA (LOCAL)")], None, dt.date(2004, 1, 1),
     dt.datetime(2004, 1, 1, 23, 58, 2, 700000, tzinfo=UTC)),
    # No zone named: not guessed.
    ([(START, "HORA DE LA PRIMERA MUESTRA      ")], None, dt.date(2004, 1, 1),
     dt.datetime(2004, 1, 1, 23, 58, 2, 700000, tzinfo=UTC)),
    # A local date is not the UTC date, nor the day the first sample is on.
    ([(ORIGIN_DATE, "FECHA DEL SISMO [LOCAL]"), (ORIGIN_TIME, "HORA EPICENTRO (LOCAL)")],
     None, None, None),
    # A date alone, without a zone, is the date (as BHRC's is); the times stay.
    ([(ORIGIN_DATE, "FECHA DEL SISMO      ")], dt.datetime(2004, 1, 2, 0, 0, 1, tzinfo=UTC),
     dt.date(2004, 1, 1), dt.datetime(2004, 1, 1, 23, 58, 2, 700000, tzinfo=UTC)),
    # UTC is named as GMT is.
    ([(START, "HORA DE LA PRIMERA MUESTRA (UTC)"), (ORIGIN_TIME, "HORA EPICENTRO (utc)")],
     dt.datetime(2004, 1, 2, 0, 0, 1, tzinfo=UTC), dt.date(2004, 1, 1),
     dt.datetime(2004, 1, 1, 23, 58, 2, 700000, tzinfo=UTC)),
])
def test_unam_times_only_in_the_zone_the_key_names(edited, edits, start, date, time):
    records = read_records(edited(UNAM, edits))
    for r in records:
        assert r.start_time == start
        assert (r.event.date, r.event.time) == (date, time)
        assert (r.event.latitude, r.event.longitude, r.event.magnitude) == (17.30, -101.36, 5.2)


def test_geonet_site_name_beside_its_code(data):
    for r in read_records(data / GEONET):
        assert (r.station, r.station_name) == ("WPWS", "Waipawa District Council")


@pytest.mark.parametrize("header, units", [
    ("time (s),acc (ft/s2)", None),
    ("time (s),acc (ft/s2)", "g"),       # the caller's units do not replace the file's
    ("time (s),vel (cm/s)", "cm/s2"),    # a velocity is not read as an acceleration
    ("t [s]; a [in/s/s]", "m/s2"),
])
def test_text_header_stating_units_not_known_is_refused(tmp_path, header, units):
    path = tmp_path / "record.csv"
    path.write_text(f"{header}\n0,1\n0.01,2\n0.02,3\n")
    stated = header.split("(")[-1].split("[")[-1].rstrip(")]")
    with pytest.raises(RecordError, match=f"header states units '{stated}', not an "
                                          f"acceleration unit") as caught:
        read_records(path, units=units)
    assert caught.value.line == 1


@pytest.mark.parametrize("header, units", [("time (s),acc (m/s/s)", "m/s2"),
                                           ("time (sec),acc (cm/sec^2)", "cm/s2"),
                                           ("time,acc (note: N-S)", None)])
def test_text_header_units_known_or_no_rate_read_as_before(tmp_path, header, units):
    path = tmp_path / "record.csv"
    path.write_text(f"{header}\n0,1\n0.01,2\n0.02,3\n")
    (r,) = read_records(path, units=units or "g")
    assert (r.units, r.npts, r.dt) == (units or "g", 3, 0.01)


@pytest.mark.parametrize("channel", [1, 2, 3])
def test_a_channel_that_two_files_put_together_both_hold_is_not_picked(data, tmp_path, channel):
    """Two stations' files one after another: each reads, but which channel 2 is meant is
    not for the reader to guess."""
    joined = tmp_path / "two.V2"
    joined.write_bytes((data / DMG_V2).read_bytes()
                       + (data / "cdmg_coalinga/ce36456p_CE36456.V2").read_bytes())
    records = read_records(joined)
    assert [r.channel for r in records] == [1, 2, 3, 1, 2, 3]
    with pytest.raises(ValueError, match=f"holds 2 records that channel {channel} names "
                                         r"\(stations 89146, 36456\)"):
        read_record(joined, channel=channel)
    assert read_record(data / DMG_V2, channel=channel).channel == channel


@pytest.mark.parametrize("duration", ["", "unknown", "95.640 s"])
def test_esm_duration_that_is_no_number_is_passed_over(edited, duration):
    path = edited(ESM, [("DURATION_S: 95.640", f"DURATION_S: {duration}")])
    (r,) = read_records(path)
    assert (r.npts, r.dt) == (19128, 0.005)
