"""The package's own tests use the plugin the way an installed package provides it; from a
source checkout, where no entry point is installed, it is registered here under the same
name. pytester runs the plugin's teardown checks in child pytest processes. The asyncio
layer's tests also check that nothing outlives them (``nothing_left_behind``)."""

import threading
from typing import Iterator, Set

import pytest

import ostrel_loopback

pytest_plugins = ["pytester"]


def pytest_configure(config: pytest.Config) -> None:
    if not config.pluginmanager.has_plugin("ostrel"):
        from ostrel.testing import plugin

        config.pluginmanager.register(plugin, "ostrel")


@pytest.fixture
def nothing_left_behind() -> Iterator[None]:
    """The test ends with no SDK instance and no extra Python thread."""
    threads = _python_threads()
    interval = ostrel_loopback.quality_interval()
    ostrel_loopback.set_quality_interval(0)  # no reports unless a test asks: counts stay exact
    yield
    ostrel_loopback.set_quality_interval(interval)
    assert ostrel_loopback.wait_idle(10.0)
    assert ostrel_loopback.live_instances() == 0
    assert _python_threads() <= threads


def _python_threads() -> Set[threading.Thread]:
    # SDK threads that ran Python show up as dummies, which outlive the threads themselves.
    return {t for t in threading.enumerate() if not isinstance(t, threading._DummyThread)}
