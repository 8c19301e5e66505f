"""What the readers return beside the samples: times as the headers write them
(fractions of a second, a 60th second, 24:00), what a header states twice,
and the station's code beside its name. Real sample files are edited in one
place each and read again."""
import datetime as dt

import pytest

from tavotools.records import RecordError, read_records

UTC = dt.timezone.utc
F = "formats"
ESM = f"{F}/esm/HI.ARS1..HNE.D.20190728.160908.C.ACC.ASC"
KNET = f"{F}/knet/CHB0021412312349.EW"
COSMOS = f"{F}/cosmos/Cosmos12TimeSeriesTest.v1"
CWA = f"{F}/cwa/1-EAS.dat"
AFAD = f"{F}/nsmn/20170720223109_0921.txt"
UNAM = f"{F}/unam/CUP50401.012"
SMC = "usgs_smc_lomaprieta/0111a.smc"
AT2 = f"{F}/peer/RSN763_LOMAP_GIL067.AT2"
# SMC's start: year, day of the year, hour, minute, second (the integer header's fields 2-6).
SMC_START = "      1989       291         0         4         0"


def when(*parts):
    return dt.datetime(*parts, tzinfo=UTC)


# (file, edit, which time, the time read)
TIMES = [
    # A fraction that rounds up to the next second: that second, not no time at all.
    (ESM, ("20190728_160919.870", "20190728_160919.9999996"), "start",
     when(2019, 7, 28, 16, 9, 20)),
    (COSMOS, ("  4.400000", " 4.9999999"), "start", when(2005, 6, 16, 20, 53, 5)),
    # A 60th second is the first of the next minute (K-NET: JST, 15 s before Record Time).
    (KNET, ("2014/12/31 23:50:00", "2014/12/31 23:49:60"), "start",
     when(2014, 12, 31, 14, 49, 45)),
    (CWA, ("2018/02/06-23:50:29.000", "2018/02/06-23:59:60.500"), "start",
     when(2018, 2, 6, 16, 0, 0, 500000)),
    # 24:00:00 ends the day it is written with.
    (KNET, ("2014/12/31 23:49:00", "2014/12/31 24:00:00"), "origin", when(2014, 12, 31, 15)),
    (AFAD, ("2017/07/20 22:31:09", "2017/07/20 24:00:00"), "origin", when(2017, 7, 21)),
    # A day of the year whose time carries into the next year: the leap second that
    # ended 1989, and 24:00:00 of its last day.
    (SMC, (SMC_START, "      1989       365        23        59        60"), "start",
     when(1990, 1, 1)),
    (SMC, (SMC_START, "      1989       365        24         0         0"), "start",
     when(1990, 1, 1)),
    (SMC, (SMC_START, "      1988       366        23        59        59"), "start",
     when(1988, 12, 31, 23, 59, 59)),
]


@pytest.mark.parametrize("name, edit, which, expected", TIMES,
                         ids=[f"{t[0].split('/')[1]}-{k}" for k, t in enumerate(TIMES)])
def test_times_as_headers_write_them(edited, name, edit, which, expected):
    record = read_records(edited(name, [edit]))[0]
    got = record.start_time if which == "start" else record.event.time
    assert got == expected


@pytest.mark.parametrize("name, edit, expected", [
    (UNAM, ("23:58:02.7", "24:00:00"), when(2004, 1, 2)),
    (UNAM, ("23:58:02.7", "23:59:60"), when(2004, 1, 2)),
    (UNAM, ("23:58:02.7", "23:59:59.9999996"), when(2004, 1, 2)),
    (AT2, ("10/18/1989,", "10/18/1989 2400,"), when(1989, 10, 19)),
    (AT2, ("10/18/1989,", "10/18/1989 0004,"), when(1989, 10, 18, 0, 4)),
], ids=["unam-24h", "unam-60s", "unam-rounded", "at2-24h", "at2"])
def test_an_event_date_is_the_date_of_its_time(edited, name, edit, expected):
    # The date as written was kept beside a time carried into the next day: the
    # flatfile's event_date read 2004-01-01 beside an event_time of 2004-01-02.
    record = read_records(edited(name, [edit]))[0]
    assert (record.event.time, record.event.date) == (expected, expected.date())


