#!/usr/bin/env python3
"""What the recogniser hears, phone by phone: pocketsphinx_continuous in
allphone mode (the en-us phone language model) over words spoken by
tractwave and by espeak-ng, for finding which sounds go wrong.

    bench/speech/phones.py [--build build] WORD...
"""

import argparse
import os
import subprocess
import sys
import tempfile

import common


def allphone(wav):
    out = subprocess.run(
        ["pocketsphinx_continuous", "-infile", wav, "-allphone",
         os.path.join(os.path.dirname(common.MODEL), "en-us-phone.lm.bin"),
         "-hmm", common.MODEL, "-backtrace", "yes", "-beam", "1e-20", "-pbeam", "1e-20",
         "-lw", "2.0", "-logfn", os.devnull],
        capture_output=True, text=True, check=False)
    lines = [l.strip() for l in out.stdout.splitlines() if l.strip()]
    return lines[-1] if lines else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(common.REPO, "build"))
    parser.add_argument("--contour", default=".")
    parser.add_argument("--tempo", type=float, default=1.0)
    parser.add_argument("words", nargs="+")
    args = parser.parse_args()
    common.use_build(args.build)
    import tractwave
    with tempfile.TemporaryDirectory() as folder:
        for word in args.words:
            phonemes = tractwave.transcribe(word)
            for system in ("tractwave", "espeak-ng"):
                if system == "tractwave":
                    y, rate = common.tractwave_render(phonemes, args.contour, args.tempo)
                else:
                    y, rate = common.espeak_render(word, args.contour, args.tempo)
                path = os.path.join(folder, "x.wav")
                common.write_wav(path, common.prepare(y, rate, 1))
                print(f"{word:8} {system:10} [{phonemes}] -> {allphone(path)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
