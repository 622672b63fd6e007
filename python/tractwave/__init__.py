"""tractwave from Python: numpy arrays in, numpy arrays out.

A thin layer over the tractwave C libraries, loaded with ctypes: the four
functions of tractwave (``diameters``, ``step``, ``render_score``) and the
voices of tractwave_voices (``Voice``, ``render_voices``). Every argument is checked here, because the library itself checks
nothing: a wrong length or a stray pointer would be read past or written over
in C. Arrays of another real dtype are converted to float32; arrays that the
library writes into (wave arrays, phase, output) must already be writable,
C-contiguous float32 arrays of the right size, since a converted copy would
silently lose what the library writes.

Each library is loaded on first use from, in this order: the file named by
its environment variable (TRACTWAVE_LIBRARY, TRACTWAVE_VOICES_LIBRARY), for
the voices library a copy beside the file TRACTWAVE_LIBRARY names, a copy
next to this package, the system's library search path. An installed
package (``pip install --no-build-isolation ./python``) carries all three
libraries inside it and needs none of the variables.

Speech (tractwave_speech): ``say`` speaks English text, ARPAbet or IPA and
returns the samples; ``transcribe`` gives the ARPAbet it would speak (a
pronouncing dictionary first, espeak-ng for words it lacks);
``ipa_to_arpabet`` converts notation. Words come from Debian's
pocketsphinx-en-us dictionary unless ``dictionary=`` names another.
``sing`` sings notes with lyrics, or a score file (through tractwave-sing).

Layouts: one voice's samples are a 1-d float32 array. ``render_voices``
returns one row per voice, shape (voices, n), by default; with
``layout="frames"`` it returns shape (n, voices), one column per voice, as
soundfile.write and scipy.io.wavfile.write take multichannel audio.

>>> import tractwave
>>> samples = tractwave.say("hello world")        # float32, 48 kHz, mono
>>> block = tractwave.render_voices([tractwave.Voice() for _ in range(4)],
...                                 [{"voicing": 0.8}] * 4, 480, layout="frames")
>>> block.shape
(480, 4)
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._checks import NASAL_SECTIONS, NUM_PARAMETERS, ORAL_SECTIONS, PARAMETER_NAMES, parameters
from ._facts import GLOTTAL_COEFF, LIP_COEFF, NOSTRIL_COEFF
from ._checks import (check_no_overlap as _check_no_overlap, count as _count,
                      input_array as _input_array, parameter_vector as _parameter_vector,
                      rate as _rate, real as _real, state_array as _state_array)
from ._library import ENVIRONMENT_VARIABLE, VOICES_ENVIRONMENT_VARIABLE, LibraryNotFoundError
from ._library import library as _library, pointer as _ptr, voices_library as _voices_library
from ._score import ScoreError, load_score, parse_score, render_score
from ._voices import Voice, render_voices
from ._speech import SpeechError, ipa_to_arpabet, say, speech_library_path, transcribe
from ._sing import note_hz, sing, syllables

__version__ = "1.0.0"

__all__ = [
    "PARAMETER_NAMES", "NUM_PARAMETERS", "ORAL_SECTIONS", "NASAL_SECTIONS",
    "LibraryNotFoundError", "ENVIRONMENT_VARIABLE", "VOICES_ENVIRONMENT_VARIABLE",
    "library_path", "voices_library_path", "parameters", "diameters", "Voice",
    "render_voices", "step", "render_score", "load_score", "parse_score", "ScoreError",
    "say", "transcribe", "ipa_to_arpabet", "SpeechError", "speech_library_path",
    "sing", "note_hz", "syllables",
]


ParameterVector = Union[Sequence[float], "npt.ArrayLike", dict]


def library_path() -> str:
    """Where the shared library was loaded from (loading it if needed)."""
    return _library()[1]


def voices_library_path() -> str:
    """Where the voices library was loaded from (loading it if needed)."""
    return _voices_library()[1]


def diameters(params: ParameterVector) -> Tuple[np.ndarray, np.ndarray, float]:
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


def step(*, n: int, f0: float, amp: float, mix: float, breathiness: float,
         oral_diameters: npt.ArrayLike, nasal_diameters: npt.ArrayLike, velum: float,
         R: np.ndarray, L: np.ndarray, nasal_R: np.ndarray, nasal_L: np.ndarray,
         phase: np.ndarray, glottal_coeff: float = GLOTTAL_COEFF,
         lip_coeff: float = LIP_COEFF, nostril_coeff: float = NOSTRIL_COEFF,
         sample_rate: float = 48000,
         out: Optional[np.ndarray] = None) -> np.ndarray:
    """One block of the waveguide engine over an explicit geometry.

    All arguments are keyword-only and named as in the C library's
    ``step_waveguide_block``: ``f0`` in Hz, ``amp``, ``mix``,
    ``breathiness``, ``velum``, the three reflection coefficients (defaults
    as the chunk functions use them) and ``sample_rate`` are numbers;
    ``oral_diameters`` (25) and ``nasal_diameters`` (16) are read-only
    arrays, converted to float32 as needed. ``R``, ``L`` (25), ``nasal_R``,
    ``nasal_L`` (16) and ``phase`` (one value, 0-d or shape (1,)) are read
    and written in place, so they must be writable, C-contiguous float32
    arrays. The thread's record (noise, filters, smoother history) comes
    with them, shared by every block on the thread: ``Voice`` keeps all of a
    voice's state instead. Returns ``out``: float32[n], newly allocated
    unless given.
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

