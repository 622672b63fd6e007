"""tractwave.say: English text or phonemes to speech, through the speech
library (libtractwave_speech), loaded with ctypes like the engine library.

Words come from a pronouncing dictionary in the CMU format, Debian's
pocketsphinx-en-us copy by default; words it lacks are transcribed by
espeak-ng (run as a separate program) when it is installed, else by the
library's own letter-to-sound rule.
"""

import ctypes
import math
import numbers
import os
import shutil
import subprocess
import threading

import numpy as np

from ._library import VOICES as _VOICES_LIBRARY, Kind, library

SPEECH_ENVIRONMENT_VARIABLE = "TRACTWAVE_SPEECH_LIBRARY"
DEFAULT_DICTIONARY = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"
VOICES = ("male", "female", "child")

_OK, _BAD_ARGUMENT, _UNKNOWN_PHONEME, _QUEUE_FULL = 0, -1, -2, -3
_UNKNOWN_WORD, _MALFORMED = -5, -6
_ARPABET, _IPA = 0, 1
_FLOAT_P = ctypes.POINTER(ctypes.c_float)
_INT_P = ctypes.POINTER(ctypes.c_int)
_VOIDP = ctypes.c_void_p

class SpeechError(ValueError):
    """Text that cannot be spoken: an unknown word or phoneme, a bad
    dictionary."""


SpeechError.__module__ = "tractwave"

_PROTOTYPES = {
    "tractwave_speaker_create": (_VOIDP, [ctypes.c_int, ctypes.c_float, ctypes.c_int]),
    "tractwave_speaker_destroy": (None, [_VOIDP]),
    "tractwave_speaker_set_speed": (ctypes.c_int, [_VOIDP, ctypes.c_float]),
    "tractwave_speaker_set_pitch": (ctypes.c_int, [_VOIDP, ctypes.c_float]),
    "tractwave_speaker_queue": (ctypes.c_int, [_VOIDP, ctypes.c_char_p, ctypes.c_int]),
    "tractwave_speaker_error_offset": (ctypes.c_int, [_VOIDP]),
    "tractwave_speaker_render": (ctypes.c_int, [_VOIDP, _FLOAT_P, ctypes.c_int]),
    "tractwave_speaker_frame": (ctypes.c_int, [_VOIDP, _FLOAT_P]),
    "tractwave_speech_phoneme_name": (ctypes.c_char_p, [ctypes.c_int]),
    "tractwave_lexicon_create": (_VOIDP, []),
    "tractwave_lexicon_destroy": (None, [_VOIDP]),
    "tractwave_lexicon_load": (ctypes.c_int, [_VOIDP, ctypes.c_char_p, ctypes.c_int, _INT_P]),
    "tractwave_lexicon_add": (ctypes.c_int, [_VOIDP, ctypes.c_char_p, ctypes.c_char_p]),
    "tractwave_lexicon_transcribe": (ctypes.c_int, [
        _VOIDP, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, _INT_P, _INT_P]),
    "tractwave_speech_ipa_to_arpabet": (ctypes.c_int, [
        ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, _INT_P]),
    "tractwave_speech_spell": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
}


_SPEECH = Kind("tractwave_speech", SPEECH_ENVIRONMENT_VARIABLE,
               {name: argtypes for name, (_, argtypes) in _PROTOTYPES.items()},
               results={name: result for name, (result, _) in _PROTOTYPES.items()},
               needs=_VOICES_LIBRARY)


def _load():
    """The speech library, found as the other libraries are."""
    return library(_SPEECH)[0]


def speech_library_path():
    """Where the speech library was loaded from (loading it if needed)."""
    return library(_SPEECH)[1]