def test_unam_first_sample_counts_from_the_date_written(edited):
    # The first sample's clock is on the date the header writes, whatever day the
    # origin time carries into: 23:59:58 is two seconds before an origin of 24:00:00.
    path = edited(UNAM, [("23:58:02.7", "24:00:00"), ("00:00:01", "23:59:58")])
    record = read_records(path)[0]
    assert (record.event.time, record.start_time) == (when(2004, 1, 2), when(2004, 1, 1, 23, 59, 58))


@pytest.mark.parametrize("text", ["2014/12/31 24:00:01", "2014/12/31 24:01:00",
                                  "2014/12/31 23:49:61"])
def test_times_past_the_end_of_a_day_or_minute_are_refused(edited, text):
    path = edited(KNET, [("2014/12/31 23:50:00", text)])
    with pytest.raises(RecordError, match="is not a time") as caught:
        read_records(path)
    assert caught.value.line == 10


# (file, a line put before `before`, the line named, the key and the two values)
TWICE = [
    (ESM, "SAMPLING_INTERVAL_S: 0.010000\n", "STREAM: HNE", 32,
     "SAMPLING_INTERVAL_S stated twice, as '0.005000' and '0.010000'"),
    (ESM, "UNITS: g\n", "STREAM: HNE", 34, r"UNITS stated twice, as 'g' and 'cm/s\^2'"),
    (ESM, "STATION_LATITUDE_DEGREE: -37.634900\n", "STREAM: HNE", 32,
     "STATION_LATITUDE_DEGREE stated twice"),
    (AFAD, "SAMPLING INTERVAL (sec) : 0.02\r\n", "NUMBER OF DATA ", 15,
     r"SAMPLING INTERVAL \(SEC\) stated twice, as '0.02' and '0.01'"),
    (AFAD, "STATION COORDINATES     : 37.87470S-27.59223E\r\n", "STATION ALTITUDE", 9,
     "STATION COORDINATES stated twice"),
    (CWA, "#SampleRate(Hz): 100\r\n", "#StationCode: EAS", 17,
     r"#SampleRate stated twice, as '\(Hz\) 100' and '\(Hz\) 50'"),
    # The hemisphere is the value's sign.
    (CWA, "#StationLatitude(S): 22.381\r\n", "#StationCode: EAS", 13,
     r"#StationLatitude stated twice, as '\(S\) 22.381' and '\(N\) 22.381'"),
    # UNAM: the later statement was read as lines of the first (the last coordinates
    # held) or passed over (the first interval held).
    (UNAM, "INTERVALO DE MUESTREO, C1-C6 (s)       : /0.005/0.005/0.005\n", "MEMORIA DE PREEVENTO",
     51, r"INTERVALO DE MUESTREO, C1-C6 \(S\) stated twice, as '/0.004/0.004/0.004' and "
         r"'/0.005/0.005/0.005'"),
    (UNAM, "COORDENADAS DE LA ESTACION             : 20.0 LAT. S\n"
           "                                       : 98.0 LONG. E\n", "TIPO DE SUELO", 26,
     "COORDENADAS DE LA ESTACION stated twice, as '19.33024 LAT. N 99.181076 LONG. W' and "
     "'20.0 LAT. S 98.0 LONG. E'"),
    (UNAM, "CLAVE DE LA ESTACION                   : XXX\n", "TIPO DE SUELO", 26,
     "CLAVE DE LA ESTACION stated twice"),
    # Characters Python takes as line ends (a form feed, 0x85) end no line of the file.
    (UNAM, "NOTA                                   : A\x0cB\x85C\x1cD\n"
           "CLAVE DE LA ESTACION                   : XXX\n", "TIPO DE SUELO", 27,
     "CLAVE DE LA ESTACION stated twice"),
]


@pytest.mark.parametrize("name, line, before, at, words", TWICE,
                         ids=[f"{t[0].split('/')[1]}-{k}" for k, t in enumerate(TWICE)])
