"""The judges' own arithmetic: the word error count, the split of the
rhyme test and the treatment every system's audio gets."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import rhyme  # noqa: E402
import sentences  # noqa: E402


def test_word_errors_count_substitutions_deletions_and_insertions():
    e = sentences.errors
    assert e("a b c d".split(), "a x c d e".split()) == (1, 0, 1)
    assert e("the cat sat".split(), "cat sat on".split()) == (0, 1, 1)
    assert e("a b c".split(), []) == (0, 3, 0)
    assert e([], "x y".split()) == (0, 0, 2)
    assert e("a b".split(), "a b".split()) == (0, 0, 0)
    assert sentences.words_of("It's apple-shaped, the Box.") == ["it's", "apple", "shaped",
                                                                "the", "box"]


def test_rhyme_halves_split_every_feature_evenly():
    pairs = rhyme.pairs()
    assert len(pairs) == 96
    for feature in rhyme.FEATURES:
        for half in ("dev", "held-out"):
            assert sum(p[0] == feature and p[4] == half for p in pairs) == 8
    assert all(p[2] != p[3] for p in pairs)
    words = {w for p in pairs for w in p[2:4]}
    assert set(rhyme.MISSING) <= words


def test_harvard_lists_hold_ten_sentences_each():
    by_list = {}
    for number, text in sentences.sentences():
        by_list.setdefault(number, []).append(text)
    assert sorted(by_list) == list(range(1, 11))
    assert all(len(v) == 10 for v in by_list.values())


def test_treatment_pads_scales_and_dithers_reproducibly():
    y = 0.1 * np.sin(np.arange(1600) * 0.3)
    plain = common.treat(y)
    assert len(plain) == 1600 + 2 * 4800
    assert not plain[:4800].any() and not plain[-4800:].any()
    assert abs(np.abs(plain).max() - round(32767 * 10 ** (-3 / 20))) <= 1
    a, b = common.treat(y, seed=7), common.treat(y, seed=7)
    assert (a == b).all()
    diff = a.astype(int) - plain
    assert np.abs(diff).max() <= 2 and diff[:4800].any()
    assert not (common.treat(y, seed=8) == a).all()


def test_yin_finds_a_pulse_trains_pitch_and_refuses_noise():
    import singing
    rate = 48000
    for hz in (82.4, 220.0, 1046.5):
        t = np.arange(4000) / rate
        # A pulse-like wave (strong harmonics), as a glottal source is.
        y = np.sin(2 * np.pi * hz * t) + 0.5 * np.sin(4 * np.pi * hz * t + 1.0) \
            + 0.3 * np.sin(6 * np.pi * hz * t + 2.0)
        f, _ = singing.yin(y, rate, fmin=60.0)
        assert abs(singing.cents(f, hz)) < 0.5
    noise = np.random.default_rng(1).standard_normal(4000)
    assert singing.yin(noise, rate, fmin=60.0)[0] == 0


def test_song_words_join_syllables_and_holds_and_keep_first_appearances():
    import sung_words
    notes = [(0.0, 1.0, 62.0, "Dai", "D EY1"), (1.0, 1.0, 59.0, "sy,", "Z IY0"),
             (2.0, 0.5, 55.0, "give", "G IH1 V"), (2.5, 0.5, 57.0, "_", "_"),
             (3.0, 1.0, 50.0, "Dai", "D EY1"), (4.0, 1.0, 52.0, "sy", "Z IY0")]
    words = sung_words.song_words(notes, ["begin", "end", "single", "begin", "end"])
    assert list(words) == ["daisy", "give"]
    assert words["daisy"] == [(0.0, 1.0, 62.0, "D EY1"), (1.0, 1.0, 59.0, "Z IY0")]
    assert words["give"] == [(0.0, 0.5, 55.0, "G IH1 V"), (0.5, 0.5, 57.0, "_")]
