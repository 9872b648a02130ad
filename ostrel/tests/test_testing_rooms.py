"""ostrel.testing through real rooms of the loopback SDK: room parameters, scripted participants
and the signals they send, faults, the SDK clock, and waiting from async def tests."""

import asyncio
import concurrent.futures
import threading

import pytest

import ostrel
import ostrel_loopback
from ostrel.aio import SdkError
from ostrel.testing import EventRecorder, Loopback, pattern_i420, tone_pcm

# The virtual clock and media faults arrive in the loopback SDK separately from this package.
needs_clock = pytest.mark.skipif(
    not hasattr(ostrel_loopback, "clock_freeze"), reason="this loopback SDK has no virtual clock"
)
needs_media_faults = pytest.mark.skipif(
    not hasattr(ostrel_loopback, "media_loss"), reason="this loopback SDK has no media faults"
)


def test_params_change_only_what_is_asked(loopback: Loopback) -> None:
    room = loopback.room()
    plain, default = room.params("u").audio_obtain_params, ostrel.EnterRoomParams().audio_obtain_params
    assert (plain.output_sample_rate, plain.output_channels, plain.audio_obtain_method) == (
        default.output_sample_rate,
        default.output_channels,
        default.audio_obtain_method,
    )
    params = room.params(
        "u",
        sample_rate=48000,
        channels=2,
        frame_ms=10,
        obtain=ostrel.AUDIO_OBTAIN_METHOD_GET,
        mix=True,
        codec=ostrel.AUDIO_CODEC_TYPE_OPUS,
        pixel_in=True,
        pixel_out=True,
        role=ostrel.VONU_ROLE_AUDIENCE,
    )
    audio = params.audio_obtain_params
    assert (
        audio.output_sample_rate,
        audio.output_channels,
        audio.output_frame_length_ms,
        audio.audio_obtain_method,
        audio.enable_remote_audio_mix,
        audio.output_audio_codec_type,
    ) == (48000, 2, 10, ostrel.AUDIO_OBTAIN_METHOD_GET, True, ostrel.AUDIO_CODEC_TYPE_OPUS)
    assert params.use_pixel_frame_input and params.use_pixel_frame_output and params.role == ostrel.VONU_ROLE_AUDIENCE
    assert params.room.str_room_id.GetValue() == room.id and params.room.user_id.GetValue() == "u"
    assert loopback.room().id != room.id and loopback.room("lobby").id == "lobby"
    for refused in ("", "lobby\0annex"):  # ERR_INVALID_ROOM_ID; read only up to the NUL
        with pytest.raises(ValueError, match="non-empty text without NUL"):
            loopback.room(refused)


def test_participants_meet_wait_and_leave(loopback: Loopback) -> None:
    room = loopback.room()
    alice = room.participant("alice")
    bob = room.participant("bob")
    (info,) = alice.wait_for("OnRemoteUserEnterRoom", lambda info: info.user_id.GetValue() == "bob")
    assert info.user_id.GetValue() == "bob"
    assert bob.events[:3] == [
        ("OnConnectionStateChanged", bob.events[0][1]),
        ("OnConnectionStateChanged", bob.events[1][1]),
        ("OnEnterRoom", ()),
    ]
    with pytest.raises(TimeoutError, match=r"'bob' received no OnExitRoom within .*OnEnterRoom x1"):
        bob.wait_for("OnExitRoom", timeout=0.05)
    with pytest.raises(ValueError, match="not a delegate callback"):
        bob.wait_for("OnExit")
    bob.send_tone(440, 20)
    bob.leave()
    alice.wait_for("OnRemoteUserExitRoom")
    with pytest.raises(
        SdkError,
        match=r"^CreateLocalAudioChannel for participant 'bob' failed: ERR_INVALID_OPERATION "
        r"\(-3\); participant 'bob' has left its room",
    ) as failed:
        bob.send_tone(440, 20)
    assert failed.value.code_name == "ERR_INVALID_OPERATION"
    # The same cloud enters again: the new stay needs a new audio channel, and leaving waits for
    # the new OnExitRoom.
    assert bob.cloud.EnterRoom(room.params("bob")) == 0
    bob.wait_for("OnEnterRoom")
    bob.send_tone(440, 20)
    bob.leave()
    assert [name for name, _ in bob.events].count("OnExitRoom") == 2
    bob.clear()
    assert bob.events == [] and bob.audio() == b""


