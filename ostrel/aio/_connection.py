"""``connect()`` and ``Connection``: one cloud in one room, seen from one asyncio event loop.

Entering makes a cloud whose delegate is a ``HubDelegate`` and calls ``EnterRoom``; the hub's
state sink (a sink read by the connection itself) resolves the entry on ``OnEnterRoom``, fails it
on ``OnError``, and follows the local audio channel and the exit. Leaving, however the block ends,
calls ``ExitRoom``, waits at most ``exit_timeout`` for ``OnExitRoom`` and then destroys the SDK
instance at once through the cloud's finalizer, so no SDK thread or instance outlives the block
even when the bot still holds a reference to ``conn.cloud`` (its methods then raise).

Objects: the cloud holds the delegate, the delegate holds the hub, the hub holds the sinks; the
connection holds the cloud and the hub. Nothing the SDK threads reach holds the cloud, so there is
no cycle through it.
"""
import asyncio
import logging
from collections import deque
from time import monotonic
from typing import Any, Deque, Dict, FrozenSet, List, Optional, Tuple, Union

import _ostrel

from ._errors import SdkError
from ._events import BACKLOG_LIMIT, EventStream
from ._frames import FrameStream
from ._hub import EVENT_NAMES, Event, Hub, HubDelegate
from ._sender import AudioSender

log = logging.getLogger("ostrel.aio")

VideoFrameType = Union[_ostrel.VideoFrame, _ostrel.PixelFrame]


class _StateSink:
    """The connection's own listener: entering, errors, the local audio channel, leaving."""

    NAMES = ("OnEnterRoom", "OnError", "OnExitRoom", "OnLocalAudioChannelCreated", "OnLocalAudioChannelDestroyed")

    def __init__(self, connection: "Connection") -> None:
        self._connection = connection  # told about each event, on the loop
        self._events: Deque[Event] = deque()  # events waiting for the loop

    def push(self, event: Event) -> None:
        self._events.append(event)

    def poke(self) -> None:
        while self._events:
            self._connection._on_state(self._events.popleft())


