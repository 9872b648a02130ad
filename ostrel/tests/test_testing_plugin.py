"""The pytest plugin as a user's test run meets it: child pytest processes (pytester) with only
the plugin loaded, so the end-of-test checks, the skip under a vendor SDK and the example test
file are seen from outside, and a hang fails on the child's timeout."""

import os
from pathlib import Path
from typing import Callable

import pytest

import _ostrel
import ostrel
import ostrel_loopback

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
# What the child needs to import, from where this process took it: the package first, then the
# binding and the control module (a source checkout with a build tree, or installed).
IMPORT_PATH = [
    str(Path(str(m.__file__)).resolve().parents[i]) for m, i in ((ostrel, 1), (_ostrel, 0), (ostrel_loopback, 0))
]

Run = Callable[..., pytest.RunResult]


@pytest.fixture
def run(pytester: pytest.Pytester, monkeypatch: pytest.MonkeyPatch) -> Run:
    """Runs pytest in a child process with the plugin as its only outside plugin."""
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")

    def run(*args: str, first_on_path: str = "") -> pytest.RunResult:
        path = ([first_on_path] if first_on_path else []) + IMPORT_PATH + [os.environ.get("PYTHONPATH", "")]
        monkeypatch.setenv("PYTHONPATH", os.pathsep.join(p for p in path if p))
        return pytester.runpytest_subprocess(
            "-p", "ostrel.testing.plugin", "-p", "no:cacheprovider", *args, timeout=120
        )

    return run


BOT_TESTS = """
import ostrel
from ostrel.testing import EVENT_NAMES

kept = []


class Bot(ostrel.VONUCloudDelegate):
    def __init__(self):
        super().__init__()
        self.cloud = ostrel.VONUCloud(self)  # a cycle, which the collector breaks

    def OnError(self, error):
        raise ValueError("the bot cannot handle %d" % int(error))


for name in EVENT_NAMES:
    if name != "OnError":
        setattr(Bot, name, lambda self, *args: None)


def entered_bot(loopback, name):
    bot = Bot()
    assert bot.cloud.EnterRoom(loopback.room().params(name)) == 0
    loopback.wait_idle()
    return bot


def test_tidy(loopback):
    entered_bot(loopback, "tidy").cloud.ExitRoom()
    loopback.room().participant("a").send_tone(440, 40)


def test_leaks_a_cloud(loopback):
    kept.append(entered_bot(loopback, "leaked"))


def test_callback_raises(loopback):
    bot = entered_bot(loopback, "raising")
    loopback.faults.raise_error("raising", -7)
    loopback.wait_idle()


def test_expects_the_raise(loopback):
    bot = entered_bot(loopback, "expected")
    loopback.faults.raise_error("expected", -8)
    loopback.wait_idle()
    (text,) = loopback.take_escaped()
    assert "the bot cannot handle -8" in text


def test_fails_holding_a_cloud(loopback):
    bot = entered_bot(loopback, "failing")
    assert bot is None

"""


def test_teardown_fails_tests_that_leak_a_cloud_or_let_a_callback_raise(run: Run, pytester: pytest.Pytester) -> None:
    pytester.makepyfile(test_bot=BOT_TESTS)
    result = run()
    result.assert_outcomes(passed=4, failed=1, errors=2)
    result.stdout.fnmatch_lines_random(
        [
            "*ERROR at teardown of test_leaks_a_cloud*",
            "*1 cloud(s) made during the test still alive after a garbage collection: "
            "user 'leaked' in room 'test_leaks_a_cloud-*' (delegate: test_bot.Bot)",
            "*ERROR at teardown of test_callback_raises*",
            "*1 exception(s) escaped a delegate callback during the test:*",
            "*ValueError: the bot cannot handle -7*",
        ]
    )
    output = result.stdout.str()
    assert "teardown of test_fails_holding_a_cloud" not in output  # its traceback holds the cloud
    assert "teardown of test_tidy" not in output and "teardown of test_expects_the_raise" not in output


