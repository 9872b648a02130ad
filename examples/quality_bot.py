"""A bot that keeps its room told how its own connection is doing.

It keeps no timers of its own: its sense of time is the SDK's network-quality report, which
reaches every member at a fixed interval (2 s by default). That makes it testable offline
without sleeping: examples/test_quality_bot.py runs a minute of its life on the loopback SDK's
virtual clock in a fraction of a second.

It tells the other members, in custom command messages on command ``NOTICE_CMD``:
- ``b"degraded"`` once its own link has been reported bad or worse ``DEGRADED_AFTER`` times in
  a row;
- ``b"recovered"`` at the first report of a good or excellent link after that;
- ``b"reconnected after N reports"`` when its connection comes back after a drop, N being the
  number of reports it received while it was down.
A message it cannot send while disconnected waits and goes out, in order, once it is back.

    bot = QualityBot()
    bot.start(params)        # EnterRoomParams of the room to watch
"""

from typing import List

import room_helpers

import ostrel

# The command id of the bot's notices.
NOTICE_CMD = 1
# Bad reports in a row that make the bot say its link is degraded.
DEGRADED_AFTER = 3
POOR_LINK = (ostrel.NETWORK_QUALITY_BAD, ostrel.NETWORK_QUALITY_VERY_BAD, ostrel.NETWORK_QUALITY_DOWN)
GOOD_LINK = (ostrel.NETWORK_QUALITY_EXCELLENT, ostrel.NETWORK_QUALITY_GOOD)


class QualityBot(room_helpers.QuietDelegate):
    """The bot and its cloud. Its state is touched only by its callbacks, which the SDK runs
    one at a time on the cloud's event thread, so it needs no lock."""

    def __init__(self) -> None:
        super().__init__()
        self.cloud = ostrel.VONUCloud(self)  # a cycle the collector breaks once the bot is dropped
        # Bad reports in a row so far.
        self.bad_reports = 0
        # Whether it told the room its link is degraded and has not told it of a recovery.
        self.degraded = False
        # Whether its connection dropped and has not come back; reports received meanwhile.
        self.dropped = False
        self.down_reports = 0
        # Notices that could not be sent yet, oldest first.
        self.outbox: List[bytes] = []

    def start(self, params: ostrel.EnterRoomParams) -> int:
        """Enters the room; the SDK's result code."""
        return self.cloud.EnterRoom(params)

    def stop(self) -> None:
        """Leaves the room and destroys the SDK instance at once: no callback runs after it."""
        self.cloud.ExitRoom()
        self.cloud.__del__()

    def _say(self, notice: bytes) -> None:
        self.outbox.append(notice)
        while self.outbox and self.cloud.SendCustomCmdMsg(NOTICE_CMD, self.outbox[0], True, True):
            self.outbox.pop(0)

    def OnConnectionStateChanged(self, old_state: ostrel.ConnectionState, new_state: ostrel.ConnectionState) -> None:
        if (old_state, new_state) == (ostrel.CONNECTION_STATE_CONNECTED, ostrel.CONNECTION_STATE_DISCONNECTED):
            self.dropped, self.down_reports = True, 0
        elif new_state == ostrel.CONNECTION_STATE_CONNECTED and self.dropped:
            self.dropped = False
            self._say(b"reconnected after %d reports" % self.down_reports)

    def OnNetworkQuality(self, local: ostrel.NetworkQualityInfo, remotes: List[ostrel.NetworkQualityInfo]) -> None:
        if self.dropped:
            self.down_reports += 1
        if local.quality in POOR_LINK:
            self.bad_reports += 1
            if self.bad_reports == DEGRADED_AFTER:
                self.degraded = True
                self._say(b"degraded")
            return
        self.bad_reports = 0
        if self.degraded and local.quality in GOOD_LINK:
            self.degraded = False
            self._say(b"recovered")
