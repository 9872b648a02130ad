"""``ostrel.aio``: bots in asyncio on top of ``_ostrel``.

    async with ostrel.aio.connect(params) as conn:
        hello = await conn.wait_for("OnReceiveCustomCmdMsg", lambda e: e.message == b"hello")
        async for frame in conn.audio(hello.user_id):
            ...

The SDK calls its delegate on threads of its own; this layer's delegate hands each event to the
connection's event loop and returns at once (never waiting for the loop), and the bot consumes
events and frames as async iterators: ``conn.events()``, ``conn.audio()``, ``conn.video()``, or
waits for one event with ``conn.wait_for()``. Events are typed: each is of its callback's class
in ``ostrel.aio.events``, with the callback's arguments as attributes. Frame streams are bounded
and drop their oldest frame when full, counting what they drop; control events are never dropped.
``conn.audio_sender()`` paces outgoing PCM in real time and can be silenced at once with
``clear()``. When the SDK ends the stay (a kick, say), streams and sends raise
``ConnectionClosed``. The layer uses only the binding's public surface, so it works the same over
the loopback SDK and a vendor one. docs/aio.md is the reference.
"""

from . import events
from ._connection import ENDING_ERRORS, Connection, RemoteUser, State, VideoFrameType, connect
from ._errors import ConnectionClosed, SdkError
from ._event import Event
from ._events import BACKLOG_LIMIT, EventStream
from ._frames import FrameStream
from ._hub import EVENT_NAMES
from ._sender import LATE_FRAMES, LEAD_FRAMES, MAX_BEHIND_FRAMES, AudioSender, SenderStats
from ._stats import StreamStats
from .events import EventName

__all__ = [
    "AudioSender",
    "BACKLOG_LIMIT",
    "Connection",
    "ConnectionClosed",
    "ENDING_ERRORS",
    "EVENT_NAMES",
    "Event",
    "EventName",
    "EventStream",
    "FrameStream",
    "LATE_FRAMES",
    "LEAD_FRAMES",
    "MAX_BEHIND_FRAMES",
    "RemoteUser",
    "SdkError",
    "SenderStats",
    "State",
    "StreamStats",
    "VideoFrameType",
    "connect",
    "events",
]
