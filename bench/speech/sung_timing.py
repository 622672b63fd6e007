#!/usr/bin/env python3
"""The sung-timing judge, over the demo song and the development song:

- vowel onset, against the note's start, for every note that starts a
  syllable with onset consonants or after a rest: where the vowel's energy
  rises, from the 100-900 Hz band's level (10 ms windows every 1 ms)
  within 80 ms of the start; after an obstruent or a rest, the first
  millisecond from which that band stays within 6 dB of the held vowel,
  and from which it stays within 10 dB and periodic (YIN: voicing
  established);
  after a nasal, liquid or glide, whose voicing runs into the vowel, the
  steepest rise. Beside it
  the engine's own start of the vowel phone (its frames, read every
  millisecond), which includes a voiceless stop's aspiration;
- consonant onset: where the engine starts the syllable's first onset
  consonant, against the note's start (before it is right);
- legato note changes where the voice sounds through (a held vowel, or a
  vowel-initial syllable after an open one): the largest sample-to-sample
  step within 30 ms of the change over the larger of the two held vowels'
  own largest steps (middle 60% of each note), and the lowest 5 ms level
  there against the quieter held vowel (a gap shows as a dip).

    bench/speech/sung_timing.py --build BUILD [--voices male,female]
                                [--per-note] [--check]

--check exits 1 unless every vowel onset after an obstruent or a rest is
within --onset-ms (20) of its note by the energy rise (-6 dB), every
onset consonant starts before it and no legato step exceeds the held
vowels' own.
"""

import argparse
import os
import sys

import common
import singing
from common import np
from scipy.signal import butter, sosfiltfilt

SONGS = {"demo": os.path.join(common.REPO, "examples", "daisy-bell.musicxml"),
         "test": os.path.join(common.HERE, "twinkle.musicxml")}
VOWELS = {"AA", "AE", "AH", "AO", "AW", "AY", "EH", "ER", "EY", "IH", "IY", "OW", "OY",
          "UH", "UW"}
# The engine's reduced vowels (an unstressed AH, IH or ER) are phones of
# their own.
ENGINE_VOWELS = VOWELS | {"AX", "IX", "AXR"}
SONORANTS = {"M", "N", "NG", "L", "R", "W", "Y"}
# Where the vowel follows an obstruent or silence, its energy rises
# sharply; after a nasal, liquid or glide it rises gradually from a voiced
# consonant, and the steepest rise can fall in the consonant.
KINDS = ("after an obstruent", "after a rest", "after a sonorant")
# Two readings of the onset after an obstruent or a rest: where the
# vowel's band has risen to within 6 dB of the held vowel and stays there
# (the energy rise; a voiced consonant's murmur can already be within 20
# dB), and where it is within 10 dB and periodic (voicing established).
MEASURES = ((6, False), (10, True))
LABELS = ("rise to -6 dB", "periodic")


def phones_of(arpabet):
    return [p.rstrip("012") for p in arpabet.split() if p not in ("|", "-")]


def onset_and_coda(arpabet):
    phones = phones_of(arpabet)
    first = next((i for i, p in enumerate(phones) if p in VOWELS), None)
    if first is None:
        return phones[:0], phones[1:], None
    last = max(i for i, p in enumerate(phones) if p in VOWELS)
    return phones[:first], phones[last + 1:], phones[first]


