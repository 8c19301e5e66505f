"""Every number out of the commands reads back as the double computed: in JSON whose
sums pass the largest double, in the labels of the spectrum table, through the flatfile
writers whatever the value, and alike in `measures` and `flatfile` for every format."""
import csv
import io
import json
import math
import os

import numpy as np
import pytest

from tavotools.cli import main
from tavotools.flatfile import Schema
from tavotools.flatfile.output import write_csv, write_parquet
from tavotools.obe import obe_check
from tavotools.records import read_record
from tavotools.summary import summarize


def _strict(text):
    def refuse(name):
        raise ValueError(f"{name} is no JSON")

    return json.loads(text, parse_constant=refuse)


def _bits(values):
    return [None if v is None else np.float64(v).tobytes() for v in values]


@pytest.mark.parametrize("command", ["measures", "obe"])
def test_an_infinite_measure_is_infinite_in_json(capsys, tmp_path, command):
    # Sums past the largest double (samples in the wrong units): Ia and CAV are infinite.
    paths = []
    for k, samples in enumerate(([1e307, -1e307, 1e307, 0.0] * 50,
                                 [-2e307, 1e307, 0.0, 1e307] * 50, [1e307, 0.0] * 100)):
        paths.append(tmp_path / f"huge{k}.txt")
        paths[-1].write_text("\n".join(map(repr, samples)) + "\n")
    given = paths if command == "obe" else paths[:1]
    assert main([command, "--dt", "0.01", "--units", "m/s2", "--format", "json", *given]) == 0
    doc = _strict(capsys.readouterr().out)
    records = [read_record(p, dt=0.01, units="m/s2") for p in given]
    if command == "measures":
        got, want, names = doc["records"][0]["measures"], summarize(records[0]), ("Ia", "PGV")
    else:
        got, want, names = doc["components"][0], obe_check(*records).components[0], ("PGA",)
    assert math.isinf(got["CAV"])
    names += ("CAV", "CAVstd")
    assert _bits(got[n] for n in names) == _bits(getattr(want, n) for n in names)


def test_the_spectrum_table_labels_each_period_and_the_damping_whole(capsys):
    # Periods that six digits round alike (0.123456) labelled two rows alike.
    periods, damping = (0.1234561, 0.1234564, 0.30000000000000004), 0.0512345678
    assert main(["spectrum", "--periods", ",".join(map(repr, periods)),
                 "--damping", repr(damping)]) == 0
    blocks = capsys.readouterr().out.split("\n\n")
    assert len(blocks) == 4   # the built-in set's three records and one pair
    for block in blocks:
        title, _, _, *rows = block.splitlines()
        assert f": {damping!r} damping" in title
        assert tuple(float(row.split()[0]) for row in rows) == periods


SPECIAL = [-0.0, 0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
           1.7976931348623157e308, -1e308, math.inf, -math.inf, math.nan,
           0.30000000000000004, 1 / 3, 123456789.12345679]


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_the_flatfile_writers_keep_every_double(tmp_path, kind):
    schema = Schema()
    n = len(schema.floats)
    values = np.resize(np.array(SPECIAL), 2 * n).reshape(2, n)
    mask = np.ones(n, dtype=bool)
    mask[::5] = False   # no value: an empty cell, a null
    rows = [({"recording": f"r{k}", "components": 1}, v, mask) for k, v in enumerate(values)]
    target = str(tmp_path / f"flat.{kind}")
    if kind == "csv":
        write_csv(target, schema, iter(rows))
        with open(target, newline="") as f:
            back = [[float(r[c]) if r[c] else None for c in schema.floats]
                    for r in csv.DictReader(f)]
    else:
        pq = pytest.importorskip("pyarrow.parquet")
        write_parquet(target, schema, iter(rows))
        table = pq.read_table(target)
        assert {str(table.schema.field(c).type) for c in schema.floats} == {"double"}
        back = [[r[c] for c in schema.floats] for r in table.to_pylist()]
    assert [_bits(r) for r in back] == \
        [_bits(x if m else None for x, m in zip(v, mask)) for v in values]


def test_measures_and_flatfile_agree_on_every_format(data, tmp_path, capsys):
    # One component through `tavotools --format csv` and a flatfile's CSV and Parquet:
    # every measure and PSA the same text, or the same double.
    folder, periods = str(data / "formats"), "0.05,0.2,1"
    assert main(["--format", "csv", "--periods", periods, folder]) == 0
    measured = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    out = tmp_path / "flat.csv"
    assert main(["flatfile", "--periods", periods, folder, "-o", str(out)]) == 0
    with open(out, newline="") as f:
        flat = list(csv.DictReader(f))
    # "PGA (m/s2)" of measures is "H1_PGA (m/s2)" of the flatfile; "D5_75" is "D5-75".
    shared = [c for c in measured[0] if " (" in c and c.split()[0] not in
              ("dt", "t5", "t75", "t95")]
    same = {(r["record"], r["component"]): r for r in measured}
    compared = 0
    for row in flat:
        for slot in ("H1", "H2", "V"):
            if row[f"{slot}_file"]:
                name = os.path.basename(row[f"{slot}_file"])
                component = row[f"{slot}_component"]
                m = same.get((f"{name}#{row[f'{slot}_channel']}", component)) or \
                    same[(name, component)]
                assert {c: m[c] for c in shared} == \
                    {c: row[f"{slot}_{c.replace('D5_', 'D5-')}"] for c in shared}, name
                assert m["dt (s)"] == row["dt (s)"]
                compared += 1
    assert compared == len(measured) == len(same)
    pq = pytest.importorskip("pyarrow.parquet")
    assert main(["flatfile", "--periods", periods, folder, "-o", str(tmp_path / "f.parquet")]) == 0
    table = pq.read_table(tmp_path / "f.parquet")
    floats = Schema([0.05, 0.2, 1.0]).floats
    assert table.column_names == list(flat[0])
    assert [_bits(r[c] for c in floats) for r in table.to_pylist()] == \
        [_bits(float(r[c]) if r[c] else None for c in floats) for r in flat]
