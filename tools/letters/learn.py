#!/usr/bin/env python3
"""Learns the speech library's letter-to-sound and stress rules from
pronouncing dictionaries and writes them as src/speech/letters_table.inc.

  tools/letters/learn.py [--cmu DICT] [--stressed DICT] [--out FILE]
  tools/letters/learn.py --evaluate [--espeak]   # held-out accuracy only
  tools/letters/learn.py --espeak-only           # espeak-ng's, on the same words

Sources (Debian packages):
  --cmu       pocketsphinx-en-us's cmudict-en-us.dict: the phones (no stress).
  --stressed  festlex-cmu's cmudict-0.4.out: which syllables are stressed
              (1 or 0; it does not tell primary from secondary).

Held out: every word whose FNV-1a hash (32 bits, of the lower-case spelling)
is 0 modulo 10 is never used for learning; words at 1 modulo 10 are the
development set the few choices below were made on. --evaluate reports both.

Letter to sound. Each word's letters are aligned to its phones (every letter
gives no phone, one, or two; an expectation-maximisation of the letter to
phone-string probabilities over all alignments, then the best alignment of
each word), and each letter's phones are predicted from the letters around it
by a tree of contexts (IGTree, Daelemans & van den Bosch 1997): the letter
itself, then one to the right, one to the left, two to the right, and so on
to four each side; a context is kept only when it changes the answer of the
shorter context.

Stress. A second tree predicts which vowels of a word are stressed from its
number of vowels, its last letters, its first letters and which of its
vowels are schwa-like (AH, ER): the English stress rules work from the end
of the word and its suffixes, and prefixes (a-, be-, un-) shift them.
"""
import argparse
import collections
import math
import os
import re
import subprocess
import sys

VOWELS = {"AA", "AE", "AH", "AO", "AW", "AY", "EH", "ER", "EY", "IH", "IY",
          "OW", "OY", "UH", "UW"}


def fnv1a(word):
    h = 2166136261
    for c in word.encode():
        h = ((h ^ c) * 16777619) & 0xffffffff
    return h


def split_of(word):
    r = fnv1a(word) % 10
    return "test" if r == 0 else "dev" if r == 1 else "train"


def read_cmu(path):
    words = {}
    for line in open(path, encoding="utf-8", errors="replace"):
        parts = line.split()
        if len(parts) < 2:
            continue
        w = parts[0].lower()
        if "(" in w or not re.fullmatch(r"[a-z][a-z']*", w) or w in words:
            continue
        words[w] = [re.sub(r"\d", "", p) for p in parts[1:]]
    return words


def read_stressed(path):
    # ("word" pos (((ph ph) 1) ((ph) 0)))
    out = {}
    pat = re.compile(r'^\("([^"]+)" \S+ \((.*)\)\)$')
    for line in open(path, encoding="utf-8", errors="replace"):
        m = pat.match(line.strip())
        if not m:
            continue
        w = m.group(1).lower()
        if w in out or not re.fullmatch(r"[a-z][a-z']*", w):
            continue
        syls = re.findall(r"\(\(([^()]*)\) (\d)\)", m.group(2))
        out[w] = [(s.upper().split(), int(d)) for s, d in syls]
    return out


# ---- alignment -------------------------------------------------------------

def alignments_dp(letters, phones, prob, best):
    """Forward (sum) or Viterbi (best) over letter -> 0, 1 or 2 phones."""
    n, m = len(letters), len(phones)
    NEG = -1e30
    score = [[NEG] * (m + 1) for _ in range(n + 1)]
    back = [[None] * (m + 1) for _ in range(n + 1)]
    score[0][0] = 0.0
    for i in range(n):
        for j in range(m + 1):
            s = score[i][j]
            if s <= NEG:
                continue
            for k in (0, 1, 2):
                if j + k > m:
                    break
                out = " ".join(phones[j:j + k]) if k else "_"
                p = prob(letters[i], out)
                if p <= 0:
                    continue
                t = s + math.log(p)
                if best:
                    if t > score[i + 1][j + k]:
                        score[i + 1][j + k] = t
                        back[i + 1][j + k] = (j, out)
                else:
                    a = score[i + 1][j + k]
                    score[i + 1][j + k] = t if a <= NEG else max(a, t) + math.log1p(math.exp(-abs(a - t)))
    if not best:
        return score[n][m]
    if score[n][m] <= NEG:
        return None
    outs, j = [], m
    for i in range(n, 0, -1):
        pj, out = back[i][j]
        outs.append(out)
        j = pj
    return outs[::-1]


