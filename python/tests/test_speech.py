"""tractwave.say and the lexicon behind it, through the speech library."""

import numpy as np
import pytest

import tractwave

HELLO = "HH AH0 L OW1 | W ER1 L D ."


@pytest.fixture
def dictionary(tmp_path):
    path = tmp_path / "words.dict"
    path.write_text(";;; test words\nhello HH AH L OW\nworld W ER L D\nsix S IH1 K S\n")
    return str(path)


def test_phonemes_become_bounded_samples():
    y = tractwave.say(phonemes=HELLO)
    assert y.dtype == np.float32 and y.ndim == 1
    assert 0.5 * 48000 < len(y) < 2 * 48000
    assert np.all(np.isfinite(y)) and np.abs(y).max() <= 0.95
    # Deterministic, and IPA says the same as ARPAbet (ə is AX).
    assert np.array_equal(y, tractwave.say(phonemes=HELLO))
    assert np.array_equal(tractwave.say(phonemes="HH AX0 L OW1 | W ER1 L D ."),
                          tractwave.say(ipa="həlˈoʊ wˈɝld."))


def test_words_go_through_the_dictionary(dictionary):
    assert tractwave.transcribe("Hello, world!", dictionary=dictionary) == \
        "HH AH0 L OW1 , W ER1 L D !"
    y = tractwave.say("hello world.", dictionary=dictionary)
    assert np.array_equal(y, tractwave.say(phonemes="HH AH0 L OW1 | W ER1 L D ."))


def test_voices_rates_and_speeds():
    lengths = {}
    for voice in tractwave._speech.VOICES:
        y = tractwave.say(phonemes="S IH1 K S .", voice=voice, sample_rate=16000)
        assert np.abs(y).max() > 0.05
        lengths[voice] = len(y)
    fast = tractwave.say(phonemes="S IH1 K S .", speed=2.0, sample_rate=16000)
    assert len(fast) < 0.7 * lengths["male"]


def test_trace_follows_the_phonemes():
    y, trace = tractwave.say(phonemes="M AA1 .", trace=True)
    names = [p for i, p in enumerate(trace["phoneme"]) if p and (i == 0 or p != trace["phoneme"][i - 1])]
    assert names == ["M", "AA", "_"]
    in_m = trace["phoneme"] == "M"
    assert trace["velum"][in_m].max() > 0.5
    assert trace["oral"].shape == (len(trace["t"]), 25)
    assert np.all(np.diff(trace["t"]) > 0)


def test_what_cannot_be_spoken_is_named(dictionary, tmp_path):
    # Words of Latin letters are read by the library's letter rule; others
    # are named.
    assert tractwave.transcribe("hello xyzzy", dictionary=dictionary, espeak=False).count("|") == 1
    with pytest.raises(tractwave.SpeechError, match='"λόγος" is not in the dictionary'):
        tractwave.say("hello λόγος", dictionary=dictionary, espeak=False)
    with pytest.raises(tractwave.SpeechError, match='"QQ"'):
        tractwave.say(phonemes="HH QQ L OW1")
    with pytest.raises(tractwave.SpeechError, match="missing.dict: cannot read"):
        tractwave.say("hello", dictionary=str(tmp_path / "missing.dict"))
    bad = tmp_path / "bad.dict"
    bad.write_text("hello HH AH L OW\nworld\n")
    with pytest.raises(tractwave.SpeechError, match="bad.dict:2: malformed"):
        tractwave.say("hello", dictionary=str(bad))


def test_arguments_are_checked():
    with pytest.raises(TypeError):
        tractwave.say()
    with pytest.raises(TypeError):
        tractwave.say("six", phonemes="S IH1 K S")
    with pytest.raises(ValueError):
        tractwave.say(phonemes="AA1", voice="robot")
    for bad in (0.1, 5.0, float("nan")):
        with pytest.raises(ValueError):
            tractwave.say(phonemes="AA1", speed=bad)
    with pytest.raises(ValueError):
        tractwave.say(phonemes="AA1", sample_rate=7000)
    with pytest.raises(TypeError):
        tractwave.say(phonemes=b"AA1")
    # Nothing to say is an empty array, not an error.
    assert len(tractwave.say(phonemes=" , . ")) == 0
