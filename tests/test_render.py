"""Text, CSV and JSON rendering: every number reads back as the same double."""
import csv
import io
import json
import math

import numpy as np
import pytest

from tavotools.render import csv_text, json_text, number

VALUES = [0.1, np.float64(0.1), np.float32(0.1), np.float64(1 / 3), np.float64(-0.0),
          np.float64(5e-324), np.float64(1.7976931348623157e308), np.float16(0.1),
          0.1 + 0.2, 2.2250738585072014e-308, 1e308, math.inf, -math.inf, np.float64(math.inf),
          np.float32(-math.inf)]


def _bits(x):
    return np.float64(x).tobytes()


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_csv_and_json_read_back_the_same_double(value):
    (row,) = list(csv.reader(io.StringIO(csv_text(["x"], [[value]]))))[1:]
    assert _bits(float(row[0])) == _bits(value)
    assert _bits(json.loads(json_text({"x": value}))["x"]) == _bits(value)


@pytest.mark.parametrize("value", [math.nan, np.float64("nan"), np.float32("nan"), None])
def test_a_missing_value_reads_n_a_in_a_table(value):
    assert number(value) == "n/a"


def _no_constant(name):
    raise ValueError(f"{name} is no JSON")


def test_json_is_strict_with_infinities_as_values_and_nan_as_null():
    # An infinity is a value (a sum past the largest double), unlike NaN, and no reader of
    # strict JSON takes Infinity; a string that spells it is left alone.
    doc = {"a": [math.inf, -math.inf, math.nan, np.float32("nan")], "Infinity": "-Infinity",
           "s": 'say "Infinity"\\', "n": np.array([-math.inf, 1.0])}
    back = json.loads(json_text(doc), parse_constant=_no_constant)
    assert back == {"a": [math.inf, -math.inf, None, None], "Infinity": "-Infinity",
                    "s": 'say "Infinity"\\', "n": [-math.inf, 1.0]}
