"""The constants of the Python package and of the compiled kernels agree, bit for bit."""
import struct

import pytest

from tavotools import _spectra, constants

NAMES = [n for n in vars(constants) if n.isupper()]


def test_every_constant_is_exported_by_the_kernels():
    assert NAMES and {n for n in vars(_spectra) if n.isupper()} == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_compiled_value_equals_the_python_one(name):
    compiled, python = getattr(_spectra, name), getattr(constants, name)
    assert type(compiled) is type(python)
    if isinstance(python, float):
        assert struct.pack("<d", compiled) == struct.pack("<d", python)
    else:
        assert compiled == python
