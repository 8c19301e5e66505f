"""Record files as users have them: cut short in the last number, two files put in
one, packed in archives or compressed otherwise than by gzip, named by bytes or
by what is no path."""
import bz2
import gzip
import io
import lzma
import os
import random
import tarfile
import warnings
import zipfile

import pytest

from tavotools.cli import main
from tavotools.records import PackedFile, RecordError, SkippedFile, read_records, record_files
from tavotools.records.source import Source

F = "formats"
EW = f"{F}/knet/CHB0021412312349.EW"
# The formats whose samples are free-format numbers after a header stating their
# count: a number cut short still parses, and the count still holds.
FREE_COUNTED = [EW, f"{F}/kiknet/AICH040010061330.UD2", f"{F}/esm/HI.ARS1..HNZ.D.20190728.160908.C.ACC.ASC",
                f"{F}/nsmn/20170720223109_0921.txt", f"{F}/cwa/1-EAS.dat",
                f"{F}/peer/RSN763_LOMAP_GIL067.AT2"]


def short(name):
    return name.split("/")[-1]


def same_records(got, expected):
    return len(got) == len(expected) and all(
        a.accel.tobytes() == b.accel.tobytes() and a.dt == b.dt and a.station == b.station
        and a.component == b.component and a.event == b.event and a.start_time == b.start_time
        for a, b in zip(got, expected))


@pytest.mark.parametrize("crlf", [False, True], ids=["LF", "CRLF"])
@pytest.mark.parametrize("cut", [1, 2, 3])
@pytest.mark.parametrize("name", FREE_COUNTED, ids=short)
def test_a_file_cut_inside_its_last_number_is_refused(data, tmp_path, name, cut, crlf):
    raw = (data / name).read_bytes().replace(b"\r\n", b"\n").rstrip(b" \n")
    if crlf:
        raw = raw.replace(b"\n", b"\r\n")
    whole, target = tmp_path / "whole", tmp_path / short(name)
    whole.write_bytes(raw)  # no line end after the last number: still the whole record
    assert same_records(read_records(whole), read_records(data / name))
    target.write_bytes(raw[:-cut])
    with pytest.raises(RecordError) as e:
        read_records(target)
    assert e.value.path == str(target) and e.value.line == raw.count(b"\n") + 1


@pytest.mark.parametrize("last", [b"    -7836", b"\t-7836", b"\t-12"], ids=["blanks", "tab", "tab, narrow"])
def test_whole_integers_at_the_end_are_not_taken_for_cut(data, tmp_path, last):
    """Counts separated by tabs end wherever their digits do: no column tells a cut there."""
    raw = (data / EW).read_bytes().rstrip(b" \n")
    lines = raw.split(b"\n")
    if last.startswith(b"\t"):
        lines[-3:] = [b"\t" + b"\t".join(line.split()) for line in lines[-3:]]
    lines[-1] = lines[-1].rsplit(b"-", 1)[0].rstrip(b" \t") + last
    target = tmp_path / "k.EW"
    target.write_bytes(b"\n".join(lines))
    (record,) = read_records(target)
    assert record.accel.size == read_records(data / EW)[0].accel.size


def test_line_numbers_counted_from_the_bytes_are_those_of_the_lines():
    rng = random.Random(5)
    pieces = [b"a", b"1", b" ", b"\n", b"\r", b"\r\n", b"\x1a", b"\xef\xbb\xbf"]
    for _ in range(3000):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(12)))
        counted, split = Source("x", data), Source("x", data)
        split.lines  # noqa: B018 - splits the lines, the other way of numbering them
        for offset in range(-2, len(counted.data) + 3):
            assert counted.line_number(offset) == split.line_number(offset), (data, offset)
        assert "_split" not in counted.__dict__


# Names a file spells out (not codes), and where the record keeps them.
NAMED = [("usgs_smc_lomaprieta/0111a.smc", "San Francisco", "station"),
         (f"{F}/usc/017m30bt.s0a", "BIG TUJUNGA", "station_name"),
         (f"{F}/peer/RSN763_LOMAP_GIL067.AT2", "Gilroy", "station"),
         (f"{F}/cwa/1-EAS.dat", "Anshuo", "station_name"),
         (f"{F}/esm/HI.ARS1..HNZ.D.20190728.160908.C.ACC.ASC", "GREECE", "event")]


@pytest.mark.parametrize("byte, letter", [(b"\xe9", "é"), (b"\x92", "’"), (b"\x80", "€"),
                                          (b"\x81", "\x81"), ("é".encode(), "é"), ("臺".encode(), "臺")])