class Connection:
    """A room entered through ``connect()``; see the package documentation."""

    def __init__(self, params: _ostrel.EnterRoomParams, timeout: float, exit_timeout: float) -> None:
        self._params = params  # what EnterRoom is called with
        self._timeout = timeout  # seconds to wait for OnEnterRoom
        self._exit_timeout = exit_timeout  # seconds to wait for OnExitRoom when leaving
        self.user_id: Optional[str] = params.room.user_id.GetValue()  # the user id it entered with
        obtain = params.audio_obtain_params
        self._pull = obtain.audio_obtain_method == _ostrel.AUDIO_OBTAIN_METHOD_GET  # audio by GetAudioFrame
        self._mixed = bool(obtain.enable_remote_audio_mix)  # audio arrives mixed
        self._pull_ms = int(obtain.output_frame_length_ms) or 20  # the pull interval
        self._cloud: Optional[_ostrel.VONUCloud] = None  # the SDK instance, while in the room
        self._hub: Optional[Hub] = None  # hand-over from SDK threads, made on entering
        self._backlog: Optional[EventStream] = None  # events kept for the first events() iterator
        self._entered: Optional["asyncio.Future[None]"] = None  # resolved by OnEnterRoom, failed by OnError
        self._exited: Optional["asyncio.Future[None]"] = None  # resolved by OnExitRoom
        self._audio_channel = False  # a local audio channel exists
        self._streams: List[Union[EventStream, FrameStream[Any]]] = []  # open streams, closed on exit
        self._pulled: List[FrameStream[_ostrel.AudioFrame]] = []  # streams fed by GetAudioFrame
        self._pull_task: Optional["asyncio.Task[None]"] = None  # the GetAudioFrame poller
        self._senders: List[AudioSender] = []  # audio senders, stopped on exit
        self._subscriptions: Dict[Tuple[str, int], int] = {}  # (user, stream type) -> open video streams

    # -- entering and leaving -------------------------------------------------------------------
    async def __aenter__(self) -> "Connection":
        if self._hub is not None:
            raise RuntimeError("ostrel.aio: a connection is entered once")
        loop = asyncio.get_running_loop()
        hub = self._hub = Hub(loop)
        self._entered, self._exited = loop.create_future(), loop.create_future()
        hub.add(_StateSink(self), _StateSink.NAMES)
        self._backlog = EventStream(hub, frozenset(EVENT_NAMES), 0, limit=BACKLOG_LIMIT)
        hub.add(self._backlog, EVENT_NAMES)
        try:
            self._cloud = _ostrel.VONUCloud(HubDelegate(hub))
            code = self._cloud.EnterRoom(self._params)
            if code != 0:
                raise SdkError(code, "EnterRoom")
            await asyncio.wait_for(self._entered, self._timeout)
        except BaseException:
            self._release()
            raise
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    async def close(self) -> None:
        """Leaves the room and releases the cloud (what leaving the ``async with`` block does)."""
        cloud, exited = self._cloud, self._exited
        if cloud is None or exited is None:
            return
        self._stop_users()
        try:
            if not exited.done() and cloud.ExitRoom() == 0:
                try:
                    await asyncio.wait_for(asyncio.shield(exited), self._exit_timeout)
                except asyncio.TimeoutError:
                    log.warning("ostrel.aio: no OnExitRoom within %.1f s; releasing the cloud", self._exit_timeout)
        except RuntimeError as error:  # a cloud of another process (after fork), or destroyed
            log.debug("ostrel.aio: ExitRoom not possible: %s", error)
        finally:
            self._release()

    def _stop_users(self) -> None:
        for sender in self._senders:
            sender.close()
        self._senders.clear()
        for stream in list(self._streams):
            stream.close()
        if self._pull_task is not None:
            self._pull_task.cancel()
            self._pull_task = None

    def _release(self) -> None:
        self._stop_users()
        if self._hub is not None:
            self._hub.close()
        cloud, self._cloud = self._cloud, None
        if cloud is not None:
            cloud.__del__()  # destroys the SDK instance now, with the GIL released; later calls raise
        for future in (self._entered, self._exited):
            if future is not None and not future.done():
                future.cancel()

    def _on_state(self, event: Event) -> None:
        entered, exited = self._entered, self._exited
        assert entered is not None and exited is not None
        if event.name == "OnEnterRoom":
            if not entered.done():
                entered.set_result(None)
        elif event.name == "OnError":
            if not entered.done():
                entered.set_exception(SdkError(int(event.args[0]), "OnError"))
        elif event.name == "OnExitRoom":
            self._audio_channel = False
            if not exited.done():
                exited.set_result(None)
        else:
            self._audio_channel = event.name == "OnLocalAudioChannelCreated"

    # -- what a bot uses ------------------------------------------------------------------------
    @property
    def cloud(self) -> _ostrel.VONUCloud:
        """The ``VONUCloud``, for everything the layer does not wrap; only inside the block."""
        if self._cloud is None:
            raise RuntimeError("ostrel.aio: the connection is not in a room")
        return self._cloud

    @property
    def dropped_events(self) -> int:
        """Events that arrived after the connection's event loop was closed (and were dropped)."""
        return self._hub.dropped if self._hub is not None else 0

    def _live_hub(self) -> Hub:
        if self._hub is None or self._cloud is None:
            raise RuntimeError("ostrel.aio: the connection is not in a room")
        return self._hub

    def events(self, *names: str, maxsize: int = 50) -> EventStream:
        """An async iterator of ``Event``s: every callback, or those named. Frame events (if any
        are wanted) are bounded by ``maxsize``, oldest dropped; control events never are. The first
        call also yields what arrived since the room was entered."""
        hub = self._live_hub()
        unknown = set(names) - set(EVENT_NAMES)
        if unknown:
            raise ValueError(f"ostrel.aio: not delegate events: {sorted(unknown)}")
        wanted: FrozenSet[str] = frozenset(names or EVENT_NAMES)
        stream, self._backlog = self._backlog, None
        if stream is None:
            stream = EventStream(hub, wanted, maxsize)
        else:
            stream.retarget(wanted, maxsize)
        hub.add(stream, wanted)
        self._track(stream)
        return stream

    def audio(self, user_id: Optional[str] = None, *, maxsize: int = 50) -> FrameStream[_ostrel.AudioFrame]:
        """An async iterator of ``AudioFrame``s: ``user_id``'s, or with None all the room's audio as
        the room's ``audio_obtain_params`` deliver it (mixed, per user, or pulled)."""
        hub = self._live_hub()
        if user_id is not None and (self._pull or self._mixed):
            raise ValueError("ostrel.aio: one user's audio needs AUDIO_OBTAIN_METHOD_CALLBACK without mixing")
        what = f"audio stream of {user_id!r}" if user_id is not None else "audio stream"
        stream: FrameStream[_ostrel.AudioFrame] = FrameStream(
            hub, what, maxsize, (lambda e: True) if user_id is None else (lambda e: e.args[0] == user_id))
        self._track(stream)
        if self._pull:
            self._pulled.append(stream)
            if self._pull_task is None:
                self._pull_task = hub.loop.create_task(self._pull_audio())
        else:
            hub.add(stream, ("OnRemoteMixedAudioReceived",) if self._mixed else ("OnRemoteAudioReceived",))
        return stream

    def video(self, user_id: str, stream_type: _ostrel.StreamType = _ostrel.STREAM_TYPE_VIDEO_HIGH, *,
              maxsize: int = 2) -> FrameStream[VideoFrameType]:
        """Subscribes to ``user_id``'s video of ``stream_type`` and yields its ``VideoFrame``s or
        ``PixelFrame``s; closing the stream unsubscribes."""
        hub, cloud = self._live_hub(), self.cloud
        key = (user_id, int(stream_type))
        if not self._subscriptions.get(key):
            code = cloud.Subscribe(user_id, stream_type)
            if code != 0:
                raise SdkError(code, "Subscribe")
        self._subscriptions[key] = self._subscriptions.get(key, 0) + 1
        stream: FrameStream[VideoFrameType] = FrameStream(
            hub, f"video stream of {user_id!r}", maxsize,
            lambda e: e.args[0] == user_id and e.args[1] == stream_type,
            on_close=lambda: self._unsubscribe(user_id, stream_type))
        hub.add(stream, ("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived"))
        self._track(stream)
        return stream

    def audio_sender(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20) -> AudioSender:
        """A paced sender of 16-bit PCM; creates the local audio channel if there is none."""
        hub, cloud = self._live_hub(), self.cloud
        if not self._audio_channel:
            params = _ostrel.AudioEncodeParams()
            params.sample_rate, params.channels, params.frame_length_ms = sample_rate, channels, frame_ms
            code = cloud.CreateLocalAudioChannel(params)
            if code != 0:
                raise SdkError(code, "CreateLocalAudioChannel")
            self._audio_channel = True
        sender = AudioSender(hub.loop, cloud.SendAudioFrame, sample_rate, channels, frame_ms)
        self._senders.append(sender)
        return sender

    def send_sei(self, message_type: int, message: bytes) -> int:
        """``SendSeiMessage``; returns the SDK's result."""
        return self.cloud.SendSeiMessage(message_type, message)

    def send_command(self, cmd_id: int, message: bytes, reliable: bool = True, ordered: bool = True) -> int:
        """``SendCustomCmdMsg``; returns the SDK's result (non-zero when sent)."""
        return self.cloud.SendCustomCmdMsg(cmd_id, message, reliable, ordered)

    # -- internals ------------------------------------------------------------------------------
    def _track(self, stream: Union[EventStream, FrameStream[Any]]) -> None:
        self._streams.append(stream)

        def forget() -> None:
            self._streams.remove(stream)
            if stream in self._pulled:
                self._pulled.remove(stream)  # type: ignore[arg-type]

        stream.add_close_callback(forget)

    def _unsubscribe(self, user_id: str, stream_type: _ostrel.StreamType) -> None:
        key = (user_id, int(stream_type))
        self._subscriptions[key] -= 1
        if self._subscriptions[key] == 0:
            del self._subscriptions[key]
            if self._cloud is not None and self._exited is not None and not self._exited.done():
                try:
                    self._cloud.Unsubscribe(user_id, stream_type)
                except RuntimeError as error:
                    log.debug("ostrel.aio: Unsubscribe not possible: %s", error)

    async def _pull_audio(self) -> None:
        """Takes every frame waiting for GetAudioFrame once per frame interval."""
        loop = asyncio.get_running_loop()
        interval = self._pull_ms / 1000.0
        next_tick = loop.time()
        try:
            while self._cloud is not None:
                frame = _ostrel.AudioFrame()
                taken = 0
                while self._cloud.GetAudioFrame(frame) == 0:
                    now = monotonic()
                    for stream in self._pulled:
                        stream.push_frame(frame, now)
                    taken += 1
                    frame = _ostrel.AudioFrame()
                if taken:
                    for stream in self._pulled:
                        stream.poke()
                next_tick = max(next_tick + interval, loop.time())
                await asyncio.sleep(next_tick - loop.time())
        except asyncio.CancelledError:
            raise
        except Exception:
            log.exception("ostrel.aio: pulling audio stopped")


def connect(params: _ostrel.EnterRoomParams, *, timeout: float = 10.0, exit_timeout: float = 5.0) -> Connection:
    """``async with connect(params) as conn:`` enters a room and leaves it at the block's end.

    Raises ``SdkError`` when ``EnterRoom`` fails or ``OnError`` comes before ``OnEnterRoom``, and
    ``asyncio.TimeoutError`` when ``OnEnterRoom`` takes longer than ``timeout`` seconds; either way
    nothing is left behind.
    """
    return Connection(params, timeout, exit_timeout)
