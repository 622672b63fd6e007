import numpy as np
import pytest

import tractwave as tw

NEUTRAL = [0.5] * 10
# Every parameter away from neutral, velum open and some breath, so that a
# swapped or dropped argument changes the samples.
SPEECH = [0.35, 0.8, 0.45, 0.6, 0.55, 0.52, 0.85, 0.4, 0.7, 0.3]


def test_known_answer_of_one_neutral_block(fresh_thread, score_cases):
    known = score_cases["known_answer"]

    def render():
        voice = tw.Voice()
        out = voice.render([known["every_parameter"]] * 10, known["n"],
                           sample_rate=known["sample_rate"])
        return out, float(voice.phase)

    out, phase = fresh_thread(render)
    assert out.dtype == np.float32 and out.shape == (known["n"],)
    # Nothing reaches the lips before the wave has crossed the tube.
    silent = known["silent"]
    assert np.all(out[:silent] == 0.0)
    expected = known["samples"]
    np.testing.assert_allclose(out[silent:silent + len(expected)], expected,
                               rtol=known["sample_tolerance"])
    assert phase == pytest.approx(known["phase"], rel=known["phase_tolerance"])


def test_splitting_a_render_changes_nothing(fresh_thread):
    def whole():
        return tw.Voice().render(SPEECH, 300)

    def pieces():
        voice = tw.Voice()
        return np.concatenate([voice.render(SPEECH, n) for n in (1, 63, 100, 136)])

    np.testing.assert_array_equal(fresh_thread(whole), fresh_thread(pieces))


def test_state_is_kept_in_the_voice_arrays(fresh_thread):
    def render():
        voice = tw.Voice()
        voice.render(SPEECH, 200)
        return voice

    voice = fresh_thread(render)
    for name, size in (("R", 25), ("L", 25), ("nasal_R", 16), ("nasal_L", 16)):
        array = getattr(voice, name)
        assert array.dtype == np.float32 and array.shape == (size,)
        assert np.any(array != 0), name
    assert voice.phase.dtype == np.float32 and 0 < float(voice.phase) < 1


def test_reset_gives_a_new_voice(fresh_thread):
    voice = tw.Voice()
    first = fresh_thread(voice.render, SPEECH, 128)
    voice.reset()
    assert not any(np.any(getattr(voice, a)) for a in ("R", "L", "nasal_R", "nasal_L", "phase"))
    np.testing.assert_array_equal(fresh_thread(voice.render, SPEECH, 128), first)


def test_a_copied_voice_continues_independently(fresh_thread):
    import copy

    def continued(make_twin):
        voice = tw.Voice()
        voice.render(SPEECH, 100)
        twin = make_twin(voice)
        assert twin.R is not voice.R
        voice.reset()
        return twin.render(SPEECH, 50)

    def uninterrupted():
        voice = tw.Voice()
        return voice.render(SPEECH, 150)[100:]

    expected = fresh_thread(uninterrupted)
    for make_twin in (tw.Voice.copy, copy.copy, copy.deepcopy):
        np.testing.assert_array_equal(fresh_thread(continued, make_twin), expected)


def test_sample_rate_reaches_the_library(fresh_thread):
    at_48k = fresh_thread(tw.Voice().render, SPEECH, 256)
    at_default = fresh_thread(tw.Voice().render, SPEECH, 256, sample_rate=48000.0)
    at_16k = fresh_thread(tw.Voice().render, SPEECH, 256, sample_rate=16000)
    np.testing.assert_array_equal(at_48k, at_default)
    assert not np.array_equal(at_48k, at_16k)


@pytest.mark.parametrize("rate", [48000, 22050])
def test_step_with_the_chunk_geometry_and_controls_equals_render(fresh_thread, rate):
    params = np.array(SPEECH, dtype=np.float32)

    def by_step():
        voice = tw.Voice()
        oral, nasal, velum = tw.diameters(params)
        pitch, voicing, breath, mix = params[0], params[1], params[9], params[6]
        blocks = []
        for n in (64, 100):
            blocks.append(tw.step(
                n=n, f0=pitch * np.float32(380) + np.float32(70), amp=voicing,
                mix=(np.float32(1) - np.float32(0.7) * breath) * mix,
                breathiness=breath, oral_diameters=oral, nasal_diameters=nasal,
                velum=velum, R=voice.R, L=voice.L, nasal_R=voice.nasal_R,
                nasal_L=voice.nasal_L, phase=voice.phase, sample_rate=rate))
        return np.concatenate(blocks)

    def by_render():
        voice = tw.Voice()
        return np.concatenate([voice.render(params, n, sample_rate=rate) for n in (64, 100)])

    np.testing.assert_array_equal(fresh_thread(by_step), fresh_thread(by_render))


