"""``ostrel.aio``: bots in asyncio on top of ``_ostrel``.

    async with ostrel.aio.connect(params) as conn:
        async for event in conn.events("OnReceiveCustomCmdMsg"):
            ...

The SDK calls its delegate on threads of its own; this layer's delegate hands each event to the
connection's event loop and returns at once (never waiting for the loop), and the bot consumes
events and frames as async iterators: ``conn.events()``, ``conn.audio()``, ``conn.video()``.
Frame streams are bounded and drop their oldest frame when full, counting what they drop; control
events are never dropped. When the SDK ends the stay (a kick, say), streams and sends raise
``ConnectionClosed``. ``conn.audio_sender()`` paces outgoing PCM in real time and can be
silenced at once with ``clear()``. The layer uses only the binding's public surface, so it works
the same over the loopback SDK and a vendor one.
"""
from ._connection import Connection, VideoFrameType, connect
from ._errors import ConnectionClosed, SdkError
from ._events import BACKLOG_LIMIT, EventStream
from ._frames import FrameStream
from ._hub import EVENT_NAMES, Event
from ._sender import LEAD_FRAMES, MAX_BEHIND_FRAMES, AudioSender
from ._stats import StreamStats

__all__ = [
    "AudioSender",
    "BACKLOG_LIMIT",
    "Connection",
    "ConnectionClosed",
    "EVENT_NAMES",
    "Event",
    "EventStream",
    "FrameStream",
    "LEAD_FRAMES",
    "MAX_BEHIND_FRAMES",
    "SdkError",
    "StreamStats",
    "VideoFrameType",
    "connect",
]
