"""An echo bot in asyncio: what a participant says comes back one second later.

The bot joins a room with ``ostrel.aio``, takes the participant's audio as a bounded stream,
delays it by a second and speaks it through a paced ``AudioSender``. A command message "stop"
silences it at once (``clear()``: barge-in); every command gets an answer. At the end it prints
its streams' counters. On the loopback SDK the participant, "alice", runs in the same program:
she talks (a tone) and sends "hello", then "stop" half-way through.

    python examples/aio_bot.py [--duration SECONDS]
"""

import argparse
import asyncio
import math
import struct
from typing import List, Optional, Tuple

import room_helpers

import ostrel

ROOM = "aio-echo"
RATE = 48000
FRAME_MS = 20


async def bot(duration: float) -> None:
    params = room_helpers.enter_params("bot", ROOM, rate=RATE)
    async with ostrel.aio.connect(params) as conn:
        loop = asyncio.get_running_loop()
        hearing = conn.audio("alice")
        commands = conn.events("OnReceiveCustomCmdMsg")
        sender = conn.audio_sender(RATE, 1, FRAME_MS)
        delay_line: "asyncio.Queue[Tuple[float, bytes]]" = asyncio.Queue()

        async def listen() -> None:
            async for frame in hearing:
                delay_line.put_nowait((loop.time() + 1.0, frame.data))

        async def speak() -> None:
            while True:
                due, pcm = await delay_line.get()
                await asyncio.sleep(due - loop.time())
                await sender.write(pcm)

        async def obey() -> None:
            async for event in commands:  # typed: OnReceiveCustomCmdMsg events
                print(f"bot: {event.user_id} says {event.message.decode()!r}")
                if event.message == b"stop":
                    sender.clear()  # the bot stops talking within a frame
                    while not delay_line.empty():
                        delay_line.get_nowait()
                conn.send_command(event.cmd_id, b"ok: " + event.message)

        tasks = [asyncio.ensure_future(job()) for job in (listen, speak, obey)]
        await asyncio.sleep(duration)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        print(f"bot: heard {hearing.stats}")
        print(f"bot: commands {commands.stats}")
        print(f"bot: spoke {sender.frames_sent} frames, {sender.frames_cleared} cut off by 'stop'")


def tone(index: int, samples: int) -> bytes:
    start = index * samples
    return struct.pack(
        "<%dh" % samples, *(int(8000 * math.sin(2 * math.pi * 330 * (start + i) / RATE)) for i in range(samples))
    )


async def alice(duration: float) -> None:
    """The participant: talks, says hello, and tells the bot to stop half-way through."""
    await asyncio.sleep(0.2)  # the bot is in the room first
    async with ostrel.aio.connect(room_helpers.enter_params("alice", ROOM, rate=RATE)) as conn:
        voice = conn.audio_sender()  # the format alice hears: 48 kHz mono, 20 ms

        async def answer(cmd_id: int) -> bytes:
            return (await conn.wait_for("OnReceiveCustomCmdMsg", lambda e: e.cmd_id == cmd_id)).message

        greeted = asyncio.ensure_future(answer(1))  # waiting before asking: the answer cannot be missed
        conn.send_command(1, b"hello")
        talking = asyncio.ensure_future(
            voice.write(b"".join(tone(i, RATE * FRAME_MS // 1000) for i in range(int(duration * 25))))
        )
        await asyncio.sleep(duration / 2)
        stopped = asyncio.ensure_future(answer(2))
        conn.send_command(2, b"stop")
        replies: List[bytes] = [await greeted, await stopped]
        print(f"alice: the bot answered {replies}")
        await asyncio.sleep(duration / 2 - 0.5)
        voice.clear()
        await talking


async def main_async(duration: float) -> None:
    await asyncio.gather(bot(duration), alice(duration - 0.5))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="An asyncio echo bot on the loopback SDK.")
    parser.add_argument("--duration", type=float, default=4.0)
    args = parser.parse_args(argv)
    asyncio.run(main_async(args.duration))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
