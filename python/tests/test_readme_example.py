"""The Python guide's example (docs/python.md) runs and writes the WAV file it
promises."""

import os
import re
import subprocess
import sys
import wave

import pytest

import tractwave as tw

README = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "docs", "python.md")


def readme_example():
    if not os.path.exists(README):
        pytest.skip("the project docs are not beside these tests")
    with open(README, encoding="utf-8") as f:
        text = f.read()
    # The guide's example is the block that writes the glide; other blocks
    # are fragments.
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    return next(b for b in blocks if "glide.wav" in b)


def test_the_readme_example_writes_a_vowel_glide(tmp_path):
    env = dict(os.environ,
               PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(tw.__file__))),
               TRACTWAVE_LIBRARY=os.path.realpath(tw.library_path()))
    result = subprocess.run([sys.executable, "-c", readme_example()], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    with wave.open(str(tmp_path / "glide.wav"), "rb") as f:
        assert (f.getnchannels(), f.getsampwidth(), f.getframerate()) == (1, 2, 48000)
        assert f.getnframes() == round(0.85 * 48000)
    assert result.stdout.startswith("glide.wav: 0.85 s")
