import json
import pathlib
import threading

import pytest


def on_fresh_thread(function, *args, **kwargs):
    """Runs function on a new thread and returns its result.

    The library keeps noise and filter state per thread, and a new thread
    starts from fixed initial values: comparisons of rendered samples need
    each render to start from there.
    """
    result = {}

    def run():
        try:
            result["value"] = function(*args, **kwargs)
        except BaseException as error:
            result["error"] = error

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if "error" in result:
        raise result["error"]
    return result["value"]


@pytest.fixture
def fresh_thread():
    return on_fresh_thread


# The score cases shared with tractwave-render's and the playground's tests,
# in the repository beside these tests.
SCORE_CASES = pathlib.Path(__file__).resolve().parents[2] / "tests" / "scores"


def load_score_cases():
    manifest = SCORE_CASES / "cases.json"
    if not manifest.is_file():
        return None
    return json.loads(manifest.read_text(encoding="utf-8"))


@pytest.fixture(scope="session")
def score_cases():
    cases = load_score_cases()
    if cases is None:
        pytest.skip(f"the shared score cases are not at {SCORE_CASES}")
    return cases
