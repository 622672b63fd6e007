"""Shared by the singing judges: a score's notes as tractwave-sing reads
them, a song sung through the speech library with the engine's frames
kept (which phone sounds when), and a YIN pitch track."""

import ctypes
import os
import subprocess
import sys

import common
from common import np

RATE = 48000
# The engine's frames are read after every block of this many samples (1 ms).
BLOCK = 48
TRANSPOSE = {"male": 0, "female": 12, "child": 12}


def sing_tool(build):
    path = os.path.join(os.path.abspath(build), "tools", "sing", "tractwave-sing")
    if not os.access(path, os.X_OK):
        sys.exit(f"no tractwave-sing in {build} (build the tractwave-sing target)")
    return path


def score_notes(build, score):
    """The notes of a score as tractwave-sing reads and transcribes them:
    (start, duration, MIDI key, lyric text, ARPAbet sung; "_" holds)."""
    run = subprocess.run([sing_tool(build), "--print-phonemes", "-q", "--", score],
                         capture_output=True, text=True, check=True)
    notes = []
    for line in run.stdout.splitlines():
        start, duration, key, text, arpabet = line.split("\t")
        notes.append((float(start), float(duration), float(key), text, arpabet))
    # Times are printed to the millisecond: a note's end a millisecond past
    # the next one's start is rounding (the tool refuses overlaps).
    for i in range(len(notes) - 1):
        s, d, k, t, a = notes[i]
        notes[i] = (s, min(d, notes[i + 1][0] - s), k, t, a)
    return notes


class Song:
    """A song sung: samples at RATE, the origin (the score's 0 in samples),
    and the phones as the engine spoke them: (start in seconds of song time,
    end, ARPAbet name), pauses included as "_"."""

    def __init__(self, samples, origin, phones):
        self.samples, self.origin, self.phones = samples, origin, phones

    def at(self, seconds):
        """The sample index of a time on the score."""
        return int(round(self.origin + seconds * RATE))


def sing(notes, voice="male", vibrato=(5.5, 40.0, 0.25), portamento=0.06, transpose=None,
         speed=1.0):
    """Sings (start, duration, key, ARPAbet) notes by the speech library's
    C calls, reading the engine's frame after every millisecond; speed is
    the speaker's rate, which sets the consonants' lengths."""
    import tractwave
    from tractwave import _sing
    lib = _sing._lib()
    lib.tractwave_speaker_frame.restype = ctypes.c_int
    lib.tractwave_speech_phoneme_name.restype = ctypes.c_char_p
    lib.tractwave_speech_phoneme_name.argtypes = [ctypes.c_int]
    shift = TRANSPOSE[voice] if transpose is None else transpose
    voices = ("male", "female", "child")
    capacity = 64 + sum(4 + len(n[3]) for n in notes)
    speaker = lib.tractwave_speaker_create(voices.index(voice), RATE, capacity)
    if not speaker:
        raise MemoryError("cannot create a speaker")
    try:
        lib.tractwave_speaker_set_vibrato(speaker, *vibrato)
        lib.tractwave_speaker_set_portamento(speaker, portamento)
        lib.tractwave_speaker_set_speed.argtypes = [ctypes.c_void_p, ctypes.c_float]
        lib.tractwave_speaker_set_speed(speaker, speed)
        for start, duration, key, arpabet in notes:
            status = lib.tractwave_speaker_add_note(
                speaker, start, duration, tractwave.note_hz(key + shift), 1.0,
                arpabet.encode("ascii"), 0)
            if status != 0:
                raise RuntimeError(f"cannot sing {arpabet!r} at {start} (code {status})")
        origin = ctypes.c_float()
        if lib.tractwave_speaker_sing(speaker, ctypes.byref(origin)) != 0:
            raise RuntimeError("cannot queue the song")
        total = int((origin.value + notes[-1][0] + notes[-1][1] + 1.0) * RATE)
        out = np.zeros(total + BLOCK, dtype=np.float32)
        frame = (ctypes.c_float * 64)()
        phones, last, f0 = [], None, []
        n = 0
        while n < total:
            got = lib.tractwave_speaker_render(
                speaker, out[n:].ctypes.data_as(ctypes.POINTER(ctypes.c_float)), BLOCK)
            lib.tractwave_speaker_frame(speaker, frame)
            serial, phoneme = int(frame[1]), int(frame[2])
            t = frame[0] - origin.value
            f0.append(frame[3])
            if serial != last:
                name = lib.tractwave_speech_phoneme_name(phoneme) if phoneme >= 0 else b"_"
                if phones:
                    phones[-1][1] = t
                phones.append([t, None, (name or b"?").decode()])
                last = serial
            n += BLOCK
            if got < BLOCK and lib.tractwave_speaker_pending(speaker) == 0:
                break
        if phones and phones[-1][1] is None:
            phones[-1][1] = n / RATE - origin.value
        # A frame reports its sub-block's start; the phone changed somewhere
        # in the block before the one first reporting it.
        song = Song(out[:n].astype(np.float64), origin.value * RATE,
                    [tuple(p) for p in phones])
        song.f0 = np.array(f0)  # the engine's f0 control, once a millisecond
        return song
    finally:
        lib.tractwave_speaker_destroy(speaker)


