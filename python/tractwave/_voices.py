"""Voices of the tractwave_voices library: each voice's whole state in a
block of memory this object owns, so that voices never touch each other."""

from __future__ import annotations

import ctypes
import threading
from typing import Any, Literal, Optional, Sequence
from collections.abc import Mapping

import numpy as np

from ._checks import (NASAL_SECTIONS, NUM_PARAMETERS, ORAL_SECTIONS, count, input_array,
                      parameter_vector, rate, real, state_array)
from ._facts import GLOTTAL_COEFF, LIP_COEFF, NOSTRIL_COEFF
from ._library import pointer, voices_library


def _api():
    return voices_library()[0]


class Voice:
    """One voice of the voices library.

    Everything the engine keeps for a voice between blocks (waves, glottal
    phase, noise generator, filter states, the smoother's history) lives in
    this object's own memory. Voices never share anything: any number of them
    can be rendered on one thread, interleaved or together with
    ``render_voices``, and each gives exactly the samples it would give alone,
    the same samples as the four-function library on a thread of its own.

    ``copy()`` (and ``copy.copy``/``copy.deepcopy``) copies the voice's bytes:
    the copy goes on from the same state, independently (a snapshot, an undo,
    a look-ahead). ``reset()`` makes it a new voice. The state itself is
    private to the library; ``tractwave.step`` renders over wave arrays of
    your own where you need to see them.

    A Voice may be passed between threads but used by one thread at a time;
    a second thread rendering, resetting or copying it concurrently gets a
    RuntimeError.
    """

    def __init__(self) -> None:
        api = _api()
        size = api.tractwave_voice_size()
        alignment = api.tractwave_voice_alignment()
        # numpy promises less alignment than the library asks for: allocate
        # some slack and start the voice where the address is aligned.
        self._buffer = np.zeros(size + alignment, dtype=np.uint8)
        start = -self._buffer.ctypes.data % alignment
        self._memory = self._buffer[start:start + size]
        self._busy = threading.Lock()
        api.tractwave_voice_init(self._address())

    def _address(self):
        return ctypes.c_void_p(self._memory.ctypes.data)

    def _claim(self):
        if not self._busy.acquire(blocking=False):
            raise RuntimeError("this Voice is being used on another thread")

    def reset(self) -> None:
        """Makes this a new voice, as if just made."""
        self._claim()
        try:
            _api().tractwave_voice_init(self._address())
        finally:
            self._busy.release()

    def copy(self) -> "Voice":
        """An independent Voice that goes on from this one's state."""
        twin = Voice()
        self._claim()
        try:
            twin._memory[...] = self._memory
        finally:
            self._busy.release()
        return twin

    __copy__ = copy

    def __deepcopy__(self, memo):
        return self.copy()

    def render(self, params: Any, n: int, sample_rate: float = 48000) -> np.ndarray:
        """Renders ``n`` samples with one parameter vector; returns float32[n].

        ``params`` is anything ``parameters()`` accepts as its first argument.
        The parameters hold for the whole call (the library does not
        interpolate): to change them smoothly, render short blocks.
        """
        vector = parameter_vector(params)
        n = count(n)
        sample_rate = rate(sample_rate)
        out = np.empty(n, dtype=np.float32)
        self._claim()
        try:
            _api().tractwave_voice_render(self._address(), n, pointer(vector), pointer(out),
                                          sample_rate)
        finally:
            self._busy.release()
        return out

    def render_geometry(self, *, n: int, f0: float, amp: float, mix: float,
                        breathiness: float, oral_diameters: Any, nasal_diameters: Any,
                        velum: float, glottal_coeff: float = GLOTTAL_COEFF,
                        lip_coeff: float = LIP_COEFF, nostril_coeff: float = NOSTRIL_COEFF,
                        sample_rate: float = 48000,
                        out: Optional[np.ndarray] = None) -> np.ndarray:
        """One block over an explicit geometry and explicit controls.

        The keyword arguments are ``tractwave.step``'s without the wave
        arrays and the phase, which this voice keeps. Returns ``out``:
        float32[n], newly allocated unless given.
        """
        n = count(n)
        scalars = [real(value, name) for name, value in (
            ("f0", f0), ("amp", amp), ("mix", mix), ("breathiness", breathiness),
            ("velum", velum), ("glottal_coeff", glottal_coeff), ("lip_coeff", lip_coeff),
            ("nostril_coeff", nostril_coeff))]
        sample_rate = rate(sample_rate)
        oral = input_array(oral_diameters, ORAL_SECTIONS, "oral_diameters")
        nasal = input_array(nasal_diameters, NASAL_SECTIONS, "nasal_diameters")
        out = np.empty(n, dtype=np.float32) if out is None else state_array(out, n, "out")
        f0, amp, mix, breathiness, velum, glottal, lip, nostril = scalars
        self._claim()
        try:
            _api().tractwave_voice_render_geometry(
                self._address(), n, f0, amp, mix, breathiness, pointer(oral), pointer(nasal),
                velum, glottal, lip, nostril, pointer(out), sample_rate)
        finally:
            self._busy.release()
        return out

    def __repr__(self):
        return "<tractwave.Voice>"