def align(words):
    # Start: every letter-to-string pairing seen in a word counts once;
    # pairs of phones are penalised so that one phone per letter is the norm.
    counts = collections.Counter()
    for w, ph in words.items():
        for c in set(w):
            counts[(c, "_")] += 1
            for p in set(ph):
                counts[(c, p)] += 1
            for a, b in zip(ph, ph[1:]):
                counts[(c, a + " " + b)] += 0.05
    for it in range(4):
        total = collections.Counter()
        for (c, _), v in counts.items():
            total[c] += v
        table = {k: v / total[k[0]] for k, v in counts.items()}
        prob = lambda c, o: table.get((c, o), 0.0)
        counts = collections.Counter()
        aligned = {}
        for w, ph in words.items():
            a = alignments_dp(w, ph, prob, True)
            if a is None:
                continue
            aligned[w] = a
            for c, o in zip(w, a):
                counts[(c, o)] += 1
        # A little of everything stays possible.
        for k in list(table):
            counts[k] += 0.01
        print(f"alignment pass {it + 1}: {len(aligned)} of {len(words)} words",
              file=sys.stderr)
    return aligned


# ---- context trees ---------------------------------------------------------

class Node:
    __slots__ = ("cls", "children")

    def __init__(self, cls):
        self.cls = cls
        self.children = {}


def build_tree(instances, depth_limit):
    """instances: list of (features tuple, class). Features are consulted in
    order; returns the root Node (whose own class is the overall majority)."""
    def build(items, depth):
        c = collections.Counter(cls for _, cls in items)
        node = Node(c.most_common(1)[0][0])
        if depth >= depth_limit or len(c) == 1:
            return node
        groups = collections.defaultdict(list)
        for f, cls in items:
            groups[f[depth]].append((f, cls))
        for key, sub in groups.items():
            child = build(sub, depth + 1)
            if child.cls != node.cls or child.children:
                node.children[key] = child
        return node
    return build(instances, 0)


def predict(node, features):
    for f in features:
        child = node.children.get(f)
        if child is None:
            break
        node = child
    return node.cls


def letter_features(word, i):
    pad = "####" + word + "####"
    j = i + 4
    # the letter, then right 1, left 1, right 2, left 2, ...
    f = [pad[j]]
    for d in range(1, 5):
        f.append(pad[j + d])
        f.append(pad[j - d])
    return tuple(f)


def schwa_pattern(phones):
    return "".join("s" if p in ("AH", "ER") else "v" for p in phones if p in VOWELS)


def stress_features(word, phones):
    n = sum(p in VOWELS for p in phones)
    w = "##" + word + "#####"
    rev = word[::-1] + "#####"
    f = [chr(ord("0") + min(n, 9))]
    f += list(rev[:4])
    f.append(schwa_pattern(phones))
    f += list(word[:3].ljust(3, "#"))
    f.append(rev[4])
    f.append(rev[5])
    del w
    return tuple(f)


def baseline_stress(phones):
    """The rule the speech library had: first vowel, second after AH/AX."""
    vs = [p for p in phones if p in VOWELS]
    if not vs:
        return ""
    chosen = 0
    if vs[0] == "AH" and len(vs) > 1:
        chosen = 1
    return "".join("1" if k == chosen else "0" for k in range(len(vs)))


def stress_target(cmu_phones, fest):
    """The 0/1 pattern of festival's entry, when its vowels match ours."""
    fv = []
    for syl, d in fest:
        for p in syl:
            if p in ("AX",):
                p = "AH"
            if p in VOWELS:
                fv.append((p, d))
    cv = [p for p in cmu_phones if p in VOWELS]
    if len(fv) != len(cv) or not cv:
        return None
    return "".join(str(min(d, 1)) for _, d in fv)


# ---- evaluation ------------------------------------------------------------

def edit_distance(a, b):
    d = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        prev, d[0] = d[0], i
        for j in range(1, len(b) + 1):
            cur = min(d[j] + 1, d[j - 1] + 1, prev + (a[i - 1] != b[j - 1]))
            prev, d[j] = d[j], cur
    return d[len(b)]


def score(pairs):
    words = sum(h == r for h, r in pairs)
    errs = sum(edit_distance(h, r) for h, r in pairs)
    phones = sum(len(r) for _, r in pairs)
    return 100.0 * words / len(pairs), 100.0 * errs / phones


