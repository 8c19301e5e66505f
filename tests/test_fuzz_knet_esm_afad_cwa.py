"""Mutated copies of the real K-NET, KiK-net, ESM, AFAD and CWA samples:
truncations, flipped bytes, absurd header counts, huge and tiny numbers,
lines lost or doubled. Reading one gives records or RecordError, nothing
else. The samples are first cut to 200 samples (their headers edited to
match), so that each example is quick. TAVO_FUZZ_EXAMPLES sets the number
of examples per format (default 60).
"""
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tavotools.records import Record, RecordError, read_records

EXAMPLES = int(os.environ.get("TAVO_FUZZ_EXAMPLES", 60))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.function_scoped_fixture])
N = 200


def _cut(raw, first_data_line, rows, edits):
    lines = raw.splitlines(keepends=True)
    head = b"".join(lines[:first_data_line])
    for old, new in edits:
        head = re.sub(old, new, head, count=1)
    return head + b"".join(lines[first_data_line:first_data_line + rows])


# file, the index of its first data line, data lines for N samples, header edits
SMALL = {
    "knet": ("formats/knet/CHB0021412312349.EW", 17, N // 8,
             [(rb"Duration Time\(s\)  68", b"Duration Time(s)  2")]),
    "kiknet": ("formats/kiknet/AICH040010061330.NS2", 17, N // 8,
               [(rb"Duration Time\(s\)  143", b"Duration Time(s)  1")]),
    "esm": ("formats/esm/HI.ARS1..HNE.D.20190728.160908.C.ACC.ASC", 64, N,
            [(rb"NDATA: 19128", b"NDATA: 200"), (rb"DURATION_S: 95.640", b"DURATION_S: 1.000")]),
    "afad": ("formats/nsmn/20170720223109_0921.txt", 18, N,
             [(rb"NUMBER OF DATA          : 28683", b"NUMBER OF DATA          : 200")]),
    "cwa": ("formats/cwa/1-EAS.dat", 22, N, [(rb"RecordLength\(sec\): 120", b"RecordLength(sec): 4")]),
}

ABSURD = [b"0", b"-5", b"1e300", b"99999999999999999999", b"nan", b"inf", b"1e-320", b"",
          b"9" * 400, b"0.0000000000000000000001", b"\xfd\xff"]
NUMBER = re.compile(rb"[-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?")


@pytest.fixture(scope="module", params=sorted(SMALL))
def small(request, data):
    name, first, rows, edits = SMALL[request.param]
    raw = _cut((data / name).read_bytes(), first, rows, edits)
    return request.param, raw


def mutations():
    position = st.floats(0.0, 1.0, exclude_max=True)
    return st.one_of(
        st.tuples(st.just("truncate"), position, st.just(b"")),
        st.tuples(st.just("flip"), position, st.binary(min_size=1, max_size=1)),
        st.tuples(st.just("insert"), position, st.binary(min_size=1, max_size=8)),
        st.tuples(st.just("header number"), position, st.sampled_from(ABSURD)),
        st.tuples(st.just("sample"), position, st.sampled_from(ABSURD)),
        st.tuples(st.just("drop line"), position, st.just(b"")),
        st.tuples(st.just("double line"), position, st.just(b"")),
    )


def mutate(raw, kind, where, text):
    at = int(where * len(raw))
    if kind == "truncate":
        return raw[:at]
    if kind == "flip":
        return raw[:at] + text + raw[at + 1:]
    if kind == "insert":
        return raw[:at] + text + raw[at:]
    if kind in ("header number", "sample"):
        numbers = list(NUMBER.finditer(raw))
        split = len(numbers) - N * (4 if b"#" in raw[:1] else 3 if b"N-S" in raw[:2000] else 1)
        pool = numbers[:max(split, 1)] if kind == "header number" else numbers[max(split, 0):]
        m = pool[int(where * len(pool))]
        return raw[:m.start()] + text + raw[m.end():]
    lines = raw.splitlines(keepends=True)
    k = int(where * len(lines))
    if kind == "drop line":
        return b"".join(lines[:k] + lines[k + 1:])
    return b"".join(lines[:k + 1] + lines[k:])


def test_the_cut_samples_read(small, tmp_path):
    fmt, raw = small
    (tmp_path / "record").write_bytes(raw)
    records = read_records(tmp_path / "record")
    assert {r.npts for r in records} == {N}


@FUZZ
@given(mutation=mutations())
def test_mutated_samples_give_records_or_record_error(small, tmp_path, mutation):
    fmt, raw = small
    path = tmp_path / "record"
    path.write_bytes(mutate(raw, *mutation))
    try:
        records = read_records(path)
    except RecordError:
        return
    for r in records:
        assert isinstance(r, Record) and r.npts > 0 and np.isfinite(r.accel).all()
        assert r.dt > 0.0
