#!/usr/bin/env python3
"""The sung-word judge: every word of a song's lyrics sung alone, each of
its syllables on the note the score gives it (a one-syllable word on one
sustained note), and the same words spoken by tractwave-say and by the
peers; pocketsphinx chooses among the song's words (forced choice) for
each, plain and dithered, in the same treatment as the other judges
(16 kHz, 0.3 s of silence around, peak at -3 dBFS, 16 bits).

    bench/speech/sung_words.py --build BUILD [--song dev|held-out|both]
                               [--systems a,b,...] [--json FILE] [--keep DIR]

Two songs: the development song (the first verse of "Twinkle, Twinkle,
Little Star", bench/speech/twinkle.musicxml), on which the sung path may be
tuned, and the held-out demo (examples/daisy-bell.musicxml), which it is
not. Each word is sung at two tempos (the score's note lengths over the
speech judges' two rates) and spoken at the same two rates. The female and
child voices sing an octave above the score, as a woman or a child sings a
baritone's line.
"""

import argparse
import json
import os
import re
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import common
import singing
from common import np

SONGS = {
    "dev": os.path.join(common.HERE, "twinkle.musicxml"),
    "held-out": os.path.join(common.REPO, "examples", "daisy-bell.musicxml"),
}
VOICES = ("male", "female", "child")
TRANSPOSE = singing.TRANSPOSE
SUNG = tuple(f"sung-{v}" for v in VOICES)
SYSTEMS = SUNG + common.SYSTEMS
TEMPOS = common.TEMPOS
# Silence sung before a word's first note, so that its onset consonants
# (sung before the beat) have room.
LEAD = 0.4


def syllabics(score):
    """The <syllabic> of each lyric of a MusicXML score, in order (the
    tool's note list gives each lyric's text but not how it joins)."""
    import xml.etree.ElementTree as ET
    out = []
    for lyric in ET.parse(score).getroot().iter("lyric"):
        out.append(lyric.findtext("syllabic") or "single")
    return out


def song_words(notes, joins):
    """The song's words in order of first appearance, each with the notes
    of its first appearance: {word: [(start, duration, key, ARPAbet)]},
    starts counted from the word's first note. A lyric that begins or
    continues a word joins the next; a note with no lyric ("_") holds the
    vowel before it and belongs to the word before."""
    words, current, text = {}, [], ""
    lyrics = iter(joins)
    joined = False

    def close():
        word = re.sub(r"[^a-z']", "", text.lower())
        if word and word not in words:
            t0 = current[0][0]
            words[word] = [(s - t0, d, k, a) for s, d, k, a in current]

    for start, duration, key, lyric, arpabet in notes:
        if lyric == "_" and current:
            current.append((start, duration, key, "_"))
            continue
        if not joined and current:
            close()
            current, text = [], ""
        current.append((start, duration, key, arpabet))
        text += lyric
        joined = next(lyrics) in ("begin", "middle")
    if current:
        close()
    return words


def sing_word(notes, voice, tempo):
    """The word's notes sung alone by a voice at a tempo: (samples, rate)."""
    import tractwave
    sung = [(LEAD + s / tempo, d / tempo, tractwave.note_hz(k + TRANSPOSE[voice]),
             "_" if a == "_" else f"[[{a}]]") for s, d, k, a in notes]
    return tractwave.sing(sung, voice=voice).astype(np.float64), 48000


