"""Text, CSV and JSON rendering: every number reads back as the same double."""
import csv
import io
import json
import math

import numpy as np
import pytest

from tavotools.render import csv_text, json_text, number

VALUES = [0.1, np.float64(0.1), np.float32(0.1), np.float64(1 / 3), np.float64(-0.0),
          np.float64(5e-324), np.float64(1.7976931348623157e308), np.float16(0.1)]


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
