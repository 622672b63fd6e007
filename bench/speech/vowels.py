#!/usr/bin/env python3
"""The vowel judge: the ten American English monophthongs in hVd words,
spoken by tractwave, their F1-F3 measured by LPC at the middle of the vowel
and each classified as the nearest of Hillenbrand et al.'s (1995)
adult-male means in Bark.

    bench/speech/vowels.py [--build build] [--json FILE]

Exits 1 when fewer than --need (default 9) of the ten are right.
"""

import argparse
import csv
import json
import os
import sys

import numpy as np
from scipy.signal import resample_poly

import common

WORDS = [("heed", "IY"), ("hid", "IH"), ("head", "EH"), ("had", "AE"), ("hod", "AA"),
         ("hawed", "AO"), ("hood", "UH"), ("who'd", "UW"), ("hud", "AH"), ("heard", "ER")]
MEANS_FILE = os.path.join(common.REPO, "data", "speech", "vowel_formants_adult_male.csv")
LPC_RATE = 10000  # formants of an adult male up to 5 kHz
# Two poles for each resonance below 5 kHz and two for the glottal source.
# The engine's tube acts 21.4 cm long at 48 kHz, so above the third formant
# its resonances come every 800 Hz or so, as a long tract's do: six below
# 5 kHz, where a 17.5 cm tract has five. With 12 poles the source's pole
# pair pulls F1 down by 100-200 Hz on the back vowels.
ORDER = 14


def hillenbrand():
    with open(MEANS_FILE, encoding="utf-8") as f:
        rows = [r for r in csv.DictReader(f) if r["source"] == "Hillenbrand-1995"]
    return {r["arpabet"]: np.array([float(r[k]) for k in ("F1_hz", "F2_hz", "F3_hz")])
            for r in rows if r["arpabet"] in dict((v, w) for w, v in WORDS)}


def bark(f):
    """Traunmüller's (1990) Hz-to-Bark formula."""
    f = np.asarray(f, dtype=float)
    return 26.81 * f / (1960.0 + f) - 0.53


def lpc(frame, order):
    """Autocorrelation LPC (Levinson-Durbin): the predictor polynomial."""
    r = np.correlate(frame, frame, "full")[len(frame) - 1:len(frame) + order]
    a = np.zeros(order + 1)
    a[0], error = 1.0, r[0]
    for i in range(1, order + 1):
        k = -(r[i] + np.dot(a[1:i], r[i - 1:0:-1])) / error
        a[1:i] = a[1:i] + k * a[i - 1:0:-1]
        a[i] = k
        error *= 1.0 - k * k
    return a


def formants(frame, rate):
    """The first three LPC resonances (Hz) with bandwidths below 500 Hz."""
    frame = np.append(frame[0], frame[1:] - 0.97 * frame[:-1]) * np.hamming(len(frame))
    roots = [z for z in np.roots(lpc(frame, ORDER)) if z.imag > 0]
    found = []
    for z in roots:
        f = np.angle(z) * rate / (2 * np.pi)
        bandwidth = -np.log(abs(z)) * rate / np.pi
        if f > 90 and bandwidth < 500:
            found.append(f)
    found.sort()
    return np.array(found[:3]) if len(found) >= 3 else None


def measure(samples, trace, vowel, rate=48000):
    """F1-F3 at the vowel's middle: the median over five 30 ms frames 10 ms
    apart around it."""
    times = trace["t"][trace["phoneme"] == vowel]
    middle = 0.5 * (times.min() + times.max() + 0.001)
    y = resample_poly(samples.astype(np.float64), LPC_RATE, rate)
    half = int(0.015 * LPC_RATE)
    found = []
    for offset in (-0.02, -0.01, 0.0, 0.01, 0.02):
        centre = int((middle + offset) * LPC_RATE)
        f = formants(y[centre - half:centre + half], LPC_RATE)
        if f is not None:
            found.append(f)
    return np.median(found, axis=0) if found else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--voice", default="male")
    parser.add_argument("--need", type=int, default=9)
    parser.add_argument("--json", help="write the measurements here")
    args = parser.parse_args()
    common.use_build(args.build)
    import tractwave

    means = hillenbrand()
    names = list(means)
    table = bark(np.array([means[n] for n in names]))
    right, report = 0, {}
    print(f"{'word':7} {'vowel':5} {'F1':>6} {'F2':>6} {'F3':>6}   {'target (Hillenbrand 1995)':>26}   heard as")
    for word, vowel in WORDS:
        samples, trace = tractwave.say(phonemes=f"HH {vowel}1 D .", voice=args.voice, trace=True)
        f = measure(samples, trace, vowel)
        if f is None:
            heard = "-"
            print(f"{word:7} {vowel:5} no formants found")
        else:
            heard = names[int(np.argmin(np.linalg.norm(table - bark(f), axis=1)))]
            t = means[vowel]
            print(f"{word:7} {vowel:5} {f[0]:6.0f} {f[1]:6.0f} {f[2]:6.0f}   "
                  f"{t[0]:8.0f} {t[1]:8.0f} {t[2]:8.0f}   {heard}{'' if heard == vowel else '  (wrong)'}")
        right += heard == vowel
        report[word] = {"vowel": vowel, "formants_hz": None if f is None else [round(x) for x in f],
                        "target_hz": [round(x) for x in means[vowel]], "classified_as": heard}
    print(f"{right} of {len(WORDS)} vowels classified right")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"right": right, "words": report}, out, indent=1)
    return 0 if right >= args.need else 1


if __name__ == "__main__":
    sys.exit(main())
