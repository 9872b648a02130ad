"""The loopback SDK's control interface, end to end through rooms."""

import contextlib

import pytest
from roomkit import EventLog, enter_params, idle

import _ostrel as o
import ostrel_loopback as lb


@contextlib.contextmanager
def frozen_clock():
    """The SDK clock, frozen for a block and running again after it."""
    lb.clock_freeze()
    try:
        yield
    finally:
        lb.clock_resume()


@pytest.fixture
def pair():
    lb.set_quality_interval(2000)
    a, b = EventLog(), EventLog()
    ca, cb = o.VONUCloud(a), o.VONUCloud(b)
    assert ca.EnterRoom(enter_params("ctl-a", room="controls")) == 0
    assert cb.EnterRoom(enter_params("ctl-b", room="controls")) == 0
    idle()
    a.clear()
    b.clear()
    yield a, ca, b, cb
    lb.set_quality_interval(2000)


def test_dropped_messages_are_reported_before_the_next_one(pair):
    a, ca, b, cb = pair
    assert lb.drop_messages("ctl-a", 2) == 1
    for n in range(3):
        assert ca.SendCustomCmdMsg(4, b"m%d" % n, True, True) == 1
    idle()
    assert b.of("OnMissCustomCmdMsg") == [("ctl-a", 4, 1, 2)]
    assert b.of("OnReceiveCustomCmdMsg") == [("ctl-a", 4, 3, b"m2")]
    assert b.names().index("OnMissCustomCmdMsg") < b.names().index("OnReceiveCustomCmdMsg")


def test_quality_reports_and_interval(pair):
    a, ca, b, cb = pair
    assert lb.set_network_quality("ctl-b", int(o.NETWORK_QUALITY_POOR)) == 1
    with pytest.raises(ValueError):
        lb.set_network_quality("ctl-b", 7)
    with frozen_clock():
        lb.set_quality_interval(20)
        assert lb.clock_advance(40)  # a report at 20 ms and one at 40 ms
    assert len(a.of("OnNetworkQuality")) == 2
    local, remotes = a.of("OnNetworkQuality")[-1]
    assert local.user_id.GetValue() == "ctl-a"
    assert [(r.user_id.GetValue(), r.quality) for r in remotes] == [("ctl-b", o.NETWORK_QUALITY_POOR)]


def test_disconnect_error_and_kick(pair):
    a, ca, b, cb = pair
    with frozen_clock():
        assert lb.disconnect("ctl-a", 50) == 1
        idle()
        assert a.of("OnConnectionStateChanged") == [
            (o.CONNECTION_STATE_CONNECTED, o.CONNECTION_STATE_DISCONNECTED),
            (o.CONNECTION_STATE_DISCONNECTED, o.CONNECTION_STATE_CONNECTING),
        ]
        assert lb.clock_advance(50)  # the reconnect, due 50 ms later on the SDK clock
    assert a.of("OnConnectionStateChanged")[-1] == (o.CONNECTION_STATE_CONNECTING, o.CONNECTION_STATE_CONNECTED)
    assert lb.raise_error("ctl-a", int(o.ERR_SERVER_PROCESS_FAILED)) == 1
    assert lb.kick("ctl-b", 2) == 1
    idle()
    assert (o.ERR_SERVER_PROCESS_FAILED,) in a.of("OnError")
    ((info, reason),) = a.of("OnRemoteUserExitRoom")
    assert info.user_id.GetValue() == "ctl-b" and reason == 2
    assert lb.kick("nobody-here", 0) == 0


def test_inject_reaches_every_instance_and_checks_its_input(pair):
    a, ca, b, cb = pair
    assert lb.inject(None, "OnRequestKeyFrame", 2) >= 2
    idle()
    assert a.of("OnRequestKeyFrame") == [(o.STREAM_TYPE_VIDEO_HIGH,)] == b.of("OnRequestKeyFrame")
    with pytest.raises(ValueError):
        lb.inject("ctl-a", "OnRemoteVideoReceived", b"x", 2, b"frame")
    with pytest.raises(ValueError):
        lb.inject("ctl-a", "OnRequestKeyFrame")
    with pytest.raises(TypeError):
        lb.inject("ctl-a", "OnRequestKeyFrame", 2.0)


def test_counters():
    base_instances, base_threads = lb.live_instances(), lb.sdk_threads()
    d = EventLog()
    cloud = o.VONUCloud(d)
    assert lb.live_instances() == base_instances + 1
    assert lb.sdk_threads() >= base_threads + 1 and lb.sdk_threads() >= 2  # event and service threads
    del cloud
    assert lb.live_instances() == base_instances
    assert lb.wait_idle(1.0) is True
    assert isinstance(lb.dropped(), int) and lb.callbacks_running() == 0


