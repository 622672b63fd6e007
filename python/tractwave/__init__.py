"""tractwave from Python: numpy arrays in, numpy arrays out.

A thin layer over the four functions of the tractwave C library, loaded with
ctypes. Every argument is checked here, because the library itself checks
nothing: a wrong length or a stray pointer would be read past or written over
in C. Arrays of another real dtype are converted to float32; arrays that the
library writes into (wave arrays, phase, output) must already be writable,
C-contiguous float32 arrays of the right size, since a converted copy would
silently lose what the library writes.

The library is loaded on first use from, in this order: the file named by
the TRACTWAVE_LIBRARY environment variable, a copy next to this package, the
system's library search path.
"""

import threading
from collections.abc import Mapping

import numpy as np

from ._checks import (NASAL_SECTIONS, NUM_PARAMETERS, ORAL_SECTIONS, PARAMETER_NAMES,
                      DEFAULTS as _DEFAULTS)
from ._checks import (check_no_overlap as _check_no_overlap, count as _count,
                      input_array as _input_array, rate as _rate, real as _real,
                      state_array as _state_array)
from ._library import ENVIRONMENT_VARIABLE, LibraryNotFoundError
from ._library import library as _library, pointer as _ptr
from ._score import ScoreError, load_score, parse_score, render_score

__version__ = "1.0.0"

__all__ = [
    "PARAMETER_NAMES", "NUM_PARAMETERS", "ORAL_SECTIONS", "NASAL_SECTIONS",
    "LibraryNotFoundError", "ENVIRONMENT_VARIABLE", "library_path",
    "parameters", "diameters", "Voice", "step", "render_score", "load_score",
    "parse_score", "ScoreError",
]


def library_path():
    """Where the shared library was loaded from (loading it if needed)."""
    return _library()[1]


def parameters(values=None, **named):
    """A float32 parameter vector of 10 values.

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
            value = merged.get(name, _DEFAULTS[name])
            vector.append(_real(value, f"parameter {name}"))
        return np.array(vector, dtype=np.float32)
    vector = _input_array(values, NUM_PARAMETERS, "parameters").copy()
    for name, value in named.items():
        if name not in PARAMETER_NAMES:
            raise KeyError(f"unknown parameter name {name!r}; known: {', '.join(PARAMETER_NAMES)}")
        vector[PARAMETER_NAMES.index(name)] = _real(value, f"parameter {name}")
    return vector


def _parameter_vector(params):
    if isinstance(params, Mapping):
        return parameters(params)
    return _input_array(params, NUM_PARAMETERS, "params")


def diameters(params):
    """Tract geometry of a parameter vector.

    Returns ``(oral, nasal, velum)``: the 25 oral section diameters (glottis
    first, lips last), the 16 nasal section diameters (velum first) as
    float32 arrays, and the velum opening as a float. ``params`` is anything
    ``parameters()`` accepts as its first argument.
    """
    vector = _parameter_vector(params)
    oral = np.empty(ORAL_SECTIONS, dtype=np.float32)
    nasal = np.empty(NASAL_SECTIONS, dtype=np.float32)
    velum = np.empty(1, dtype=np.float32)
    _library()[0].compute_diameters_from_dofs(_ptr(vector), _ptr(oral), _ptr(nasal), _ptr(velum))
    return oral, nasal, float(velum[0])


class Voice:
    """One voice: the state the library keeps between blocks.

    The state is the four wave arrays ``R``, ``L`` (25 float32 each, oral
    tube) and ``nasal_R``, ``nasal_L`` (16 float32 each, nasal tube), and the
    glottal ``phase`` (a 0-d float32 array; ``float(voice.phase)`` reads it).
    They are ordinary numpy arrays, zero for a new voice, which may be read
    or edited in place.

    Beyond these arrays the library keeps one record per thread (noise
    generator, filter states, smoother history), not per voice. Voices
    rendered on the same thread share that record: interleaving two voices
    on one thread makes them share one noise sequence and one set of filter
    states, so each sounds slightly different from the same voice rendered
    alone. ``reset()`` clears the voice's own arrays, not the thread's
    record. For reproducible results render each voice on a thread of its
    own (a fresh thread starts from the same initial record every time), as
    ``render_score`` does.

    A Voice may be passed between threads, but used by one thread at a
    time; a second thread rendering or resetting it concurrently gets a
    RuntimeError. ``copy()`` (and ``copy.copy``/``copy.deepcopy``) gives an
    independent voice with the same state.
    """

    def __init__(self):
        self._R = np.zeros(ORAL_SECTIONS, dtype=np.float32)
        self._L = np.zeros(ORAL_SECTIONS, dtype=np.float32)
        self._nasal_R = np.zeros(NASAL_SECTIONS, dtype=np.float32)
        self._nasal_L = np.zeros(NASAL_SECTIONS, dtype=np.float32)
        self._phase = np.zeros((), dtype=np.float32)
        self._busy = threading.Lock()

    R = property(lambda self: self._R, doc="Oral waves towards the lips (25 float32).")
    L = property(lambda self: self._L, doc="Oral waves towards the glottis (25 float32).")
    nasal_R = property(lambda self: self._nasal_R, doc="Nasal waves towards the nostrils (16 float32).")
    nasal_L = property(lambda self: self._nasal_L, doc="Nasal waves towards the velum (16 float32).")
    phase = property(lambda self: self._phase, doc="Glottal phase, 0 <= phase < 1 (0-d float32).")

    def _arrays(self):
        return (self._R, self._L, self._nasal_R, self._nasal_L, self._phase)

    def _claim(self):
        if not self._busy.acquire(blocking=False):
            raise RuntimeError("this Voice is being rendered on another thread")

    def reset(self):
        """Zeroes the wave arrays and the phase, as for a new voice."""
        self._claim()
        try:
            for array in self._arrays():
                array[...] = 0.0
        finally:
            self._busy.release()

    def copy(self):
        """An independent Voice with a copy of this one's state."""
        twin = Voice()
        self._claim()
        try:
            for mine, theirs in zip(self._arrays(), twin._arrays()):
                theirs[...] = mine
        finally:
            self._busy.release()
        return twin

    __copy__ = copy

    def __deepcopy__(self, memo):
        return self.copy()

    def render(self, params, n, sample_rate=48000):
        """Renders ``n`` samples with one parameter vector; returns float32[n].

        ``params`` is anything ``parameters()`` accepts as its first argument.
        The parameters hold for the whole call (the library does not
        interpolate): to change them smoothly, render short blocks.
        """
        vector = _parameter_vector(params)
        n = _count(n)
        rate = _rate(sample_rate)
        out = np.empty(n, dtype=np.float32)
        self._claim()
        try:
            _library()[0].synthesize_waveguide_chunk_ex(
                n, _ptr(vector), _ptr(self._R), _ptr(self._L), _ptr(self._nasal_R),
                _ptr(self._nasal_L), _ptr(self._phase), _ptr(out), rate)
        finally:
            self._busy.release()
        return out

    def __repr__(self):
        return f"<tractwave.Voice phase={float(self._phase):.8g}>"


