"""Entering and leaving with ostrel.aio.connect, and the three ways entering fails: each leaves no
cloud, thread or task behind (the autouse fixture checks the SDK and threads)."""

import asyncio

import pytest
from aio_support import idle, params, run

import _ostrel as o
import ostrel
import ostrel_loopback
from ostrel.aio import BACKLOG_LIMIT as BACKLOG

pytestmark = pytest.mark.usefixtures("nothing_left_behind")


def test_enter_and_exit_seen_by_another_member():
    async def main():
        async with ostrel.aio.connect(params("watcher", "enter")) as watcher:
            seen = watcher.events("OnRemoteUserEnterRoom", "OnRemoteUserExitRoom")
            async with ostrel.aio.connect(params("bot", "enter")) as conn:
                assert conn.user_id == "bot"
                assert isinstance(conn.cloud, o.VONUCloud)
                assert ostrel_loopback.live_instances() == 2
                cloud = conn.cloud
            assert ostrel_loopback.live_instances() == 1  # released at the block's end
            with pytest.raises(RuntimeError):
                conn.cloud
            with pytest.raises(RuntimeError):  # a kept reference no longer reaches the SDK
                cloud.ExitRoom()
            names = [(await seen.__anext__()).name for _ in range(2)]
            assert names == ["OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"]
            assert seen.stats.dropped == 0

    run(main())


def test_enter_room_refused_raises_sdk_error():
    bad = params("bot", "refused")
    bad.room.user_sig.SetValue("")

    async def main():
        with pytest.raises(ostrel.aio.SdkError) as caught:
            async with ostrel.aio.connect(bad):
                pass
        return caught.value

    error = run(main())
    assert error.code == int(o.ERR_INVALID_USER_SIG) and error.code_name == "ERR_INVALID_USER_SIG"
    assert ostrel_loopback.live_instances() == 0


class _Silent(o.VONUCloud):
    """A cloud whose EnterRoom reports success and never enters: OnEnterRoom never comes."""

    def EnterRoom(self, params):
        return 0


class _Failing(o.VONUCloud):
    """A cloud whose entry fails the way a server refuses: OnError before any OnEnterRoom."""

    def EnterRoom(self, params):
        ostrel_loopback.inject(None, "OnError", int(o.ERR_ENTER_ROOM_FAILED))
        return 0


def test_error_before_entering_and_timeout(monkeypatch):
    async def enter(timeout):
        async with ostrel.aio.connect(params("bot", "failing"), timeout=timeout):
            pass

    monkeypatch.setattr(ostrel.aio._connection._ostrel, "VONUCloud", _Failing)
    with pytest.raises(ostrel.aio.SdkError) as caught:
        run(enter(10.0))
    assert caught.value.code == int(o.ERR_ENTER_ROOM_FAILED)

    monkeypatch.setattr(ostrel.aio._connection._ostrel, "VONUCloud", _Silent)
    with pytest.raises(asyncio.TimeoutError):
        run(enter(0.2))
    idle()
    assert ostrel_loopback.live_instances() == 0


def test_cancelled_while_entering_and_inside_block():
    async def cancel_inside():
        entered = asyncio.Event()

        async def bot():
            async with ostrel.aio.connect(params("bot", "cancel")) as conn:
                entered.set()
                async for _ in conn.events():
                    pass

        task = asyncio.ensure_future(bot())
        await entered.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    async def cancel_entering():
        monkey = ostrel.aio._connection._ostrel.VONUCloud
        task = asyncio.ensure_future(ostrel.aio.connect(params("bot2", "cancel")).__aenter__())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert monkey is o.VONUCloud

    run(cancel_inside())
    run(cancel_entering())


