"""Rendering a score of keyframes, sample for sample as tractwave-render does."""

import math
import threading
from collections.abc import Mapping, Sequence

import numpy as np

from ._checks import DEFAULTS as _DEFAULTS, FLOAT_MAX as _FLOAT_MAX
from ._checks import NASAL_SECTIONS, ORAL_SECTIONS, PARAMETER_NAMES
from ._checks import count as _count, rate as _rate, real as _real
from ._library import library as _library, pointer as _ptr


def _keyframe_table(keyframes):
    """Keyframe times and full parameter rows, both float64.

    A parameter a keyframe leaves out keeps its value from the keyframe
    before; the first keyframe starts from the defaults. Values stay in
    double precision until they are interpolated, as tractwave-render keeps
    them.
    """
    if isinstance(keyframes, (str, bytes)) or not isinstance(keyframes, Sequence):
        raise TypeError("keyframes must be a list of mappings such as "
                        "{'t': 0.0, 'pitch': 0.3}")
    if len(keyframes) == 0:
        raise ValueError("the score has no keyframes")
    known = set(PARAMETER_NAMES) | {"t"}
    times = np.empty(len(keyframes), dtype=np.float64)
    rows = np.empty((len(keyframes), len(PARAMETER_NAMES)), dtype=np.float64)
    current = dict(_DEFAULTS)
    for i, frame in enumerate(keyframes):
        if not isinstance(frame, Mapping):
            raise TypeError(f"keyframe {i} must be a mapping, not {type(frame).__name__}")
        unknown = sorted(set(frame) - known, key=str)
        if unknown:
            raise ValueError(f"keyframe {i}: unknown parameter name(s) "
                             f"{', '.join(map(repr, unknown))}; known: t, "
                             f"{', '.join(PARAMETER_NAMES)}")
        if "t" not in frame:
            raise ValueError(f"keyframe {i} has no time 't'")
        for name, value in frame.items():
            value = _real(value, f"keyframe {i}: {name}")
            if not math.isfinite(value) or abs(value) > _FLOAT_MAX:
                raise ValueError(f"keyframe {i}: {name} must be finite, not {value!r}")
            if name != "t":
                current[name] = value
        times[i] = _real(frame["t"], f"keyframe {i}: t")
        if times[i] < 0:
            raise ValueError(f"keyframe {i}: time {times[i]!r} is negative")
        if i > 0 and times[i] < times[i - 1]:
            raise ValueError(f"keyframe {i}: time {times[i]!r} is earlier than "
                             f"the time {times[i - 1]!r} of keyframe {i - 1}")
        rows[i] = [current[name] for name in PARAMETER_NAMES]
    return times, rows


def _round_half_away(x):
    """Rounds as C's round() does (halves away from zero), not to even."""
    whole = math.floor(x)
    return whole + 1 if x - whole >= 0.5 else whole


def _block_parameters(times, rows, starts, rate):
    """Parameter vector of each block, interpolated at its start time.

    In double precision, in the order tractwave-render computes it,
    w = (time - t0) / (t1 - t0) and value = a + (b - a) * w, rounded to
    float at the end: any other order changes the last bit of a parameter
    now and then, and with it every sample after.
    """
    at = starts.astype(np.float64) / rate
    # The last keyframe at or before each time; with several at one time the
    # later one holds from that time on.
    index = np.searchsorted(times, at, side="right") - 1
    before = index < 0
    after = index >= len(times) - 1
    result = np.empty((len(starts), rows.shape[1]), dtype=np.float32)
    inside = ~(before | after)
    i = index[inside]
    t0, t1 = times[i], times[i + 1]
    w = (at[inside] - t0) / (t1 - t0)
    a, b = rows[i], rows[i + 1]
    result[inside] = (a + (b - a) * w[:, None]).astype(np.float32)
    result[before] = rows[0].astype(np.float32)
    result[after] = rows[-1].astype(np.float32)
    return result


def render_score(keyframes, sample_rate=48000, block=64):
    """Renders a score of keyframes; returns float32 samples.

    ``keyframes`` is a list of mappings, each with a time ``t`` in seconds
    (non-decreasing) and any of the parameter names. A parameter a
    keyframe leaves out keeps its value from the keyframe before; left out
    of the first keyframe it is 0.5, except voicing and breathiness, which
    start at 0.

    The samples are exactly those of ``tractwave-render`` for the same score,
    rate (a whole number of Hz above 8000) and block: round(t_last x sample_rate) samples, rendered in blocks
    of ``block`` samples (the last one shorter) from a new voice, each block
    with the parameters interpolated linearly between keyframes at the time
    of its first sample (before the first keyframe the first holds, after
    the last the last).

    The rendering runs on a new thread, so that the library's per-thread
    state starts from its initial values whatever this thread rendered
    before; the call waits for it.
    """
    rate = _rate(sample_rate)
    if not rate.is_integer():
        raise ValueError(f"sample_rate must be a whole number of Hz, not {sample_rate!r}")
    block = _count(block, "block")
    times, rows = _keyframe_table(keyframes)
    total = _round_half_away(times[-1] * rate)
    if total == 0:
        raise ValueError(f"the score lasts no samples (its last keyframe is at t = {times[-1]!r})")
    out = np.zeros(total, dtype=np.float32)
    starts = np.arange(0, total, block, dtype=np.int64)
    vectors = _block_parameters(times, rows, starts, rate)
    lib = _library()[0]
    failure = []

    def run():
        try:
            R = np.zeros(ORAL_SECTIONS, dtype=np.float32)
            L = np.zeros(ORAL_SECTIONS, dtype=np.float32)
            nasal_R = np.zeros(NASAL_SECTIONS, dtype=np.float32)
            nasal_L = np.zeros(NASAL_SECTIONS, dtype=np.float32)
            phase = np.zeros(1, dtype=np.float32)
            state = [_ptr(a) for a in (R, L, nasal_R, nasal_L, phase)]
            for start, vector in zip(starts.tolist(), vectors):
                n = min(block, total - start)
                lib.synthesize_waveguide_chunk_ex(
                    n, _ptr(vector), *state, _ptr(out[start:start + n]), rate)
        except BaseException as error:  # re-raised on the calling thread
            failure.append(error)

    worker = threading.Thread(target=run, name="tractwave-render-score")
    worker.start()
    worker.join()
    if failure:
        raise failure[0]
    return out

