"""render_voices' two layouts: one row per voice, or one column per voice as
audio libraries take multichannel sound."""

import io

import numpy as np
import pytest

import tractwave


def _voices_and_params():
    params = [tractwave.parameters(voicing=0.8, pitch=p) for p in (0.2, 0.4, 0.6)]
    return [tractwave.Voice() for _ in params], params


def test_frames_layout_is_the_transpose_and_contiguous():
    voices, params = _voices_and_params()
    rows = tractwave.render_voices(voices, params, 256)
    voices, params = _voices_and_params()
    frames = tractwave.render_voices(voices, params, 256, layout="frames")
    assert rows.shape == (3, 256) and frames.shape == (256, 3)
    assert frames.flags.c_contiguous
    np.testing.assert_array_equal(frames, rows.T)
    # The voices differ, so a swapped layout would not pass.
    assert not np.array_equal(rows[0], rows[1])


def test_frames_layout_into_a_given_array_and_refusals():
    voices, params = _voices_and_params()
    out = np.zeros((64, 3), np.float32)
    assert tractwave.render_voices(voices, params, 64, out=out, layout="frames") is out
    assert np.abs(out).max() > 0
    with pytest.raises(ValueError, match=r"\(64, 3\)"):
        tractwave.render_voices(voices, params, 64, out=np.zeros((3, 64), np.float32),
                                layout="frames")
    with pytest.raises(ValueError, match="layout"):
        tractwave.render_voices(voices, params, 64, layout="channels")


def test_scipy_writes_the_frames_layout_as_channels():
    wavfile = pytest.importorskip("scipy.io.wavfile")
    voices, params = _voices_and_params()
    frames = tractwave.render_voices(voices, params, 480, layout="frames")
    buffer = io.BytesIO()
    wavfile.write(buffer, 48000, frames)
    buffer.seek(0)
    rate, back = wavfile.read(buffer)
    assert rate == 48000 and back.shape == (480, 3)
    np.testing.assert_array_equal(back, frames)
