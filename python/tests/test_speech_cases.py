"""tractwave.say at the limits of input: the shared cases of
tests/speech/cases.json (which tractwave-say's tests run too), and what only
Python meets (long text without a queue to spare, endless dictionaries, a
misbehaving espeak-ng)."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

import tractwave
from tractwave import _speech

CASES = json.loads((pathlib.Path(__file__).parents[2] / "tests" / "speech" / "cases.json")
                   .read_text(encoding="utf-8"))


@pytest.mark.parametrize("case", CASES["cases"], ids=lambda c: c["name"])
def test_shared_cases(case, tmp_path):
    words = tmp_path / "case.dict"
    words.write_text(case.get("dictionary", CASES["dictionary"]), encoding="utf-8")
    kind = next(k for k in ("text", "phonemes", "ipa") if k in case)
    given = case[kind] * case.get("repeat", 1) + case.get("tail", "")

    def spoken():
        if kind == "text":
            return tractwave.transcribe(given, dictionary=str(words), espeak=False)
        if kind == "ipa":
            return _speech.ipa_to_arpabet(given)
        tractwave.say(phonemes=given, sample_rate=8000, speed=4.0)
        return case.get("arpabet")

    if "error" in case:
        with pytest.raises(tractwave.SpeechError) as error:
            spoken()
        assert case["error"] in str(error.value)
        assert len(str(error.value)) < 400
    else:
        assert spoken() == case["arpabet"]


def test_long_text_phonemes_and_ipa_are_spoken_in_pieces(tmp_path):
    # Once "a phrase is too long for the speaker's queue" (text), or refused
    # over 4,096 phones (phonemes, IPA).
    words = tmp_path / "a.dict"
    words.write_text("a AH0\n")
    y = tractwave.say("a " * 5000, dictionary=str(words), sample_rate=8000, speed=4.0)
    assert len(y) > 8000 * 30
    for given in ({"phonemes": "AX0 T " * 3000}, {"ipa": "\u0259t " * 3000}):
        assert len(tractwave.say(**given, sample_rate=8000, speed=4.0)) > 8000 * 10


def test_an_endless_dictionary_is_refused(monkeypatch):
    monkeypatch.setattr(_speech, "MAX_DICTIONARY_BYTES", 1 << 20)
    with pytest.raises(tractwave.SpeechError, match="larger than 1 MiB"):
        tractwave.say("hello", dictionary="/dev/zero")


def _fake_espeak(tmp_path, monkeypatch, script):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    program = bin_dir / "espeak-ng"
    program.write_text("#!/bin/sh\n" + script + "\n")
    program.chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))


@pytest.mark.skipif(sys.platform == "win32", reason="a shell script stands in for espeak-ng")
def test_a_misbehaving_espeak_is_stopped(tmp_path, monkeypatch):
    words = tmp_path / "w.dict"
    words.write_text("hello HH AH L OW\n")
    _fake_espeak(tmp_path, monkeypatch, "exec sleep 600")
    monkeypatch.setattr(_speech, "_ESPEAK_SECONDS", 1)
    start = time.monotonic()
    with pytest.raises(tractwave.SpeechError, match="did not answer within 1 s"):
        tractwave.transcribe("xyzzy", dictionary=str(words))
    assert time.monotonic() - start < 10


@pytest.mark.skipif(sys.platform == "win32", reason="a shell script stands in for espeak-ng")
def test_espeak_floods_and_long_pronunciations(tmp_path, monkeypatch):
    words = tmp_path / "w2.dict"
    words.write_text("hello HH AH L OW\n")
    _fake_espeak(tmp_path, monkeypatch, "exec yes w\u02c8\u028cn")
    with pytest.raises(tractwave.SpeechError, match="printed more than 1 MiB"):
        tractwave.transcribe("xyzzy", dictionary=str(words))
    (tmp_path / "bin" / "espeak-ng").write_text(
        "#!/bin/sh\ni=0; while [ $i -lt 120 ]; do printf 'w\u02c8\u028cn '; i=$((i+1)); done; echo\n")
    arpabet = tractwave.transcribe("hello xyzzy", dictionary=str(words))
    assert arpabet.startswith("HH AH0 L OW1 | W AH1 N")
    assert arpabet.count("W AH1 N") == 120


# Run in a fresh interpreter, so that the peak is say()'s and not the test
# run's: the peak RSS of the new process (VmHWM, which belongs to the process
# image; ru_maxrss would keep the forking test process's peak across exec),
# and the CPU time of say() alone.
_BUDGET_RUN = """
import sys, time
import tractwave
words = int(sys.argv[1])
text = "".join("a. " if i % 100 == 99 else "a " for i in range(words))
start = time.process_time()
y = tractwave.say(text, dictionary=sys.argv[2], sample_rate=8000, speed=4.0, espeak=False)
cpu = time.process_time() - start
assert len(y) > words * 100
with open("/proc/self/status") as status:
    peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
print(cpu, peak)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="peak RSS is read from /proc")
def test_ten_thousand_words_stay_within_memory_and_time_budgets(tmp_path):
    # 64 MB of peak RSS for 10,000 words, and twice the text in at most 2.3
    # times the CPU time: each size's best, with more rounds (up to five)
    # when the first two are over the bound, so that a busy machine does not
    # decide.
    words = tmp_path / "a.dict"
    words.write_text("a AH0\n")
    best, peak = {5000: float("inf"), 10000: float("inf")}, 0
    for round in range(5):
        if round >= 2 and best[10000] < 2.3 * best[5000]:
            break
        for n in best:
            run = subprocess.run([sys.executable, "-c", _BUDGET_RUN, str(n), str(words)],
                                 capture_output=True, text=True, check=True)
            cpu, rss_kb = run.stdout.split()
            best[n] = min(best[n], float(cpu))
            peak = max(peak, int(rss_kb))
    assert peak < 64 * 1024, f"peak RSS {peak} kB"
    assert best[10000] < 2.3 * best[5000], best
