"""Fixtures of the binding tests. From a source checkout no entry point installs the plugin of
ostrel.testing (the fixture ``loopback``), so it is registered here under its installed name."""

import pytest

import ostrel_loopback


def pytest_configure(config):
    if not config.pluginmanager.has_plugin("ostrel"):
        from ostrel.testing import plugin

        config.pluginmanager.register(plugin, "ostrel")


@pytest.fixture
def call_recorder():
    """Records the calls that reach the SDK for the duration of one test."""
    ostrel_loopback.clear()
    ostrel_loopback.record(True)
    yield ostrel_loopback
    ostrel_loopback.record(False)
    ostrel_loopback.clear()