def test_step_writes_into_a_given_output_and_phase_of_shape_one(fresh_thread):
    oral, nasal, velum = tw.diameters(SPEECH)
    state = dict(R=np.zeros(25, np.float32), L=np.zeros(25, np.float32),
                 nasal_R=np.zeros(16, np.float32), nasal_L=np.zeros(16, np.float32),
                 phase=np.zeros(1, np.float32))
    out = np.full(50, np.nan, dtype=np.float32)
    result = fresh_thread(lambda: tw.step(
        n=50, f0=200, amp=1, mix=1, breathiness=0, oral_diameters=oral,
        nasal_diameters=nasal, velum=velum, out=out, **state))
    assert result is out
    assert np.all(np.isfinite(out)) and np.any(out != 0)
    assert state["phase"][0] == pytest.approx(50 * 200 / 48000 % 1, abs=1e-5)


def test_diameters():
    oral, nasal, velum = tw.diameters(SPEECH)
    assert oral.dtype == nasal.dtype == np.float32
    assert oral.shape == (25,) and nasal.shape == (16,)
    assert isinstance(velum, float)
    assert velum == pytest.approx(0.55 * SPEECH[7], rel=1e-6)
    # The nasal tube is fixed; the oral one follows the parameters within
    # its clamp, even for values far outside 0 to 1.
    for extreme in (-5.0, 5.0):
        o, n, _ = tw.diameters([extreme] * 10)
        np.testing.assert_array_equal(n, nasal)
        assert np.all((o >= 0.05) & (o <= 4.5))
    wide, _, _ = tw.diameters(tw.parameters(SPEECH, lips=1.0))
    closed, _, _ = tw.diameters(tw.parameters(SPEECH, lips=0.0))
    assert wide[24] > closed[24]


def test_parameters_from_names():
    vector = tw.parameters({"pitch": 0.3}, lips=0.9)
    assert vector.dtype == np.float32
    expected = [0.3, 0.0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.9, 0.0]
    np.testing.assert_array_equal(vector, np.array(expected, dtype=np.float32))
    np.testing.assert_array_equal(tw.diameters({"pitch": 0.3, "lips": 0.9})[0],
                                  tw.diameters(expected)[0])
    with pytest.raises(KeyError, match="tounge_tip"):
        tw.parameters(tounge_tip=0.2)
    with pytest.raises(KeyError, match="lip"):
        tw.parameters(SPEECH, lip=0.2)


def test_other_dtypes_and_strided_arrays_are_converted(fresh_thread):
    reference = fresh_thread(tw.Voice().render, np.array(SPEECH, np.float32), 128)
    strided = np.zeros(20)
    strided[::2] = SPEECH
    for params in (SPEECH, np.array(SPEECH, np.float64), strided[::2]):
        np.testing.assert_array_equal(fresh_thread(tw.Voice().render, params, 128), reference)
    ints = fresh_thread(tw.Voice().render, np.zeros(10, dtype=np.int32), 16)
    np.testing.assert_array_equal(ints, np.zeros(16, np.float32))


@pytest.mark.parametrize("params, error", [
    ([0.5] * 9, ValueError),
    ([0.5] * 11, ValueError),
    (np.full((2, 5), 0.5), ValueError),
    (np.full(10, 0.5, dtype=complex), TypeError),
    (["0.5"] * 10, TypeError),
    ([None] * 10, TypeError),
    (0.5, ValueError),
    ({"pitch": 0.5, "volume": 1}, KeyError),
    ({"pitch": "high"}, TypeError),
])
def test_bad_parameter_vectors_are_refused(params, error):
    voice = tw.Voice()
    with pytest.raises(error):
        voice.render(params, 64)
    with pytest.raises(error):
        tw.diameters(params)
    assert not np.any(voice.R) and float(voice.phase) == 0


