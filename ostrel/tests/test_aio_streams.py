"""Frame streams: bounded with the oldest dropped and counted, a slow consumer's latency bounded
by maxsize, video subscribed while a stream is open, and audio pulled with GetAudioFrame."""

import asyncio

import pytest
from aio_support import idle, params, pcm_frame, run

import _ostrel as o
import ostrel
import ostrel_loopback

pytestmark = pytest.mark.usefixtures("nothing_left_behind")


async def _speaker(room, user="speaker"):
    cloud = o.VONUCloud(None)
    assert cloud.EnterRoom(params(user, room)) == 0
    idle()
    assert cloud.CreateLocalAudioChannel(o.AudioEncodeParams()) == 0
    idle()
    return cloud


def test_slow_consumer_drops_oldest_and_counts():
    async def main():
        async with ostrel.aio.connect(params("bot", "slow")) as conn:
            stream = conn.audio("speaker", maxsize=5)
            speaker = await _speaker("slow")
            for i in range(40):
                assert speaker.SendAudioFrame(pcm_frame(i)) == 0
            idle()
            await asyncio.sleep(0)
            first = await stream.__anext__()
            rest = [await stream.__anext__() for _ in range(4)]
            stats = stream.stats
            assert (stats.received, stats.dropped, stats.max_depth) == (40, 35, 5)
            # The newest frames survive, in order: what the consumer sees is at most maxsize old.
            assert [f.data[:2] for f in [first] + rest] == [pcm_frame(i).data[:2] for i in range(35, 40)]
            assert stats.max_lag_ms > 0
            assert stream.take_nowait() is None
            await stream.aclose()
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            speaker.SendAudioFrame(pcm_frame(99))
            idle()
            assert stream.stats.received == 40  # closed: no longer fed
            del speaker

    run(main())


def test_all_audio_mixed_and_per_user_rules():
    async def main():
        async with ostrel.aio.connect(params("bot", "mixed", mix=True)) as conn:
            with pytest.raises(ValueError):
                conn.audio("speaker")  # mixed audio carries no user
            stream = conn.audio()
            speaker = await _speaker("mixed")
            for i in range(3):
                speaker.SendAudioFrame(pcm_frame(1000))
            frames = [await stream.__anext__() for _ in range(3)]
            assert all(f.data == pcm_frame(1000).data for f in frames)
            del speaker

    run(main())


def test_pulled_audio_reaches_the_stream():
    async def main():
        async with ostrel.aio.connect(params("bot", "pull", method=o.AUDIO_OBTAIN_METHOD_GET)) as conn:
            stream = conn.audio(maxsize=100)
            speaker = await _speaker("pull")
            for i in range(10):
                speaker.SendAudioFrame(pcm_frame(i))
            got = [await stream.__anext__() for _ in range(10)]
            assert [f.data[:2] for f in got] == [pcm_frame(i).data[:2] for i in range(10)]
            assert stream.stats.dropped == 0
            # A pulled stream the bot closed takes no more frames, while an open one still does.
            await stream.aclose()
            other = conn.audio(maxsize=100)
            speaker.SendAudioFrame(pcm_frame(99))
            await other.__anext__()
            assert stream.stats.received == 10
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            del speaker

    run(main())


def test_video_subscribes_while_open():
    async def main():
        async with ostrel.aio.connect(params("bot", "video")) as conn:
            sender = o.VONUCloud(None)
            sender.EnterRoom(params("cam", "video"))
            idle()
            sender.CreateLocalVideoChannel(o.STREAM_TYPE_VIDEO_HIGH)
            ostrel_loopback.clear()
            ostrel_loopback.record(True)
            first = conn.video("cam", maxsize=2)
            second = conn.video("cam")
            low = conn.video("cam", o.STREAM_TYPE_VIDEO_LOW)
            frame = o.VideoFrame()
            for i in range(4):
                frame.SetData(b"frame%d" % i)
                sender.SendVideoFrame(o.STREAM_TYPE_VIDEO_HIGH, frame)
            idle()
            await asyncio.sleep(0)
            assert [first.take_nowait().data for _ in range(2)] == [b"frame2", b"frame3"]
            assert first.stats.dropped == 2 and low.take_nowait() is None
            await first.aclose()
            subscriptions = [c for c, _ in ostrel_loopback.calls() if c in ("Subscribe", "Unsubscribe")]
            assert subscriptions == ["Subscribe", "Subscribe"]  # one per user and stream type
            await second.aclose()
            unsubscribed = ostrel_loopback.last_call("Unsubscribe")
            assert unsubscribed is not None and unsubscribed["type"] == int(o.STREAM_TYPE_VIDEO_HIGH)
            ostrel_loopback.record(False)
            with pytest.raises(ostrel.aio.SdkError):
                conn.video("")
            del sender
        assert low.closed  # the connection's exit ends every stream

    run(main())
