"""tractwave.say: English text or phonemes to speech, through the speech
library (libtractwave_speech), loaded with ctypes like the engine library.

Words come from a pronouncing dictionary in the CMU format, Debian's
pocketsphinx-en-us copy by default; words it lacks are transcribed by
espeak-ng (run as a separate program) when it is installed, else by the
library's own letter-to-sound rule.
"""

import ctypes
import itertools
import numbers
import os
import re
import shutil
import subprocess
import threading
import time

import numpy as np

from ._facts import (
    NASAL_SECTIONS, ORAL_SECTIONS, SPEECH_FRAME_AMP, SPEECH_FRAME_ASPIRATION,
    SPEECH_FRAME_BREATHINESS, SPEECH_FRAME_F0, SPEECH_FRAME_FRICATION, SPEECH_FRAME_LIP_COEFF,
    SPEECH_FRAME_MIX, SPEECH_FRAME_NASAL, SPEECH_FRAME_NOSTRIL_COEFF, SPEECH_FRAME_ORAL,
    SPEECH_FRAME_PHONEME, SPEECH_FRAME_SERIAL, SPEECH_FRAME_SIZE, SPEECH_FRAME_TIME,
    SPEECH_FRAME_VELUM, SPEECH_FRAME_VOICING, SPEECH_MALFORMED, SPEECH_OK, SPEECH_QUEUE_FULL,
    SPEECH_UNKNOWN_PHONEME, SPEECH_UNKNOWN_WORD)
from ._library import VOICES as _VOICES_LIBRARY, Kind, library
from ._score import quote

SPEECH_ENVIRONMENT_VARIABLE = "TRACTWAVE_SPEECH_LIBRARY"
DEFAULT_DICTIONARY = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"
VOICES = ("male", "female", "child")

_OK, _UNKNOWN_PHONEME, _QUEUE_FULL = SPEECH_OK, SPEECH_UNKNOWN_PHONEME, SPEECH_QUEUE_FULL
_UNKNOWN_WORD, _MALFORMED = SPEECH_UNKNOWN_WORD, SPEECH_MALFORMED

# The limits of input, the same in tractwave-say (docs/speech.md, "Limits of
# input"): the text, phonemes or IPA; a word of the text; a dictionary.
MAX_TEXT_BYTES = 16 << 20
MAX_WORD_BYTES = 1000
MAX_DICTIONARY_BYTES = 256 << 20
# espeak-ng is asked about one word: an answer later or longer than this is a
# fault of espeak-ng's, not a pronunciation.
_ESPEAK_SECONDS = 30
_MAX_ESPEAK_BYTES = 1 << 20
# Pieces queued at once: a phrase longer than _PIECE_PHONES is cut at a word
# end, a word longer than _PIECE_SYMBOLS at a symbol (a symbol makes at most
# two phones, so a piece stays inside the default queue of 4096 phones).
_PIECE_PHONES = 1024
_PIECE_SYMBOLS = 1536
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
                # One byte more than the limit tells a file that is too large
                # (or endless, /dev/zero) from one that just fits.
                data = f.read(MAX_DICTIONARY_BYTES + 1)
        except OSError as error:
            raise SpeechError(f"{path}: cannot read the dictionary: {error.strerror}") from None
        if len(data) > MAX_DICTIONARY_BYTES:
            raise SpeechError(f"{path}: the dictionary is larger than {MAX_DICTIONARY_BYTES >> 20} MiB")
        # A byte-order mark at the start is not part of the first word.
        if data.startswith(b"\xef\xbb\xbf"):
            data = data[3:]
        self.path = path
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
                    at, end = offset.value, offset.value + length.value
                    stand_ins = self._learn(encoded[at:end].decode("utf-8", "replace"), use_espeak)
                    if stand_ins is not None:
                        encoded = encoded[:at] + stand_ins + encoded[end:]
                    continue
                if need < 0:
                    raise SpeechError(f"cannot transcribe the text (code {need})")
                out = ctypes.create_string_buffer(need + 1)
                lib.tractwave_lexicon_transcribe(self.handle, encoded, out, need + 1, None, None)
                return out.value.decode("ascii")

    def _learn(self, word, use_espeak):
        """Adds a word from espeak-ng. Returns None, or for a pronunciation
        longer than the lexicon holds for one word, the stand-in words that
        take its place in the text."""
        program = shutil.which("espeak-ng") if use_espeak else None
        if program is None:
            # The library's own letter-to-sound rule.
            lib = _load()
            out = ctypes.create_string_buffer(512)
            encoded = word.encode("utf-8")
            if (lib.tractwave_speech_spell(encoded, out, 512) > 0
                    and lib.tractwave_lexicon_add(self.handle, encoded, out.value) == _OK):
                return
            raise SpeechError(f"{quote(word)} is not in the dictionary {self.path}"
                              + ("" if not use_espeak else " and espeak-ng is not installed"))
        ipa = _espeak_ipa(program, word)
        try:
            arpabet = ipa_to_arpabet(" ".join(ipa.split()))
        except SpeechError:
            arpabet = ""
        # One pronunciation for the word, whatever phrasing espeak-ng added.
        arpabet = " ".join(t for t in arpabet.split() if t not in "|,.?")
        lib = _load()
        if arpabet and lib.tractwave_lexicon_add(self.handle, word.encode("utf-8"),
                                                 arpabet.encode("ascii")) == _OK:
            return None
        if len(arpabet) > 400:
            # A long number: several stand-in words of at most 400 bytes,
            # spelt with private-use characters no text holds.
            stand_ins, chunk = [], []
            for token in arpabet.split() + [None]:
                if chunk and (token is None or len(" ".join(chunk + [token])) > 400):
                    # Its number in private-use characters too: the lexicon
                    # ends a word at a digit.
                    name = "\ue000" + "".join(chr(0xE001 + int(d))
                                               for d in str(next(_stand_in_serial)))
                    if lib.tractwave_lexicon_add(self.handle, name.encode("utf-8"),
                                                 " ".join(chunk).encode("ascii")) != _OK:
                        break
                    stand_ins.append(name)
                    chunk = []
                if token is not None:
                    chunk.append(token)
            else:
                return (" " + " ".join(stand_ins) + " ").encode("utf-8")
        raise SpeechError(f"{quote(word)} is not in the dictionary {self.path}"
                          " and espeak-ng gave no pronunciation for it")