def step(*, n, f0, amp, mix, breathiness, oral_diameters, nasal_diameters, velum,
         R, L, nasal_R, nasal_L, phase, glottal_coeff=0.75, lip_coeff=-0.85,
         nostril_coeff=-0.7, sample_rate=48000, out=None):
    """One block of the waveguide engine over an explicit geometry.

    All arguments are keyword-only and named as in the C library's
    ``step_waveguide_block``: ``f0`` in Hz, ``amp``, ``mix``,
    ``breathiness``, ``velum``, the three reflection coefficients (defaults
    as the chunk functions use them) and ``sample_rate`` are numbers;
    ``oral_diameters`` (25) and ``nasal_diameters`` (16) are read-only
    arrays, converted to float32 as needed. ``R``, ``L`` (25), ``nasal_R``,
    ``nasal_L`` (16) and ``phase`` (one value, 0-d or shape (1,)) are read
    and written in place, so they must be writable, C-contiguous float32
    arrays, for example a Voice's. Returns ``out``: float32[n], newly
    allocated unless given.
    """
    n = _count(n)
    scalars = {name: _real(value, name) for name, value in (
        ("f0", f0), ("amp", amp), ("mix", mix), ("breathiness", breathiness),
        ("velum", velum), ("glottal_coeff", glottal_coeff), ("lip_coeff", lip_coeff),
        ("nostril_coeff", nostril_coeff))}
    rate = _rate(sample_rate)
    oral = _input_array(oral_diameters, ORAL_SECTIONS, "oral_diameters")
    nasal = _input_array(nasal_diameters, NASAL_SECTIONS, "nasal_diameters")
    if out is None:
        out = np.empty(n, dtype=np.float32)
    state = {
        "R": _state_array(R, ORAL_SECTIONS, "R"),
        "L": _state_array(L, ORAL_SECTIONS, "L"),
        "nasal_R": _state_array(nasal_R, NASAL_SECTIONS, "nasal_R"),
        "nasal_L": _state_array(nasal_L, NASAL_SECTIONS, "nasal_L"),
        "phase": _state_array(phase, 1, "phase"),
        "out": _state_array(out, n, "out"),
    }
    _check_no_overlap(state)
    _library()[0].step_waveguide_block(
        n, scalars["f0"], scalars["amp"], scalars["mix"], scalars["breathiness"],
        _ptr(oral), _ptr(nasal), scalars["velum"], scalars["glottal_coeff"],
        scalars["lip_coeff"], scalars["nostril_coeff"], *(_ptr(state[k]) for k in (
            "R", "L", "nasal_R", "nasal_L", "phase", "out")), rate)
    return out