def test_a_key_stated_twice_and_differently_is_refused(edited, name, line, before, at, words):
    """The first of two statements was taken without a word: a file whose
    header gives two steps was read at one of them."""
    path = edited(name, [(before, line + before)])
    with pytest.raises(RecordError, match=words) as caught:
        read_records(path)
    assert caught.value.line == at


@pytest.mark.parametrize("name, line, before", [
    (ESM, "SAMPLING_INTERVAL_S: 0.005000\n", "STREAM: HNE"),
    (AFAD, "SAMPLING INTERVAL (sec) : 0.01\r\n", "NUMBER OF DATA "),
    (CWA, "#SampleRate(Hz): 50\r\n", "#StationCode: EAS"),
    (UNAM, "INTERVALO DE MUESTREO, C1-C6 (s)       : /0.004/0.004/0.004\n", "MEMORIA DE PREEVENTO"),
    # A key the reader does not read may say what it likes.
    (UNAM, "TIPO DE SUELO                          : ARCILLA\n", "INSTITUCION RESPONSABLE"),
])
def test_a_key_stated_twice_alike_reads_as_the_file(edited, data, name, line, before):
    original = read_records(data / name)
    again = read_records(edited(name, [(before, line + before)]))
    assert [(r.dt, r.units, r.latitude, r.accel.tobytes()) for r in again] == \
        [(r.dt, r.units, r.latitude, r.accel.tobytes()) for r in original]


@pytest.mark.parametrize("name, stations", [
    # "STATION NO. 89146" and the name on the line after it.
    (f"{F}/dmg/CE89146.V2", [("89146", "Willow Creek")] * 3),
    ("cdmg_coalinga/ce36456p_CE36456.V2", [("36456", "PARKFIELD FAULT ZONE 14")] * 3),
    # Formats that give a name alone keep it as the station.
    (f"{F}/bhrc/5522-1.V1", [("Ajab Shir", None)] * 3),
])
def test_the_station_code_and_name_reach_the_json_output(data, capsys, name, stations):
    """The code the file gives is `station`, its name in words `station_name`: the
    JSON of the measures carries both, so that neither is lost to its readers."""
    import json

    from tavotools.cli import main

    assert [(r.station, r.station_name) for r in read_records(data / name)] == stations
    assert main(["--format", "json", str(data / name)]) == 0
    records = json.loads(capsys.readouterr().out)["records"]
    assert [(r["station"], r["station_name"]) for r in records] == stations


@pytest.mark.parametrize("old, new, expected", [
    # NORSAR's network and the Netherlands' Caribbean one: codes, not "no" and "n/a".
    ("NETWORK: HI", "NETWORK: NO", ("NO", "ARS1", "HNE")),
    ("NETWORK: HI", "NETWORK: NA", ("NA", "ARS1", "HNE")),
    ("STATION_CODE: ARS1", "STATION_CODE: NA", ("HI", "NA", "HNE")),
    ("NETWORK: HI", "NETWORK: ", (None, "ARS1", "HNE")),
])
def test_esm_codes_as_written(edited, old, new, expected):
    (r,) = read_records(edited(ESM, [(old, new)]))
    assert (r.network, r.station, r.channel) == expected


def test_the_flatfile_keeps_an_event_date_stated_without_a_time(data, tmp_path):
    """BHRC states the origin's date without a zone, AT2 its date alone: the row held
    neither (no event_time, and BHRC names no event), so its event was lost."""
    import csv

    from tavotools.flatfile import run

    out = tmp_path / "flat.csv"
    report = run([data / F / "bhrc", data / F / "peer", data / F / "knet"], out)
    assert (report.rows, report.failed) == (3, 0)
    with open(out, newline="") as f:
        rows = {r["recording"]: r for r in csv.DictReader(f)}
    got = {name: (r["event"], r["event_time (UTC)"], r["event_date (UTC)"])
           for name, r in rows.items()}
    assert got == {
        "5522-1.V1": ("", "", "2012-08-11"),
        "RSN763_LOMAP_GIL067.AT2": ("Loma Prieta", "", "1989-10-18"),
        # 2014/12/31 23:49 JST: the UTC date is that of 14:49 UTC.
        "CHB0021412312349": ("", "2014-12-31T14:49:00+00:00", "2014-12-31"),
    }