@pytest.mark.parametrize(
    "how, code",
    [
        ("kicked", o.ERR_BANNED_BY_SERVER),
        ("replaced", o.ERR_INVALID_USER_ID),  # the same user id entering elsewhere
        ("exited", 0),  # an OnExitRoom the bot did not ask for, with no error before it
    ],
)
def test_a_stay_the_sdk_ends_ends_the_connection(how, code, caplog):
    # Every stream ends with ConnectionClosed once what was queued is read, and so do waiting and
    # later sends; leaving then has no exit to wait for. The write waiting as the stay ends may
    # instead meet a frame the SDK refused before its event reached the loop.
    async def ended(conn, audio, errors, writing, sender):
        if code:
            assert int((await errors.__anext__()).args[0]) == int(code)
        with pytest.raises(ostrel.aio.SdkError) as caught:
            await writing
        assert isinstance(caught.value, ostrel.aio.ConnectionClosed) or "SendAudioFrame" in str(caught.value)
        for read in (audio.__anext__(), errors.__anext__(), sender.write(b"\0\0")):
            with pytest.raises(ostrel.aio.ConnectionClosed) as caught:
                await read
            assert caught.value.code == int(code) and caught.value.reason
        assert conn.closed
        with pytest.raises(ostrel.aio.ConnectionClosed):
            conn.send_command(1, b"x")

    async def main():
        async with ostrel.aio.connect(params("twin", how)) as conn:
            audio, errors = conn.audio("nobody"), conn.events("OnError")
            sender = conn.audio_sender()
            writing = asyncio.ensure_future(sender.write(bytes(1920 * 50)))
            await asyncio.sleep(0.05)
            if how != "replaced":
                if how == "kicked":
                    ostrel_loopback.kick("twin", 7)
                else:
                    ostrel_loopback.inject("twin", "OnExitRoom")
                await ended(conn, audio, errors, writing, sender)
            else:
                async with ostrel.aio.connect(params("twin", how)):
                    await ended(conn, audio, errors, writing, sender)

    run(main(), timeout=20)
    assert "OnExitRoom" not in caplog.text


def test_bad_arguments_are_refused_at_once(caplog):
    with pytest.raises(TypeError, match="EnterRoomParams"):
        ostrel.aio.connect(None)

    async def main():
        async with ostrel.aio.connect(params("bot", "arguments")) as conn:
            with pytest.raises(ValueError):
                conn.events("OnError", maxsize=0)
            for open_stream in (conn.audio, conn.video):
                with pytest.raises(TypeError):
                    open_stream(b"bob")
            for _ in range(BACKLOG + 5):  # before the first events() call
                ostrel_loopback.raise_error("bot", -1)
            idle()
            await asyncio.sleep(0.05)

    run(main())
    assert "backlog of 1,000 events full before the first events() call" in caplog.text
    assert "too slow" not in caplog.text


def test_a_forgotten_connection_leaves_with_a_resource_warning():
    async def main():
        conn = await ostrel.aio.connect(params("bot", "forgotten")).__aenter__()
        conn.events()  # streams refer to the connection only weakly too
        assert ostrel_loopback.live_instances() == 1
        with pytest.warns(ResourceWarning, match="was not closed"):
            del conn  # no cycle: freed at once, without a collection
        assert ostrel_loopback.live_instances() == 0

    run(main())


def test_awaited_connection_users_in_the_room_and_state():
    async def main():
        conn = await ostrel.aio.connect(params("bot", "users"))
        assert conn.state == "in the room" and "'bot' in 'users', in the room" in repr(conn)
        arrivals = conn.events("OnRemoteUserEnterRoom", "OnRemoteAudioAvailable", "OnRemoteUserExitRoom")
        speaker = o.VONUCloud(None)
        assert speaker.EnterRoom(params("speaker", "users")) == 0
        entered = await arrivals.__anext__()
        assert entered.info.user_id.GetValue() == "speaker"
        assert conn.remote_users["speaker"] == ostrel.aio.RemoteUser("speaker")  # known before it is read
        speaker.CreateLocalAudioChannel(o.AudioEncodeParams())
        await arrivals.__anext__()
        assert conn.remote_users["speaker"].audio
        del speaker
        while (await arrivals.__anext__()).name != "OnRemoteUserExitRoom":
            pass
        assert dict(conn.remote_users) == {}
        await conn.close()
        assert conn.state == "closed" and conn.closed

    run(main())
