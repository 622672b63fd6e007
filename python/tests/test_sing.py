"""tractwave.sing: notes with lyrics through the speech library, and score
files through tractwave-sing (named by TRACTWAVE_SING; those tests are
skipped without it)."""

import os
import pathlib

import numpy as np
import pytest

import tractwave

SING = os.environ.get("TRACTWAVE_SING")
SCORE = pathlib.Path(__file__).resolve().parents[2] / "tests" / "sing" / "daisy.musicxml"


@pytest.fixture
def dictionary(tmp_path):
    path = tmp_path / "words.dict"
    path.write_text("daisy D EY1 Z IY0\ngive G IH1 V\nme M IY1\n")
    return str(path)


def pitch_at(y, at, rate=48000):
    """f0 by normalised autocorrelation over 40 ms at `at` seconds."""
    n = int(0.04 * rate)
    x = y[int(at * rate) - n // 2:][:n + rate // 60 + 2].astype(np.float64)
    lags = np.arange(rate // 600, rate // 60)
    c = np.array([np.dot(x[:n], x[k:k + n]) / np.sqrt(np.dot(x[:n], x[:n]) *
                                                      np.dot(x[k:k + n], x[k:k + n]))
                  for k in lags])
    best = next(i for i in range(1, len(c) - 1)
                if c[i] >= 0.9 * c.max() and c[i] >= c[i - 1] and c[i] >= c[i + 1])
    a, b, d = c[best - 1], c[best], c[best + 1]
    return rate / (lags[best] + 0.5 * (a - d) / (a - 2 * b + d))


def test_notes_sing_at_their_pitches():
    notes = [(0.0, 0.6, 130.81, "[[L AA1]]"), (0.6, 0.6, tractwave.note_hz(52), "_"),
             (1.2, 0.8, 196.0, "[[M IY1]]")]
    y = tractwave.sing(notes, vibrato=None)
    assert y.dtype == np.float32 and y.ndim == 1
    assert np.all(np.isfinite(y)) and np.abs(y).max() <= 0.95
    assert 2.0 * 48000 < len(y) < 2.4 * 48000
    lead = len(y) / 48000 - 2.0 - 0.12  # the first onset's room before 0
    for at, hz in ((0.3, 130.81), (0.9, 164.81), (1.6, 196.0)):
        assert abs(pitch_at(y, lead + at) - hz) < 0.01 * hz


def test_english_syllables_join_into_words(dictionary):
    words = tractwave.sing([(0, 0.5, 147, "Dai-"), (0.5, 0.5, 123, "sy,"), (1.0, 0.5, 98, "give")],
                           dictionary=dictionary, vibrato=None)
    arpabet = tractwave.sing([(0, 0.5, 147, "[[D EY1]]"), (0.5, 0.5, 123, "[[Z IY0]]"),
                              (1.0, 0.5, 98, "[[G IH1 V]]")], vibrato=None)
    assert np.array_equal(words, arpabet)
    assert tractwave.syllables("AH0 S T R EY1 L Y AH0") == ["AH0", "S T R EY1 L", "Y AH0"]


def test_notes_that_cannot_be_sung_are_refused():
    with pytest.raises(tractwave.SpeechError, match="note 1"):
        tractwave.sing([(0, 0.5, 147, "[[AA1]]"), (0.4, 0.5, 147, "[[AA1]]")])
    with pytest.raises(tractwave.SpeechError, match="note 0"):
        tractwave.sing([(0, 0.5, 147, "[[X Y Z]]")])
    with pytest.raises(ValueError, match="pitch"):
        tractwave.sing([(0, 0.5, 5, "[[AA1]]")])
    with pytest.raises(TypeError):
        tractwave.sing([(0, 0.5, 147)])


@pytest.mark.skipif(not SING, reason="set TRACTWAVE_SING to the tractwave-sing program")
def test_a_score_file_sings_through_tractwave_sing(tmp_path):
    y = tractwave.sing(SCORE, vibrato=None)
    assert 6.6 * 48000 < len(y) < 7.1 * 48000
    assert abs(pitch_at(y, 1.2) - 146.83) < 1.5
    bad = tmp_path / "bare.musicxml"
    bad.write_text("not a score")
    with pytest.raises(tractwave.SpeechError, match="not a MusicXML score"):
        tractwave.sing(bad)