def level_db(y, rate, band, window=0.010):
    sos = butter(4, band, btype="bandpass", fs=rate, output="sos")
    z = sosfiltfilt(sos, y) ** 2
    hop = rate // 1000
    w = int(window * rate)
    c = np.concatenate([[0.0], np.cumsum(z)])
    centres = np.arange(w // 2, len(y) - w // 2, hop)
    e = (c[centres + w // 2] - c[centres - w // 2]) / w
    return 10 * np.log10(e + 1e-20), hop


def measure(notes, song, shift, rate=singing.RATE):
    """Rows per note: (index, kind, vowel onset by audio, by engine,
    first consonant's start), times in ms against the note's start, and
    the legato changes: (index, step ratio, dip in dB)."""
    y = song.samples
    low, hop = level_db(y, rate, (100, 900))
    slope = np.gradient(low)

    def ms_index(t):  # index of the level track at a score time
        return int(round((song.origin + t * rate) / hop)) - 5

    onsets, legato = [], []
    for i, (start, duration, key, text, arpabet) in enumerate(notes):
        prev = notes[i - 1] if i else None
        after_rest = prev is None or prev[0] + prev[1] < start - 0.002
        if arpabet == "_":
            onset, coda, vowel = [], [], None
        else:
            onset, coda, vowel = onset_and_coda(arpabet)
        prev_coda = onset_and_coda(prev[4])[1] if prev and prev[4] != "_" else []
        if not after_rest and not onset and not prev_coda:
            # The voice sounds through the change.
            a = song.at(start - 0.030)
            b = song.at(start + 0.030)
            steps = np.abs(np.diff(y[a:b])).max()
            own, levels = [], []
            for s, d in ((prev[0], prev[1]), (start, duration)):
                u, v = song.at(s + 0.2 * d), song.at(s + 0.8 * d)
                own.append(np.abs(np.diff(y[u:v])).max())
                levels.append(np.sqrt(np.mean(y[u:v] ** 2)))
            w = int(0.005 * rate)
            rms = [np.sqrt(np.mean(y[k:k + w] ** 2)) for k in range(a, b - w, w // 2)]
            legato.append((i, steps / max(own), 20 * np.log10(min(rms) / min(levels))))
            continue
        if vowel is None:
            continue
        if onset and onset[-1] in SONORANTS:
            kind = KINDS[2]
        elif onset:
            kind = KINDS[0]
        elif after_rest:
            kind = KINDS[1]
        else:
            continue
        # The steepest rise within 80 ms of the start, not before the
        # previous note's middle.
        lo = ms_index(start - 0.080)
        if prev is not None:
            lo = max(lo, ms_index(prev[0] + 0.5 * prev[1]))
        hi = ms_index(start + min(0.080, 0.5 * duration))
        u, v = song.at(start + 0.2 * duration), song.at(start + 0.8 * duration)
        held = np.median(low[u // hop - 5:v // hop - 5])
        f0 = singing.note_hz(key + shift)
        audio_ms = []
        for within, periodic in MEASURES:
            if kind == KINDS[2]:
                rise = lo + int(np.argmax(slope[lo:hi]))
            else:
                # After the last millisecond at which the band is quiet
                # (further below the held vowel than `within`) or, when
                # asked, aperiodic (YIN finds no period: a burst,
                # aspiration, frication or a fast transition).
                rise = lo
                for j in range(hi - 1, lo - 1, -1):
                    quiet = low[j] < held - within
                    if not quiet and periodic:
                        c = (j + 5) * hop
                        frame = y[c - 240:c + 240 + int(2 * rate / f0)]
                        quiet = singing.yin(frame, rate, fmin=f0 / 2, threshold=0.2)[0] == 0
                    if quiet:
                        rise = j + 1
                        break
            audio_ms.append(1000 * (((rise + 5) * hop - song.origin) / rate - start))
        # The engine's vowel phone nearest the start, and the onset's first
        # consonant: the phones just before it.
        k = min((j for j, p in enumerate(song.phones) if p[2] in ENGINE_VOWELS),
                key=lambda j: abs(song.phones[j][0] - start))
        engine_ms = 1000 * (song.phones[k][0] - start)
        consonant_ms = None
        # Only when the phones before the vowel are the onset's, in order.
        if onset and [p[2] for p in song.phones[max(0, k - len(onset)):k]] == onset:
            consonant_ms = 1000 * (song.phones[k - len(onset)][0] - start)
        onsets.append((i, kind, audio_ms, engine_ms, consonant_ms, text))
    return onsets, legato


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--voices", default="male,female")
    parser.add_argument("--songs", default="demo,test")
    parser.add_argument("--per-note", action="store_true")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--onset-ms", type=float, default=20.0,
                        help="with --check, the furthest a vowel onset may be from its note "
                             "(after an obstruent or a rest)")
    args = parser.parse_args()
    status = 0
    print("Vowel onsets against each note's start, ms: worst |ms| / mean ms, by the energy "
          "rise (audio) and by the engine's vowel phone; the onset's first consonant's start "
          "(latest / earliest)")
    print(f"{'voice':<7}{'song':<6}{'vowel':<20}{'notes':>6}"
          + "".join(f"{label:>15}" for label in LABELS) + f"{'engine':>15}"
          f"{'first consonant':>18}")
    legatos = []
    for voice in args.voices.split(","):
        for name in args.songs.split(","):
            notes, song = singing.song_of(args.build, SONGS[name], voice)
            onsets, legato = measure(notes, song, singing.TRANSPOSE[voice])
            legatos.append((voice, name, notes, legato))
            for kind in KINDS:
                rows = [r for r in onsets if r[1] == kind]
                if not rows:
                    continue
                audio = np.array([r[2] for r in rows])  # rows x MEASURES
                engine = np.array([r[3] for r in rows])
                cons = np.array([r[4] for r in rows if r[4] is not None])
                cells = [f"{len(rows)}"] + [
                    f"{np.abs(audio[:, n]).max():.0f} / {audio[:, n].mean():+.1f}"
                    for n in range(len(MEASURES))] + [
                         f"{np.abs(engine).max():.0f} / {engine.mean():+.1f}",
                         f"{cons.max():+.0f} / {cons.min():+.0f}" if len(cons) else "-"]
                print(f"{voice:<7}{name:<6}{kind:<20}" + "".join(
                    f"{c:>{w}}" for c, w in zip(cells, (6,) + (15,) * len(MEASURES) + (15, 18))))
                if args.check and ((kind != KINDS[2] and np.abs(audio[:, 0]).max() > args.onset_ms)
                                   or (len(cons) and cons.max() >= 0)):
                    status = 1
            if args.per_note:
                for i, kind, a, e, c, text in onsets:
                    print(f"    {i:3d} {text:<8} {kind:<20} audio "
                          + " ".join(f"{x:+6.1f}" for x in a) + f"  engine {e:+6.1f}"
                          f"  first consonant {'-' if c is None else f'{c:+6.1f}'}")
    print("Legato note changes where the voice sounds through: largest sample-to-sample step "
          "within 30 ms over the held vowels' own, and the lowest 5 ms level against the "
          "quieter held vowel")
    print(f"{'voice':<7}{'song':<6}{'changes':>8}{'step worst':>12}{'mean':>7}{'dip worst':>11}")
    for voice, name, notes, legato in legatos:
        if not legato:
            print(f"{voice:<7}{name:<6}{0:>8}")
            continue
        steps = np.array([r[1] for r in legato])
        dips = np.array([r[2] for r in legato])
        print(f"{voice:<7}{name:<6}{len(legato):>8}{steps.max():>12.2f}{steps.mean():>7.2f}"
              f"{dips.min():>+10.1f} dB")
        if args.per_note:
            for i, step, dip in legato:
                print(f"    {i:3d} {notes[i][3]:<8} step {step:.2f} dip {dip:+.1f} dB")
        if args.check and steps.max() > 1.0:
            status = 1
    if status:
        print(f"sung_timing: a vowel more than {args.onset_ms:g} ms from its note (after an "
              "obstruent or a rest), a consonant on or after it, or a legato step above the "
              "held vowels'", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