LATE_TESTS = """
import threading
import time

import ostrel
import ostrel.testing.loopback
import ostrel_loopback
from ostrel.testing import EventRecorder

ostrel.testing.loopback.CALLBACK_RETURN_S = 1.0  # not 30 s
released = threading.Event()


class Bot(EventRecorder):
    def __init__(self, loopback, name):
        super().__init__(name)
        self.cloud = ostrel.VONUCloud(self)
        assert self.cloud.EnterRoom(loopback.room().params(name)) == 0
        self.wait_for("OnEnterRoom")

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        released.wait(60)
        raise ValueError("cannot parse %r" % message)

    def OnError(self, error):
        released.wait(60)
        raise ValueError("cannot handle %d" % int(error))


def test_message_callback_raises(loopback):
    released.set()
    Bot(loopback, "parser")
    loopback.room().participant("alice")  # another room: a message of its own is injected
    ostrel_loopback.inject("parser", "OnReceiveCustomCmdMsg", b"alice", 1, 1, b"hi")
    loopback.wait_idle()


def test_takes_the_reported_error(loopback):
    Bot(loopback, "taker")
    ostrel_loopback.inject("taker", "OnReceiveCustomCmdMsg", b"alice", 1, 1, b"expected")
    loopback.wait_idle()
    assert [t for t in loopback.take_escaped() if "cannot parse b'expected'" in t]
    released.clear()


def test_leaves_callbacks_running(loopback):
    Bot(loopback, "stuck"), Bot(loopback, "parsing")
    loopback.faults.raise_error("stuck", -4)
    ostrel_loopback.inject("parsing", "OnReceiveCustomCmdMsg", b"alice", 1, 1, b"late")
    while ostrel_loopback.callbacks_running() < 2:
        time.sleep(0.01)
    ostrel_loopback.inject("parsing", "OnReceiveCustomCmdMsg", b"alice", 1, 2, b"queued")  # behind it


def test_runs_while_they_end(loopback):
    released.set()
    deadline = time.monotonic() + 10
    while ostrel_loopback.callbacks_running() and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)  # the exceptions leave the callbacks
    assert not ostrel_loopback.callbacks_running()


def test_waits_in_vain(loopback):
    alice = loopback.room().participant("alice")
    alice.wait_for("OnExitRoom", timeout=0.01)
"""


def test_teardown_reports_callback_errors_the_binding_catches_and_callbacks_left_running(
    run: Run, pytester: pytest.Pytester
) -> None:
    pytester.makepyfile(test_late=LATE_TESTS)
    result = run()
    result.assert_outcomes(passed=4, failed=1, errors=2)
    result.stdout.fnmatch_lines_random(
        [
            "*ERROR at teardown of test_message_callback_raises*",
            "python callback OnReceiveCustomCmdMsg error: ValueError: cannot parse b'hi'",
            "*ERROR at teardown of test_leaves_callbacks_running*",
            "a delegate callback was still running 1 s after the test; what it raises from now on is not reported:",
            "*in OnError",
            "*in OnReceiveCustomCmdMsg",
        ]
    )
    output = result.stdout.str()
    assert "teardown of test_runs_while_they_end" not in output and "cannot handle -4" not in output
    assert "ostrel/testing/" not in output  # the plugin's own frames are hidden


def test_skips_with_the_reason_under_a_vendor_sdk(run: Run, pytester: pytest.Pytester) -> None:
    vendor = pytester.mkdir("vendor")
    (vendor / "ostrel_loopback.py").write_text(
        'raise AttributeError("libostrel.so: undefined symbol: ostrel_loopback_record")\n'
    )
    pytester.makepyfile(test_bot="def test_bot(loopback):\n    raise AssertionError('ran')\n")
    result = run("-rs", first_on_path=str(vendor))
    result.assert_outcomes(skipped=1)
    result.stdout.fnmatch_lines(["*ostrel_loopback*cannot be used here*undefined symbol: ostrel_loopback_record*"])


@pytest.mark.skipif(not hasattr(ostrel_loopback, "clock_freeze"), reason="this loopback SDK has no virtual clock")
def test_the_example_test_files_pass(run: Run, pytester: pytest.Pytester) -> None:
    for name in ("room_helpers.py", "quality_bot.py", "test_quality_bot.py", "host_bot.py", "test_host_bot.py"):
        pytester.makepyfile(**{name[:-3]: (EXAMPLES / name).read_text()})
    result = run()
    assert result.ret == 0 and result.parseoutcomes()["passed"] >= 6
