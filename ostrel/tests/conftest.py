import pytest

import _ostrel
import ostrel_loopback


@pytest.fixture
def recorder():
    """Records the calls that reach the SDK for the duration of one test."""
    ostrel_loopback.clear()
    ostrel_loopback.record(True)
    yield ostrel_loopback
    ostrel_loopback.record(False)
    ostrel_loopback.clear()


@pytest.fixture
def o():
    return _ostrel