def test_codecs_count_the_encoder_a_pixel_sender_needs_for_an_encoded_receiver():
    camera, viewer = EventLog(), EventLog()
    cc, cv = o.VONUCloud(camera), o.VONUCloud(viewer)
    assert cv.EnterRoom(enter_params("viewer", room="codecs")) == 0
    assert cv.Subscribe("camera", o.STREAM_TYPE_VIDEO_HIGH) == 0
    assert cc.EnterRoom(enter_params("camera", room="codecs", pixel_in=True)) == 0
    assert cc.CreateLocalVideoChannel(o.STREAM_TYPE_VIDEO_HIGH) == 0
    frame = o.PixelFrame()
    frame.width, frame.height, frame.format = 32, 16, o.VIDEO_PIXEL_FORMAT_YUV420p
    frame.SetData(bytes(32 * 16 * 3 // 2))
    assert cc.SendPixelFrame(o.STREAM_TYPE_VIDEO_HIGH, frame) == 0
    idle()
    assert lb.codecs() == {"opus_encoders": 0, "opus_decoders": 0, "h264_encoders": 1, "h264_decoders": 0}
    (video,) = viewer.of("OnRemoteVideoFrameReceived")
    assert video[2].is_key_frame and video[2].data.startswith(b"\x00\x00\x00\x01")
    assert cv.ExitRoom() == 0
    assert lb.codecs()["h264_encoders"] == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda: lb.set_network_quality("nobody-here", 2**32 + 3),
        lambda: lb.set_network_quality("nobody-here", -(2**31) - 1),
        lambda: lb.drop_messages("nobody-here", 2**32),
        lambda: lb.disconnect("nobody-here", 2**31),
        lambda: lb.raise_error("nobody-here", 2**32 - 3),
        lambda: lb.kick("nobody-here", 2**63),
        lambda: lb.set_quality_interval(2**32 + 2000),
    ],
)
def test_integers_the_c_side_cannot_hold_are_refused_not_cut(call):
    with pytest.raises(TypeError):
        call()


def test_integer_range_edges_pass_and_inject_refuses_what_no_argument_holds(pair):
    a, ca, b, cb = pair
    assert lb.drop_messages("nobody-here", 2**32 - 1) == 0
    assert lb.disconnect("nobody-here", 2**31 - 1) == 0
    assert lb.raise_error("nobody-here", -(2**31)) == 0
    with pytest.raises(ValueError):
        lb.inject("ctl-a", "OnRequestKeyFrame", 2**64 + 2)  # would arrive as 2
    with pytest.raises(ValueError):
        lb.inject("ctl-a", "OnNetworkQuality", ("ctl-a", -(2**63) - 1), [])
    assert lb.inject("ctl-a", "OnRequestKeyFrame", 2) == 1
    idle()
    assert a.of("OnRequestKeyFrame") == [(o.STREAM_TYPE_VIDEO_HIGH,)]


def test_user_ids_that_are_not_utf8_are_refused_where_they_enter(pair):
    a, ca, b, cb = pair
    odd = o.VONUCloud(EventLog())
    params = enter_params("x", room="controls")
    params.room.user_id.SetValue(b"\xff\xfe\x80bot")
    assert odd.EnterRoom(params) == o.ERR_INVALID_USER_ID
    assert ca.Subscribe(b"\xff\xfe\x80bot", o.STREAM_TYPE_VIDEO_HIGH) == o.ERR_INVALID_PARAMETER
    assert ca.Unsubscribe(b"\xed\xa0\x80", o.STREAM_TYPE_AUDIO) == o.ERR_INVALID_PARAMETER
    idle()
    assert a.of("OnRemoteUserEnterRoom") == []


def test_opus_the_decoder_refuses_is_counted_as_undecodable(pair):
    a, ca, b, cb = pair
    channel = o.AudioEncodeParams()
    channel.need_encode = False
    assert ca.CreateLocalAudioChannel(channel) == 0
    before, dropped = lb.undecodable(), lb.dropped()
    for pts in range(0, 200, 20):
        frame = o.AudioFrame()
        frame.sample_rate, frame.channels, frame.codec, frame.pts = 48000, 1, o.AUDIO_CODEC_TYPE_OPUS, pts
        frame.SetData(b"\x03\x00")  # a packet of zero frames
        assert ca.SendAudioFrame(frame) == 0
    idle()
    assert lb.undecodable() - before == 10
    assert lb.dropped() == dropped and b.of("OnRemoteAudioReceived") == []


def test_recorder_keeps_the_newest_calls_and_counts_those_it_let_go():
    text = o.VonuString()
    lb.clear()
    lb.record(True)
    try:
        for n in range(10_050):
            text.SetValue(str(n))
        calls = lb.calls()
        assert len(calls) == 10_000 and lb.calls_forgotten() == 50
        assert calls[0] == ("VonuString::SetValue", {"value": b"50"})
        assert calls[-1] == ("VonuString::SetValue", {"value": b"10049"})
        lb.clear()
        assert lb.calls_forgotten() == 0
        # Large calls: at most 16 MiB of their text is kept, the newest always.
        frame = o.AudioFrame()
        for n in range(20):
            frame.SetData(bytes([ord("a") + n]) * 1_000_000)
        calls = lb.calls()
        assert 0 < lb.calls_forgotten() < 20 and len(calls) + lb.calls_forgotten() == 20
        assert sum(len(args["data"]) for _, args in calls) <= 16 << 20
        assert calls[-1][1]["data"][:1] == b"t"
    finally:
        lb.record(False)
        lb.clear()
