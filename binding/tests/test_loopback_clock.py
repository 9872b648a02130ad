"""The loopback SDK's clock and media faults, through rooms of _ostrel."""

import pytest
from roomkit import EventLog, enter_params, idle

import _ostrel as o
import ostrel_loopback as lb


@pytest.fixture
def frozen():
    """The SDK clock, frozen for one test; running again afterwards, whatever happens."""
    lb.clock_freeze()
    try:
        yield lb
    finally:
        lb.clock_resume()
        lb.set_quality_interval(2000)


def _room(name, interval=0):
    lb.set_quality_interval(interval)
    a, b = EventLog(), EventLog()
    ca, cb = o.VONUCloud(a), o.VONUCloud(b)
    assert ca.EnterRoom(enter_params("clk-a", room=name)) == 0
    assert cb.EnterRoom(enter_params("clk-b", room=name)) == 0
    assert ca.CreateLocalAudioChannel(o.AudioEncodeParams()) == 0
    idle()
    a.clear()
    b.clear()
    return a, ca, b, cb


def _reports(log):
    return [
        (local.quality, [(r.user_id.GetValue(), r.quality) for r in remotes])
        for local, remotes in log.of("OnNetworkQuality")
    ]


def _send_audio(cloud, count):
    for pts in range(count):
        frame = o.AudioFrame()
        frame.sample_rate, frame.channels, frame.pts = 48000, 1, pts
        frame.SetData(b"\x01\x00" * 960)
        assert cloud.SendAudioFrame(frame) == 0


def test_two_minutes_of_reports_on_a_frozen_clock_repeat_exactly(frozen):
    runs = []
    for name in ("clock-run-1", "clock-run-2"):
        a, ca, b, cb = _room(name, interval=2000)
        start = lb.clock_now_ms()
        assert lb.disconnect("clk-a", 5000) == 1
        assert lb.clock_advance(119_999)
        assert len(b.of("OnNetworkQuality")) == 59  # the 60th is due at 120 s exactly
        assert lb.clock_advance(1)
        assert lb.clock_now_ms() - start == 120_000
        runs.append((a.names(), _reports(a), b.names(), _reports(b)))
        del ca, cb
    assert runs[0] == runs[1]
    names_a, reports_a, _, reports_b = runs[0]
    assert len(reports_a) == len(reports_b) == 60
    assert reports_b[:3] == [(o.NETWORK_QUALITY_EXCELLENT, [("clk-a", o.NETWORK_QUALITY_DOWN)])] * 2 + [
        (o.NETWORK_QUALITY_EXCELLENT, [("clk-a", o.NETWORK_QUALITY_EXCELLENT)])
    ]
    # Reconnected at 5 s, between the reports at 4 and 6 s.
    assert names_a[:6] == ["OnConnectionStateChanged"] * 2 + ["OnNetworkQuality"] * 2 + [
        "OnConnectionStateChanged",
        "OnNetworkQuality",
    ]


def test_frozen_clock_holds_timed_work_until_advanced_or_resumed(frozen):
    a, ca, b, cb = _room("clock-hold")
    assert lb.disconnect("clk-b", 30) == 1
    idle()
    assert b.of("OnConnectionStateChanged") == [
        (o.CONNECTION_STATE_CONNECTED, o.CONNECTION_STATE_DISCONNECTED),
        (o.CONNECTION_STATE_DISCONNECTED, o.CONNECTION_STATE_CONNECTING),
    ]
    assert lb.clock_advance(29)
    assert len(b.of("OnConnectionStateChanged")) == 2
    assert lb.disconnect("clk-a", 50) == 1
    lb.clock_resume()  # back on real time: the reconnect comes by itself
    assert a.wait_for(
        lambda d: (o.CONNECTION_STATE_CONNECTING, o.CONNECTION_STATE_CONNECTED) in d.of("OnConnectionStateChanged")
    )
    with pytest.raises(ValueError):
        lb.clock_advance(-1)
    with pytest.raises(TypeError):
        lb.clock_advance(1.5)


def test_seeded_loss_counts_repeat(frozen):
    a, ca, b, cb = _room("clock-loss")
    with pytest.raises(ValueError):
        lb.media_loss("clk-b", audio=1.01)
    with pytest.raises(ValueError):
        lb.media_loss("clk-b", audio=0.5, seed=-1)
    received = []
    for _ in range(2):
        b.clear()
        assert lb.media_loss("clk-b", audio=0.5, seed=2024) == 1
        _send_audio(ca, 200)
        idle()
        received.append([frame.pts for _, frame in b.of("OnRemoteAudioReceived")])
    assert received[0] == received[1] and received[0] == sorted(received[0])
    assert 60 < len(received[0]) < 140
    assert lb.media_loss("clk-b") == 1
    b.clear()
    _send_audio(ca, 20)
    idle()
    assert len(b.of("OnRemoteAudioReceived")) == 20


def test_delay_keeps_order_and_lowers_the_reported_quality(frozen):
    a, ca, b, cb = _room("clock-delay", interval=1000)
    with pytest.raises(ValueError):
        lb.media_delay("clk-b", -5)
    assert lb.media_delay("clk-b", 300, jitter_ms=80) == 1
    _send_audio(ca, 50)
    assert lb.clock_advance(219)
    assert b.of("OnRemoteAudioReceived") == []
    assert lb.clock_advance(181)
    assert [frame.pts for _, frame in b.of("OnRemoteAudioReceived")] == list(range(50))
    assert lb.clock_advance(600)
    local, remotes = _reports(b)[-1]
    assert local == o.NETWORK_QUALITY_POOR and remotes == [("clk-a", o.NETWORK_QUALITY_EXCELLENT)]
    assert _reports(a)[-1][1] == [("clk-b", o.NETWORK_QUALITY_POOR)]
    assert lb.media_delay("clk-b", 0) == 1
    assert lb.clock_advance(1000)
    assert _reports(b)[-1][0] == o.NETWORK_QUALITY_EXCELLENT
