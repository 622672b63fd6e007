#!/usr/bin/env python3
"""The sentence judge: the Harvard sentences spoken by each system and
transcribed by pocketsphinx with its en-us language model and no grammar,
scored by word error rate (substitutions, deletions and insertions over
the words said), plain and dithered.

    bench/speech/sentences.py --build BUILD [--lists dev|held-out|both|3,4]
                              [--systems a,b,...] [--json FILE] [--keep DIR]

Lists 3 to 10 are for development; lists 1 and 2 are held out.
"""

import argparse
import json
import os
import re
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import common

SENTENCES_FILE = os.path.join(common.HERE, "harvard.txt")
DEV_LISTS = tuple(range(3, 11))
HELD_OUT_LISTS = (1, 2)


def sentences():
    """[(list number, sentence)] from the file."""
    out = []
    with open(SENTENCES_FILE, encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                number, text = line.split(" ", 1)
                out.append((int(number), text.strip()))
    return out


def words_of(text):
    """The words a transcript should hold: lower case, punctuation out, a
    hyphen between two words a space."""
    return re.sub(r"[^a-z' ]", " ", text.lower().replace("-", " ")).split()


def errors(reference, hypothesis):
    """(substitutions, deletions, insertions) of the alignment with the
    fewest errors (Levenshtein over words; ties go to substitutions, then
    deletions)."""
    n, m = len(reference), len(hypothesis)
    # cost[i][j]: (errors, subs, dels, ins) aligning reference[:i], hypothesis[:j]
    cost = [[None] * (m + 1) for _ in range(n + 1)]
    cost[0][0] = (0, 0, 0, 0)
    for i in range(1, n + 1):
        cost[i][0] = (i, 0, i, 0)
    for j in range(1, m + 1):
        cost[0][j] = (j, 0, 0, j)
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            e, s, d, k = cost[i - 1][j - 1]
            same = reference[i - 1] == hypothesis[j - 1]
            options = [(e + (not same), s + (not same), d, k)]
            e, s, d, k = cost[i - 1][j]
            options.append((e + 1, s, d + 1, k))
            e, s, d, k = cost[i][j - 1]
            options.append((e + 1, s, d, k + 1))
            cost[i][j] = min(options, key=lambda o: o[0])
    return cost[n][m][1:]


def run(build, systems, lists, folder, processes):
    # The dither's seed follows the sentence's place in the file, whichever
    # lists are judged.
    chosen = [(n, number, text) for n, (number, text) in enumerate(sentences())
              if number in lists]
    jobs, order = [], []
    for n, number, text in chosen:
        for system in systems:
            path = os.path.join(folder, f"{system}-s{n:03d}.wav")
            jobs.append(common.Job(system, text, 1.0, path, seed=5000 + n))
            order.append((system, number, text, path))
    files = common.judge_files(jobs, build, folder, processes)
    every = [f for system, number, text, path in order for f in files[path].values()]
    # One decoder per process, each over its share: loading the language
    # model takes seconds, a sentence well under one.
    shares = [every[i::processes] for i in range(processes)]
    with ThreadPoolExecutor(processes) as pool:
        parts = pool.map(lambda share: dict(zip(share, common.decode_batch(
            share, folder, common.DICTIONARY))), [s for s in shares if s])
        answers = {}
        for part in parts:
            answers.update(part)
    results = []
    for system, number, text, path in order:
        for condition, f in files[path].items():
            s, d, i = errors(words_of(text), words_of(answers[f]))
            results.append({"system": system, "list": number, "text": text,
                            "condition": condition, "heard": answers[f],
                            "words": len(words_of(text)), "sub": s, "del": d, "ins": i})
    return results


def wer(results, system, lists, condition):
    rows = [r for r in results if r["system"] == system and r["list"] in lists
            and r["condition"] == condition]
    words = sum(r["words"] for r in rows)
    return {k: sum(r[k] for r in rows) for k in ("sub", "del", "ins")}, words


def table(results, systems, name, lists):
    lines = [f"Harvard sentences, {name} (lists {','.join(map(str, lists))}): word error rate %"
             " (substitutions/deletions/insertions)",
             f"{'system':<17}{'plain':>24}{'dithered':>24}"]
    for system in systems:
        cells = []
        for condition in common.CONDITIONS:
            e, words = wer(results, system, lists, condition)
            total = e["sub"] + e["del"] + e["ins"]
            cells.append(f"{100 * total / words:.1f} ({e['sub']}/{e['del']}/{e['ins']})"
                         if words else "-")
        lines.append(f"{system:<17}" + "".join(f"{c:>24}" for c in cells))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--lists", default="both",
                        help="dev (3-10), held-out (1, 2), both, or list numbers: 3,4")
    parser.add_argument("--systems", default=",".join(common.SYSTEMS))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", help="keep the WAV files in this folder")
    parser.add_argument("--json", help="write every transcript to this file")
    parser.add_argument("--worst", type=float, metavar="PERCENT",
                        help="exit 1 if tractwave-male's word error rate is above this "
                             "in either condition of any set judged")
    args = parser.parse_args()
    systems = args.systems.split(",")
    for s in systems:
        if s not in common.SYSTEMS:
            parser.error(f"unknown system {s!r} (one of {', '.join(common.SYSTEMS)})")
    if args.lists in ("dev", "held-out", "both"):
        sets = {"dev": [("development", DEV_LISTS)], "held-out": [("held out", HELD_OUT_LISTS)],
                "both": [("development", DEV_LISTS), ("held out", HELD_OUT_LISTS)]}[args.lists]
    else:
        try:
            chosen = tuple(int(x) for x in args.lists.split(","))
        except ValueError:
            parser.error(f"--lists: not list numbers: {args.lists!r}")
        if not all(1 <= x <= 10 for x in chosen):
            parser.error("--lists: the lists are numbered 1 to 10")
        sets = [(name, tuple(x for x in chosen if x in ls))
                for name, ls in (("development", DEV_LISTS), ("held out", HELD_OUT_LISTS))]
        sets = [(name, ls) for name, ls in sets if ls]
    lists = {x for _, ls in sets for x in ls}
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        results = run(args.build, systems, lists, folder, args.jobs)
    for name, ls in sets:
        print(table(results, systems, name, ls) + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=0)
    if args.worst is not None:
        failed = False
        for name, ls in sets:
            for condition in common.CONDITIONS:
                e, words = wer(results, "tractwave-male", ls, condition)
                rate = 100 * sum(e.values()) / words if words else 100
                if rate > args.worst:
                    print(f"sentence judge failed: tractwave-male {name} {condition} "
                          f"word error rate {rate:.1f}% > {args.worst}%")
                    failed = True
        return 1 if failed else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