@pytest.mark.parametrize("name, text, where", NAMED, ids=[short(n[0]) for n in NAMED])
def test_names_in_other_code_pages_read_as_written(data, tmp_path, name, text, where, byte, letter):
    """Latin-1 and Windows-1252 bytes (names typed on Windows), UTF-8 where valid."""
    raw = (data / name).read_bytes()
    target = tmp_path / short(name)
    # The byte for the third letter: one letter fewer, the wider the UTF-8.
    target.write_bytes(raw.replace(text.encode(), text[:2].encode() + byte + text[2 + len(byte):].encode(), 1))
    (record, *_) = read_records(target)
    found = record.event.name if where == "event" else getattr(record, where)
    assert text[:2] + letter + text[2 + len(byte):] in found
    assert record.accel.tobytes() == read_records(data / name)[0].accel.tobytes()


def test_comment_lines_anywhere_in_a_text_file_leave_its_samples(tmp_path):
    rng = random.Random(7)
    for trial in range(200):
        values = [f"{rng.uniform(-1, 1):.6f}" for _ in range(rng.randrange(2, 40))]
        lines = []
        for v in values:
            while rng.random() < 0.3:
                lines.append(rng.choice("#%!") + rng.choice(["", " note", "#", " 1.5"]))
            lines.append(v if rng.random() < 0.8 else f"  {v}  ")
        while rng.random() < 0.3:
            lines.append(rng.choice("#%!") + " end")
        target = tmp_path / f"t{trial}.txt"
        target.write_text(rng.choice(["\n", "\r\n"]).join(lines) + rng.choice(["", "\n"]))
        (record,) = read_records(target, dt=0.01, units="g")
        assert record.accel.tolist() == [float(v) * 9.81 for v in values], (trial, lines)


# ---- two files put in one --------------------------------------------------------------

def _usc_other(raw):
    return raw.replace(b"N08W", b"S82E")


PAIRS = [("usgs_smc_lomaprieta/0111a.smc", "usgs_smc_lomaprieta/0111b.smc", None),
         (f"{F}/usc/017m30bt.s0a", None, _usc_other)]


@pytest.mark.parametrize("between", [b"", b"\n\n"], ids=["adjoining", "blank lines between"])
@pytest.mark.parametrize("first, second, change", PAIRS, ids=["smc", "usc"])
def test_two_files_of_one_component_put_in_one_read_as_both(data, tmp_path, first, second, change,
                                                            between):
    one = (data / first).read_bytes()
    two = (data / second).read_bytes() if second else change(one)
    (tmp_path / "one").write_bytes(one)
    (tmp_path / "two").write_bytes(two)
    (tmp_path / "both").write_bytes(one + between + two)
    expected = read_records(tmp_path / "one") + read_records(tmp_path / "two")
    assert expected[0].component != expected[1].component
    assert same_records(read_records(tmp_path / "both"), expected)


@pytest.mark.parametrize("shift", [-30, -3, 0, 5, 70])
def test_a_usc_data_line_far_into_the_file_is_found_where_it_lies(data, tmp_path, shift):
    """Each record's data line is looked for in a window that grows from its header:
    here the second record's line lies across the first window's end."""
    raw = (data / f"{F}/usc/017m30bt.s0a").read_bytes()
    lines = raw.split(b"\r\n")
    at = next(k for k, line in enumerate(lines) if b"POINTS OF ACC DATA" in line)
    head_end = len(b"\r\n".join(lines[:at])) + 2
    pad = (1 << 16) + shift - head_end
    filler = (b" " * 78 + b"\r\n") * (pad // 80) + b" " * (pad % 80 - 2) + b"\r\n"
    second = b"\r\n".join(lines[:at - 3]) + b"\r\n" + filler + b"\r\n".join(lines[at - 3:])
    assert second.index(b"POINTS OF ACC DATA") - 2 - len(str(1887)) - 2 <= (1 << 16) + shift
    target = tmp_path / "two.s0a"
    target.write_bytes(raw + second)
    records = read_records(target)
    assert len(records) == 2 and records[1].accel.tobytes() == records[0].accel.tobytes()


def test_samples_after_an_smc_record_are_still_too_many(data, tmp_path):
    raw = (data / "usgs_smc_lomaprieta/0111a.smc").read_bytes()
    target = tmp_path / "a.smc"
    target.write_bytes(raw + b"\n" + b"     1.000" * 3 + b"\n")
    with pytest.raises(RecordError, match="more samples than the 6001 the header states"):
        read_records(target)


def test_two_unam_files_in_one_are_refused_at_the_second(data, tmp_path):
    """The header was read from the first file and the table from the last."""
    raw = (data / f"{F}/unam/CUP50401.012").read_bytes()
    target = tmp_path / "two.012"
    target.write_bytes(raw + raw)
    with pytest.raises(RecordError) as e:
        read_records(target)
    assert e.value.line == raw.count(b"\n") + 1 and "after the 17500 rows" in e.value.reason


# ---- archives and other compressions ---------------------------------------------------

def _zip(name, raw):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(name, raw)
    return out.getvalue()


def _tar(name, raw, mode="w"):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode=mode) as t:
        info = tarfile.TarInfo(name)
        info.size = len(raw)
        t.addfile(info, io.BytesIO(raw))
    return out.getvalue()


