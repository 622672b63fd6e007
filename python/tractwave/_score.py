"""Scores of keyframes: reading them, and rendering them sample for sample as
tractwave-render does. docs/scores.md states the rule; the shared cases in
tests/scores/ hold this module, the program and the playground to it."""

from __future__ import annotations

import ctypes
import json
import math
import numbers
import os
import re
import stat
import threading
from collections.abc import Mapping, Sequence

from typing import Any, Dict, Optional, Union

import numpy as np

from ._checks import DEFAULTS, INT_MAX, NASAL_SECTIONS, ORAL_SECTIONS, PARAMETER_NAMES
from ._library import library as _library

MAX_VALUE = 1e6          # every number in a score; the library's finite range
MIN_RATE, MAX_RATE = 8001, 768000
DEFAULT_RATE, DEFAULT_BLOCK = 48000, 64
MAX_SAMPLES = 1_000_000_000
MAX_DEPTH = 64
MAX_SCORE_SIZE = 256 << 20

_QUOTE_CHARS = 40
_KNOWN_KEYS = "t, " + ", ".join(PARAMETER_NAMES)
_CSV_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
# Samples rendered between checks of the output, and blocks whose parameter
# vectors are worked out at a time: the memory beside the output array.
_CHECK_SAMPLES = 1 << 20
_BLOCKS_AT_A_TIME = 4096


class ScoreError(ValueError):
    """A score, or a setting of its rendering, that breaks the score rule.

    The message names the fault and where it is: the file and line when a
    file is read, the keyframe and key (``keyframes[2].pitch``).
    """


ScoreError.__module__ = "tractwave"


def quote(text):
    """Text from a score, safe to print: quoted, with control characters
    escaped so that a terminal shows them rather than obeys them, and cut
    short after 40 characters."""
    out = []
    for i, char in enumerate(str(text)):
        if i == _QUOTE_CHARS:
            out.append("...")
            break
        code = ord(char)
        if char in '"\\':
            out.append("\\" + char)
        elif code < 0x20 or 0x7F <= code <= 0x9F or 0xD800 <= code <= 0xDFFF:
            out.append(f"\\u{code:04x}")
        else:
            out.append(char)
    return '"' + "".join(out) + '"'


def _describe(value):
    """What a value that should have been a number is, for a message."""
    if isinstance(value, str):
        return quote(value)
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    if isinstance(value, Mapping):
        return "an object"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, numbers.Real):
        return _number_text(value)
    return f"a {type(value).__name__}"


def _number_text(value):
    # Every number is a double to the other front ends, which print a whole
    # one without a point; so does this, for the same score.
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e16:
        value = int(value)
    text = repr(value) if isinstance(value, (int, float)) else str(value)
    return text if len(text) <= _QUOTE_CHARS else text[:_QUOTE_CHARS] + "..."


