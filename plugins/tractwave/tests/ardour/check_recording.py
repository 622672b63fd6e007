"""Checks a recording of the instrument in Ardour: one note held and
released over and over. Every stretch of sound has the note's pitch
(within 1%) and ends in exact zeros (digital silence, not a faint tail).
Usage: check_recording.py WAV NOTE_HZ"""
import math
import struct
import sys
import wave


def samples(path):
    with wave.open(path) as w:
        rate, width, n = w.getframerate(), w.getsampwidth(), w.getnframes()
        raw = w.readframes(n)
        channels = w.getnchannels()
    if width == 4:
        # jack_rec writes 32-bit float or integer; both are read as float
        # when the header says float, as integer otherwise.
        values = struct.unpack("<%di" % (len(raw) // 4), raw)
        values = [v / 2147483648.0 for v in values]
    elif width == 2:
        values = [v / 32768.0 for v in struct.unpack("<%dh" % (len(raw) // 2), raw)]
    else:
        sys.exit("unexpected sample width %d" % width)
    return rate, values[::channels]


def pitch(x, rate, lo=50.0, hi=1000.0):
    """The fundamental by autocorrelation, refined between lags."""
    mean = sum(x) / len(x)
    x = [v - mean for v in x]
    best, best_lag, r = -1.0, 0, {}
    for lag in range(int(rate / hi), int(rate / lo) + 2):
        r[lag] = sum(x[i] * x[i + lag] for i in range(len(x) - lag))
    for lag in range(int(rate / hi) + 1, int(rate / lo) + 1):
        if r[lag] > r[lag - 1] and r[lag] >= r[lag + 1] and r[lag] > best:
            best, best_lag = r[lag], lag
    a, b, c = r[best_lag - 1], r[best_lag], r[best_lag + 1]
    shift = 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c != 0 else 0.0
    return rate / (best_lag + shift)


def main():
    path, hz = sys.argv[1], float(sys.argv[2])
    rate, x = samples(path)
    # Exact silence is a run of zeros longer than any a waveform crosses
    # (10 ms); sound is what lies between such runs.
    zeros, start = [], None
    for i, v in enumerate(x + [1.0]):
        if v == 0.0 and start is None:
            start = i
        elif v != 0.0 and start is not None:
            if i - start >= 0.01 * rate:
                zeros.append((True, start, i))
            start = None
    silent = [z for z in zeros if z[2] - z[1] >= 0.5 * rate]
    edges = [0] + [e for z in zeros for e in (z[1], z[2])] + [len(x)]
    sounding = [(False, a, b) for a, b in zip(edges[::2], edges[1::2])
                if b - a >= 0.3 * rate]
    if not sounding:
        sys.exit("FAIL: no note in the recording")
    ok = True
    for _, a, b in sounding:
        mid = a + (b - a) // 2
        f = pitch(x[mid - 4096:mid + 4096], rate)
        err = f / hz - 1.0
        peak = max(abs(v) for v in x[a:b])
        ends = any(s[1] == b for s in silent)
        print("note from %.3f s to %.3f s: %.3f Hz (%+.3f%%), peak %.4f, %s" %
              (a / rate, b / rate, f, 100 * err, peak,
               "then exact silence" if ends else "recording ends"))
        if abs(err) > 0.01:
            ok = False
    if not silent or not any(s[1] == r[2] for r in sounding for s in silent):
        print("FAIL: no note ends in exact silence")
        ok = False
    for _, a, b in silent:
        print("exact silence from %.3f s to %.3f s" % (a / rate, b / rate))
    sys.exit(0 if ok else 1)


main()
