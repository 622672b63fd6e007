#!/usr/bin/env python3
"""The sung-pitch judge: f0 by YIN every 5 ms over the middle 60% of each
note, averaged in cents (the vibrato averaged out), against the note's
pitch. Two measurements: every note of a voice's range held alone ("L AA1",
1 s, default vibrato; male MIDI 40-72, female and child 52-84), and every
note of the demo song and of the development song as sung (the female and
child an octave up). Beside YIN's the mean of the engine's own f0 control
over the same span, which shows what the source was asked for. "voiced"
is the least share of a note's frames YIN found periodic.

    bench/speech/sung_pitch.py --build BUILD [--voices male,female]
                               [--per-note] [--worst CENTS]

Prints worst and mean |cents| per voice and, with --worst, exits 1 when
any note is further off than that.
"""

import argparse
import os
import sys

import common
import singing
from common import np

RANGES = {"male": (40, 72), "female": (52, 84), "child": (52, 84)}
SONGS = {"demo": os.path.join(common.REPO, "examples", "daisy-bell.musicxml"),
         "test": os.path.join(common.HERE, "twinkle.musicxml")}


def note_cents(song, start, duration, key, shift):
    """Mean cents of the note's middle 60% against its pitch by YIN (None
    when no frame was voiced), the share of its frames that were voiced,
    and the mean of the engine's own f0 control over the same span."""
    a, b = song.at(start + 0.2 * duration), song.at(start + 0.8 * duration)
    f = singing.f0_track(song.samples, singing.RATE, a, b)
    expected = 1 + int((b - a) / (0.005 * singing.RATE))
    ref = singing.note_hz(key + shift)
    control = song.f0[a * 1000 // singing.RATE:b * 1000 // singing.RATE]
    engine = float(np.mean(singing.cents(control, ref)))
    if len(f) == 0:
        return None, 0.0, engine
    return float(np.mean(singing.cents(f, ref))), len(f) / expected, engine


def held(voice):
    lo, hi = RANGES[voice]
    rows = []
    for key in range(lo, hi + 1):
        song = singing.sing([(0.0, 1.0, float(key), "L AA1")], voice, transpose=0)
        rows.append((key,) + note_cents(song, 0.0, 1.0, key, 0))
    return rows


def sung(build, score, voice):
    notes, song = singing.song_of(build, score, voice)
    shift = singing.TRANSPOSE[voice]
    rows = []
    for start, duration, key, text, arpabet in notes:
        rows.append((key + shift,) + note_cents(song, start, duration, key, shift))
    return rows


def summary(rows):
    """Worst and mean |cents| by YIN over the notes it found voiced, how
    many those were, the least voiced share, and the engine's worst and
    mean |cents| over every note."""
    got = [abs(r[1]) for r in rows if r[1] is not None]
    engine = [abs(r[3]) for r in rows]
    voiced = min(r[2] for r in rows)
    yin = (max(got), float(np.mean(got))) if got else (float("nan"),) * 2
    return yin + (len(got), voiced, max(engine), float(np.mean(engine)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--voices", default="male,female")
    parser.add_argument("--songs", default="demo,test")
    parser.add_argument("--per-note", action="store_true", help="print every note")
    parser.add_argument("--worst", type=float, help="exit 1 if a note is further off (cents)")
    args = parser.parse_args()
    common.use_build(args.build)
    voices = args.voices.split(",")
    songs = [s for s in args.songs.split(",") if s]
    status = 0
    print("Pitch: mean f0 (YIN, 5 ms) over each note's middle 60% against the note, |cents|")
    print(f"{'voice':<8}{'material':<28}{'notes':>7}{'worst':>8}{'mean':>7}{'voiced':>8}"
          f"{'engine worst':>14}{'mean':>7}")
    for voice in voices:
        tables = [(f"held L AA1, MIDI {RANGES[voice][0]}-{RANGES[voice][1]}", held(voice))]
        for name in songs:
            shift = f" (+{singing.TRANSPOSE[voice]})" if singing.TRANSPOSE[voice] else ""
            tables.append((f"{name} song{shift}", sung(args.build, SONGS[name], voice)))
        for label, rows in tables:
            worst, mean, n, voiced, e_worst, e_mean = summary(rows)
            print(f"{voice:<8}{label:<28}{n:>3}/{len(rows):<3}{worst:>8.2f}{mean:>7.2f}"
                  f"{100 * voiced:>7.0f}%{e_worst:>14.2f}{e_mean:>7.2f}")
            if args.worst is not None and not worst <= args.worst:
                status = 1
            if args.per_note:
                print("   " + " ".join(f"{r[0]:g}:{'-' if r[1] is None else f'{r[1]:+.1f}'}"
                                      for r in rows))
    if status:
        print(f"sung_pitch: a note further than {args.worst} cents off", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
