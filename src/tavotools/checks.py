"""The checks of user input that several parts of the package share: a time
step, a series of samples, a record or samples with their step. Each states
its message once, so every caller words the same fault the same way.
"""
from __future__ import annotations

import math

import numpy as np

__all__ = ["ReadOnlyArrays", "all_finite", "given_as_numbers", "is_trace", "number",
           "positive_int", "real", "samples", "time_step", "vector"]


class ReadOnlyArrays:
    """Base of the frozen results whose arrays are read-only: they stay so when
    unpickled (another process, a Dask worker, a copy), where NumPy makes them writable."""

    def __setstate__(self, state):
        for value in state.values():
            if isinstance(value, np.ndarray):
                value.setflags(write=False)
        self.__dict__.update(state)


def is_trace(obj):
    """True for an ObsPy Trace, told by its shape so that ObsPy is never imported for a check."""
    return hasattr(obj, "stats") and hasattr(obj, "data") and hasattr(obj, "id")


def number(value, name, what="a number"):
    """`value` as a float (anything `float()` takes but a bool), or an error naming `name`.

    A bool is a flag passed in the wrong place, not the number 1 or 0: TypeError.
    So is what `float()` refuses (None, a list, an array of more than one value);
    a string that is not a number is a ValueError, as `float()` has it.
    """
    # A bool in an array of no dimensions too: float() takes it as 1.0 or 0.0.
    if isinstance(value, (bool, np.bool_)) or (isinstance(value, np.ndarray)
                                               and value.dtype.kind == "b"):
        raise TypeError(f"{name} must be {what}, not a bool ({value!r})")
    try:
        return float(value)
    except TypeError:
        raise TypeError(f"{name} must be {what}, not {value!r}") from None
    except ValueError:
        raise ValueError(f"{name} must be {what}, not {value!r}") from None
    except OverflowError:  # an int past the largest double
        raise OverflowError(f"{name} must be {what}, not an int of {len(str(abs(value)))} "
                            f"digits") from None


def time_step(dt, name="dt"):
    """`dt` as a float, or ValueError unless it is positive and finite (TypeError for a
    value that is no number)."""
    value = number(dt, name, "a positive, finite time step")
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"{name} must be a positive, finite time step, not {value!r}")
    return value


def real(values, name):
    """`values` as a float64 array (the same array when it is one), or ValueError.

    NumPy converts two kinds of input with a loss it at most warns of: complex
    numbers (the imaginary parts dropped) and a masked array (the values under
    the mask taken as samples). Both are refused here; a masked array with
    nothing masked is its data. An ObsPy Trace is refused too: its samples
    mean nothing without its units and step.
    """
    if is_trace(values):
        # NumPy reads a trace as its samples, which are counts as often as not,
        # and its own step would be passed over for the one given beside it.
        raise ValueError(f"{name} is an ObsPy Trace, not samples: make a record of it "
                         f"with Record.from_trace(trace, units=...), which takes its step "
                         f"and its units")
    if np.ma.isMaskedArray(values):
        if np.ma.getmaskarray(values).any():
            raise ValueError(f"{name} has masked samples (gaps): fill them first")
        values = np.ma.getdata(values)
    try:
        a = np.asarray(values)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be numbers") from None
    given_as_numbers(a, name)
    if a.dtype.kind == "c":
        raise ValueError(f"{name} must be real numbers, not complex")
    try:
        return a.astype(np.float64, copy=False)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be numbers") from None


def given_as_numbers(a, name):
    """ValueError for an array of what NumPy would cast to numbers without their being
    numbers: None, flags, dates, durations, structured records."""
    if a.dtype.kind == "O":
        kinds = {type(x) for x in a.flat}  # one pass; neither bool type can be subclassed
        # NumPy turns None into NaN: a missing component would read as a bad sample.
        if type(None) in kinds:
            raise ValueError(f"{name} must be numbers, not None")
        # A flag among objects would be 1.0 or 0.0, as an array of bools would (below).
        if bool in kinds or np.bool_ in kinds:
            raise ValueError(f"{name} must be numbers, not bool values")
    # NumPy casts dates and durations to their counts of days or seconds, a
    # one-field structured array to its field, and flags to 1.0 and 0.0: none of
    # them is numbers as given (a bool is refused as a number, too).
    if a.dtype.kind in "mMVb":
        raise ValueError(f"{name} must be numbers, not {a.dtype} values")


def vector(values, name):
    """A new one-dimensional float64 array of `values`, or ValueError (a scalar is one value)."""
    a = np.array(real(values, name), dtype=np.float64, ndmin=1)
    if a.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {a.ndim}-dimensional")
    return a


def samples(values, name="accel", *, index=False):
    """A new one-dimensional float64 array of `values`, every one finite.

    Raises ValueError for more than one dimension, no sample, or a NaN or
    infinite sample. `index=True` words the faults as the spectra do: the
    empty case as "accel is empty: ..." and the first bad sample by its index.
    """
    a = vector(values, name)
    if a.size == 0:
        prefix = f"{name} is empty: " if index else ""
        raise ValueError(f"{prefix}a record needs at least one sample")
    if index:
        all_finite(a, name)
    elif not np.isfinite(a).all():
        raise ValueError(f"{name} holds NaN or infinite samples")
    return a


def all_finite(a, name="accel"):
    """ValueError naming the first NaN or infinite sample of the array `a` by its index."""
    finite = np.isfinite(a)
    if not finite.all():
        raise ValueError(f"{name} holds a NaN or infinite sample at index {int(np.argmax(~finite))}")


def positive_int(value, name, high):
    """`value` as an int from 1 to `high`, or ValueError (bools are not counts)."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or \
            not 1 <= value <= high:
        raise ValueError(f"{name} must be an integer from 1 to {high}, not {value!r}")
    return int(value)