def _parameter_rows(params, voices):
    """params as a C-contiguous float32 (voices, 10) array: an array of that
    shape, or a sequence with one parameter vector or mapping per voice."""
    if isinstance(params, np.ndarray) and params.ndim == 2:
        if params.shape != (voices, NUM_PARAMETERS):
            raise ValueError(f"params must have shape ({voices}, {NUM_PARAMETERS}) for "
                             f"{voices} voices, not {params.shape}")
        rows = [input_array(row, NUM_PARAMETERS, f"params[{i}]") for i, row in enumerate(params)]
    else:
        if isinstance(params, (Mapping, str)) or not hasattr(params, "__len__"):
            raise TypeError("params must hold one parameter vector per voice")
        if len(params) != voices:
            raise ValueError(f"{len(params)} parameter vectors for {voices} voices")
        rows = [parameter_vector(row) for row in params]
    return np.ascontiguousarray(np.stack(rows) if rows else
                                np.empty((0, NUM_PARAMETERS), np.float32), dtype=np.float32)


def render_voices(voices: Sequence[Voice], params: Any, n: int, sample_rate: float = 48000,
                  out: Optional[np.ndarray] = None,
                  layout: Literal["voices", "frames"] = "voices") -> np.ndarray:
    """Renders ``n`` samples of many voices in one call.

    Returns float32[count, n] (one row per voice) with ``layout="voices"``,
    the default; float32[n, count] (one column per voice, C-contiguous) with
    ``layout="frames"``, the shape soundfile.write and scipy.io.wavfile.write
    take as ``count`` channels.

    ``voices`` is a sequence of distinct ``Voice`` objects; ``params`` their
    parameter vectors, one per voice (a (count, 10) array, or a sequence of
    anything ``parameters()`` accepts). Row i of the result is voice i's
    block, exactly what ``voices[i].render(params[i], n, sample_rate)`` would
    give. The library runs one voice per vector lane (16 at a time with
    AVX-512), which costs far less per voice than one by one. ``out``, if
    given, must be a writable C-contiguous float32 array of the result's shape.
    """
    if layout not in ("voices", "frames"):
        raise ValueError(f"layout must be 'voices' or 'frames', not {layout!r}")
    voices = list(voices)
    if layout == "frames":
        count_ = len(voices)
        frames = render_voices(voices, params, n, sample_rate)
        if out is None:
            return np.ascontiguousarray(frames.T)
        if not (isinstance(out, np.ndarray) and out.dtype == np.float32
                and out.shape == (n, count_) and out.flags.c_contiguous
                and out.flags.writeable):
            raise ValueError(f"out must be a writable C-contiguous float32 array of shape "
                             f"({n}, {count_})")
        out[...] = frames.T
        return out
    for v in voices:
        if not isinstance(v, Voice):
            raise TypeError(f"voices must be tractwave.Voice objects, not {type(v).__name__}")
    if len({id(v) for v in voices}) != len(voices):
        raise ValueError("the same Voice appears twice")
    n = count(n)
    sample_rate = rate(sample_rate)
    rows = _parameter_rows(params, len(voices))
    if out is None:
        out = np.empty((len(voices), n), dtype=np.float32)
    elif not (isinstance(out, np.ndarray) and out.dtype == np.float32
              and out.shape == (len(voices), n) and out.flags.c_contiguous
              and out.flags.writeable):
        raise ValueError(f"out must be a writable C-contiguous float32 array of shape "
                         f"({len(voices)}, {n})")
    if not voices:
        return out
    claimed = []
    try:
        for v in voices:
            v._claim()
            claimed.append(v)
        addresses = (ctypes.c_void_p * len(voices))(*(v._memory.ctypes.data for v in voices))
        _api().tractwave_voices_render(addresses, len(voices), n, pointer(rows), pointer(out),
                                       sample_rate)
    finally:
        for v in claimed:
            v._busy.release()
    return out
