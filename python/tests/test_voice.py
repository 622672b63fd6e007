import numpy as np
import pytest

import tractwave as tw

NEUTRAL = [0.5] * 10
# Every parameter away from neutral, velum open and some breath, so that a
# swapped or dropped argument changes the samples.
SPEECH = [0.35, 0.8, 0.45, 0.6, 0.55, 0.52, 0.85, 0.4, 0.7, 0.3]


def _fresh_state():
    return dict(R=np.zeros(25, np.float32), L=np.zeros(25, np.float32),
                nasal_R=np.zeros(16, np.float32), nasal_L=np.zeros(16, np.float32),
                phase=np.zeros((), np.float32))


def test_known_answer_of_one_neutral_block(fresh_thread, score_cases):
    known = score_cases["known_answer"]
    params = [known["every_parameter"]] * 10
    out = tw.Voice().render(params, known["n"], sample_rate=known["sample_rate"])
    assert out.dtype == np.float32 and out.shape == (known["n"],)
    # Nothing reaches the lips before the wave has crossed the tube.
    silent = known["silent"]
    assert np.all(out[:silent] == 0.0)
    expected = known["samples"]
    np.testing.assert_allclose(out[silent:silent + len(expected)], expected,
                               rtol=known["sample_tolerance"])
    # The phase, which a Voice keeps to itself, through step's own arrays.
    oral, nasal, velum = tw.diameters(params)
    state = _fresh_state()
    fresh_thread(lambda: tw.step(
        n=known["n"], f0=np.float32(0.5) * np.float32(380) + np.float32(70), amp=0.5,
        mix=(np.float32(1) - np.float32(0.7) * np.float32(0.5)) * np.float32(0.5),
        breathiness=0.5, oral_diameters=oral, nasal_diameters=nasal, velum=velum,
        sample_rate=known["sample_rate"], **state))
    assert float(state["phase"]) == pytest.approx(known["phase"], rel=known["phase_tolerance"])


def _by_step(params, blocks, rate=48000):
    """What the four-function library renders for a voice: run it on a fresh
    thread."""
    params = np.asarray(params, dtype=np.float32)
    oral, nasal, velum = tw.diameters(params)
    state = _fresh_state()
    pitch, voicing, breath, mix = params[0], params[1], params[9], params[6]
    return np.concatenate([tw.step(
        n=n, f0=pitch * np.float32(380) + np.float32(70),
        amp=voicing if voicing >= np.float32(0.01) else 0.0,
        mix=(np.float32(1) - np.float32(0.7) * breath) * mix, breathiness=breath,
        oral_diameters=oral, nasal_diameters=nasal, velum=velum, sample_rate=rate, **state)
        for n in blocks])


@pytest.mark.parametrize("rate", [48000, 22050])
def test_a_voice_gives_what_the_four_function_library_gives_on_a_fresh_thread(
        fresh_thread, rate):
    blocks = (1, 63, 100, 136, 480)
    voice = tw.Voice()
    mine = np.concatenate([voice.render(SPEECH, n, sample_rate=rate) for n in blocks])
    np.testing.assert_array_equal(mine, fresh_thread(_by_step, SPEECH, blocks, rate))


def test_voices_on_one_thread_never_touch_each_other():
    loud = tw.parameters(SPEECH, voicing=1000.0)
    alone = tw.Voice().render(SPEECH, 960)
    a, b = tw.Voice(), tw.Voice()
    a.render(loud, 480)
    np.testing.assert_array_equal(b.render(SPEECH, 960), alone)
    # Interleaved block by block, each sounds as it does alone.
    c, d = tw.Voice(), tw.Voice()
    got_c, got_d = [], []
    for _ in range(4):
        got_c.append(c.render(SPEECH, 240))
        got_d.append(d.render(NEUTRAL, 240))
    np.testing.assert_array_equal(np.concatenate(got_c), alone)
    np.testing.assert_array_equal(np.concatenate(got_d), tw.Voice().render(NEUTRAL, 960))


def test_splitting_a_render_changes_nothing():
    whole = tw.Voice().render(SPEECH, 300)
    voice = tw.Voice()
    pieces = np.concatenate([voice.render(SPEECH, n) for n in (1, 63, 100, 136)])
    np.testing.assert_array_equal(whole, pieces)


def test_reset_gives_a_new_voice():
    voice = tw.Voice()
    first = voice.render(SPEECH, 128)
    voice.render(tw.parameters(SPEECH, pitch=float("nan")), 64)
    voice.reset()
    np.testing.assert_array_equal(voice.render(SPEECH, 128), first)


def test_a_copy_goes_on_from_the_same_state_independently():
    import copy

    uninterrupted = tw.Voice().render(SPEECH, 150)[100:]
    for make_twin in (tw.Voice.copy, copy.copy, copy.deepcopy):
        voice = tw.Voice()
        voice.render(SPEECH, 100)
        twin = make_twin(voice)
        voice.render(NEUTRAL, 77)  # the original going on does not move the copy
        np.testing.assert_array_equal(twin.render(SPEECH, 50), uninterrupted)


