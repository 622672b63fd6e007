"""The shared score cases (tests/scores/cases.json), which tractwave-render's
tests and the playground's tests run too: each score file is read and
rendered as a user's file, and must render as its blocks say or be refused
for its reason."""

import os

import numpy as np
import pytest

import tractwave as tw
from conftest import SCORE_CASES, load_score_cases

CASES = load_score_cases()
if CASES is None:
    pytest.skip(f"the shared score cases are not at {SCORE_CASES}", allow_module_level=True)


def case_id(case):
    return case["score"]


def render_blocks(blocks, rate):
    """One library call per block with the case's parameter vectors."""
    voice = tw.Voice()
    return np.concatenate([voice.render(np.array(b[2:], dtype=np.float32), b[1],
                                        sample_rate=rate) for b in blocks])


def test_every_file_is_a_case_and_every_case_a_file():
    listed = {c["score"] for kind in ("render", "refuse") for c in CASES[kind]}
    present = {f"{kind}/{name}" for kind in ("render", "refuse")
               for name in os.listdir(SCORE_CASES / kind)}
    assert listed == present


@pytest.mark.parametrize("case", CASES["render"], ids=case_id)
def test_a_score_renders_as_its_blocks_say(case, fresh_thread, score_cases):
    score = tw.load_score(SCORE_CASES / case["score"])
    assert (score["sample_rate"], score["block"]) == (case["rate"], case["block"])
    out = tw.render_score(**score)
    assert out.shape == (case["length"],)
    blocks = case["blocks"]
    assert [b[0] for b in blocks] == list(range(0, case["length"], case["block"]))
    assert sum(b[1] for b in blocks) == case["length"]
    np.testing.assert_array_equal(out, fresh_thread(render_blocks, blocks, case["rate"]))
    assert np.all(np.abs(out) <= 0.95)
    if case.get("known_answer"):
        known = score_cases["known_answer"]
        silent, expected = known["silent"], known["samples"]
        assert np.all(out[:silent] == 0.0)
        np.testing.assert_allclose(out[silent:silent + len(expected)], expected,
                                   rtol=known["sample_tolerance"])


@pytest.mark.parametrize("case", CASES["refuse"], ids=case_id)
def test_a_score_is_refused_for_its_reason(case):
    with pytest.raises(tw.ScoreError) as caught:
        tw.render_score(**tw.load_score(SCORE_CASES / case["score"]))
    message = str(caught.value)
    reasons = case["reason"] if isinstance(case["reason"], list) else [case["reason"]]
    at = 0
    for reason in reasons:
        found = message.find(reason, at)
        assert found >= 0, f"{message!r} does not say {reason!r}"
        at = found + len(reason)
