"""The pytest plugin of ostrel.testing, registered under the name ``ostrel``: the fixture
``loopback`` and the report hook that tells its teardown whether the test itself passed.

The teardown fails the test (an error at teardown) when an exception escaped a delegate
callback (one the binding reported on standard error included), when a callback was still
running long after the test, or when clouds the test made are still alive after a garbage
collection. Clouds are counted only after a test that passed: a failed test's traceback keeps
its locals alive.
"""

from typing import Any, Generator, Iterator

import pytest

from .loopback import UNAVAILABLE, Loopback

# Set on a test item once its call phase has been reported: whether it passed.
_CALL_PASSED = pytest.StashKey[bool]()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    report: pytest.TestReport = outcome.get_result()
    if report.when == "call":
        item.stash[_CALL_PASSED] = report.passed


@pytest.fixture
def loopback(request: pytest.FixtureRequest) -> Iterator[Loopback]:
    """A clean loopback SDK for the test: ``room()``, ``clock``, ``faults``, ``wait_idle()``.
    Skips the test under a vendor SDK."""
    if UNAVAILABLE is not None:
        pytest.skip(UNAVAILABLE)
    kit = Loopback(prefix=request.node.name)
    kit._enclose()  # a Loopback the test makes is nested in this one
    yield kit
    problems = kit.close(check_leaks=request.node.stash.get(_CALL_PASSED, False))
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)