@pytest.mark.parametrize("n, error", [
    (0, ValueError), (-64, ValueError), (2**31, ValueError),
    (64.0, TypeError), (True, TypeError), ("64", TypeError), (None, TypeError),
])
def test_bad_counts_are_refused(n, error):
    with pytest.raises(error):
        tw.Voice().render(NEUTRAL, n)


def test_numpy_integer_counts_are_accepted():
    assert tw.Voice().render(NEUTRAL, np.int64(8)).shape == (8,)


@pytest.mark.parametrize("rate, error", [
    (0, ValueError), (8000, ValueError), (-48000, ValueError),
    (float("nan"), ValueError), (float("inf"), ValueError), (1e39, ValueError),
    ("48000", TypeError), (None, TypeError),
])
def test_sample_rates_the_library_would_replace_are_refused(rate, error):
    # The library quietly renders 8000 Hz or less, and NaN, as 48000 Hz.
    with pytest.raises(error):
        tw.Voice().render(NEUTRAL, 64, sample_rate=rate)


def _step_arguments():
    oral, nasal, velum = tw.diameters(SPEECH)
    return dict(n=32, f0=150.0, amp=0.8, mix=0.9, breathiness=0.1,
                oral_diameters=oral, nasal_diameters=nasal, velum=velum,
                R=np.zeros(25, np.float32), L=np.zeros(25, np.float32),
                nasal_R=np.zeros(16, np.float32), nasal_L=np.zeros(16, np.float32),
                phase=np.zeros((), np.float32))


def _read_only(size):
    array = np.zeros(size, np.float32)
    array.flags.writeable = False
    return array


def test_step_accepts_the_reference_arguments():
    assert tw.step(**_step_arguments()).shape == (32,)


@pytest.mark.parametrize("change, error, message", [
    (dict(R=np.zeros(25)), TypeError, "R must have dtype float32"),
    (dict(L=[0.0] * 25), TypeError, "L must be a numpy float32 array"),
    (dict(nasal_R=np.zeros(25, np.float32)), ValueError, r"nasal_R must have shape \(16,\)"),
    (dict(nasal_L=np.zeros(32, np.float32)[::2]), ValueError, "nasal_L must be C-contiguous"),
    (dict(phase=np.zeros(2, np.float32)), ValueError, "phase must have shape"),
    (dict(phase=_read_only(1)), ValueError, "phase must be writable"),
    (dict(out=np.zeros(31, np.float32)), ValueError, "out must have shape"),
    (dict(oral_diameters=np.ones(24)), ValueError, "oral_diameters must have shape"),
    (dict(nasal_diameters=np.ones(16, complex)), TypeError, "nasal_diameters must hold real"),
    (dict(f0="100"), TypeError, "f0 must be a real number"),
    (dict(n=0), ValueError, "n must be positive"),
    (dict(sample_rate=0), ValueError, "sample_rate"),
])
def test_step_refuses_bad_arguments(change, error, message):
    arguments = _step_arguments()
    arguments.update(change)
    with pytest.raises(error, match=message):
        tw.step(**arguments)


def test_step_refuses_overlapping_state():
    arguments = _step_arguments()
    shared = np.zeros(40, np.float32)
    arguments.update(R=shared[:25], L=shared[15:])
    with pytest.raises(ValueError, match="R and L overlap"):
        tw.step(**arguments)
    arguments = _step_arguments()
    arguments["out"] = np.zeros(32, np.float32)
    arguments["phase"] = arguments["out"][5:6]
    with pytest.raises(ValueError, match="phase and out overlap"):
        tw.step(**arguments)


def test_step_arguments_are_keyword_only():
    arguments = _step_arguments()
    with pytest.raises(TypeError):
        tw.step(*arguments.values())


def test_a_voice_refuses_to_render_on_two_threads_at_once(fresh_thread):
    voice = tw.Voice()
    # Hold the voice as a render on another thread would.
    with voice._busy:
        with pytest.raises(RuntimeError, match="another thread"):
            fresh_thread(voice.render, NEUTRAL, 64)
        with pytest.raises(RuntimeError, match="another thread"):
            fresh_thread(voice.reset)
    assert voice.render(NEUTRAL, 64).shape == (64,)
