import numpy as np
import pytest

import tractwave as tw

# A power-of-two rate and block keep every block start time, and so every
# interpolation weight below, exact in binary.
RATE = 16384
BLOCK = 64
T = BLOCK / RATE  # one block
VOICED = {"voicing": 0.8, "breathiness": 0.3, "velum": 0.2}


def render_blocks(vectors, sizes, rate=RATE):
    """What the score must give: one Voice, one render per block, fresh thread."""
    voice = tw.Voice()
    return np.concatenate([voice.render(tw.parameters(v), n, sample_rate=rate)
                           for v, n in zip(vectors, sizes)])


def test_blocks_take_the_interpolated_parameters_at_their_first_sample(fresh_thread):
    score = [{"t": 0.0, "pitch": 0.0, "lips": 0.25, **VOICED},
             {"t": 4 * T, "pitch": 1.0},
             {"t": 6 * T, "lips": 0.75}]
    expected_vectors = [
        dict(VOICED, pitch=0.0, lips=0.25),
        dict(VOICED, pitch=0.25, lips=0.25),
        dict(VOICED, pitch=0.5, lips=0.25),
        dict(VOICED, pitch=0.75, lips=0.25),
        dict(VOICED, pitch=1.0, lips=0.25),   # the pitch keyframe's own time
        dict(VOICED, pitch=1.0, lips=0.5),
    ]
    expected = fresh_thread(render_blocks, expected_vectors, [BLOCK] * 6)
    np.testing.assert_array_equal(tw.render_score(score, RATE, BLOCK), expected)


def test_missing_values_carry_forward_and_start_from_the_defaults(fresh_thread):
    score = [{"t": 2 * T, "pitch": 0.3},            # before it, it holds already
             {"t": 3 * T, "voicing": 0.9},
             {"t": 3.5 * T, "tongue_tip": 0.1}]
    start = dict(pitch=0.3, voicing=0.0, breathiness=0.0)
    # 3.5 blocks: the last block is half as long.
    expected = fresh_thread(render_blocks, [
        start, start, start,
        dict(start, voicing=0.9),
    ], [BLOCK] * 3 + [BLOCK // 2])
    np.testing.assert_array_equal(tw.render_score(score, RATE, BLOCK), expected)


def test_of_two_keyframes_at_one_time_the_later_holds(fresh_thread):
    score = [{"t": 0.0, "lips": 0.1, **VOICED},
             {"t": 2 * T, "lips": 0.1},
             {"t": 2 * T, "lips": 0.9},
             {"t": 3 * T}]
    expected = fresh_thread(render_blocks, [
        dict(VOICED, lips=0.1), dict(VOICED, lips=0.1), dict(VOICED, lips=0.9),
    ], [BLOCK] * 3)
    np.testing.assert_array_equal(tw.render_score(score, RATE, BLOCK), expected)


def test_the_score_renders_on_a_fresh_thread(fresh_thread):
    score = [{"t": 0.0, **VOICED}, {"t": 0.05, "pitch": 0.9}]
    reference = fresh_thread(tw.render_score, score, RATE, BLOCK)

    def after_other_voices():
        # Leaves this thread's noise and filter state far from its start.
        tw.Voice().render(dict(VOICED, breathiness=1.0), 5000, sample_rate=RATE)
        return tw.render_score(score, RATE, BLOCK)

    np.testing.assert_array_equal(fresh_thread(after_other_voices), reference)
    np.testing.assert_array_equal(tw.render_score(score, RATE, BLOCK), reference)


@pytest.mark.parametrize("samples, expected", [
    (0.5, 1), (1.5, 2), (2.5, 3), (2.49, 2), (100.0, 100),
])
def test_the_length_is_the_last_time_rounded_halves_up(samples, expected):
    out = tw.render_score([{"t": samples / RATE}], RATE)
    assert out.dtype == np.float32 and out.shape == (expected,)


def test_a_score_of_no_samples_is_refused():
    with pytest.raises(ValueError, match="lasts no samples"):
        tw.render_score([{"t": 0.0}, {"t": 0.49 / RATE}], RATE)


def test_the_default_rate_and_block():
    score = [{"t": 0.0, **VOICED}, {"t": 0.01, "pitch": 0.8}]
    out = tw.render_score(score)
    assert out.shape == (480,)
    np.testing.assert_array_equal(out, tw.render_score(score, 48000.0, 64))
    assert not np.array_equal(out, tw.render_score(score, 48000, 32))


@pytest.mark.parametrize("score, error, message", [
    ([], ValueError, "no keyframes"),
    ("t,pitch", TypeError, "list of mappings"),
    ({"t": 0.0}, TypeError, "list of mappings"),
    ([{"t": 0.0}, 0.5], TypeError, "keyframe 1 must be a mapping"),
    ([{"pitch": 0.5}], ValueError, "keyframe 0 has no time"),
    ([{"t": 0.0, "pich": 0.5}], ValueError, "unknown parameter name.*'pich'"),
    ([{"t": 0.2}, {"t": 0.1}], ValueError, "keyframe 1: time 0.1 is earlier"),
    ([{"t": -0.1}], ValueError, "negative"),
    ([{"t": 0.1, "lips": float("nan")}], ValueError, "lips must be finite"),
    ([{"t": float("inf")}], ValueError, "t must be finite"),
    ([{"t": 0.1, "pitch": 1e39}], ValueError, "pitch must be finite"),
    ([{"t": 0.1, "pitch": "0.5"}], TypeError, "pitch must be a real number"),
])
def test_bad_scores_are_refused(score, error, message):
    with pytest.raises(error, match=message):
        tw.render_score(score)


@pytest.mark.parametrize("options, error", [
    (dict(block=0), ValueError), (dict(block=6.4), TypeError),
    (dict(sample_rate=0), ValueError), (dict(sample_rate=float("nan")), ValueError),
    (dict(sample_rate=44100.5), ValueError),
])
def test_bad_options_are_refused(options, error):
    with pytest.raises(error):
        tw.render_score([{"t": 0.1}], **options)