def song_of(build, score, voice="male", **kwargs):
    """(notes, Song) of a score file sung by a voice."""
    common.use_build(build)
    notes = score_notes(build, score)
    return notes, sing([(s, d, k, a) for s, d, k, t, a in notes], voice, **kwargs)


def yin(x, rate, fmin=60.0, fmax=1400.0, threshold=0.15):
    """f0 in Hz of one frame by YIN (de Cheveigne and Kawahara 2002): the
    cumulative mean normalised difference's first dip under the threshold,
    the deepest point of its run under it, refined by a parabola; 0 when the
    frame is not periodic enough. Returns (f0, the dip's depth)."""
    tmax = int(rate / fmin) + 2
    w = len(x) - tmax
    if w <= 0:
        raise ValueError("frame too short for fmin")
    # d(tau) = sum (x[j] - x[j+tau])^2 over j < w, by cumulative energies and
    # one correlation.
    size = 1 << int(np.ceil(np.log2(len(x) + w)))
    spec_x = np.fft.rfft(x, size)
    spec_w = np.fft.rfft(x[:w], size)
    corr = np.fft.irfft(spec_x * np.conj(spec_w), size)[:tmax]
    energy = np.concatenate([[0.0], np.cumsum(x * x)])
    e0 = energy[w]
    etau = energy[np.arange(tmax) + w] - energy[np.arange(tmax)]
    d = e0 + etau - 2 * corr
    d[0] = 0
    cmnd = np.ones(tmax)
    running = np.cumsum(d[1:])
    cmnd[1:] = d[1:] * np.arange(1, tmax) / np.maximum(running, 1e-30)
    tmin = max(2, int(rate / fmax))
    below = np.nonzero(cmnd[tmin:tmax - 1] < threshold)[0]
    if len(below) == 0:
        return 0.0, float(cmnd[tmin:].min())
    # The deepest point of the first run under the threshold (not the first
    # local minimum: aspiration noise ripples the dip).
    first = tmin + below[0]
    end = first
    while end + 1 < tmax - 1 and cmnd[end + 1] < threshold:
        end += 1
    tau = first + int(np.argmin(cmnd[first:end + 1]))
    tau = min(max(tau, 1), tmax - 2)
    a, b, c = cmnd[tau - 1], cmnd[tau], cmnd[tau + 1]
    denom = a - 2 * b + c
    shift = 0.5 * (a - c) / denom if denom > 0 else 0.0
    return rate / (tau + shift), float(b)


def f0_track(y, rate, t0, t1, hop=0.005, window=0.04, fmin=60.0):
    """YIN f0 every hop seconds from sample t0 to t1 (frames centred there);
    the unvoiced frames are left out."""
    half = int(window * rate / 2)
    tmax = int(rate / fmin) + 2
    out = []
    for c in range(int(t0), int(t1), int(hop * rate)):
        frame = y[max(0, c - half): c + half + tmax]
        if len(frame) < 2 * half + tmax:
            continue
        f, _ = yin(frame, rate, fmin=fmin)
        if f > 0:
            out.append(f)
    return np.array(out)


def cents(f, ref):
    return 1200 * np.log2(f / ref)


def note_hz(key):
    return 440.0 * 2 ** ((key - 69) / 12)
