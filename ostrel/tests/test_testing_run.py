"""Loopback.run: an asyncio bot's life in virtual time. The bot's own timers, the SDK's reports
and paced audio all follow the SDK clock, the loop never moves it past a delivery still under
way, the same scenario gives the same sequence every run, and tasks left behind fail the run."""

import asyncio
import time

import pytest

import ostrel
import ostrel_loopback
from ostrel.testing import Loopback, dominant_hz, tone_pcm

RATE = 48000


def test_the_bots_timers_and_the_sdks_reports_share_one_clock(loopback: Loopback) -> None:
    room = loopback.room()
    loopback.set_quality_interval(2000)

    async def main() -> None:
        loop = asyncio.get_running_loop()
        start = loop.time()
        await asyncio.sleep(30)  # the bot's own timer
        assert loop.time() - start == 30.0
        async with ostrel.aio.connect(room.params("bot")) as bot, ostrel.aio.connect(room.params("watcher")) as watcher:
            await bot.events().aclose()  # past reports stay in the backlog: streams from now on
            begin = loop.time()
            with pytest.raises(asyncio.TimeoutError):
                await bot.wait_for("OnError", timeout=5)
            assert loop.time() - begin == 5.0
            replies = watcher.events("OnReceiveCustomCmdMsg")
            reports = []
            async for report in bot.events("OnNetworkQuality"):
                bot.send_command(1, b"report")  # answered at once
                reports.append(report.time)
                if len(reports) == 4:
                    break
            assert [b - a for a, b in zip(reports, reports[1:])] == [2.0, 2.0, 2.0]
            assert [(await replies.__anext__()).time for _ in reports] == reports

    wall = time.monotonic()
    loopback.run(main())
    assert time.monotonic() - wall < 15  # some 45 s of the bot's time


def test_paced_audio_both_ways_in_virtual_time(loopback: Loopback) -> None:
    room = loopback.room()
    alice = room.participant("alice", sample_rate=RATE, channels=1)
    tone = tone_pcm(440, RATE, 0, RATE)  # one second

    async def main() -> None:
        async with ostrel.aio.connect(room.params("bot", sample_rate=RATE, channels=1)) as bot:
            sender = bot.audio_sender()
            heard = bot.audio("alice", maxsize=100)
            alice.send_audio(tone, RATE)
            for _ in range(50):  # an echo: what alice says goes back to her
                await sender.write(await heard.__anext__())
            await sender.write(bytes(RATE * 2 * 10))  # then ten seconds of silence, paced
            await sender.drain()
            assert sender.stats.late == 0

    wall = time.monotonic()
    loopback.run(main())
    assert time.monotonic() - wall < 10
    loopback.wait_idle()
    echo = alice.heard("bot")
    assert len(echo) == RATE * 2 * 11  # everything arrived
    assert abs(dominant_hz(echo[: RATE * 2], RATE) - 440) < 1


def test_same_sequence_every_run(loopback: Loopback) -> None:
    loopback.set_quality_interval(500)

    async def scenario(room_id: str) -> list:
        room = loopback.room(room_id)
        async with ostrel.aio.connect(room.params("bot")) as bot, ostrel.aio.connect(room.params("peer")) as peer:
            events = bot.events("OnNetworkQuality", "OnReceiveCustomCmdMsg")
            start = (await bot.wait_for("OnNetworkQuality")).time  # the reports run on a schedule of their own
            seen = []
            for i in range(6):
                await asyncio.sleep(0.3)
                peer.send_command(2, b"%d" % i)
                event = await events.__anext__()
                seen.append((event.name, round(event.time - start, 3)))
            return seen

    runs = [loopback.run(scenario("same-%d" % i)) for i in range(3)]
    assert runs[0] == runs[1] == runs[2]
    assert ("OnNetworkQuality", runs[0][0][1]) in runs[0]  # reports and messages interleave


def test_the_loop_never_jumps_past_a_delivery_under_way(loopback: Loopback) -> None:
    room = loopback.room()

    async def main() -> None:
        async with ostrel.aio.connect(room.params("bot")) as bot:
            loop = asyncio.get_running_loop()
            start = loop.time()
            for _ in range(5):
                last = asyncio.ensure_future(bot.wait_for("OnError", lambda e: int(e.error) == -2, timeout=0.01))
                await asyncio.sleep(0)
                for _ in range(500):  # a queue the SDK's event thread is still delivering when all tasks wait
                    ostrel_loopback.inject("bot", "OnError", -1)
                ostrel_loopback.inject("bot", "OnError", -2)
                await last
            assert loop.time() == start

    loopback.run(main())


def test_what_the_bot_leaves_behind_fails_the_run(loopback: Loopback) -> None:
    async def crashed() -> None:
        raise ValueError("the bot's helper failed")

    async def forever() -> None:
        while True:
            await asyncio.sleep(1)

    async def main() -> None:
        asyncio.ensure_future(crashed())
        asyncio.ensure_future(forever())
        await asyncio.sleep(5)

    with pytest.raises(AssertionError) as failure:
        loopback.run(main())
    assert "forever" in str(failure.value) and "ValueError: the bot's helper failed" in str(failure.value)
    with pytest.raises(TimeoutError, match="does the bot ever end"):
        loopback.run(forever(), timeout=0.5)