def run(build, systems, names, folder, processes):
    common.use_build(build)
    songs = {name: song_words(singing.score_notes(build, SONGS[name]), syllabics(SONGS[name]))
             for name in names}
    vocabulary = sorted({w for words in songs.values() for w in words})
    dictionary = os.path.join(folder, "sung.dict")
    unknown = common.dictionary_subset(vocabulary, dictionary)
    if unknown:
        sys.exit(f"sung_words: the recogniser's dictionary lacks {', '.join(unknown)}")
    jobs, sung, order = [], [], []
    for name in names:
        for n, (word, notes) in enumerate(songs[name].items()):
            for t, tempo in enumerate(TEMPOS):
                seed = 5000 + 10 * n + t + (0 if name == "dev" else 500)
                for system in systems:
                    stem = f"{name}-{system}-{word.replace(chr(39), '')}-{t}"
                    path = os.path.join(folder, stem + ".wav")
                    if system in SUNG:
                        sung.append((system.split("-", 1)[1], notes, tempo, path, seed))
                    else:
                        jobs.append(common.Job(system, word + ".", tempo, path, seed=seed))
                    order.append((system, name, word, path))
    files = common.judge_files(jobs, build, folder, processes) if jobs else {}

    def sing_one(task):
        voice, notes, tempo, path, seed = task
        y, rate = sing_word(notes, voice, tempo)
        y16 = common.to_16k(y, rate)
        if not np.any(y16):
            raise RuntimeError(f"{voice} sang silence for {path}")
        base = os.path.splitext(path)[0]
        out = {}
        for condition in common.CONDITIONS:
            out[condition] = f"{base}-{condition}.wav"
            common.write_wav(out[condition],
                             common.treat(y16, seed if condition == "dithered" else None))
        return path, out

    with ThreadPoolExecutor(processes) as pool:
        files.update(dict(pool.map(sing_one, sung)))
    groups = [(list(songs[name]), [f for s, nm, w, path in order if nm == name
                                   for f in files[path].values()]) for name in names]
    answers = common.choose(groups, dictionary, folder, processes)
    results = [{"system": system, "song": name, "word": word, "condition": condition,
                "answer": answers[f]}
               for system, name, word, path in order for condition, f in files[path].items()]
    return songs, results


def score(results, system, name, condition):
    rows = [r for r in results if r["system"] == system and r["song"] == name
            and r["condition"] == condition]
    return sum(r["answer"] == r["word"] for r in rows), len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--song", choices=["dev", "held-out", "both"], default="both")
    parser.add_argument("--systems", default=",".join(SYSTEMS))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", help="keep the WAV files in this folder")
    parser.add_argument("--json", help="write every answer to this file")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 unless each voice's sung words are right at least as "
                             "often as its spoken ones, over the songs judged")
    parser.add_argument("--need", type=float, default=0.0,
                        help="exit 1 unless sung-male is right at least this percentage "
                             "of the time in each condition")
    args = parser.parse_args()
    systems = args.systems.split(",")
    for s in systems:
        if s not in SYSTEMS:
            parser.error(f"unknown system {s!r} (one of {', '.join(SYSTEMS)})")
    names = ["dev", "held-out"] if args.song == "both" else [args.song]
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        songs, results = run(args.build, systems, names, folder, args.jobs)
    counts = ", ".join(f"{n} {len(songs[n])} words" for n in names)
    print(f"Sung and spoken words right (forced choice among the song's words; {counts}; "
          f"2 tempos), plain / dithered")
    print(f"{'system':<18}" + "".join(f"{n:>16}" for n in names))
    for system in systems:
        cells = []
        for n in names:
            got = [score(results, system, n, c) for c in common.CONDITIONS]
            cells.append("/".join(str(g[0]) for g in got) + f" of {got[0][1]}")
        print(f"{system:<18}" + "".join(f"{c:>16}" for c in cells))
    for system in systems:
        if system not in SUNG:
            continue
        wrong = {}
        for r in results:
            if r["system"] == system and r["answer"] != r["word"]:
                wrong.setdefault((r["song"], r["word"]), []).append(r["answer"] or "-")
        if wrong:
            print(f"{system}'s misses: " + ", ".join(
                f"{w}->{'/'.join(a)}" for (n, w), a in wrong.items()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=0)
    status = 0
    if args.check:
        for voice in VOICES:
            sung_s, spoken = f"sung-{voice}", f"tractwave-{voice}"
            if sung_s not in systems or spoken not in systems:
                continue
            a = sum(score(results, sung_s, n, c)[0] for n in names for c in common.CONDITIONS)
            b = sum(score(results, spoken, n, c)[0] for n in names for c in common.CONDITIONS)
            if a < b:
                print(f"sung_words: {voice} sung {a} right, spoken {b}", file=sys.stderr)
                status = 1
    if args.need and "sung-male" in systems:
        for c in common.CONDITIONS:
            got, total = (sum(x) for x in zip(*(score(results, "sung-male", n, c)
                                                  for n in names)))
            if 100 * got < args.need * total:
                print(f"sung_words: sung-male {got} of {total} {c}, under {args.need}%",
                      file=sys.stderr)
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
