import ctypes
import os
import subprocess
import sys

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
    with pytest.raises(tw.ScoreError, match="lasts no samples"):
        tw.render_score([{"t": 0.0}, {"t": 0.49 / RATE}], RATE)


def test_the_default_rate_and_block():
    score = [{"t": 0.0, **VOICED}, {"t": 0.01, "pitch": 0.8}]
    out = tw.render_score(score)
    assert out.shape == (480,)
    np.testing.assert_array_equal(out, tw.render_score(score, 48000.0, 64))
    assert not np.array_equal(out, tw.render_score(score, 48000, 32))


@pytest.mark.parametrize("score, error, message", [
    ([], tw.ScoreError, "the score has no keyframes"),
    ("t,pitch", TypeError, "list of mappings"),
    ({"t": 0.0}, TypeError, "list of mappings"),
    ([{"t": 0.0}, 0.5], tw.ScoreError, r"keyframes\[1\]: must be an object such as"),
    ([{"pitch": 0.5}], tw.ScoreError, r'keyframes\[0\]: has no "t"'),
    ([{"t": 0.0, "pich": 0.5}], tw.ScoreError, r'keyframes\[0\]: unknown key "pich"'),
    ([{"t": 0.2}, {"t": 0.1}], tw.ScoreError, r"keyframes\[1\].t: 0.1 is earlier"),
    ([{"t": -0.1}], tw.ScoreError, r"keyframes\[0\].t: -0.1 is negative"),
    ([{"t": 0.1, "lips": float("nan")}], tw.ScoreError, "lips: nan is out of range"),
    ([{"t": float("inf")}], tw.ScoreError, "t: inf is out of range"),
    ([{"t": 0.1, "pitch": 1e39}], tw.ScoreError, r"pitch: 1e\+39 is out of range"),
    ([{"t": 0.1, "velum": 1e20}], tw.ScoreError, r"velum: 1e\+20 is out of range"),
    ([{"t": 0.1, "breathiness": -1000000.5}], tw.ScoreError, "breathiness: .* is out of range"),
    ([{"t": 0.1, "pitch": 10**400}], tw.ScoreError, "pitch: 1000000000.* is out of range"),
    ([{"t": 0.1, "pitch": "0.5"}], tw.ScoreError, 'pitch: must be a number, not "0.5"'),
    ([{"t": 0.1, "pitch": True}], tw.ScoreError, "pitch: must be a number, not true"),
    ([{"t": 0.1, "\x1b[2J": 1}], tw.ScoreError, r'unknown key "\\u001b\[2J"'),
    ([{"t": 0.0}, {"t": 1e6}], tw.ScoreError,
     "the score is too long: 48000000000 samples at 48000 Hz"),
])
def test_bad_scores_are_refused(score, error, message):
    with pytest.raises(error, match=message):
        tw.render_score(score)


@pytest.mark.parametrize("options, message", [
    (dict(block=0), "block: must be a whole number from 1 to 2147483647, not 0"),
    (dict(block=6.4), "block: must be a whole number from 1 to 2147483647, not 6.4"),
    (dict(block=2**31), "block: must be a whole number"),
    (dict(block="64"), 'block: must be a whole number from 1 to 2147483647, not "64"'),
    (dict(sample_rate=0), "sample_rate: must be a whole number from 8001 to 768000, not 0"),
    (dict(sample_rate=8000), "sample_rate: must be a whole number"),
    (dict(sample_rate=768001), "sample_rate: must be a whole number"),
    (dict(sample_rate=float("nan")), "sample_rate: must be a whole number"),
    (dict(sample_rate=44100.5), "sample_rate: must be a whole number"),
])
def test_bad_options_are_refused(options, message):
    with pytest.raises(tw.ScoreError, match=message):
        tw.render_score([{"t": 0.1}], **options)


def test_whole_numbers_may_come_in_any_numeric_type():
    score = [{"t": 0.0, **VOICED}, {"t": 0.01, "pitch": 0.8}]
    reference = tw.render_score(score, 48000, 64)
    for rate, block in ((48000.0, 64.0), (4.8e4, 6.4e1), (np.int64(48000), np.int32(64)),
                        (np.float32(48000), 64)):
        np.testing.assert_array_equal(tw.render_score(score, rate, block), reference)


def test_memory_beside_the_output_stays_small(tmp_path):
    # Ten seconds in blocks of one sample: 480000 blocks, whose parameter
    # vectors alone would take 19 MB, and their float64 intermediates far
    # more, if they were all worked out at once.
    code = """if True:
        import resource, tractwave as tw
        score = [{"t": 0.0, "voicing": 0.8}, {"t": 10.0, "pitch": 0.7}]
        tw.render_score(score[:1] + [{"t": 0.01}], block=1)  # everything loaded
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = tw.render_score(score, block=1)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print((after - before) * 1024 - out.nbytes)
    """
    env = dict(os.environ,
               PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(tw.__file__))),
               TRACTWAVE_LIBRARY=os.path.realpath(tw.library_path()))
    result = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 8 << 20


def test_samples_that_are_not_finite_are_an_error(monkeypatch):
    # Within the rule the library gives none; should it ever, they are not
    # handed out as sound.
    def broken_library():
        def chunk(n, params, R, L, nasal_R, nasal_L, phase, out, rate):
            nan = np.full(n, np.nan, dtype=np.float32)
            ctypes.memmove(out, nan.ctypes.data, nan.nbytes)
        return chunk

    monkeypatch.setattr(tw._score, "_chunk_function", broken_library)
    message = r"480 of 480 samples are not finite numbers \(the first at sample 0\)"
    with pytest.raises(FloatingPointError, match=message):
        tw.render_score([{"t": 0.01}])