def _is_number(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _as_float(value):
    try:
        return float(value)
    except OverflowError:  # an int beyond any double
        return math.inf


def _value(value, name, is_time, written=None):
    """A keyframe's value, checked as every front end checks it. ``written``
    is the number as a file spells it, for the message."""
    if not _is_number(value):
        raise ScoreError(f"{name}: must be a number, not {_describe(value)}")
    number = _as_float(value)
    shown = _number_text(value) if written is None else (
        written if len(written) <= _QUOTE_CHARS else written[:_QUOTE_CHARS] + "...")
    if not abs(number) <= MAX_VALUE:
        raise ScoreError(f"{name}: {shown} is out of range (-1000000 to 1000000)")
    if is_time and number < 0:
        raise ScoreError(f"{name}: {shown} is negative (times are seconds from 0)")
    return number


def _whole(value, name, low, high):
    """sample_rate or block: a whole number in any numeric form."""
    if _is_number(value):
        number = _as_float(value)
        if low <= number <= high and number == math.floor(number):
            return int(number)
    raise ScoreError(f"{name}: must be a whole number from {low} to {high}, not {_describe(value)}")


def _keyframe_table(keyframes):
    """Keyframe times and full parameter rows, both float64.

    A parameter a keyframe leaves out keeps its value from the keyframe
    before; the first keyframe starts from the defaults. Values stay in
    double precision until they are interpolated, as tractwave-render keeps
    them. Each keyframe is checked in its own order, key by key, so that a
    keyframe with several faults is reported by its first, as the other
    front ends report it.
    """
    if isinstance(keyframes, (str, bytes)) or not isinstance(keyframes, Sequence):
        raise TypeError("keyframes must be a list of mappings such as "
                        "[{'t': 0.0, 'pitch': 0.3}]")
    if len(keyframes) == 0:
        raise ScoreError("the score has no keyframes")
    times = np.empty(len(keyframes), dtype=np.float64)
    rows = np.empty((len(keyframes), len(PARAMETER_NAMES)), dtype=np.float64)
    current = dict(DEFAULTS)
    for i, frame in enumerate(keyframes):
        where = f"keyframes[{i}]"
        if not isinstance(frame, Mapping):
            raise ScoreError(f'{where}: must be an object such as {{"t": 0.5, '
                             f'"pitch": 0.3}}, not {_describe(frame)}')
        time = None
        for key, value in frame.items():
            if key != "t" and key not in DEFAULTS:
                raise ScoreError(f"{where}: unknown key {quote(key)} (known: {_KNOWN_KEYS})")
            number = _value(value, f"{where}.{key}", key == "t")
            if key == "t":
                time = number
            else:
                current[key] = number
        if time is None:
            raise ScoreError(f'{where}: has no "t"')
        if i > 0 and time < times[i - 1]:
            raise ScoreError(f"{where}.t: {_number_text(time)} is earlier than the previous "
                             f"keyframe's {_number_text(float(times[i - 1]))} "
                             "(times must not decrease)")
        times[i] = time
        rows[i] = [current[name] for name in PARAMETER_NAMES]
    return times, rows


def _round_half_away(x):
    """Rounds as C's round() does (halves away from zero), not to even."""
    whole = math.floor(x)
    return whole + 1 if x - whole >= 0.5 else whole


def _length(last_time, rate):
    total = _round_half_away(last_time * rate)
    if total > MAX_SAMPLES:
        raise ScoreError(f"the score is too long: {total} samples at {rate} Hz "
                         f"(at most {MAX_SAMPLES})")
    if total == 0:
        raise ScoreError("the score lasts no samples (its last keyframe is at "
                         f"t = {_number_text(last_time)})")
    return total


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


def _chunk_function():
    """synthesize_waveguide_chunk_ex taking plain addresses: with a block of
    one sample it is called millions of times, and building a pointer
    object per argument would cost more than the call itself."""
    handle = _library()[0]
    function = handle["synthesize_waveguide_chunk_ex"]
    function.argtypes = [ctypes.c_int] + [ctypes.c_void_p] * 7 + [ctypes.c_float]
    function.restype = None
    return function


def render_score(keyframes: Sequence[Mapping[str, float]], sample_rate: int = DEFAULT_RATE,
                 block: int = DEFAULT_BLOCK) -> np.ndarray:
    """Renders a score of keyframes; returns float32 samples.

    ``keyframes`` is a list of mappings, each with a time ``t`` in seconds
    (non-decreasing) and any of the parameter names, every value within
    -1e6 ... 1e6. A parameter a keyframe leaves out keeps its value from the
    keyframe before; left out of the first keyframe it is 0.5, except
    voicing and breathiness, which start at 0. ``sample_rate`` (8001 to
    768000) and ``block`` (1 to 2**31 - 1) are whole numbers, of any numeric
    type. ``render_score(**load_score(path))`` renders a score file.

    The samples are exactly those of ``tractwave-render`` for the same score,
    rate and block: round(t_last x sample_rate) samples (at most 1e9),
    rendered in blocks of ``block`` samples (the last one shorter) from a new
    voice, each block with the parameters interpolated linearly between
    keyframes at the time of its first sample (before the first keyframe the
    first holds, after the last the last). Memory beyond the returned array
    stays small whatever the block size.

    A fault in the score raises ScoreError (a ValueError); ``keyframes``
    that is not a list raises TypeError. Samples that are not finite
    numbers, which the library does not give for such a score, raise
    FloatingPointError.

    The rendering runs on a new thread, so that the library's per-thread
    state starts from its initial values whatever this thread rendered
    before; the call waits for it.
    """
    rate = _whole(sample_rate, "sample_rate", MIN_RATE, MAX_RATE)
    block = _whole(block, "block", 1, INT_MAX)
    times, rows = _keyframe_table(keyframes)
    total = _length(float(times[-1]), rate)
    out = np.empty(total, dtype=np.float32)
    function = _chunk_function()
    failure = []

    def run():
        try:
            state = [np.zeros(size, dtype=np.float32) for size in (
                ORAL_SECTIONS, ORAL_SECTIONS, NASAL_SECTIONS, NASAL_SECTIONS, 1)]
            addresses = [a.ctypes.data for a in state]
            base = out.ctypes.data
            step = block * _BLOCKS_AT_A_TIME
            for first in range(0, total, step):
                starts = np.arange(first, min(total, first + step), block, dtype=np.int64)
                vectors = _block_parameters(times, rows, starts, rate)
                vector_base = vectors.ctypes.data
                for k, start in enumerate(starts.tolist()):
                    function(min(block, total - start), vector_base + 40 * k, *addresses,
                             base + 4 * start, rate)
        except BaseException as error:  # re-raised on the calling thread
            failure.append(error)

    worker = threading.Thread(target=run, name="tractwave-render-score")
    worker.start()
    worker.join()
    if failure:
        raise failure[0]
    _check_finite(out)
    return out


def _check_finite(out):
    bad, first = 0, None
    for at in range(0, len(out), _CHECK_SAMPLES):
        finite = np.isfinite(out[at:at + _CHECK_SAMPLES])
        if not finite.all():
            if first is None:
                first = at + int(np.argmin(finite))
            bad += int(finite.size - np.count_nonzero(finite))
    if bad:
        raise FloatingPointError(f"{bad} of {len(out)} samples are not finite numbers "
                                 f"(the first at sample {first})")


# Reading score files ---------------------------------------------------------


class _Duplicate(Exception):
    pass


def _no_duplicates(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise _Duplicate(key)
        seen.add(key)
    return dict(pairs)


def _no_constant(name):
    raise json.JSONDecodeError(f"{name} is not a number in JSON", "", 0)


def _too_deep(data):
    stack = [(data, 1)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, (dict, list)):
            if depth > MAX_DEPTH:
                return True
            children = value.values() if isinstance(value, dict) else value
            stack.extend((child, depth + 1) for child in children)
    return False


def _parse_json(text, name):
    try:
        # Every number as a double, as the other front ends read it: a
        # 400-digit integer is then out of range rather than a long int.
        data = json.loads(text, object_pairs_hook=_no_duplicates,
                          parse_constant=_no_constant, parse_int=float)
    except json.JSONDecodeError as error:
        where = f":{error.lineno}" if error.doc else ""
        raise ScoreError(f"{name}{where}: not valid JSON: {error.msg}") from None
    except _Duplicate as error:
        raise ScoreError(f"{name}: duplicate key {quote(error.args[0])}") from None
    except RecursionError:
        raise ScoreError(f"{name}: nested too deeply (more than {MAX_DEPTH} levels)") from None
    if _too_deep(data):
        raise ScoreError(f"{name}: nested too deeply (more than {MAX_DEPTH} levels)")
    if not isinstance(data, dict):
        raise ScoreError(f'{name}: the score must be a JSON object with "keyframes", '
                         f"not {_describe(data)}")
    score = {"keyframes": [], "sample_rate": DEFAULT_RATE, "block": DEFAULT_BLOCK}
    try:
        for key, value in data.items():
            if key == "sample_rate":
                score[key] = _whole(value, key, MIN_RATE, MAX_RATE)
            elif key == "block":
                score[key] = _whole(value, key, 1, INT_MAX)
            elif key == "keyframes":
                if not isinstance(value, list):
                    raise ScoreError("keyframes: must be an array of keyframes, "
                                     f"not {_describe(value)}")
                if value:
                    _keyframe_table(value)
                score[key] = value
            else:
                raise ScoreError(f"unknown key {quote(key)} "
                                 "(known: sample_rate, block, keyframes)")
    except ScoreError as error:
        raise type(error)(f"{name}: {error}") from None
    if not score["keyframes"]:
        raise ScoreError(f"{name}: the score has no keyframes")
    return score


def _parse_csv(text, name):
    columns = None
    keyframes = []
    for number, line in enumerate(text.split("\n"), start=1):
        cells = [cell.strip(" \t\r") for cell in line.split(",")]
        if cells == [""]:
            continue
        where = f"{name}:{number}: "
        if columns is None:
            for j, cell in enumerate(cells):
                if cell != "t" and cell not in DEFAULTS:
                    raise ScoreError(f"{where}unknown column {quote(cell)} (known: {_KNOWN_KEYS})")
                if cell in cells[:j]:
                    raise ScoreError(f"{where}duplicate column {quote(cell)}")
            if "t" not in cells:
                raise ScoreError(f'{where}the header has no "t" column')
            columns = cells
            continue
        if len(cells) != len(columns):
            raise ScoreError(f"{where}{len(cells)} values, but the header names "
                             f"{len(columns)} columns")
        frame = {}
        for column, cell in zip(columns, cells):
            # An empty parameter cell leaves the parameter out of this keyframe.
            if cell == "" and column != "t":
                continue
            if not _CSV_NUMBER.fullmatch(cell):
                raise ScoreError(f"{where}{column}: must be a number, not {quote(cell)}")
            try:
                frame[column] = _value(_as_float(cell), column, column == "t", cell)
            except ScoreError as error:
                raise ScoreError(f"{where}{error}") from None
        if keyframes and frame["t"] < keyframes[-1]["t"]:
            raise ScoreError(f"{where}t: {_number_text(frame['t'])} is earlier than the "
                             f"previous keyframe's {_number_text(keyframes[-1]['t'])} "
                             "(times must not decrease)")
        keyframes.append(frame)
    if columns is None:
        raise ScoreError(f"{name}: the score is empty (no header row)")
    if not keyframes:
        raise ScoreError(f"{name}: the score has no keyframes")
    return {"keyframes": keyframes, "sample_rate": DEFAULT_RATE, "block": DEFAULT_BLOCK}


def parse_score(text: str, format: str = "json", name: str = "score") -> Dict[str, Any]:
    """Reads a score from text as tractwave-render reads a score file.

    ``text`` is a str, or bytes in UTF-8; ``format`` is "json" or "csv";
    ``name`` names the text in messages. Returns a dict with ``keyframes``,
    ``sample_rate`` and ``block`` (the defaults, 48000 and 64, filled in), so
    that ``render_score(**parse_score(text))`` renders it. A fault raises
    ScoreError naming the line or the key.
    """
    if isinstance(text, (bytes, bytearray)):
        try:
            text = bytes(text).decode("utf-8")
        except UnicodeDecodeError as error:
            line = text.count(b"\n", 0, error.start) + 1
            raise ScoreError(f"{name}:{line}: not valid UTF-8 (byte {error.start})") from None
    if not isinstance(text, str):
        raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
    if text.startswith("\ufeff"):
        text = text[1:]
    if format == "json":
        return _parse_json(text, name)
    if format == "csv":
        return _parse_csv(text, name)
    raise ValueError(f"format must be 'json' or 'csv', not {format!r}")


def load_score(path: Union[str, "os.PathLike[str]"], format: Optional[str] = None,
               max_size: int = MAX_SCORE_SIZE) -> Dict[str, Any]:
    """Reads a score file (.json or .csv) as tractwave-render reads it.

    ``format`` ("json" or "csv") is needed when the extension does not tell.
    A file larger than ``max_size`` bytes (256 MiB) is refused unread, as is
    a directory. Returns what ``parse_score`` returns; a fault raises
    ScoreError naming the file and the line or key.
    """
    path = os.fspath(path)
    if format is None:
        extension = os.path.splitext(path)[1].lower()
        format = {".json": "json", ".csv": "csv"}.get(extension)
        if format is None:
            raise ScoreError(f"{path}: cannot tell the score's format from its name; "
                             "pass format='csv' or 'json'")
    if os.path.isdir(path):
        raise ScoreError(f"{path}: is a directory, not a score")
    with open(path, "rb") as f:
        # A file says how large it is; anything else is read up to the limit.
        info = os.fstat(f.fileno())
        too_large = stat.S_ISREG(info.st_mode) and info.st_size > max_size
        data = b"" if too_large else f.read(max_size + 1)
    if too_large or len(data) > max_size:
        raise ScoreError(f"{path}: the score is larger than {max_size} bytes "
                         "(max_size raises the limit)")
    return parse_score(data, format, path)
