"""``connect()`` and ``Connection``: one cloud in one room, seen from one asyncio event loop.

Entering makes a cloud whose delegate queues for the hub (``Hub.delegate``) and calls ``EnterRoom``; the hub's
state sink (a sink read by the connection itself) resolves the entry on ``OnEnterRoom``, fails it
on ``OnError``, and follows the local audio channel and the end of the stay. Leaving, however the
block ends, calls ``ExitRoom``, waits at most ``exit_timeout`` for ``OnExitRoom`` and then destroys
the SDK instance at once through the cloud's finalizer, so no SDK thread or instance outlives the
block even when the bot still holds a reference to ``conn.cloud`` (its methods then raise).

Every wait here is ``asyncio.wait`` on a future, never ``asyncio.wait_for``: on Python 3.8 the
latter swallows a cancellation that arrives as the awaited future completes, so a Ctrl-C during
entering or leaving would be lost and the bot would hang. A cancelled ``close()`` still releases
the cloud, and so do concurrent ones, once.

When the SDK ends the stay without being asked (an ``OnError`` that ends it, see
``ENDING_ERRORS``, or an ``OnExitRoom`` the bot did not ask for), the connection closes its
senders and streams with ``ConnectionClosed``: a consumer reads what was already queued, then gets
the exception, as does every later send.

Objects: the cloud holds the delegate, the delegate holds the hub, the hub holds the sinks and
streams; the connection holds the cloud and the hub. What the hub reaches refers to the
connection only weakly, so there is no cycle through it: a connection the bot forgets is freed at
once, and one freed while still in the room (or still there when the program ends) leaves it with
a ``ResourceWarning``, as asyncio's transports do.
"""

import asyncio
import atexit
import dataclasses
import logging
import types
import warnings
import weakref
from collections import deque
from typing import Any, Callable, Deque, Dict, FrozenSet, Generator, Literal, Mapping, Optional, Set, Tuple, Union

import _ostrel

from ._errors import ConnectionClosed, SdkError
from ._event import Event
from ._events import BACKLOG_LIMIT, EventStream
from ._frames import FrameStream
from ._hub import EVENT_NAMES, MEDIA_NAMES, Hub
from ._sender import AudioSender
from .events import TypedEvents

log = logging.getLogger("ostrel.aio")

VideoFrameType = Union[_ostrel.VideoFrame, _ostrel.PixelFrame]

# OnError codes that end a stay in the room, with what each means there.
ENDING_ERRORS: Dict[int, str] = {
    int(_ostrel.ERR_BANNED_BY_SERVER): "removed from the room by the server",
    int(_ostrel.ERR_INVALID_USER_ID): "another instance entered with the same user id",
    int(_ostrel.ERR_SERVICE_SUSPENDED): "the service is suspended",
}


# What a connection is doing, as ``Connection.state`` says it.
State = Literal["new", "entering", "in the room", "leaving", "ended by the SDK", "closed"]


@dataclasses.dataclass(frozen=True)
class RemoteUser:
    """Another member of the room, as the connection last heard of it."""

    user_id: str  # the member's user id
    audio: bool = False  # its audio is available (OnRemoteAudioAvailable)
    video: FrozenSet[_ostrel.StreamType] = frozenset()  # the video stream types it has available


async def _wait_done(future: "asyncio.Future[Any]", timeout: Optional[float]) -> bool:
    """Waits until ``future`` is done or ``timeout`` seconds passed; True if done. A cancellation
    of the waiting task always raises, and the future itself is never cancelled."""
    if not future.done():
        await asyncio.wait((future,), timeout=timeout)
    return future.done()


class _StateSink:
    """The connection's own listener: entering, errors, the local audio channel, the other
    members, leaving. It is the hub's first sink, so it sees each event before any consumer."""

    NAMES = (
        "OnEnterRoom",
        "OnError",
        "OnExitRoom",
        "OnLocalAudioChannelCreated",
        "OnLocalAudioChannelDestroyed",
        "OnConnectionStateChanged",
        "OnRemoteUserEnterRoom",
        "OnRemoteUserExitRoom",
        "OnRemoteAudioAvailable",
        "OnRemoteVideoAvailable",
    )

    def __init__(self, connection: "Connection") -> None:
        self._connection = weakref.ref(connection)  # told about each event, on the loop
        self._events: Deque[Event] = deque()  # events waiting for the loop

    def push(self, event: Event) -> None:
        self._events.append(event)

    def poke(self) -> None:
        while self._events:
            event = self._events.popleft()
            connection = self._connection()
            if connection is not None:
                connection._on_state(event)