PACKED = {
    "k.zip": ("a zip archive", _zip),
    "k.tar": ("a tar archive", _tar),
    "k.tar.gz": ("a gzip-compressed tar archive", lambda n, raw: _tar(n, raw, "w:gz")),
    "k.EW.bz2": ("a bzip2-compressed file", lambda n, raw: bz2.compress(raw)),
    "k.EW.xz": ("an xz-compressed file", lambda n, raw: lzma.compress(raw)),
    "k.zip.gz": ("a gzip-compressed zip archive", lambda n, raw: gzip.compress(_zip(n, raw))),
}


@pytest.mark.parametrize("packed", list(PACKED))
def test_archives_are_refused_by_name_and_skipped_in_a_folder(data, tmp_path, capsys, packed):
    kind, pack = PACKED[packed]
    raw = (data / EW).read_bytes()
    (tmp_path / "k.EW").write_bytes(raw)
    target = tmp_path / packed
    target.write_bytes(pack("CHB0021412312349.EW", raw))
    with pytest.raises(PackedFile) as e:
        read_records(target)
    assert str(e.value).startswith(f"{target}: {kind}, not a record file: unpack it")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        records = read_records(tmp_path)
    assert same_records(records, read_records(data / EW))
    assert [str(w.message).split(" (")[0] for w in caught if w.category is SkippedFile] == [
        f"{target}: skipped, not a record file"]
    assert main([str(tmp_path)]) == 0
    assert capsys.readouterr().err == f"tavotools: note: {target} skipped, {e.value.reason}\n"
    assert main([str(target)]) == 1
    assert capsys.readouterr().err == f"tavotools: {e.value}\n"


def test_the_flatfile_names_the_archives_it_skipped(data, tmp_path, capsys):
    folder = tmp_path / "in"
    folder.mkdir()
    raw = (data / EW).read_bytes()
    (folder / "k.EW").write_bytes(raw)
    (folder / "k.zip").write_bytes(_zip("k.EW", raw))
    (folder / "README").write_text("records\n")
    out = tmp_path / "flat.csv"
    assert main(["flatfile", str(folder), "-o", str(out)]) == 0
    assert capsys.readouterr().err.splitlines()[1:] == [
        "tavotools flatfile: skipped 2 files in the folders that no reader recognises "
        "(event.json, README, ...)",
        "tavotools flatfile: 1 of them packed (archives or compressed files), whose records were "
        f"not read: unpack them ({folder / 'k.zip'})"]


@pytest.mark.parametrize("head", [b"ustar", b"BZh9", b"PK", b"\x1f\x9d"])
def test_text_that_begins_as_an_archive_might_is_still_text(tmp_path, head):
    target = tmp_path / "t.txt"
    target.write_bytes(head + b" header\n" + b"x" * (257 - len(head) - 8) + b"ustar\n0.1\n0.2\n0.3\n")
    (record,) = read_records(target, dt=0.01, units="g")
    assert record.accel.size == 3


# ---- what names a file -----------------------------------------------------------------

def test_bytes_paths_name_records_as_str_paths_do(data, tmp_path):
    raw = (data / EW).read_bytes()
    name = os.fsencode(tmp_path) + b"/r\xe9cord.EW"
    with open(name, "wb") as f:
        f.write(raw)
    (record,) = read_records(name)
    assert record.path == os.fsdecode(name)
    assert [r.path for r in read_records(os.fsencode(tmp_path))] == [os.fsdecode(name)]
    assert record_files(os.fsencode(tmp_path)) == [os.fsdecode(name)]
    with open(name, "wb") as f:
        f.write(raw[:200])
    with pytest.raises(RecordError) as e:
        read_records(name)
    assert e.value.path == os.fsdecode(name)


@pytest.mark.parametrize("call", [read_records, record_files, Source.read],
                         ids=["read_records", "record_files", "Source.read"])
def test_a_descriptor_is_no_path_and_stays_open(data, call):
    fd = os.open(data / EW, os.O_RDONLY)
    try:
        for given in (fd, True, 0):
            with pytest.raises(TypeError, match="expected str, bytes or os.PathLike"):
                call(given)
        os.fstat(fd)  # neither read nor closed
        os.fstat(0)
    finally:
        os.close(fd)
