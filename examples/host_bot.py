"""A host bot in asyncio with timers of its own: it welcomes each newcomer with a chime and a
message, asks a question and gives the answer a deadline, and leaves once the room has been
empty for half a minute.

- A member who enters hears a one-second 440 Hz chime (paced speech) and gets "welcome <id>".
- A member who sends "ask" gets "ready?"; a "yes" within ``REPLY_S`` seconds earns "great", a
  later one (or none) "too late".
- With nobody else in the room for ``IDLE_S`` seconds, the bot leaves.

Its tests, test_host_bot.py, run minutes of its life in virtual time (``Loopback.run``).

    python examples/host_bot.py [--room ROOM]   # waits for members on the loopback SDK
"""

import argparse
import asyncio
from typing import List, Optional

from room_helpers import enter_params

import ostrel
from ostrel.aio.events import OnRemoteUserEnterRoom
from ostrel.testing.signals import tone_pcm

REPLY_S = 5.0  # how long an answer may take
IDLE_S = 30.0  # how long the bot stays in an empty room
CHIME_HZ = 440  # the pitch of the welcome chime
QUESTION_CMD, NOTICE_CMD = 1, 2  # command ids: "ask"/"yes" come on 1, the bot's notices go on 2


async def host(params: ostrel.EnterRoomParams) -> None:
    """Runs the bot until the room has been empty for ``IDLE_S`` seconds."""
    async with ostrel.aio.connect(params) as conn:
        arrivals = conn.events("OnRemoteUserEnterRoom")  # the first stream: members already in the room too
        changes = conn.events("OnRemoteUserEnterRoom", "OnRemoteUserExitRoom")
        tasks = [asyncio.ensure_future(welcome(conn, arrivals)), asyncio.ensure_future(quiz(conn))]
        try:
            await leave_when_idle(conn, changes)
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)


async def welcome(conn: ostrel.aio.Connection, arrivals: "ostrel.aio.EventStream[OnRemoteUserEnterRoom]") -> None:
    voice = conn.audio_sender()  # the format the bot hears
    chime = tone_pcm(CHIME_HZ, voice.sample_rate, 0, voice.sample_rate)
    async for event in arrivals:
        user = event.info.user_id.GetValue() or "?"
        conn.send_command(NOTICE_CMD, b"welcome " + user.encode())
        await voice.write(chime)


async def quiz(conn: ostrel.aio.Connection) -> None:
    async for ask in conn.events("OnReceiveCustomCmdMsg"):
        if ask.cmd_id != QUESTION_CMD or ask.message != b"ask":
            continue
        conn.send_command(NOTICE_CMD, b"ready?")
        try:
            await conn.wait_for(
                "OnReceiveCustomCmdMsg", lambda e: e.user_id == ask.user_id and e.message == b"yes", timeout=REPLY_S
            )
            conn.send_command(NOTICE_CMD, b"great")
        except asyncio.TimeoutError:
            conn.send_command(NOTICE_CMD, b"too late")


async def leave_when_idle(conn: ostrel.aio.Connection, changes: "ostrel.aio.EventStream[ostrel.aio.Event]") -> None:
    """Returns once nobody else has been in the room for ``IDLE_S`` seconds. (``asyncio.wait``,
    not ``asyncio.wait_for``: on Python 3.8 the latter can swallow a Ctrl-C.)"""
    while True:
        change = asyncio.ensure_future(changes.__anext__())
        done, _ = await asyncio.wait([change], timeout=None if conn.remote_users else IDLE_S)
        if not done:
            change.cancel()
            return
        change.result()  # a stream that ended (the SDK put the bot out) raises here


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="A host bot with timers of its own, on the loopback SDK.")
    parser.add_argument("--room", default="host-room")
    args = parser.parse_args(argv)
    asyncio.run(host(enter_params("host", args.room, rate=48000)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