# Connections in a room, left and released when the program ends if the bot could not (a second
# Ctrl-C interrupting asyncio.run's own clean-up, say).
_in_rooms: "weakref.WeakSet[Connection]" = weakref.WeakSet()
_release_at_exit_registered = False


def _release_at_exit() -> None:
    for connection in list(_in_rooms):
        connection._abandon("the program ended")


class _EventWaiter:
    """The sink of one ``wait_for``: events of one name, tested with ``where`` on the loop."""

    def __init__(self, future: "asyncio.Future[Event]", where: Optional[Callable[[Any], bool]]) -> None:
        self._future = future  # resolved with the first event that passes
        self._where = where  # the test, None for any event
        self._events: Deque[Event] = deque()  # events not yet tested

    def push(self, event: Event) -> None:
        self._events.append(event)

    def poke(self) -> None:
        while self._events and not self._future.done():
            event = self._events.popleft()
            try:
                if self._where is None or self._where(event):
                    self._future.set_result(event)
            except Exception as error:  # the bot's test failed: the wait raises it
                self._future.set_exception(error)


class Connection(TypedEvents):
    """One cloud in one room, seen from one asyncio event loop; made by ``connect()``.

    ``async with connect(params) as conn:`` (or ``conn = await connect(params)`` and, later,
    ``await conn.close()``) enters and leaves. Inside, the bot reads ``conn.events(...)``,
    ``conn.audio(...)`` and ``conn.video(...)`` as async iterators, waits for one event with
    ``await conn.wait_for(name, where)``, speaks through ``conn.audio_sender()``, sends messages with
    ``send_command``/``send_sei``, and reads ``remote_users``, ``state`` and ``closed``.
    ``conn.cloud`` is the ``VONUCloud`` for anything else. If the SDK ends the stay (a kick, say),
    everything in use raises ``ConnectionClosed``."""

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
        self._hub: Optional[Hub] = None  # hand-over from the SDK, made on entering
        self._backlog: Optional[EventStream[Any]] = None  # events kept for the first events() iterator
        self._entered: Optional["asyncio.Future[None]"] = None  # resolved by OnEnterRoom, failed by OnError
        self._exited: Optional["asyncio.Future[None]"] = None  # resolved by OnExitRoom
        self._closing: Optional["asyncio.Future[None]"] = None  # made by the first close(), resolved when released
        self._ended: Optional[ConnectionClosed] = None  # why the SDK ended the stay, if it did
        self._audio_channel = False  # a local audio channel exists
        self._audio_format: Optional[Tuple[int, int, int]] = None  # (rate, channels, ms) of a channel made here
        self._entering = False  # __aenter__ is under way
        self._streams: "weakref.WeakSet[Union[EventStream[Any], FrameStream[Any]]]" = (
            weakref.WeakSet()
        )  # closed on exit
        self._pulled: "weakref.WeakSet[FrameStream[_ostrel.AudioFrame]]" = weakref.WeakSet()  # fed by GetAudioFrame
        self._pull_task: Optional["asyncio.Task[None]"] = None  # the GetAudioFrame poller
        self._senders: "weakref.WeakSet[AudioSender]" = weakref.WeakSet()  # audio senders, stopped on exit
        self._waits: Set["asyncio.Future[Event]"] = set()  # wait_for() calls under way, ended on exit
        self._subscriptions: Dict[Tuple[str, int], int] = {}  # (user, stream type) -> open video streams
        self._users: Dict[str, RemoteUser] = {}  # the other members, by user id
        self._connection_state: Optional[_ostrel.ConnectionState] = None  # as OnConnectionStateChanged last said

    # -- entering and leaving -------------------------------------------------------------------
    def __await__(self) -> Generator[Any, None, "Connection"]:
        """``conn = await connect(params)``: enters, as ``async with`` does; leave with ``close()``."""
        return self.__aenter__().__await__()

    async def __aenter__(self) -> "Connection":
        if self._hub is not None:
            raise RuntimeError("ostrel.aio: a connection is entered once")
        self._entering = True
        try:
            return await self._enter()
        finally:
            self._entering = False

    async def _enter(self) -> "Connection":
        global _release_at_exit_registered
        loop = asyncio.get_running_loop()
        hub = self._hub = Hub(loop)
        self._entered, self._exited = loop.create_future(), loop.create_future()
        hub.add(_StateSink(self), _StateSink.NAMES)
        self._backlog = EventStream(hub, frozenset(EVENT_NAMES), 0, limit=BACKLOG_LIMIT)
        hub.add(self._backlog, set(EVENT_NAMES) - MEDIA_NAMES)  # it keeps no frames
        if not _release_at_exit_registered:  # now, not at import: it runs before the program's own
            atexit.register(_release_at_exit)  # exit handlers registered until now (the last runs first)
            _release_at_exit_registered = True
        try:
            self._cloud = _ostrel.VONUCloud(hub.delegate)
            _in_rooms.add(self)
            code = self._cloud.EnterRoom(self._params)
            if code != 0:
                raise SdkError(code, "EnterRoom")
            if not await _wait_done(self._entered, self._timeout):
                raise asyncio.TimeoutError()
            self._entered.result()  # OnError before OnEnterRoom raises its SdkError here
        except BaseException:
            self._release()
            raise
        return self

    async def __aexit__(
        self, kind: Optional[type], value: Optional[BaseException], traceback: Optional[types.TracebackType]
    ) -> None:
        await self.close()

    async def close(self) -> None:
        """Leaves the room and releases the cloud (what leaving the ``async with`` block does).
        Safe to call more than once, also concurrently; cancelling it still releases the cloud."""
        if self._closing is not None:
            await asyncio.shield(self._closing)
            return
        cloud, exited, hub = self._cloud, self._exited, self._hub
        if cloud is None or exited is None or hub is None:
            return
        closing = self._closing = hub.loop.create_future()
        try:
            self._stop_users()
            if self._ended is None and not exited.done() and cloud.ExitRoom() == 0:
                if not await _wait_done(exited, self._exit_timeout):
                    log.warning("ostrel.aio: no OnExitRoom within %.1f s; releasing the cloud", self._exit_timeout)
        except RuntimeError as error:  # a cloud of another process (after fork), or destroyed
            log.debug("ostrel.aio: ExitRoom not possible: %s", error)
        finally:
            self._release()
            closing.set_result(None)

    def _stop_users(self, error: Optional[BaseException] = None) -> None:
        """Ends the senders, the streams, the waits and the pull task; with ``error`` they raise it."""
        for sender in list(self._senders):
            sender.close(error)
        self._senders.clear()
        for stream in list(self._streams):
            stream.close(error)
        waits, self._waits = self._waits, set()
        for future in waits:
            if not future.done():
                future.set_exception(
                    error or RuntimeError("ostrel.aio: the connection left the room during wait_for()")
                )
        if self._pull_task is not None:
            self._pull_task.cancel()
            self._pull_task = None

    def _release(self) -> None:
        """Destroys the SDK instance and forgets every listener; safe at any point (loop)."""
        try:
            self._stop_users()
        finally:
            self._destroy_cloud()
            for future in (self._entered, self._exited):
                if future is not None and not future.done():
                    future.cancel()

    def _destroy_cloud(self) -> None:
        if self._hub is not None:
            self._hub.close()
        cloud = self._cloud
        if cloud is not None:
            cloud.__del__()  # destroys the SDK instance now, with the GIL released; later calls raise
            self._cloud = None
        _in_rooms.discard(self)

    def _abandon(self, why: str) -> None:
        """Leaves without the loop: the connection is being freed, or the program ends (any thread)."""
        if getattr(self, "_cloud", None) is not None:
            warnings.warn(
                f"ostrel.aio: {self!r} was not closed; {why}, so it leaves the room now", ResourceWarning, source=self
            )
            self._destroy_cloud()

    def __del__(self) -> None:
        self._abandon("it was freed")

    def _on_state(self, event: Event) -> None:
        entered, exited = self._entered, self._exited
        assert entered is not None and exited is not None
        if event.name == "OnEnterRoom":
            if not entered.done():
                entered.set_result(None)
        elif event.name == "OnError":
            code = int(event.args[0])
            if not entered.done():
                entered.set_exception(SdkError(code, "OnError"))
            elif code in ENDING_ERRORS:
                self._end(code, ENDING_ERRORS[code])
        elif event.name == "OnExitRoom":
            self._audio_channel, self._audio_format = False, None
            self._users.clear()
            if not exited.done():
                exited.set_result(None)
            if self._closing is None and entered.done() and not entered.cancelled() and entered.exception() is None:
                self._end(0, "the SDK left the room without being asked")
        elif event.name in ("OnLocalAudioChannelCreated", "OnLocalAudioChannelDestroyed"):
            self._audio_channel = event.name == "OnLocalAudioChannelCreated"
            if not self._audio_channel:
                self._audio_format = None
        elif event.name == "OnConnectionStateChanged":
            self._connection_state = event.args[1]
        else:
            self._on_user(event)

    def _on_user(self, event: Event) -> None:
        """Follows the other members: who is in the room, with what media available."""
        users = self._users
        if event.name in ("OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"):
            user_id = event.args[0].user_id.GetValue()
            if user_id is None:
                return
            if event.name == "OnRemoteUserEnterRoom":
                users.setdefault(user_id, RemoteUser(user_id))
            else:
                users.pop(user_id, None)
            return
        user_id, available = event.args[0], bool(event.args[1])
        if user_id is None:
            return
        user = users.get(user_id) or RemoteUser(user_id)
        if event.name == "OnRemoteAudioAvailable":
            users[user_id] = dataclasses.replace(user, audio=available)
        else:
            kind = event.args[2]
            video = user.video | {kind} if available else frozenset(t for t in user.video if t != kind)
            users[user_id] = dataclasses.replace(user, video=frozenset(video))

    def _end(self, code: int, reason: str) -> None:
        """The SDK ended the stay: everything still using the connection learns why (loop)."""
        if self._ended is not None or self._closing is not None:
            return
        self._ended = ConnectionClosed(code, reason)
        log.info("ostrel.aio: %s", self._ended)
        self._stop_users(self._ended)

    # -- what a bot uses ------------------------------------------------------------------------
    @property
    def cloud(self) -> _ostrel.VONUCloud:
        """The ``VONUCloud``, for everything the layer does not wrap; only inside the block."""
        if self._cloud is None:
            raise RuntimeError("ostrel.aio: the connection is not in a room")
        return self._cloud

    @property
    def remote_users(self) -> Mapping[str, RemoteUser]:
        """The other members of the room, by user id, read-only: brought up to date on the loop
        before any consumer sees the event that changed it (an ``OnRemoteUserEnterRoom`` read from
        ``events()`` finds its user here)."""
        if self._hub is not None:
            self._hub.settle()
        return types.MappingProxyType(self._users)

    @property
    def connection_state(self) -> Optional[_ostrel.ConnectionState]:
        """The SDK's connection state as ``OnConnectionStateChanged`` last gave it (None before any)."""
        return self._connection_state

    @property
    def state(self) -> State:
        """What the connection is doing: "new", "entering", "in the room", "leaving", "ended by the
        SDK" (the SDK ended the stay; ``close()`` still releases the cloud) or "closed"."""
        if self._closing is not None:
            return "closed" if self._closing.done() else "leaving"
        if self._ended is not None:
            return "ended by the SDK"
        if self._entering:
            return "entering"
        if self._cloud is not None:
            return "in the room"
        return "closed" if self._hub is not None else "new"

    @property
    def closed(self) -> bool:
        """True once the connection has left the room: the bot closed it, or the SDK ended the
        stay (its streams and senders then raise ``ConnectionClosed``)."""
        return self._ended is not None or self._closing is not None or (self._hub is not None and self._cloud is None)

    @property
    def dropped_events(self) -> int:
        """Events that never reached the loop: frames beyond the bound of what may wait for it
        (``FRAME_BYTES_LIMIT``), and events that arrived after it was closed."""
        return self._hub.dropped if self._hub is not None else 0

    def _live_hub(self) -> Hub:
        if self._ended is not None:
            raise self._ended.with_traceback(None)
        if self._hub is None or self._cloud is None:
            raise RuntimeError("ostrel.aio: the connection is not in a room")
        return self._hub

    def _live_cloud(self) -> _ostrel.VONUCloud:
        self._live_hub()
        return self.cloud

    def _open_events(self, names: Tuple[str, ...], maxsize: int) -> "EventStream[Any]":
        """``events()``; the first call takes the backlog over."""
        hub = self._live_hub()
        unknown = set(names) - set(EVENT_NAMES)
        if unknown:
            raise ValueError(f"ostrel.aio: not delegate events: {sorted(unknown)}")
        _check_maxsize(maxsize)
        wanted: FrozenSet[str] = frozenset(names or EVENT_NAMES)
        stream: EventStream[Any]
        backlog, self._backlog = self._backlog, None
        if backlog is None:
            stream = EventStream(hub, wanted, maxsize)
        else:
            stream = backlog
            stream.retarget(wanted, maxsize)
        hub.add(stream, wanted, weak=True)
        self._streams.add(stream)
        return stream

    async def _wait_for(self, name: str, where: Optional[Callable[[Any], bool]], timeout: Optional[float]) -> Any:
        """``wait_for()``: a sink of its own, added for the wait and removed however it ends."""
        hub = self._live_hub()
        if name not in EVENT_NAMES:
            raise ValueError(f"ostrel.aio: not a delegate event: {name!r}")
        future: "asyncio.Future[Event]" = hub.loop.create_future()
        waiter = _EventWaiter(future, where)
        hub.add(waiter, (name,))
        self._waits.add(future)
        try:
            if not await _wait_done(future, timeout):
                raise asyncio.TimeoutError(f"no {name} within {timeout} s")
            return future.result()
        finally:
            hub.remove(waiter)
            self._waits.discard(future)
            future.cancel()  # if it is not done: nothing is left to resolve it

    def audio(self, user_id: Optional[str] = None, *, maxsize: int = 50) -> FrameStream[_ostrel.AudioFrame]:
        """An async iterator of ``AudioFrame``s: ``user_id``'s, or with None all the room's audio as
        the room's ``audio_obtain_params`` deliver it (mixed, per user, or pulled)."""
        hub = self._live_hub()
        if user_id is not None:
            _check_user_id(user_id)
            if self._pull or self._mixed:
                raise ValueError("ostrel.aio: one user's audio needs AUDIO_OBTAIN_METHOD_CALLBACK without mixing")
        _check_maxsize(maxsize)
        what = f"audio stream of {user_id!r}" if user_id is not None else "audio stream"
        stream: FrameStream[_ostrel.AudioFrame] = FrameStream(
            hub, what, maxsize, None if user_id is None else (lambda args: args[0] == user_id)
        )
        self._streams.add(stream)
        if self._pull:
            self._pulled.add(stream)
            if self._pull_task is None:
                self._pull_task = hub.loop.create_task(self._pull_audio())
        else:
            hub.add_frames(stream, ("OnRemoteMixedAudioReceived",) if self._mixed else ("OnRemoteAudioReceived",))
        return stream

    def video(
        self, user_id: str, stream_type: _ostrel.StreamType = _ostrel.STREAM_TYPE_VIDEO_HIGH, *, maxsize: int = 2
    ) -> FrameStream[VideoFrameType]:
        """Subscribes to ``user_id``'s video of ``stream_type`` and yields its ``VideoFrame``s or
        ``PixelFrame``s; closing the stream unsubscribes."""
        hub, cloud = self._live_hub(), self.cloud
        _check_user_id(user_id)
        _check_maxsize(maxsize)
        key = (user_id, int(stream_type))
        if not self._subscriptions.get(key):
            code = cloud.Subscribe(user_id, stream_type)
            if code != 0:
                raise SdkError(code, "Subscribe")
        self._subscriptions[key] = self._subscriptions.get(key, 0) + 1
        stream: FrameStream[VideoFrameType] = FrameStream(
            hub,
            f"video stream of {user_id!r}",
            maxsize,
            lambda args: args[0] == user_id and args[1] == stream_type,  # per frame
            on_close=_weak_call(self, lambda conn: conn._unsubscribe(user_id, stream_type)),
        )
        hub.add_frames(stream, ("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived"))
        self._streams.add(stream)
        return stream

    def audio_sender(
        self, sample_rate: Optional[int] = None, channels: Optional[int] = None, frame_ms: Optional[int] = None
    ) -> AudioSender:
        """A paced sender of 16-bit PCM (``AudioSender``); creates the local audio channel if there
        is none. Left out, the format is what the connection hears (``audio_obtain_params``'s
        output rate, channels and frame length), so an echo keeps its speed. A format that is not
        whole samples per frame, or that differs from a channel an earlier sender made, raises
        ``ValueError`` before anything reaches the SDK; the SDK refusing the channel raises
        ``SdkError``."""
        obtain = self._params.audio_obtain_params
        fmt = (
            int(obtain.output_sample_rate) if sample_rate is None else sample_rate,
            int(obtain.output_channels) if channels is None else channels,
            int(obtain.output_frame_length_ms) if frame_ms is None else frame_ms,
        )
        sample_rate, channels, frame_ms = fmt
        for name, value in zip(("sample_rate", "channels", "frame_ms"), fmt):
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"ostrel.aio: {name} must be an int, not {type(value).__name__}")
            if value <= 0:
                raise ValueError(f"ostrel.aio: {name} must be positive, not {value}")
        if sample_rate * frame_ms % 1000:
            raise ValueError(f"ostrel.aio: {frame_ms} ms at {sample_rate} Hz is not a whole number of samples")
        hub, cloud = self._live_hub(), self.cloud
        if self._audio_channel and self._audio_format not in (None, fmt):
            rate, count, ms = self._audio_format  # type: ignore[misc]
            raise ValueError(
                f"ostrel.aio: the local audio channel takes {rate} Hz, {count} channel(s), {ms} ms "
                f"frames; a sender of {sample_rate} Hz, {channels} channel(s), {frame_ms} ms would "
                "have every frame refused"
            )
        if not self._audio_channel:
            params = _ostrel.AudioEncodeParams()
            params.sample_rate, params.channels, params.frame_length_ms = fmt
            code = cloud.CreateLocalAudioChannel(params)
            if code != 0:
                raise SdkError(code, "CreateLocalAudioChannel")
            self._audio_channel, self._audio_format = True, fmt
        sender = AudioSender(hub.loop, cloud.SendAudioFrame, sample_rate, channels, frame_ms)
        self._senders.add(sender)
        return sender

    def send_sei(self, message_type: int, message: bytes) -> int:
        """``SendSeiMessage``; returns the SDK's result."""
        return self._live_cloud().SendSeiMessage(message_type, message)

    def send_command(self, cmd_id: int, message: bytes, reliable: bool = True, ordered: bool = True) -> int:
        """``SendCustomCmdMsg``; returns the SDK's result (non-zero when sent)."""
        return self._live_cloud().SendCustomCmdMsg(cmd_id, message, reliable, ordered)

    def __repr__(self) -> str:
        room = self._params.room.str_room_id.GetValue()
        return (
            f"<ostrel.aio.Connection {self.user_id!r} in {room!r}, {self.state}: {len(self._users)} other "
            f"member(s), {len(self._streams)} stream(s), {len(self._senders)} sender(s)>"
        )

    # -- internals ------------------------------------------------------------------------------
    def _unsubscribe(self, user_id: str, stream_type: _ostrel.StreamType) -> None:
        key = (user_id, int(stream_type))
        self._subscriptions[key] -= 1
        if self._subscriptions[key] == 0:
            del self._subscriptions[key]
            if self._cloud is not None and self._ended is None and self._exited is not None and not self._exited.done():
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
                    now = loop.time()
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