class _Lexicon:
    """A loaded dictionary, with the words espeak-ng added to it."""

    def __init__(self, path):
        lib = _load()
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as error:
            raise SpeechError(f"{path}: cannot read the dictionary: {error.strerror}") from None
        if len(data) > 2**31 - 1:
            raise SpeechError(f"{path}: the dictionary is too large")
        self.handle = lib.tractwave_lexicon_create()
        if not self.handle:
            raise MemoryError("no memory for the lexicon")
        line = ctypes.c_int(0)
        status = lib.tractwave_lexicon_load(self.handle, data, len(data), ctypes.byref(line))
        if status != _OK:
            lib.tractwave_lexicon_destroy(self.handle)
            self.handle = None
            what = "malformed entry" if status == _MALFORMED else "out of memory"
            raise SpeechError(f"{path}:{line.value}: {what}")
        self.lock = threading.Lock()

    def __del__(self):
        # A lexicon with a handle was made by the loaded library.
        if getattr(self, "handle", None):
            _load().tractwave_lexicon_destroy(self.handle)

    def transcribe(self, text, use_espeak):
        lib = _load()
        encoded = text.encode("utf-8")
        with self.lock:
            while True:
                offset, length = ctypes.c_int(), ctypes.c_int()
                need = lib.tractwave_lexicon_transcribe(
                    self.handle, encoded, None, 0, ctypes.byref(offset), ctypes.byref(length))
                if need == _UNKNOWN_WORD:
                    word = encoded[offset.value:offset.value + length.value].decode("utf-8", "replace")
                    self._learn(word, use_espeak)
                    continue
                if need < 0:
                    raise SpeechError(f"cannot transcribe the text (code {need})")
                out = ctypes.create_string_buffer(need + 1)
                lib.tractwave_lexicon_transcribe(self.handle, encoded, out, need + 1, None, None)
                return out.value.decode("ascii")

    def _learn(self, word, use_espeak):
        program = shutil.which("espeak-ng") if use_espeak else None
        if program is None:
            # The library's own letter-to-sound rule.
            lib = _load()
            out = ctypes.create_string_buffer(512)
            encoded = word.encode("utf-8")
            if (lib.tractwave_speech_spell(encoded, out, 512) > 0
                    and lib.tractwave_lexicon_add(self.handle, encoded, out.value) == _OK):
                return
            raise SpeechError(f"'{word}' is not in the dictionary"
                              + ("" if not use_espeak else " and espeak-ng is not installed"))
        try:
            ipa = subprocess.run([program, "-q", "--ipa", "-v", "en-us", "--", word],
                                 capture_output=True, check=True, timeout=30).stdout.decode("utf-8")
        except (OSError, subprocess.SubprocessError) as error:
            raise SpeechError(f"'{word}': espeak-ng failed: {error}") from None
        arpabet = ipa_to_arpabet(" ".join(ipa.split()))
        # One pronunciation for the word, whatever phrasing espeak-ng added.
        arpabet = " ".join(t for t in arpabet.split() if t not in "|,.?")
        lib = _load()
        if not arpabet or lib.tractwave_lexicon_add(self.handle, word.encode("utf-8"),
                                                    arpabet.encode("ascii")) != _OK:
            raise SpeechError(f"'{word}': espeak-ng gave no usable pronunciation ({ipa.strip()!r})")


_lexicons = {}
_lexicons_lock = threading.Lock()


def _lexicon(path):
    path = os.path.abspath(path)
    with _lexicons_lock:
        if path not in _lexicons:
            _lexicons[path] = _Lexicon(path)
        return _lexicons[path]


def ipa_to_arpabet(ipa):
    """ARPAbet (with stress digits) for IPA, as the speech library reads it."""
    lib = _load()
    encoded = ipa.encode("utf-8")
    offset = ctypes.c_int()
    need = lib.tractwave_speech_ipa_to_arpabet(encoded, None, 0, ctypes.byref(offset))
    if need == _UNKNOWN_PHONEME:
        raise SpeechError(f"not an IPA phoneme at {ipa[len(encoded[:offset.value].decode('utf-8', 'replace')):][:8]!r}")
    out = ctypes.create_string_buffer(need + 1)
    lib.tractwave_speech_ipa_to_arpabet(encoded, out, need + 1, None)
    return out.value.decode("ascii")


def transcribe(text, *, dictionary=None, espeak=True):
    """The ARPAbet that say() speaks for English text."""
    return _lexicon(dictionary or DEFAULT_DICTIONARY).transcribe(text, espeak)


def _number(value, what, lo, hi):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    value = float(value)
    if not (lo <= value <= hi):
        raise ValueError(f"{what} must lie within {lo:g} to {hi:g}, not {value!r}")
    return value


def _chunks(arpabet):
    """Pieces of a transcription that end at phrase punctuation, so that a
    long text goes through the speaker's queue a phrase at a time."""
    piece = []
    for token in arpabet.split():
        piece.append(token)
        if token in (",", ";", ":", ".", "!", "?") and len(piece) > 1:
            yield " ".join(piece)
            piece = []
    if piece:
        yield " ".join(piece)


FRAME_SIZE = 54
# What a trace holds, column by column of tractwave_speaker_frame's frame.
_TRACE_COLUMNS = {"t": 0, "f0": 3, "amp": 4, "mix": 5, "breathiness": 6, "velum": 7,
                  "lip_coeff": 8, "nostril_coeff": 9, "voicing": 51, "aspiration": 52,
                  "frication": 53}


