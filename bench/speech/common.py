"""Shared by the speech judges: rendering tractwave and espeak-ng the same
way, 16 kHz conversion, dither, WAV files and pocketsphinx."""

import os
import subprocess
import sys
import tempfile
import wave

import numpy as np
from scipy.signal import resample_poly

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "python"))


def use_build(build):
    """Points the tractwave package at the libraries of a build folder."""
    build = os.path.abspath(build)
    os.environ.setdefault("TRACTWAVE_LIBRARY", os.path.join(build, "libtractwave.so.1"))
    os.environ.setdefault("TRACTWAVE_SPEECH_LIBRARY",
                          os.path.join(build, "libtractwave_speech.so.1"))


DICTIONARY = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"
MODEL = "/usr/share/pocketsphinx/model/en-us/en-us"

# Six renditions of a word: three pitch contours (the punctuation that ends
# it: a statement's fall, a question's rise, a continuation's level ending)
# at two speaking rates. espeak-ng gets the same punctuation and the same
# rates in words per minute around its default of 175.
CONTOURS = (".", "?", ",")
TEMPOS = (150.0 / 175.0, 200.0 / 175.0)


def renditions():
    """(contour, tempo, pitch) of the six renditions of the judge."""
    return [(c, t, 1.0) for c in CONTOURS for t in TEMPOS]


def wide_renditions():
    """Eighteen renditions, for comparing versions with less noise."""
    return [(c, t, p) for c in CONTOURS for t in (0.8, 1.0, 1.25) for p in (0.9, 1.1)]


def tractwave_render(phonemes, contour, tempo, pitch=1.0, voice="male"):
    """(samples, rate) of our speech for ARPAbet phonemes."""
    import tractwave
    y = tractwave.say(phonemes=f"{phonemes} {contour}", speed=tempo, pitch=pitch, voice=voice)
    return y.astype(np.float64), 48000


def espeak_render(word, contour, tempo, pitch=1.0):
    # espeak-ng's pitch is 0 to 99 around a default of 50.
    with tempfile.NamedTemporaryFile(suffix=".wav") as f:
        subprocess.run(["espeak-ng", "-v", "en-us", "-s", str(round(175 * tempo)),
                        "-p", str(round(50 * pitch)), "-w", f.name, "--", word + contour],
                       check=True)
        with wave.open(f.name) as w:
            rate = w.getframerate()
            y = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2") / 32768.0
    return y, rate


def to_16k(y, rate):
    from math import gcd
    g = gcd(int(rate), 16000)
    return resample_poly(y, 16000 // g, int(rate) // g)


def prepare(y, rate, seed, pad=0.3, peak_dbfs=-3.0):
    """16 kHz, silence around, peak at -3 dBFS, then 16-bit with +-1 LSB
    triangular dither (the same treatment for every system)."""
    y = to_16k(np.asarray(y, dtype=np.float64), rate)
    y = np.concatenate([np.zeros(int(pad * 16000)), y, np.zeros(int(pad * 16000))])
    peak = np.abs(y).max()
    if peak > 0:
        y = y * (10 ** (peak_dbfs / 20) / peak)
    rng = np.random.default_rng(seed)
    dither = rng.random(len(y)) - rng.random(len(y))  # triangular, +-1 LSB
    return np.clip(np.round(y * 32767 + dither), -32768, 32767).astype("<i2")


def write_wav(path, samples16, rate=16000):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples16.tobytes())


def grammar_file(words, folder):
    path = os.path.join(folder, "words.gram")
    with open(path, "w") as f:
        f.write("#JSGF V1.0;\ngrammar words;\npublic <word> = "
                + " | ".join(words) + ";\n")
    return path


def recognise(wav, grammar, with_score=False):
    """pocketsphinx_continuous's answer for one file ('' for none), and with
    with_score its path score (log likelihood, None without an answer)."""
    with tempfile.NamedTemporaryFile(suffix=".log") as log:
        out = subprocess.run(
            ["pocketsphinx_continuous", "-infile", wav, "-jsgf", grammar, "-dict", DICTIONARY,
             "-hmm", MODEL, "-logfn", log.name if with_score else os.devnull]
            + (["-backtrace", "yes"] if with_score else []),
            capture_output=True, text=True, check=False)
        score = None
        if with_score:
            # The acoustic scores of the backtrace's entries (silences
            # included), summed: the language model's part left out, so that
            # decodes with different grammars compare.
            in_table = False
            for line in open(log.name, errors="replace"):
                fields = line.split()
                if fields[:5] == ["word", "start", "end", "pprob", "ascr"]:
                    in_table, score = True, 0
                elif in_table and len(fields) == 7 and fields[4].lstrip("-").isdigit():
                    score += int(fields[4])
                else:
                    in_table = False
    lines = [l.strip() for l in out.stdout.splitlines() if l.strip()]
    answer = lines[-1] if lines else ""
    return (answer, score) if with_score else answer
