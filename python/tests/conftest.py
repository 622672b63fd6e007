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
