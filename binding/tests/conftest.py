import pytest

import ostrel_loopback


@pytest.fixture
def call_recorder():
    """Records the calls that reach the SDK for the duration of one test."""
    ostrel_loopback.clear()
    ostrel_loopback.record(True)
    yield ostrel_loopback
    ostrel_loopback.record(False)
    ostrel_loopback.clear()