_stand_in_serial = itertools.count()


def _espeak_ipa(program, word):
    """espeak-ng's IPA for a word; one that answers for longer than
    _ESPEAK_SECONDS or prints more than _MAX_ESPEAK_BYTES is stopped."""
    try:
        process = subprocess.Popen([program, "-q", "--ipa", "-v", "en-us", "--", word],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    except OSError as error:
        raise SpeechError(f"{quote(word)}: espeak-ng failed: {error.strerror}") from None
    out, fault = bytearray(), None
    deadline = time.monotonic() + _ESPEAK_SECONDS
    reader = threading.Thread(target=_read_capped, args=(process.stdout, out), daemon=True)
    reader.start()
    reader.join(max(0.0, deadline - time.monotonic()))
    if reader.is_alive():
        fault = f"did not answer within {_ESPEAK_SECONDS} s"
    elif len(out) > _MAX_ESPEAK_BYTES:
        fault = f"printed more than {_MAX_ESPEAK_BYTES >> 20} MiB"
    if fault:
        process.kill()
    process.wait()
    reader.join()
    process.stdout.close()
    if fault:
        raise SpeechError(f"{quote(word)}: espeak-ng {fault}; it was stopped")
    if process.returncode != 0:
        return ""
    return out.decode("utf-8", "replace")


def _read_capped(stream, out):
    while len(out) <= _MAX_ESPEAK_BYTES:
        data = stream.read1(65536)
        if not data:
            return
        out += data


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
    return _rewritten(_load().tractwave_speech_ipa_to_arpabet, ipa, "ipa", "IPA")


def _rewritten(function, text, what, notation):
    """What one of the library's text-to-text calls (IPA to ARPAbet, the
    syllables of a word) makes of `text`: measured first, then written; a
    phoneme it does not know is a SpeechError naming it."""
    _check_input(text, what)
    encoded = text.encode("utf-8")
    offset = ctypes.c_int()
    need = function(encoded, None, 0, ctypes.byref(offset))
    if need == _UNKNOWN_PHONEME:
        symbol = encoded[offset.value:].decode("utf-8", "replace").split()[0]
        raise SpeechError(f"{what}: {quote(symbol)} is not an {notation} phoneme")
    out = ctypes.create_string_buffer(need + 1)
    function(encoded, out, need + 1, None)
    return out.value.decode("ascii")


def _check_input(text, what):
    """Text, phonemes or IPA within the limits of input: at most
    MAX_TEXT_BYTES of UTF-8 and no NUL (which would end it early for the
    library)."""
    if len(text) > MAX_TEXT_BYTES or len(text.encode("utf-8", "surrogatepass")) > MAX_TEXT_BYTES:
        raise SpeechError(f"{what}: the text is larger than {MAX_TEXT_BYTES >> 20} MiB")
    if "\0" in text:
        raise SpeechError(f"{what}: the input holds a NUL byte")


# Typographic punctuation and spaces as the ASCII the lexicon reads: curly
# apostrophes are apostrophes, quotation marks separate words, dashes and
# ellipses end a phrase as , and . do, no-break and other Unicode spaces and
# byte-order marks are spaces.
_PLAIN = {"\u2018": "'", "\u2019": "'", "\u02bc": "'", "\u201c": " ", "\u201d": " ",
          "\u201e": " ", "\u00ab": " ", "\u00bb": " ", "\u2013": " , ", "\u2014": " , ",
          "\u2026": " . ", "\u00a0": " ", "\u202f": " ", "\u200b": " ", "\ufeff": " ",
          "\u3000": " ", **{chr(c): " " for c in range(0x2000, 0x200B)}}
_PLAIN_RE = re.compile("[" + "".join(_PLAIN) + "]")
# A word as the lexicon reads one: letters, digits, apostrophes, non-ASCII.
_WORD_RE = re.compile(rb"[A-Za-z0-9'\x80-\xff]+")


def _plain_text(text):
    text = _PLAIN_RE.sub(lambda m: _PLAIN[m.group()], text)
    encoded = text.encode("utf-8")
    for match in _WORD_RE.finditer(encoded):
        if len(match.group()) > MAX_WORD_BYTES:
            word = match.group().decode("utf-8", "replace")
            raise SpeechError(f"text: a word of {len(match.group())} bytes is longer than "
                              f"{MAX_WORD_BYTES}: {quote(word)}")
    return text


def transcribe(text, *, dictionary=None, espeak=True):
    """The ARPAbet that say() speaks for English text."""
    _check_input(text, "text")
    return _lexicon(dictionary or DEFAULT_DICTIONARY).transcribe(_plain_text(text), espeak)


def _number(value, what, lo, hi):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    value = float(value)
    if not (lo <= value <= hi):
        raise ValueError(f"{what} must lie within {lo:g} to {hi:g}, not {value!r}")
    return value


_TOKEN_RE = re.compile(r"[,;:.!?|]|[^\s,;:.!?|]+")


def _chunks(arpabet):
    """Pieces of ARPAbet that end at phrase punctuation (in a very long phrase
    at a word end, in a very long word at a symbol), so that any text goes
    through the speaker's queue a piece at a time."""
    piece, phones = [], 0
    for token in _TOKEN_RE.findall(arpabet):
        piece.append(token)
        end = token in (",", ";", ":", ".", "!", "?")
        if not end and token != "|":
            phones += 1
        if end or (token == "|" and phones >= _PIECE_PHONES) or phones >= _PIECE_SYMBOLS:
            yield " ".join(piece)
            piece, phones = [], 0
    if piece:
        yield " ".join(piece)


class _Audio:
    """The samples of a say() call, rendered straight into chunks of
    _CHUNK_SAMPLES and joined at the end a chunk at a time, each freed as it
    is copied: the peak is the audio and one chunk, not the audio twice."""

    def __init__(self):
        self.chunks, self.filled = [], _CHUNK_SAMPLES

    def room(self, n):
        """A pointer to n samples after those used."""
        if self.filled + n > _CHUNK_SAMPLES:
            if self.chunks:
                self.chunks[-1] = self.chunks[-1][:self.filled]
            self.chunks.append(np.empty(_CHUNK_SAMPLES, dtype=np.float32))
            self.filled = 0
        return ctypes.cast(self.chunks[-1].ctypes.data + 4 * self.filled, _FLOAT_P)

    def used(self, n):
        self.filled += n

    def samples(self):
        if self.chunks:
            self.chunks[-1] = self.chunks[-1][:self.filled]
        out = np.empty(sum(len(c) for c in self.chunks), dtype=np.float32)
        at = 0
        while self.chunks:
            chunk = self.chunks.pop(0)
            out[at:at + len(chunk)] = chunk
            at += len(chunk)
        return out


# 1 MiB of samples: large enough that a chunk's memory is returned to the
# system when it is freed.
_CHUNK_SAMPLES = 1 << 18
FRAME_SIZE = SPEECH_FRAME_SIZE
# What a trace holds, column by column of tractwave_speaker_frame's frame.
_TRACE_COLUMNS = {"t": SPEECH_FRAME_TIME, "f0": SPEECH_FRAME_F0,
                  "amp": SPEECH_FRAME_AMP, "mix": SPEECH_FRAME_MIX,
                  "breathiness": SPEECH_FRAME_BREATHINESS, "velum": SPEECH_FRAME_VELUM,
                  "lip_coeff": SPEECH_FRAME_LIP_COEFF,
                  "nostril_coeff": SPEECH_FRAME_NOSTRIL_COEFF,
                  "voicing": SPEECH_FRAME_VOICING, "aspiration": SPEECH_FRAME_ASPIRATION,
                  "frication": SPEECH_FRAME_FRICATION}
_ORAL = slice(SPEECH_FRAME_ORAL, SPEECH_FRAME_ORAL + ORAL_SECTIONS)
_NASAL = slice(SPEECH_FRAME_NASAL, SPEECH_FRAME_NASAL + NASAL_SECTIONS)


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
        source, what = transcribe(text, dictionary=dictionary, espeak=espeak), "text"
    elif phonemes is not None:
        if not isinstance(phonemes, str):
            raise TypeError(f"phonemes must be a str, not {type(phonemes).__name__}")
        _check_input(phonemes, "phonemes")
        source, what = phonemes, "phonemes"
    else:
        if not isinstance(ipa, str):
            raise TypeError(f"ipa must be a str, not {type(ipa).__name__}")
        # IPA is queued as the ARPAbet it stands for, so that it can be cut
        # into pieces like any other text.
        source, what = ipa_to_arpabet(ipa), "ipa"
    notation = _ARPABET

    lib = _load()
    speaker = lib.tractwave_speaker_create(VOICES.index(voice), rate, 0)
    if not speaker:
        raise MemoryError("cannot create a speaker")
    try:
        lib.tractwave_speaker_set_speed(speaker, speed)
        lib.tractwave_speaker_set_pitch(speaker, pitch)
        # Traced, the speaker renders a millisecond at a time and each block's
        # controls are kept.
        block = max(1, int(rate // 1000)) if trace else 4096
        audio = _Audio()
        frames = []
        frame = np.empty(FRAME_SIZE, dtype=np.float32)

        def render_block():
            n = lib.tractwave_speaker_render(speaker, audio.room(block), block)
            audio.used(n)
            if trace and n > 0:
                lib.tractwave_speaker_frame(speaker, frame.ctypes.data_as(_FLOAT_P))
                frames.append(frame.copy())
            return n

        # Queued a piece at a time; a piece is refused whole, before any of
        # it is spoken, when it holds a symbol that is not a phoneme.
        for part in _chunks(source):
            encoded = part.encode("utf-8")
            while True:
                status = lib.tractwave_speaker_queue(speaker, encoded, notation)
                # A full queue empties as it is spoken.
                if status != _QUEUE_FULL or render_block() == 0:
                    break
            if status == _UNKNOWN_PHONEME:
                at = lib.tractwave_speaker_error_offset(speaker)
                symbol = encoded[at:].split()[0].decode("utf-8", "replace") if at >= 0 else "?"
                raise SpeechError(f"{what}: {quote(symbol)} is not an ARPAbet phoneme")
            if status != _OK:
                raise SpeechError(f"cannot queue the text (code {status})")
        while render_block() == block:
            pass
        samples = audio.samples()
        if not trace:
            return samples
        table = np.array(frames, dtype=np.float32).reshape(-1, FRAME_SIZE)
        result = {name: table[:, column].copy() for name, column in _TRACE_COLUMNS.items()}
        result["serial"] = table[:, SPEECH_FRAME_SERIAL].astype(np.int64)
        ids = table[:, SPEECH_FRAME_PHONEME].astype(int)
        names = {i: (lib.tractwave_speech_phoneme_name(int(i)) or b"").decode() for i in set(ids)}
        result["phoneme"] = np.array([names[i] for i in ids], dtype=object)
        result["oral"] = table[:, _ORAL].copy()
        result["nasal"] = table[:, _NASAL].copy()
        return samples, result
    finally:
        lib.tractwave_speaker_destroy(speaker)