def say(text=None, *, phonemes=None, ipa=None, voice="male", speed=1.0, pitch=1.0,
        sample_rate=48000, dictionary=None, espeak=True, trace=False):
    """Speaks English text, or phonemes, and returns the samples.

    Give one of ``text`` (English words, looked up in ``dictionary``, a
    pronouncing dictionary in the CMU format, by default Debian's
    pocketsphinx-en-us copy; words it lacks are transcribed by espeak-ng when
    ``espeak`` is true and it is installed, else by the library's own
    letter-to-sound rule), ``phonemes`` (ARPAbet, e.g.
    ``"HH AH0 L OW1"``) or ``ipa``. ``voice`` is "male", "female" or "child";
    ``speed`` (0.25 to 4) and ``pitch`` (0.25 to 4) scale the speaking rate
    and the voice's pitch. Returns float32 samples at ``sample_rate`` (8000
    to 768000), mono, at the library's level (vowels near -26 dBFS RMS,
    peaks below -6 dBFS).

    With ``trace=True`` returns ``(samples, trace)``: the engine controls
    about every millisecond, a dict of numpy arrays: ``t`` (seconds),
    ``phoneme`` (ARPAbet names, "" in silence), ``serial`` (the phone's
    number, -1 in silence), ``f0``, ``amp``, ``mix``, ``breathiness``,
    ``velum``, ``lip_coeff``, ``nostril_coeff``, ``oral`` (n x 25
    diameters), ``nasal`` (n x 16), and ``voicing``, ``aspiration``,
    ``frication`` before level compensation.

    Raises SpeechError for a word that cannot be transcribed or a phoneme
    that is not one, naming it.
    """
    given = [x is not None for x in (text, phonemes, ipa)]
    if sum(given) != 1:
        raise TypeError("give exactly one of text, phonemes or ipa")
    if voice not in VOICES:
        raise ValueError(f"voice must be one of {', '.join(VOICES)}, not {voice!r}")
    speed = _number(speed, "speed", 0.25, 4.0)
    pitch = _number(pitch, "pitch", 0.25, 4.0)
    rate = _number(sample_rate, "sample_rate", 8000, 768000)
    if text is not None:
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        source, notation = transcribe(text, dictionary=dictionary, espeak=espeak), _ARPABET
    elif phonemes is not None:
        if not isinstance(phonemes, str):
            raise TypeError(f"phonemes must be a str, not {type(phonemes).__name__}")
        source, notation = phonemes, _ARPABET
    else:
        if not isinstance(ipa, str):
            raise TypeError(f"ipa must be a str, not {type(ipa).__name__}")
        source, notation = ipa, _IPA

    lib = _load()
    speaker = lib.tractwave_speaker_create(VOICES.index(voice), rate, 0)
    if not speaker:
        raise MemoryError("cannot create a speaker")
    try:
        lib.tractwave_speaker_set_speed(speaker, speed)
        lib.tractwave_speaker_set_pitch(speaker, pitch)
        # Traced, the speaker renders a millisecond at a time and each block's
        # controls are kept.
        block = np.empty(max(1, int(rate // 1000)) if trace else 4096, dtype=np.float32)
        pieces, frames = [], []
        frame = np.empty(FRAME_SIZE, dtype=np.float32)

        def render_block():
            n = lib.tractwave_speaker_render(speaker, block.ctypes.data_as(_FLOAT_P), len(block))
            pieces.append(block[:n].copy())
            if trace and n > 0:
                lib.tractwave_speaker_frame(speaker, frame.ctypes.data_as(_FLOAT_P))
                frames.append(frame.copy())
            return n

        # A transcription is queued a phrase at a time; phonemes as given
        # (their offsets then name the symbol at fault).
        parts = list(_chunks(source)) if notation == _ARPABET and text is not None else [source]
        for part in parts:
            encoded = part.encode("utf-8")
            while True:
                status = lib.tractwave_speaker_queue(speaker, encoded, notation)
                if status != _QUEUE_FULL:
                    break
                if render_block() == 0:
                    raise SpeechError("a phrase is too long for the speaker's queue")
            if status == _UNKNOWN_PHONEME:
                at = lib.tractwave_speaker_error_offset(speaker)
                symbol = encoded[at:].split()[0].decode("utf-8", "replace") if at >= 0 else "?"
                raise SpeechError(f"not a phoneme: {symbol!r} (at byte {at})")
            if status != _OK:
                raise SpeechError(f"cannot queue the text (code {status})")
        while render_block() == len(block):
            pass
        samples = np.concatenate(pieces) if pieces else np.zeros(0, dtype=np.float32)
        if not trace:
            return samples
        table = np.array(frames, dtype=np.float32).reshape(-1, FRAME_SIZE)
        result = {name: table[:, column].copy() for name, column in _TRACE_COLUMNS.items()}
        result["serial"] = table[:, 1].astype(np.int64)
        ids = table[:, 2].astype(int)
        names = {i: (lib.tractwave_speech_phoneme_name(int(i)) or b"").decode() for i in set(ids)}
        result["phoneme"] = np.array([names[i] for i in ids], dtype=object)
        result["oral"] = table[:, 10:35].copy()
        result["nasal"] = table[:, 35:51].copy()
        return samples, result
    finally:
        lib.tractwave_speaker_destroy(speaker)
