import threading

import pytest

import ostrel_loopback


@pytest.fixture(autouse=True)
def nothing_left_behind():
    """Every test of the layer ends with no SDK instance and no extra Python thread."""
    threads = _python_threads()
    ostrel_loopback.set_quality_interval(0)  # no reports unless a test asks: counts stay exact
    yield
    ostrel_loopback.set_quality_interval(2000)
    assert ostrel_loopback.wait_idle(10.0)
    assert ostrel_loopback.live_instances() == 0
    assert _python_threads() <= threads


def _python_threads():
    # SDK threads that ran Python show up as dummies, which outlive the threads themselves.
    return {t for t in threading.enumerate() if not isinstance(t, threading._DummyThread)}
