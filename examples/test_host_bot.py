"""Tests of host_bot.py in virtual time: ``loopback.run`` runs the bot with the SDK clock as its
event loop's clock, so its 30-second idle timer, its 5-second reply deadline and its paced chime
take no wall time, and every run is the same (``pytest examples/test_host_bot.py``; from a source
checkout add ``-p ostrel.testing.plugin``).
"""

import asyncio
from typing import List

import pytest
from host_bot import CHIME_HZ, IDLE_S, NOTICE_CMD, QUESTION_CMD, REPLY_S, host

from ostrel.testing import Loopback, Participant, Room, dominant_hz

RATE = 48000


def notices(guest: Participant) -> List[bytes]:
    """What the bot told the guest so far."""
    return [args[3] for args in guest.of("OnReceiveCustomCmdMsg") if args[1] == NOTICE_CMD]


async def start(room: Room) -> "asyncio.Task[None]":
    """The bot, in the room and listening."""
    bot = asyncio.ensure_future(host(room.params("host", sample_rate=RATE, channels=1)))
    await asyncio.sleep(0.1)
    return bot


def test_a_newcomer_hears_a_chime_and_is_welcomed(loopback: Loopback) -> None:
    room = loopback.room()

    async def main() -> None:
        bot = await start(room)
        guest = room.participant("guest", sample_rate=RATE, channels=1)
        await asyncio.sleep(2)  # the chime is a second of paced speech
        assert notices(guest) == [b"welcome guest"]
        assert abs(dominant_hz(guest.heard("host"), RATE) - CHIME_HZ) < 1
        guest.leave()
        await bot

    loopback.run(main())


@pytest.mark.parametrize("answer_after, verdict", [(REPLY_S - 1, b"great"), (REPLY_S + 1, b"too late")])
def test_an_answer_has_a_deadline(loopback: Loopback, answer_after: float, verdict: bytes) -> None:
    room = loopback.room()

    async def main() -> None:
        bot = await start(room)
        guest = room.participant("guest")
        guest.cloud.SendCustomCmdMsg(QUESTION_CMD, b"ask", True, True)
        await asyncio.sleep(answer_after)
        guest.cloud.SendCustomCmdMsg(QUESTION_CMD, b"yes", True, True)
        await asyncio.sleep(1)
        assert notices(guest)[1:] == [b"ready?", verdict]
        guest.leave()
        await bot

    loopback.run(main())


def test_the_bot_leaves_a_room_empty_for_thirty_seconds(loopback: Loopback) -> None:
    room = loopback.room()

    async def main() -> None:
        loop = asyncio.get_running_loop()
        bot = await start(room)
        guest = room.participant("guest")
        await asyncio.sleep(60)  # the bot stays while someone is there
        assert not bot.done()
        guest.leave()
        left = loop.time()
        await bot
        assert loop.time() - left == IDLE_S

    loopback.run(main())