def test_tones_arrive_bit_for_bit_and_continue_across_calls(loopback: Loopback) -> None:
    room = loopback.room()
    bot = room.participant("bot", sample_rate=48000)
    speaker = room.participant("speaker")
    sent = speaker.send_tone(440, 100) + speaker.send_tone(440, 30)  # 5 frames, then 30 ms as 2 frames
    loopback.wait_idle()
    assert sent == tone_pcm(440, 48000, 0, 48000 * 140 // 1000)
    assert bot.audio("speaker") == sent == bot.audio()
    assert bot.audio("someone-else") == b""
    pts = [frame.pts for _, frame in bot.of("OnRemoteAudioReceived")]
    assert pts == sorted(pts) and len(set(pts)) == 7
    with pytest.raises(ValueError):
        speaker.send_tone(440, 0)


def test_patterns_reach_a_pixel_receiver_unchanged(loopback: Loopback) -> None:
    room = loopback.room()
    camera = room.participant("camera", pixel_in=True)
    viewer = room.participant("viewer", pixel_out=True)
    assert viewer.cloud.Subscribe("camera", ostrel.STREAM_TYPE_VIDEO_HIGH) == 0
    camera.send_pattern(2, width=64, height=48)
    camera.send_pattern(1, width=64, height=48)
    loopback.wait_idle()
    frames = [args[2] for args in viewer.of("OnRemotePixelFrameReceived")]
    assert [f.data for f in frames] == [pattern_i420(i, 64, 48) for i in range(3)]
    assert pattern_i420(0, 64, 48) != pattern_i420(1, 64, 48)
    with pytest.raises(ValueError, match="pixel_in=True"):
        viewer.send_pattern(1)


def test_faults_reach_members_and_refuse_unknown_ones(loopback: Loopback) -> None:
    room = loopback.room()
    a, b = room.participant("a"), room.participant("b")
    faults = loopback.faults
    assert faults.drop_messages("a", 1) == 1
    assert a.cloud.SendCustomCmdMsg(1, b"lost", True, True) and a.cloud.SendCustomCmdMsg(1, b"kept", True, True)
    assert b.wait_for("OnReceiveCustomCmdMsg")[3] == b"kept"
    a.cloud.SendCustomCmdMsg(1, b"0123456789abcdefghij", True, True)
    with pytest.raises(
        TimeoutError,
        match=r"matching the predicate .*its OnReceiveCustomCmdMsg events had the "
        r"arguments \('a', 1, 2, b'kept'\), \('a', 1, 3, b'0123456789abcdef'"
        r"\.\.\.\(20 bytes\)\)$",
    ):
        b.wait_for("OnReceiveCustomCmdMsg", lambda *args: False, timeout=0.2)
    assert b.of("OnMissCustomCmdMsg") == [("a", 1, 1, 1)]
    faults.raise_error("b", ostrel.ERR_SERVER_PROCESS_FAILED)
    assert b.wait_for("OnError") == (ostrel.ERR_SERVER_PROCESS_FAILED,)
    faults.set_network_quality("b", ostrel.NETWORK_QUALITY_POOR)
    loopback.set_quality_interval(20)
    a.wait_for("OnNetworkQuality", lambda local, remotes: [r.quality for r in remotes] == [ostrel.NETWORK_QUALITY_POOR])
    faults.disconnect("a", 20)
    a.wait_for(
        "OnConnectionStateChanged",
        lambda old, new: (old, new) == (ostrel.CONNECTION_STATE_CONNECTING, ostrel.CONNECTION_STATE_CONNECTED),
    )
    faults.kick("b", 7)
    a.wait_for("OnRemoteUserExitRoom", lambda info, reason: reason == 7)
    with pytest.raises(LookupError, match="kick: no member 'b' is in a room"):
        faults.kick("b")
    with pytest.raises(LookupError, match="no member 'nobody'"):
        faults.set_network_quality("nobody", 1)


def test_close_reports_escapes_and_leaks_and_take_escaped_forgets_them() -> None:
    kit = Loopback()
    plain = ostrel.VONUCloud(ostrel.VONUCloudDelegate())  # no overrides: each event escapes
    room = kit.room()
    assert plain.EnterRoom(room.params("plain")) == 0
    kit.wait_idle()
    assert any("OnEnterRoom" in text for text in kit.take_escaped())
    ostrel_loopback.inject("plain", "OnError", -1)
    problems = kit.close()
    assert len(problems) == 2
    assert (
        problems[0].startswith("1 exception(s) escaped a delegate callback")
        and '"VONUCloudDelegate::OnError"' in problems[0]
    )
    assert problems[1] == (
        "1 cloud(s) made during the test still alive after a garbage collection: "
        "user 'plain' in room '%s' (delegate: VONUCloudDelegate)" % room.id
    )
    del plain
    with Loopback() as kit:
        kit.room().participant("tidy")
    with pytest.raises(AssertionError, match=r"1 cloud.*: one in no room \(delegate: none\)$"):
        with Loopback():
            kept = ostrel.VONUCloud(None)
    del kept


@needs_clock
def test_frozen_clock_runs_timed_work_only_when_advanced(loopback: Loopback) -> None:
    clock = loopback.clock
    clock.freeze()
    loopback.set_quality_interval(1000)
    member = loopback.room().participant("member")
    member.clear()
    start = clock.now_ms()
    loopback.faults.disconnect("member", 2500)
    loopback.wait_idle()
    assert [name for name, _ in member.events] == ["OnConnectionStateChanged"] * 2
    clock.advance(3600)
    assert clock.now_ms() - start == 3600
    events = member.events
    back = events.index(
        ("OnConnectionStateChanged", (ostrel.CONNECTION_STATE_CONNECTING, ostrel.CONNECTION_STATE_CONNECTED))
    )
    reports = [(i, args[0].quality) for i, (name, args) in enumerate(events) if name == "OnNetworkQuality"]
    assert {q for i, q in reports if i < back} == {ostrel.NETWORK_QUALITY_DOWN}
    assert {q for i, q in reports if i > back} == {ostrel.NETWORK_QUALITY_EXCELLENT}
    loopback.set_quality_interval(20)
    clock.resume()
    member.clear()
    member.wait_for("OnNetworkQuality")  # real time again: reports come by themselves


@needs_clock
def test_advance_raises_when_callbacks_do_not_return(loopback: Loopback) -> None:
    released = threading.Event()

    class Blocking(EventRecorder):
        def OnNetworkQuality(self, *args: object) -> None:
            released.wait(10)

    loopback.clock.freeze()
    cloud = ostrel.VONUCloud(Blocking())
    assert cloud.EnterRoom(loopback.room().params("blocking")) == 0
    loopback.set_quality_interval(100)
    with pytest.raises(TimeoutError, match=r"clock.advance\(100\) gave up after 0.2 s: the callbacks"):
        loopback.clock.advance(100, timeout=0.2)
    released.set()
    loopback.wait_idle()


@needs_clock
def test_a_nested_kit_restores_what_the_test_set_and_keeps_its_escapes(loopback: Loopback) -> None:
    loopback.clock.freeze()
    loopback.set_quality_interval(500)
    plain = ostrel.VONUCloud(ostrel.VONUCloudDelegate())  # no overrides: each event escapes
    assert plain.EnterRoom(loopback.room().params("plain")) == 0
    loopback.wait_idle()
    with Loopback() as inner:
        inner.clock.freeze()
        inner.set_quality_interval(300)
    assert ostrel_loopback.clock_frozen() and ostrel_loopback.quality_interval() == 500
    assert any("OnEnterRoom" in text for text in loopback.take_escaped())
    del plain


@needs_media_faults
def test_loss_and_delay_through_the_kit(loopback: Loopback) -> None:
    loopback.clock.freeze()
    room = loopback.room()
    bot, speaker = room.participant("bot", sample_rate=48000), room.participant("speaker")

    def received_after_loss(seed: int) -> int:
        bot.clear()
        loopback.faults.loss("bot", audio=0.5, seed=seed)
        speaker.send_tone(440, 2000)
        loopback.wait_idle()
        return len(bot.of("OnRemoteAudioReceived"))

    counts = [received_after_loss(seed) for seed in (7, 7, 8)]
    assert counts[0] == counts[1] and 20 < counts[0] < 80
    loopback.faults.loss("bot")
    loopback.faults.delay("bot", 500)
    bot.clear()
    sent = speaker.send_tone(440, 100)
    loopback.clock.advance(499)
    assert bot.audio() == b""
    loopback.clock.advance(1)
    assert bot.audio() == sent
    assert loopback.faults.delay("bot", 0) == 1
    with pytest.raises(LookupError, match="loss: no member 'nobody'"):
        loopback.faults.loss("nobody", audio=1.0)
    with pytest.raises(LookupError, match="delay: no member 'nobody'"):
        loopback.faults.delay("nobody", 100)


@pytest.mark.asyncio
async def test_async_waits_leave_the_loop_running_and_cancel_cleanly(loopback: Loopback) -> None:
    loop = asyncio.get_running_loop()
    loop.set_default_executor(concurrent.futures.ThreadPoolExecutor(max_workers=1))
    room = loopback.room()
    alice = room.participant("alice")
    arrival = asyncio.ensure_future(alice.wait_for_async("OnRemoteUserEnterRoom"))
    await asyncio.sleep(0)
    room.participant("bob")
    (info,) = await asyncio.wait_for(arrival, 5)
    assert info.user_id.GetValue() == "bob"
    with pytest.raises(TimeoutError, match=r"blocked the event loop .* use await wait_for_async"):
        alice.wait_for("OnExitRoom", timeout=0.01)
    # A cancelled wait gives its worker back at once: the one worker serves the next wait.
    never = asyncio.ensure_future(alice.wait_for_async("OnExitRoom", timeout=60))
    await asyncio.sleep(0.01)
    never.cancel()
    with pytest.raises(asyncio.CancelledError):
        await never
    assert await asyncio.wait_for(alice.wait_for_async("OnEnterRoom"), 5) == ()
