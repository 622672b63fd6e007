"""The package and the tractwave-render program give the same samples.

TRACTWAVE_RENDER names the program; without it these tests are skipped, and
with it set to a missing program they fail (CI sets it).
"""

import json
import os
import struct
import subprocess

import numpy as np
import pytest

import tractwave as tw

RENDER = os.environ.get("TRACTWAVE_RENDER")
pytestmark = pytest.mark.skipif(
    not RENDER, reason="set TRACTWAVE_RENDER to the tractwave-render program to compare with it")

WAVE_FORMAT_IEEE_FLOAT = 3
WAVE_FORMAT_EXTENSIBLE = 0xFFFE


def read_float_wav(path):
    """Samples and rate of a mono 32-bit float WAV file (the wave module reads PCM only)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", "not a WAV file"
    position, fmt, samples = 12, None, None
    while position + 8 <= len(data):
        chunk, size = struct.unpack_from("<4sI", data, position)
        body = data[position + 8:position + 8 + size]
        if chunk == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
        elif chunk == b"data":
            samples = np.frombuffer(body, dtype="<f4")
        position += 8 + size + (size & 1)
    assert fmt is not None and samples is not None, "no fmt or data chunk"
    tag, channels, rate, _, _, bits = fmt
    if tag == WAVE_FORMAT_EXTENSIBLE:
        tag = struct.unpack_from("<H", data, data.index(b"fmt ") + 8 + 24)[0]
    assert (tag, channels, bits) == (WAVE_FORMAT_IEEE_FLOAT, 1, 32)
    return samples.astype(np.float32), rate


def test_a_score_gives_the_same_samples_as_the_render_program(tmp_path):
    assert os.path.isfile(RENDER) and os.access(RENDER, os.X_OK), \
        f"TRACTWAVE_RENDER={RENDER} is not an executable program"
    # Times that are not multiples of the block, keyframes at one time, and
    # parameters left out, at a rate and block other than the defaults: the
    # places where two implementations of the rule could part.
    rate, block = 44100, 100
    keyframes = [
        {"t": 0.013, "pitch": 0.3, "voicing": 0.0, "lips": 0.6, "breathiness": 0.4},
        {"t": 0.05, "voicing": 0.8, "tongue_body": 0.7},
        {"t": 0.1371, "pitch": 0.55, "velum": 0.6},
        {"t": 0.1371, "velum": 0.0, "tongue_tip": 0.2},
        {"t": 0.29, "pharynx": 0.35, "larynx": 0.65, "voice_mix": 0.6, "lips": 0.15},
        {"t": 0.4213, "pitch": 0.2, "voicing": 0.3, "breathiness": 0.1},
    ]
    score = tmp_path / "score.json"
    score.write_text(json.dumps({"sample_rate": rate, "block": block, "keyframes": keyframes}))
    wav = tmp_path / "out.wav"
    result = subprocess.run([RENDER, str(score), "-o", str(wav)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    samples, file_rate = read_float_wav(wav)
    assert file_rate == rate
    expected = tw.render_score(keyframes, sample_rate=rate, block=block)
    assert len(expected) == round(0.4213 * rate)
    np.testing.assert_array_equal(samples, expected)
