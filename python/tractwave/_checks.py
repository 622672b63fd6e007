"""The parameter table, its defaults and the checks every argument passes.

The library checks nothing, so everything is checked here before it crosses
into C: a wrong length or a stray pointer would be read past or written over
there. Both the package's top level and the score renderer use these.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Optional
import numbers
import operator

import numpy as np

from ._facts import NASAL_SECTIONS, NUM_PARAMETERS, ORAL_SECTIONS, PARAMETERS

PARAMETER_NAMES = tuple(p["name"] for p in PARAMETERS)
# Values of parameters a mapping or a score does not mention: neutral shapes,
# and no sound source until one is asked for.
DEFAULTS = {p["name"]: p["initial"] for p in PARAMETERS}

INT_MAX = 2**31 - 1
FLOAT_MAX = float(np.finfo(np.float32).max)


def check_real_dtype(array, what):
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{what} must hold real numbers, not {array.dtype}")


def input_array(values, size, what):
    """A C-contiguous float32 copy (or view) of a read-only input array."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{what} must be an array of {size} numbers: {error}") from None
    check_real_dtype(array, what)
    if array.shape != (size,):
        raise ValueError(f"{what} must have shape ({size},), not {array.shape}")
    return np.ascontiguousarray(array, dtype=np.float32)


def state_array(array, size, what):
    """Checks an array the library reads and writes in place."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{what} must be a numpy float32 array, not {type(array).__name__}")
    if array.dtype != np.float32:
        raise TypeError(f"{what} must have dtype float32, not {array.dtype} "
                        "(it is written in place, so it cannot be converted)")
    if array.size != size or array.ndim > 1:
        raise ValueError(f"{what} must have shape ({size},), not {array.shape}")
    if not array.flags.c_contiguous:
        raise ValueError(f"{what} must be C-contiguous (it is written in place)")
    if not array.flags.writeable:
        raise ValueError(f"{what} must be writable")
    return array


def check_no_overlap(named_arrays):
    items = list(named_arrays.items())
    for i, (name_a, a) in enumerate(items):
        for name_b, b in items[i + 1:]:
            if np.shares_memory(a, b):
                raise ValueError(f"{name_a} and {name_b} overlap in memory")


def count(n, what="n"):
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {type(n).__name__}")
    n = operator.index(n)
    if n <= 0:
        raise ValueError(f"{what} must be positive, not {n}")
    if n > INT_MAX:
        raise ValueError(f"{what} must be at most {INT_MAX}, not {n}")
    return n


def real(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a real number, not {type(value).__name__}")
    return float(value)


def rate(sample_rate):
    # The library takes 8000 or less (or NaN) to mean 48000. Passed through
    # here, a typo would render at the wrong rate without a word.
    value = real(sample_rate, "sample_rate")
    if not math.isfinite(value) or value <= 8000.0:
        raise ValueError(f"sample_rate must be a finite number above 8000, not {sample_rate!r}")
    if value > FLOAT_MAX:
        raise ValueError(f"sample_rate {sample_rate!r} does not fit in a float")
    return value


def parameters(values: Optional[Any] = None, **named: float) -> "np.ndarray":
    """A float32 parameter vector of NUM_PARAMETERS (10) values.

    ``values`` is a sequence or array of 10 real numbers, or a mapping from
    parameter names (``PARAMETER_NAMES``) to values; keyword arguments set
    single parameters on top. Parameters a mapping or the keywords leave out
    are 0.5, except voicing and breathiness, which are 0. Unknown names raise
    KeyError.
    """
    if values is None or isinstance(values, Mapping):
        merged = dict(values or {})
        merged.update(named)
        unknown = sorted(set(merged) - set(PARAMETER_NAMES))
        if unknown:
            raise KeyError(f"unknown parameter name(s) {', '.join(map(repr, unknown))}; "
                           f"known: {', '.join(PARAMETER_NAMES)}")
        vector = []
        for name in PARAMETER_NAMES:
            value = merged.get(name, DEFAULTS[name])
            vector.append(real(value, f"parameter {name}"))
        return np.array(vector, dtype=np.float32)
    vector = input_array(values, NUM_PARAMETERS, "parameters").copy()
    for name, value in named.items():
        if name not in PARAMETER_NAMES:
            raise KeyError(f"unknown parameter name {name!r}; known: {', '.join(PARAMETER_NAMES)}")
        vector[PARAMETER_NAMES.index(name)] = real(value, f"parameter {name}")
    return vector


def parameter_vector(params):
    """A float32 parameter vector from a sequence, an array or a mapping."""
    if isinstance(params, Mapping):
        return parameters(params)
    return input_array(params, NUM_PARAMETERS, "params")