def normal_for_scoring(phones):
    """Both ways of writing the schwa and the syllabic consonants alike."""
    out = []
    for p in phones:
        p = re.sub(r"\d", "", p)
        p = {"AX": "AH", "IX": "IH", "UX": "UW", "AXR": "ER", "DX": "T",
             "NX": "N", "H": "HH", "WH": "W"}.get(p, p)
        if p == "EN":
            out += ["AH", "N"]
        elif p == "EM":
            out += ["AH", "M"]
        elif p == "EL":
            out += ["AH", "L"]
        elif p not in ("|", ",", ".", "?", "Q"):
            out.append(p)
    return out


def espeak_arpabet(words, build):
    """espeak-ng's IPA for each word, turned into ARPAbet by the speech
    library's own reader (as tractwave-say does)."""
    text = "\n".join(words) + "\n"
    ipa = subprocess.run(["espeak-ng", "-q", "--ipa", "-v", "en-us"],
                         input=text, capture_output=True, text=True, check=True).stdout
    lines = [l.strip() for l in ipa.split("\n") if l.strip()]
    if len(lines) != len(words):
        # espeak-ng joins or splits some lines; fall back to one call a word.
        lines = []
        for w in words:
            r = subprocess.run(["espeak-ng", "-q", "--ipa", "-v", "en-us", w],
                               capture_output=True, text=True).stdout
            lines.append(" ".join(r.split()))
    import ctypes
    lib = ctypes.CDLL(os.path.join(build, "libtractwave_speech.so"))
    f = lib.tractwave_speech_ipa_to_arpabet
    f.restype = ctypes.c_int
    f.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    out = []
    for l in lines:
        buf = ctypes.create_string_buffer(4096)
        n = f(l.encode(), buf, 4096, None)
        out.append(buf.value.decode().split() if n > 0 else [])
    return out


# ---- output ----------------------------------------------------------------

def flatten(root, key_of):
    """Breadth-first arrays: key, class, first child, child count."""
    nodes = [(None, root)]
    rows = []
    i = 0
    while i < len(nodes):
        key, node = nodes[i]
        kids = sorted(node.children.items())
        rows.append([key, node.cls, len(nodes), len(kids)])
        nodes.extend(kids)
        i += 1
    return rows


