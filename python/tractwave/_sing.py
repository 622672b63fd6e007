"""tractwave.sing: notes with lyrics to a sung voice, through the speech
library's singing calls (docs/sing.md), loaded as tractwave.say loads it.

A score file (MusicXML or a MIDI file with lyrics) is read by the
tractwave-sing program, so that there is one reader of score files: the
program named by TRACTWAVE_SING, else tractwave-sing on PATH.
"""

import ctypes
import numbers
import os
import shutil
import subprocess

import numpy as np

from ._score import quote
from ._speech import (DEFAULT_DICTIONARY, VOICES, SpeechError, _FLOAT_P, _INT_P, _VOIDP,
                      _check_input, _lexicon, _load, _number, _rewritten)
from ._facts import SPEECH_OK, SPEECH_TOO_LONG, SPEECH_UNKNOWN_PHONEME

SING_ENVIRONMENT_VARIABLE = "TRACTWAVE_SING"

_OK, _UNKNOWN_PHONEME, _TOO_LONG = SPEECH_OK, SPEECH_UNKNOWN_PHONEME, SPEECH_TOO_LONG

_SING_PROTOTYPES = {
    "tractwave_speaker_add_note": (ctypes.c_int, [
        _VOIDP, ctypes.c_float, ctypes.c_float, ctypes.c_float, ctypes.c_float,
        ctypes.c_char_p, ctypes.c_int]),
    "tractwave_speaker_sing": (ctypes.c_int, [_VOIDP, _FLOAT_P]),
    "tractwave_speaker_set_vibrato": (ctypes.c_int, [
        _VOIDP, ctypes.c_float, ctypes.c_float, ctypes.c_float]),
    "tractwave_speaker_set_portamento": (ctypes.c_int, [_VOIDP, ctypes.c_float]),
    "tractwave_speaker_pending": (ctypes.c_int, [_VOIDP]),
    "tractwave_speech_note_hz": (ctypes.c_float, [ctypes.c_float]),
    "tractwave_speech_syllables": (ctypes.c_int, [
        ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, _INT_P]),
}


def _lib():
    """The speech library with the singing calls' prototypes set."""
    lib = _load()
    if not getattr(lib, "_tractwave_sing_ready", False):
        for name, (result, argtypes) in _SING_PROTOTYPES.items():
            function = getattr(lib, name)
            function.restype, function.argtypes = result, argtypes
        lib._tractwave_sing_ready = True
    return lib


def note_hz(note):
    """The frequency in Hz of a MIDI note number (69 is A4, 440 Hz; a
    fraction is cents / 100)."""
    note = _number(note, "note", -24, 151)
    return float(_lib().tractwave_speech_note_hz(note))


def syllables(arpabet):
    """The syllables of one word's ARPAbet, as a list ("D EY1 Z IY0" gives
    ["D EY1", "Z IY0"])."""
    return _rewritten(_lib().tractwave_speech_syllables, arpabet, "arpabet",
                      "ARPAbet").split(" - ")


def _holds(text):
    return text.strip() in ("_", "-", "~")


def _arpabet_of(lyrics, dictionary):
    """The ARPAbet each note sings: "[[...]]" as written, "_" holding the
    vowel before, English words through the dictionary, a syllable that ends
    in "-" joined with the next into a word. A word's syllables come from its
    pronunciation when they are as many as its notes, else each syllable is
    read alone (the rule tractwave-sing follows)."""
    lexicon = None
    sung = ["_"] * len(lyrics)
    i = 0
    while i < len(lyrics):
        text = lyrics[i]
        if _holds(text):
            i += 1
            continue
        if text.startswith("[[") and text.endswith("]]"):
            sung[i] = text[2:-2]
            i += 1
            continue
        word = [i]
        while lyrics[word[-1]].rstrip().endswith("-") and word[-1] + 1 < len(lyrics):
            nxt = word[-1] + 1
            if _holds(lyrics[nxt]) or lyrics[nxt].startswith("[["):
                break
            word.append(nxt)
        lexicon = lexicon or _lexicon(dictionary or DEFAULT_DICTIONARY)
        pieces = [lyrics[k].rstrip().rstrip("-") for k in word]
        parts = syllables(lexicon.transcribe("".join(pieces), False))
        if len(parts) == len(word) or len(word) == 1:
            for n, k in enumerate(word):
                sung[k] = " ".join(parts) if len(word) == 1 else parts[n]
        else:
            for k, piece in zip(word, pieces):
                sung[k] = lexicon.transcribe(piece, False)
        i = word[-1] + 1
    return sung


