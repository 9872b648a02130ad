"""The package's own tests use the plugin the way an installed package provides it; from a
source checkout, where no entry point is installed, it is registered here under the same
name. pytester runs the plugin's teardown checks in child pytest processes."""
import pytest

pytest_plugins = ["pytester"]


def pytest_configure(config: pytest.Config) -> None:
    if not config.pluginmanager.has_plugin("ostrel"):
        from ostrel.testing import plugin

        config.pluginmanager.register(plugin, "ostrel")
