"""A bot on ostrel.aio as a type checker sees it: events are typed by the name asked for, so a
misspelt event name or argument, or a user id used as if never None, is an error.
scripts/check_types.sh expects mypy and pyright to flag exactly the lines marked "expect:".
"""
import ostrel
from ostrel.aio import Connection
from ostrel.aio.events import OnReceiveCustomCmdMsg


async def greeter(conn: Connection) -> None:
    async for event in conn.events("OnRemoteUserEnterRoom"):
        conn.send_command(1, b"hello " + (event.info.user_id.GetValue() or "?").encode())
    hello = await conn.wait_for("OnReceiveCustomCmdMsg", lambda e: e.message == b"hi", timeout=5.0)
    first: OnReceiveCustomCmdMsg = hello
    print(first.cmd_id + first.seq, hello.time)
    quality = await conn.wait_for("OnNetworkQuality")
    print([info.quality for info in quality.remote_qualities])
    sender = conn.audio_sender()
    await sender.write(bytes(sender.sample_rate // 50 * 2))


async def wrong(conn: Connection) -> None:
    hello = await conn.wait_for("OnReceiveCustomCmdMsg")
    print(hello.mesage)  # expect: no such attribute
    hello.user_id.encode()  # expect: may be None
    conn.events("OnRecieveCustomCmdMsg")  # expect: no such event
    await conn.wait_for("OnError", lambda e: e.message == b"")  # expect: OnError has no message


def connect(params: ostrel.EnterRoomParams) -> Connection:
    return ostrel.aio.connect(params)
