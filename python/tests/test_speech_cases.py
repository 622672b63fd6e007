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