def test_sample_rate_reaches_the_library():
    at_48k = tw.Voice().render(SPEECH, 256)
    at_default = tw.Voice().render(SPEECH, 256, sample_rate=48000.0)
    at_16k = tw.Voice().render(SPEECH, 256, sample_rate=16000)
    np.testing.assert_array_equal(at_48k, at_default)
    assert not np.array_equal(at_48k, at_16k)


def test_render_geometry_is_step_over_the_voice(fresh_thread):
    oral, nasal, velum = tw.diameters(tw.parameters(SPEECH, tongue_tip=0.1))
    args = dict(f0=180.0, amp=0.9, mix=0.7, breathiness=0.6, oral_diameters=oral,
                nasal_diameters=nasal, velum=velum, sample_rate=44100)

    def by_step():
        state = _fresh_state()
        return np.concatenate([tw.step(n=n, **args, **state) for n in (100, 200)])

    voice = tw.Voice()
    out = np.zeros(200, np.float32)
    mine = np.concatenate([voice.render_geometry(n=100, **args),
                           voice.render_geometry(n=200, out=out, **args)])
    np.testing.assert_array_equal(mine, fresh_thread(by_step))
    assert np.any(out != 0)
    with pytest.raises(ValueError, match="out must have shape"):
        voice.render_geometry(n=10, out=np.zeros(9, np.float32), **args)
    with pytest.raises(TypeError):
        voice.render_geometry(10, **args)


@pytest.mark.parametrize("count", [1, 3, 16, 21])
def test_render_voices_equals_one_by_one(count):
    rng = np.random.default_rng(count)
    params = rng.uniform(0.0, 1.0, (count, 10)).astype(np.float32)
    params[:, 1] = 0.8
    batch = [tw.Voice() for _ in range(count)]
    alone = [tw.Voice() for _ in range(count)]
    for n in (64, 333):
        out = tw.render_voices(batch, params, n, sample_rate=44100)
        assert out.shape == (count, n) and out.dtype == np.float32
        for i in range(count):
            np.testing.assert_array_equal(out[i], alone[i].render(params[i], n, 44100))


def test_render_voices_takes_mappings_and_a_given_output():
    voices = [tw.Voice(), tw.Voice()]
    out = np.full((2, 50), np.nan, np.float32)
    result = tw.render_voices(voices, [{"voicing": 0.8}, SPEECH], 50, out=out)
    assert result is out
    np.testing.assert_array_equal(out[1], tw.Voice().render(SPEECH, 50))
    np.testing.assert_array_equal(out[0], tw.Voice().render({"voicing": 0.8}, 50))
    assert tw.render_voices([], np.zeros((0, 10)), 10).shape == (0, 10)


@pytest.mark.parametrize("voices, params, error, message", [
    ("twice", [NEUTRAL, NEUTRAL], ValueError, "the same Voice appears twice"),
    ("two", [NEUTRAL], ValueError, "1 parameter vectors for 2 voices"),
    ("two", np.zeros((3, 10)), ValueError, r"params must have shape \(2, 10\)"),
    ("two", [NEUTRAL, [0.5] * 9], ValueError, "shape"),
    ("two", 0.5, TypeError, "one parameter vector per voice"),
    ("not voices", [NEUTRAL, NEUTRAL], TypeError, "tractwave.Voice"),
])
def test_render_voices_refuses_bad_arguments(voices, params, error, message):
    a, b = tw.Voice(), tw.Voice()
    chosen = {"twice": [a, a], "two": [a, b], "not voices": [a, "b"]}[voices]
    with pytest.raises(error, match=message):
        tw.render_voices(chosen, params, 32)
    # Nothing was rendered: both still sound like new voices.
    np.testing.assert_array_equal(a.render(SPEECH, 64), b.render(SPEECH, 64))


def test_render_voices_refuses_a_wrong_output():
    with pytest.raises(ValueError, match="out must be"):
        tw.render_voices([tw.Voice()], [NEUTRAL], 8, out=np.zeros((1, 8)))


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


def test_other_dtypes_and_strided_arrays_are_converted():
    reference = tw.Voice().render(np.array(SPEECH, np.float32), 128)
    strided = np.zeros(20)
    strided[::2] = SPEECH
    for params in (SPEECH, np.array(SPEECH, np.float64), strided[::2]):
        np.testing.assert_array_equal(tw.Voice().render(params, 128), reference)
    ints = tw.Voice().render(np.zeros(10, dtype=np.int32), 16)
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
    # Refused before anything reached the library: still a new voice.
    np.testing.assert_array_equal(voice.render(SPEECH, 64), tw.Voice().render(SPEECH, 64))


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
        with pytest.raises(RuntimeError, match="another thread"):
            fresh_thread(voice.copy)
        with pytest.raises(RuntimeError, match="another thread"):
            fresh_thread(tw.render_voices, [tw.Voice(), voice], [NEUTRAL, NEUTRAL], 8)
    assert voice.render(NEUTRAL, 64).shape == (64,)
