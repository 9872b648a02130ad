import threading

import pytest

import ostrel_loopback


@pytest.fixture(autouse=True)
def nothing_left_behind():
    """Every test of the layer ends with no SDK instance and no extra Python thread."""
    threads = set(threading.enumerate())
    ostrel_loopback.set_quality_interval(0)  # no reports unless a test asks: counts stay exact
    yield
    ostrel_loopback.set_quality_interval(2000)
    assert ostrel_loopback.wait_idle(10.0)
    assert ostrel_loopback.live_instances() == 0
    assert set(threading.enumerate()) <= threads
