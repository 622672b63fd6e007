#!/usr/bin/env python3
"""The everyday-word judge: common two-syllable words, each spoken alone
at two speaking rates by each system, and pocketsphinx chooses among the
twenty words of its set (chance 5%), plain and dithered. The development
set is for tuning; the held-out set is not, so that its score says how
the speech does on words nobody tuned it for.

    bench/speech/words.py --build BUILD [--set dev|held-out|both]
                          [--systems a,b,...] [--json FILE] [--keep DIR]
"""

import argparse
import json
import os
import sys
import tempfile

import common

SETS = {
    "dev": "apple baby butter candle chicken doctor garden happy kitchen letter monkey "
           "morning paper pencil rabbit river sister table water window".split(),
    "held-out": "basket button carpet city coffee dinner finger flower hammer jacket lemon "
                "money number pillow pocket summer ticket tiger tunnel yellow".split(),
    # The recogniser judge's sets (the rules were tuned on them), here for
    # every system in the same treatment.
    "digits": "zero one two three four five six seven eight nine".split(),
    "hvd": "heed hid head had hood who'd hud heard".split(),
}
# The speech demo's rates: 150 and 200 words a minute for espeak-ng around
# its 175, the same ratios of every other system's own rate.
TEMPOS = common.TEMPOS


def run(build, systems, names, folder, processes):
    words = [w for name in names for w in SETS[name]]
    dictionary = os.path.join(folder, "words.dict")
    unknown = common.dictionary_subset(words, dictionary)
    if unknown:
        sys.exit(f"words: the recogniser's dictionary lacks {', '.join(unknown)}")
    jobs, order = [], []
    for name in names:
        for n, word in enumerate(SETS[name]):
            for t, tempo in enumerate(TEMPOS):
                for system in systems:
                    path = os.path.join(folder, f"{system}-{word.replace(chr(39), '')}-{t}.wav")
                    jobs.append(common.Job(system, word + ".", tempo, path,
                                           seed=3000 + 10 * n + t))
                    order.append((system, name, word, path))
    files = common.judge_files(jobs, build, folder, processes)
    groups = [(SETS[name], [f for s, nm, w, path in order if nm == name
                            for f in files[path].values()]) for name in names]
    answers = common.choose(groups, dictionary, folder, processes)
    return [{"system": system, "set": name, "word": word, "condition": condition,
             "answer": answers[f]}
            for system, name, word, path in order for condition, f in files[path].items()]


def score(results, system, name, condition):
    rows = [r for r in results if r["system"] == system and r["set"] == name
            and r["condition"] == condition]
    return sum(r["answer"] == r["word"] for r in rows), len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--set", choices=["dev", "held-out", "both", "digits", "hvd", "all"],
                        default="both")
    parser.add_argument("--systems", default=",".join(common.SYSTEMS))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", help="keep the WAV files in this folder")
    parser.add_argument("--json", help="write every answer to this file")
    args = parser.parse_args()
    systems = args.systems.split(",")
    for s in systems:
        if s not in common.SYSTEMS:
            parser.error(f"unknown system {s!r} (one of {', '.join(common.SYSTEMS)})")
    names = {"both": ["dev", "held-out"], "all": list(SETS)}.get(args.set, [args.set])
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        results = run(args.build, systems, names, folder, args.jobs)
    print("Words right (each word alone at 2 rates; everyday sets 40, digits 20, hvd 16), "
          "plain / dithered")
    print(f"{'system':<17}" + "".join(f"{n:>14}" for n in names))
    for system in systems:
        cells = ["/".join(str(score(results, system, n, c)[0]) for c in common.CONDITIONS)
                 for n in names]
        print(f"{system:<17}" + "".join(f"{c:>14}" for c in cells))
    wrong = {}
    for r in results:
        if r["system"] == "tractwave-male" and r["answer"] != r["word"] and \
                r["set"] in ("dev", "held-out"):
            wrong.setdefault(r["word"], []).append(r["answer"] or "-")
    if wrong:
        print("tractwave-male's misses: " + ", ".join(f"{w}->{'/'.join(a)}"
                                                      for w, a in wrong.items()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