def write_inc(path, lts_root, stress_root):
    classes = sorted({r[1] for r in flatten(lts_root, None)})
    cindex = {c: i for i, c in enumerate(classes)}
    lts = flatten(lts_root, None)
    stress = flatten(stress_root, None)
    patterns = sorted({r[1] for r in stress})
    pindex = {c: i for i, c in enumerate(patterns)}
    skeys = sorted({r[0] for r in stress if r[0] is not None and len(r[0]) > 1})
    kindex = {k: i for i, k in enumerate(skeys)}

    def key_byte(k):
        if k is None:
            return 0
        if len(k) == 1:
            return ord(k)
        return 256 + kindex[k]
    assert len(skeys) < 65000 and len(classes) < 65536 and len(patterns) < 65536
    with open(path + ".tmp", "w") as f:
        f.write("// Written by tools/letters/learn.py: do not edit.\n")
        f.write("// Letter-to-sound and stress trees learned from the CMU "
                "dictionary\n// (pocketsphinx-en-us) and its stressed "
                "festlex-cmu copy.\n\n")
        f.write("static const char *const kLetterPhones[] = {\n")
        for c in classes:
            f.write(f'    "{"" if c == "_" else c}",\n')
        f.write("};\n\n")

        def rows(name, table, clsmap):
            f.write(f"static const TreeNode {name}[] = {{\n")
            for key, cls, first, count in table:
                f.write(f"    {{{key_byte(key)}, {count}, {clsmap[cls]}, {first}}},\n")
            f.write("};\n\n")
        rows("kLetterTree", lts, cindex)
        f.write("static const char *const kStressPatterns[] = {\n")
        for p in patterns:
            f.write(f'    "{p}",\n')
        f.write("};\n\n")
        f.write("// Keys of the stress tree from 256: schwa patterns (s: AH "
                "or ER, v: any\n// other vowel), by key - 256.\n")
        f.write("static const char *const kSchwaPatterns[] = {\n")
        for k in skeys:
            f.write(f'    "{k}",\n')
        f.write("};\n\n")
        rows("kStressTree", stress, pindex)
    os.replace(path + ".tmp", path)
    print(f"wrote {path}: {len(lts)} letter nodes, {len(classes)} phone "
          f"strings, {len(stress)} stress nodes", file=sys.stderr)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cmu", default="/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict")
    ap.add_argument("--stressed", default="/usr/share/festival/dicts/cmu/cmudict-0.4.out")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "..",
                                                   "src", "speech", "letters_table.inc"))
    ap.add_argument("--evaluate", action="store_true")
    ap.add_argument("--espeak", action="store_true",
                    help="also espeak-ng's phonemiser on the same words "
                    "(needs the speech library built in --build)")
    ap.add_argument("--espeak-only", action="store_true")
    ap.add_argument("--build", default="build")
    args = ap.parse_args()

    cmu = read_cmu(args.cmu)
    fest = read_stressed(args.stressed)
    if args.espeak_only:
        # espeak-ng on the same held-out words, needing no learning.
        for part in ("dev", "test"):
            ws = sorted(w for w in cmu if split_of(w) == part)
            theirs = espeak_arpabet(ws, args.build)
            wa, per = score([(normal_for_scoring(t), cmu[w]) for t, w in zip(theirs, ws)])
            print(f"{part}: espeak-ng: words right {wa:.1f}%, phone errors {per:.1f}%")
        return
    aligned = align(cmu)
    train = {w: a for w, a in aligned.items() if split_of(w) == "train"}

    inst = [(letter_features(w, i), a[i]) for w, a in train.items() for i in range(len(w))]
    lts_root = build_tree(inst, 9)

    sinst = []
    for w in train:
        if w in fest:
            t = stress_target(cmu[w], fest[w])
            if t:
                sinst.append((stress_features(w, cmu[w]), t))
    stress_root = build_tree(sinst, len(sinst[0][0]))

    def spell(w):
        out = []
        for i in range(len(w)):
            c = predict(lts_root, letter_features(w, i))
            if c != "_":
                out += c.split()
        return out

    if not args.evaluate:
        write_inc(os.path.normpath(args.out), lts_root, stress_root)
    for part in ("dev", "test"):
        ws = sorted(w for w in cmu if split_of(w) == part)
        ours = [(spell(w), cmu[w]) for w in ws]
        wa, per = score(ours)
        print(f"{part}: {len(ws)} words; ours: words right {wa:.1f}%, "
              f"phone errors {per:.1f}%")
        if args.espeak:
            theirs = espeak_arpabet(ws, args.build)
            pairs = [(normal_for_scoring(t), r) for t, (_, r) in zip(theirs, ours)]
            wa, per = score(pairs)
            print(f"{part}: espeak-ng: words right {wa:.1f}%, phone errors {per:.1f}%")
        sw = [(w, stress_target(cmu[w], fest[w])) for w in ws if w in fest]
        sw = [(w, t) for w, t in sw if t and len(t) > 1]
        base = sum(baseline_stress(cmu[w]) == t for w, t in sw)
        mine = [predict(stress_root, stress_features(w, cmu[w])) for w, t in sw]
        ok = sum(m == t for m, (_, t) in zip(mine, sw))
        # The primary stress on a stressed vowel: the first predicted stress
        # (the library's primary) among the reference's stressed vowels.
        def first_ok(p, t):
            return "1" in p and t[p.index("1")] == "1"
        bp = sum(first_ok(baseline_stress(cmu[w]), t) for w, t in sw)
        mp = sum(first_ok(m, t) for m, (_, t) in zip(mine, sw))
        one = [(w, t) for w, t in sw if t.count("1") == 1]
        b1 = sum(baseline_stress(cmu[w]) == t for w, t in one)
        m1 = sum(predict(stress_root, stress_features(w, cmu[w])) == t for w, t in one)
        print(f"{part}: stress of {len(sw)} words of two or more syllables: "
              f"whole pattern old rule {100 * base / len(sw):.1f}%, ours {100 * ok / len(sw):.1f}%; "
              f"primary on a stressed vowel old {100 * bp / len(sw):.1f}%, ours {100 * mp / len(sw):.1f}%; "
              f"{len(one)} words with one stress, on it: old {100 * b1 / len(one):.1f}%, "
              f"ours {100 * m1 / len(one):.1f}%")


if __name__ == "__main__":
    main()
