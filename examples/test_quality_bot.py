"""Tests of quality_bot.py on the loopback SDK, with the fixture ``loopback`` of the pytest
plugin that comes with the package (``pytest examples/test_quality_bot.py``; from a source
checkout add ``-p ostrel.testing.plugin``).

The SDK clock is frozen, so every report, drop and reconnect happens when the test advances
the clock: each test covers a minute of the bot's life, with its thirty reports, and runs in a
fraction of a second, the same way every run.
"""

from typing import Iterator, List, Tuple

import pytest
from quality_bot import NOTICE_CMD, QualityBot

import ostrel
from ostrel.testing import Loopback, Participant

REPORT_MS = 2000  # the SDK's network-quality report interval


@pytest.fixture
def bot(loopback: Loopback) -> Iterator[Tuple[QualityBot, Participant]]:
    """The bot in a fresh room with a listener, the clock frozen just after a report."""
    loopback.clock.freeze()
    room = loopback.room()
    listener = room.participant("listener")
    bot = QualityBot()
    assert bot.start(room.params("bot")) == 0
    listener.wait_for("OnRemoteUserEnterRoom")
    # The report schedule began before the clock was frozen: step to just past a report, so
    # that every later advance by whole intervals sees a known number of them.
    reports = len(listener.of("OnNetworkQuality"))
    while len(listener.of("OnNetworkQuality")) == reports:
        loopback.clock.advance(100)
    yield bot, listener
    bot.stop()


def notices(loopback: Loopback, listener: Participant) -> List[bytes]:
    """The bot's notices so far; what the bot sent from its callbacks has arrived."""
    loopback.wait_idle()
    return [
        message for user, cmd, _, message in listener.of("OnReceiveCustomCmdMsg") if user == "bot" and cmd == NOTICE_CMD
    ]


def test_a_steady_link_says_nothing_for_a_minute(loopback: Loopback, bot: Tuple[QualityBot, Participant]) -> None:
    _, listener = bot
    listener.clear()
    loopback.clock.advance(60_000)
    assert len(listener.of("OnNetworkQuality")) == 60_000 // REPORT_MS
    assert notices(loopback, listener) == []


def test_a_bad_link_and_a_dropped_connection(loopback: Loopback, bot: Tuple[QualityBot, Participant]) -> None:
    _, listener = bot
    clock, faults = loopback.clock, loopback.faults
    clock.advance(10_000)
    faults.set_network_quality("bot", ostrel.NETWORK_QUALITY_BAD)
    clock.advance(2 * REPORT_MS)
    assert notices(loopback, listener) == []  # two bad reports are not yet a degraded link
    clock.advance(REPORT_MS)
    assert notices(loopback, listener) == [b"degraded"]
    faults.set_network_quality("bot", ostrel.NETWORK_QUALITY_GOOD)
    clock.advance(REPORT_MS)
    assert notices(loopback, listener) == [b"degraded", b"recovered"]

    # Down for 7 s: three reports, and the notice of the third cannot go out until it is back.
    faults.disconnect("bot", 7000)
    clock.advance(3 * REPORT_MS)
    assert notices(loopback, listener)[2:] == []
    clock.advance(1000)
    assert notices(loopback, listener)[2:] == [b"degraded", b"reconnected after 3 reports"]
    clock.advance(1000)
    assert notices(loopback, listener)[4:] == [b"recovered"]

    clock.advance(60_000 - 26_000)  # the rest of the minute is quiet
    assert len(notices(loopback, listener)) == 5