def _read_score(path):
    """Notes of a score file, through tractwave-sing --print-phonemes:
    (start, duration, Hz, ARPAbet) with the ARPAbet in [[...]]."""
    program = os.environ.get(SING_ENVIRONMENT_VARIABLE) or shutil.which("tractwave-sing")
    if not program:
        raise SpeechError("reading a score file needs the tractwave-sing program: put it on "
                          f"PATH or name it in {SING_ENVIRONMENT_VARIABLE}")
    run = subprocess.run([program, "--print-phonemes", "-q", "--", os.fspath(path)],
                         capture_output=True, text=True, check=False)
    if run.returncode != 0:
        message = run.stderr.strip().splitlines()
        raise SpeechError(message[-1] if message else f"tractwave-sing failed on {path}")
    notes = []
    for line in run.stdout.splitlines():
        start, duration, key, _, arpabet = line.split("\t")
        notes.append((float(start), float(duration), note_hz(float(key)),
                      "_" if arpabet == "_" else f"[[{arpabet}]]"))
    # The times are printed to the millisecond: a note ending where the next
    # starts can come out a millisecond past it, which is rounding, not an
    # overlap (the program refuses overlaps).
    for i in range(len(notes) - 1):
        start, duration, hz, text = notes[i]
        notes[i] = (start, min(duration, notes[i + 1][0] - start), hz, text)
    return notes


def sing(notes, *, voice="male", sample_rate=48000, vibrato=(5.5, 40.0, 0.25),
         portamento=0.06, dictionary=None):
    """Sings notes and returns the samples (float32, mono, at the library's
    level: vowels near -26 dBFS RMS).

    ``notes`` is a list of ``(start, duration, pitch, syllable)``: seconds
    from the song's start, seconds, Hz (``note_hz`` gives a MIDI note's) and
    the lyric: English (looked up in ``dictionary``, by default Debian's
    pocketsphinx-en-us copy of the CMU dictionary, else spelt by the
    letter-to-sound rule), a syllable ending in "-" to join it with the next
    into one word ("Dai-", "sy"), "_" or "-" to hold the vowel before, or
    ARPAbet in double brackets ("[[D EY1]]"). Notes come in time order and
    do not overlap. Or ``notes`` is the path of a MusicXML score or a MIDI
    file with lyrics, read by the tractwave-sing program.

    ``vibrato`` is (rate in Hz, depth in cents, delay in seconds), None for
    none; ``portamento`` the glide between legato notes in seconds. Raises
    SpeechError for a note that cannot be sung, naming it.
    """
    if isinstance(notes, (str, os.PathLike)):
        notes = _read_score(notes)
    notes = list(notes)
    if voice not in VOICES:
        raise ValueError(f"voice must be one of {', '.join(VOICES)}, not {voice!r}")
    rate = _number(sample_rate, "sample_rate", 8000, 768000)
    rate_hz, depth, delay = (0.0, 0.0, 0.0) if vibrato is None else vibrato
    rate_hz = _number(rate_hz, "vibrato rate", 0, 20)
    depth = _number(depth, "vibrato depth", 0, 200)
    delay = _number(delay, "vibrato delay", 0, 10)
    portamento = _number(portamento, "portamento", 0, 1)
    checked = []
    for i, note in enumerate(notes):
        if len(note) != 4:
            raise TypeError(f"note {i}: give (start, duration, pitch, syllable)")
        start, duration, pitch, text = note
        if not isinstance(text, str):
            raise TypeError(f"note {i}: the syllable must be a str, not {type(text).__name__}")
        _check_input(text, f"note {i}")
        checked.append((_number(start, f"note {i} start", 0, 86400),
                        _number(duration, f"note {i} duration", 0.001, 3600),
                        _number(pitch, f"note {i} pitch", 20, 4000), text))
    if not checked:
        return np.zeros(0, dtype=np.float32)
    sung = _arpabet_of([n[3] for n in checked], dictionary)

    lib = _lib()
    capacity = min(1048576, 16 + sum(4 + len(s) for s in sung))
    speaker = lib.tractwave_speaker_create(VOICES.index(voice), rate, capacity)
    if not speaker:
        raise MemoryError("cannot create a speaker")
    try:
        lib.tractwave_speaker_set_vibrato(speaker, rate_hz, depth, delay)
        lib.tractwave_speaker_set_portamento(speaker, portamento)
        for i, ((start, duration, pitch, text), arpabet) in enumerate(zip(checked, sung)):
            status = lib.tractwave_speaker_add_note(speaker, start, duration, pitch, 1.0,
                                                    arpabet.encode("ascii"), 0)
            if status != _OK:
                why = {_UNKNOWN_PHONEME: "not ARPAbet", _TOO_LONG: "the song is too long"}.get(
                    status, "it starts before the note before it ends, or holds no phoneme")
                raise SpeechError(f"note {i}: cannot sing {quote(text)} as {quote(arpabet)} "
                                  f"({why})")
        status = lib.tractwave_speaker_sing(speaker, None)
        if status != _OK:
            raise SpeechError(f"cannot queue the song (code {status})")
        block = np.empty(4096, dtype=np.float32)
        pieces = []
        while True:
            n = lib.tractwave_speaker_render(speaker, block.ctypes.data_as(_FLOAT_P), len(block))
            pieces.append(block[:max(n, 0)].copy())
            if n < len(block) and lib.tractwave_speaker_pending(speaker) == 0:
                break
        return np.concatenate(pieces)
    finally:
        lib.tractwave_speaker_destroy(speaker)
