#!/usr/bin/env python3
"""The rhyme judge: the Diagnostic Rhyme Test (Voiers 1977), 96 word pairs
that differ in the initial consonant by one feature (voicing, nasality,
sustention, sibilation, graveness, compactness, 16 pairs each). Every word
is spoken alone ("veal.") by each system and pocketsphinx chooses between
the two words of its pair (chance 50%), plain and dithered.

    bench/speech/rhyme.py --build BUILD [--half dev|held-out|both]
                          [--systems a,b,...] [--json FILE] [--keep DIR]

Development and held-out halves: within each feature, the pairs at odd
places of Voiers' list (1st, 3rd, ...) are the development half, those at
even places the held-out half, 48 pairs each.
"""

import argparse
import json
import os
import sys
import tempfile

import common

# Voiers' pairs in his order, the word with the feature present first.
FEATURES = {
    "voicing": "veal feel bean peen gin chin dint tint zoo sue dune tune vole foal goat coat "
               "zed said dense tense vast fast gaff calf vault fault daunt taunt jock chock "
               "bond pond",
    "nasality": "meat beat need deed mitt bit nip dip moot boot news dues moan bone note dote "
                "mend bend neck deck mad bad nab dab moss boss gnaw daw mom bomb knock dock",
    "sustention": "vee bee sheet cheat vill bill thick tick foo pooh shoes choose those doze "
                  "though dough then den fence pence than dan shad chad thong tong shaw chaw "
                  "von bon vox box",
    "sibilation": "zee thee cheep keep jilt gilt sing thing juice goose chew coo joe go "
                  "sole thole jest guest chair care jab gab sank thank jaws gauze saw thaw "
                  "jot got chop cop",
    "graveness": "weed reed peak teak bid did fin thin moon noon pool tool bowl dole fore thor "
                 "met net pent tent bank dank fad thad fought thought bong dong wad rod "
                 "pot tot",
    "compactness": "yield wield key tea hit fit gill dill coop poop you rue ghost boast "
                   "show so keg peg yen wren gat bat shag sag yawl wall caught taught hop fop "
                   "got dot",
}

# Words Debian's CMU dictionary lacks: their pronunciations for the
# recogniser, and what our voices speak for them (the same phonemes, the
# vowel stressed), since the library would otherwise ask espeak-ng.
MISSING = {"peen": "P IY N", "vole": "V OW L", "vill": "V IH L", "cheep": "CH IY P",
           "yawl": "Y AO L"}


def pairs():
    """(feature, index within the feature, word 1, word 2, half)."""
    out = []
    for feature, text in FEATURES.items():
        words = text.split()
        assert len(words) == 32, feature
        for i in range(16):
            out.append((feature, i, words[2 * i], words[2 * i + 1],
                        "dev" if i % 2 == 0 else "held-out"))
    return out


def stressed(arpabet):
    return " ".join(p + "1" if p[0] in "AEIOU" else p for p in arpabet.split())


def run(build, systems, halves, folder, processes):
    # The dither's seed follows the pair's place in the whole list, so that a
    # word gets the same file whichever halves are judged.
    chosen = [(n, p) for n, p in enumerate(pairs()) if p[4] in halves]
    seeds = {p[:2]: n for n, p in chosen}
    chosen = [p for n, p in chosen]
    words = sorted({w for p in chosen for w in p[2:4]})
    dictionary = os.path.join(folder, "rhyme.dict")
    unknown = common.dictionary_subset(words, dictionary, MISSING)
    if unknown:
        sys.exit(f"rhyme: no pronunciation for {', '.join(unknown)}")
    jobs, order = [], []
    for feature, i, *pair, half in chosen:
        n = seeds[(feature, i)]
        for k, word in enumerate(pair):
            for system in systems:
                path = os.path.join(folder, f"{system}-{feature}{i}-{word}.wav")
                phonemes = stressed(MISSING[word]) if word in MISSING else None
                jobs.append(common.Job(system, word + ".", 1.0, path, phonemes,
                                       seed=1000 + 2 * n + k))
                order.append((system, feature, half, pair, word, path))
    files = common.judge_files(jobs, build, folder, processes)
    groups = []
    for feature, i, *pair, half in chosen:
        mine = [f for s, fe, h, p, w, path in order if p == pair for f in files[path].values()]
        groups.append((pair, mine))
    answers = common.choose(groups, dictionary, folder, processes)
    results = []
    for system, feature, half, pair, word, path in order:
        for condition, f in files[path].items():
            results.append({"system": system, "feature": feature, "half": half,
                            "word": word, "other": pair[1] if word == pair[0] else pair[0],
                            "condition": condition, "answer": answers[f]})
    return results


def score(results, system, half, condition, feature=None):
    rows = [r for r in results if r["system"] == system and r["half"] == half
            and r["condition"] == condition and (feature is None or r["feature"] == feature)]
    right = sum(r["answer"] == r["word"] for r in rows)
    return right, len(rows)


def table(results, systems, half):
    """Percent right per feature and overall, plain / dithered."""
    lines = [f"Rhyme test ({half} half, percent right of two, chance 50), plain / dithered",
             f"{'system':<17}" + "".join(f"{f[:11]:>12}" for f in FEATURES) + f"{'overall':>12}"
             + f"{'no answer':>11}"]
    for system in systems:
        cells = []
        for feature in list(FEATURES) + [None]:
            pcts = []
            for condition in common.CONDITIONS:
                right, total = score(results, system, half, condition, feature)
                pcts.append(f"{100 * right / total:.0f}" if total else "-")
            cells.append("/".join(pcts))
        silent = sum(r["answer"] == "" for r in results
                     if r["system"] == system and r["half"] == half)
        lines.append(f"{system:<17}" + "".join(f"{c:>12}" for c in cells) + f"{silent:>11}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--half", choices=["dev", "held-out", "both"], default="both")
    parser.add_argument("--systems", default=",".join(common.SYSTEMS))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", help="keep the WAV files in this folder")
    parser.add_argument("--json", help="write every answer to this file")
    parser.add_argument("--need", type=float, metavar="PERCENT",
                        help="exit 1 unless tractwave-male gets at least this percentage "
                             "overall in both conditions of every half judged")
    args = parser.parse_args()
    systems = args.systems.split(",")
    for s in systems:
        if s not in common.SYSTEMS:
            parser.error(f"unknown system {s!r} (one of {', '.join(common.SYSTEMS)})")
    halves = ["dev", "held-out"] if args.half == "both" else [args.half]
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        results = run(args.build, systems, halves, folder, args.jobs)
    for half in halves:
        print(table(results, systems, half) + "\n")
    print("spoken from phonemes, missing from the recogniser's dictionary: "
          + ", ".join(f"{w} ({p})" for w, p in MISSING.items()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=0)
    if args.need is not None:
        failed = False
        for half in halves:
            for condition in common.CONDITIONS:
                right, total = score(results, "tractwave-male", half, condition)
                if total and 100 * right / total < args.need:
                    print(f"rhyme judge failed: tractwave-male {half} {condition} "
                          f"{100 * right / total:.1f}% < {args.need}%")
                    failed = True
        return 1 if failed else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