def _weak_call(connection: Connection, call: Callable[[Connection], None]) -> Callable[[], None]:
    """``call(connection)`` as a callback that does not keep the connection alive."""
    ref = weakref.ref(connection)

    def callback() -> None:
        alive = ref()
        if alive is not None:
            call(alive)

    return callback


def _check_maxsize(maxsize: int) -> None:
    if not isinstance(maxsize, int) or isinstance(maxsize, bool) or maxsize < 1:
        raise ValueError(f"ostrel.aio: maxsize must be an int of at least 1, not {maxsize!r}")


def _check_user_id(user_id: object) -> None:
    if not isinstance(user_id, str):
        raise TypeError(f"ostrel.aio: a user id is a str, not {type(user_id).__name__}")


def connect(params: _ostrel.EnterRoomParams, *, timeout: float = 10.0, exit_timeout: float = 5.0) -> Connection:
    """``async with connect(params) as conn:`` enters a room and leaves it at the block's end.

    Raises ``SdkError`` when ``EnterRoom`` fails or ``OnError`` comes before ``OnEnterRoom``, and
    ``asyncio.TimeoutError`` when ``OnEnterRoom`` takes longer than ``timeout`` seconds; either way
    nothing is left behind.
    """
    if not isinstance(params, _ostrel.EnterRoomParams):
        raise TypeError(f"ostrel.aio.connect() takes an EnterRoomParams, not {type(params).__name__}")
    return Connection(params, timeout, exit_timeout)
