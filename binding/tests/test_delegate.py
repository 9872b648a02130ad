"""The event bridge: SDK events reach Python overrides, with copied records and frames."""

import gc
import threading

import pytest
from roomkit import EventLog, enter_params, idle

import _ostrel as o
import ostrel_loopback as lb

PURE = 'Tried to call pure virtual function "VONUCloudDelegate::{}"'


@pytest.fixture
def clean():
    lb.clear_escaped()
    yield
    gc.collect()
    lb.wait_idle(10.0)
    lb.clear_escaped()


def test_class_surface():
    assert [n for n in vars(o.VONUCloudDelegate) if n.startswith("On")] == [
        "OnError",
        "OnConnectionStateChanged",
        "OnEnterRoom",
        "OnExitRoom",
        "OnLocalAudioChannelCreated",
        "OnLocalAudioChannelDestroyed",
        "OnLocalVideoChannelCreated",
        "OnLocalVideoChannelDestroyed",
        "OnRemoteUserEnterRoom",
        "OnRemoteUserExitRoom",
        "OnRemoteAudioAvailable",
        "OnRemoteVideoAvailable",
        "OnRemoteAudioReceived",
        "OnRemoteMixedAudioReceived",
        "OnRemoteVideoFrameReceived",
        "OnRemotePixelFrameReceived",
        "OnRequestKeyFrame",
        "OnRequestChangeVideoEncodeBitrate",
        "OnSeiMessageReceived",
        "OnReceiveCustomCmdMsg",
        "OnMissCustomCmdMsg",
        "OnNetworkQuality",
    ]
    assert not hasattr(o.VONUCloudDelegate, "OnRemoteVideoReceived")
    assert o.VONUCloudDelegate.OnSeiMessageReceived.__doc__.startswith(
        "OnSeiMessageReceived(self: _ostrel.VONUCloudDelegate, arg0: str, arg1: ostrel::vonu::StreamType, "
        "arg2: typing.SupportsInt | typing.SupportsIndex, arg3: str, arg4: typing.SupportsInt"
    )

    class NoInit(o.VONUCloudDelegate):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="__init__"):
        NoInit()


def test_two_members_see_each_other(loopback):
    room = loopback.room()
    alice = room.participant("alice")
    bob = room.participant("bob")
    ca, cb = alice.cloud, bob.cloud
    loopback.wait_idle()
    assert [name for name, _ in alice.events][:3] == [
        "OnConnectionStateChanged",
        "OnConnectionStateChanged",
        "OnEnterRoom",
    ]
    old, new = alice.of("OnConnectionStateChanged")[-1]
    assert isinstance(new, o.ConnectionState) and new == o.CONNECTION_STATE_CONNECTED
    ((info,),) = alice.of("OnRemoteUserEnterRoom")
    assert isinstance(info, o.UserInfo) and info.user_id.GetValue() == "bob"
    assert bob.of("OnRemoteUserEnterRoom")[0][0].user_id.GetValue() == "alice"

    ca.CreateLocalAudioChannel(o.AudioEncodeParams())
    loopback.wait_idle()
    assert ("alice", True) in bob.of("OnRemoteAudioAvailable")
    frame = o.AudioFrame()
    frame.sample_rate, frame.channels = 48000, 1
    frame.SetData(b"\x01\x00" * 960)
    assert ca.SendAudioFrame(frame) == 0
    loopback.wait_idle()
    ((user, received),) = bob.of("OnRemoteAudioReceived")
    assert user == "alice" and isinstance(received, o.AudioFrame)
    assert received.sample_rate == 16000 and received.size == 640  # bob's default output: 16 kHz, 20 ms

    assert cb.ExitRoom() == 0
    loopback.wait_idle()
    assert alice.of("OnRemoteUserExitRoom")[0][0].user_id.GetValue() == "bob"
    assert "OnExitRoom" in [name for name, _ in bob.events]


UNIFORM = [
    ("OnError", (-1,)),
    ("OnConnectionStateChanged", (2, 3)),
    ("OnEnterRoom", ()),
    ("OnExitRoom", ()),
    ("OnLocalAudioChannelCreated", ()),
    ("OnLocalAudioChannelDestroyed", ()),
    ("OnLocalVideoChannelCreated", (2,)),
    ("OnLocalVideoChannelDestroyed", (2,)),
    ("OnRequestChangeVideoEncodeBitrate", (2, 500000)),
    ("OnRequestKeyFrame", (2,)),
    ("OnRemoteUserEnterRoom", (b"x",)),
    ("OnRemoteUserExitRoom", (b"x", 0)),
    ("OnRemoteAudioAvailable", (b"x", True)),
    ("OnRemoteVideoAvailable", (b"x", True, 2)),
    ("OnRemoteVideoFrameReceived", (b"x", 2, b"v")),
    ("OnRemotePixelFrameReceived", (b"x", 2, b"p")),
    ("OnRemoteAudioReceived", (b"x", b"a")),
    ("OnRemoteMixedAudioReceived", (b"m",)),
]
DATA = [
    ("OnSeiMessageReceived", (b"x", 2, 5, b"s")),
    ("OnReceiveCustomCmdMsg", (b"x", 1, 1, b"c")),
    ("OnMissCustomCmdMsg", (b"x", 1, 0, 2)),
    ("OnNetworkQuality", (None, [(b"y", 1)])),
]


def test_plain_delegate_escapes_pure_virtual_errors(clean, capfd):
    plain = o.VONUCloud(o.VONUCloudDelegate())
    assert plain.EnterRoom(enter_params("plain", room="plain")) == 0
    idle()
    lb.clear_escaped()
    capfd.readouterr()
    for event, args in UNIFORM + DATA:
        lb.inject("plain", event, *args)
    idle()
    assert lb.escaped() == [PURE.format(name) for name, _ in UNIFORM]
    assert capfd.readouterr().err == ""


def test_partial_subclass_and_super_calls(clean):
    class OnlyEnter(o.VONUCloudDelegate):
        def __init__(self):
            super().__init__()
            self.entered = threading.Event()
            self.super_error = None
            self.video_calls = 0

        def OnEnterRoom(self):
            self.entered.set()
            return "ignored"

        def OnError(self, error):
            try:
                super().OnError(error)
            except RuntimeError as e:
                self.super_error = str(e)

        def OnRemoteVideoReceived(self, *args):
            self.video_calls += 1

    d = OnlyEnter()
    cloud = o.VONUCloud(d)
    cloud.EnterRoom(enter_params("partial", room="partial"))
    assert d.entered.wait(10)
    lb.inject("partial", "OnError", -3)
    lb.inject("partial", "OnRemoteVideoFrameReceived", b"x", 2, b"frame")
    idle()
    assert d.super_error == PURE.format("OnError")
    assert d.video_calls == 0
    lb.clear_escaped()
    cloud.ExitRoom()
    idle()
    assert PURE.format("OnExitRoom") in lb.escaped()


def test_methods_are_found_as_an_attribute_lookup_finds_them(clean):
    """The SDK calls what ``getattr(delegate, name)`` gives: the object's own attribute before
    the class's function, a static method without the object, a function replaced on the class
    from then on, and whatever a class's own attribute lookup answers."""
    calls = []

    def make_found():
        class Found(o.VONUCloudDelegate):
            def OnEnterRoom(self):
                calls.append(("class", type(self).__name__))

            def OnRemoteAudioAvailable(self, user_id, available):
                calls.append(("class", user_id))

            @staticmethod
            def OnRemoteVideoAvailable(user_id, available, stream_type):
                calls.append(("static", user_id))

        return Found

    class Looked(make_found()):
        def __getattribute__(self, name):
            if name == "OnEnterRoom":
                return lambda: calls.append(("looked", None))
            return super().__getattribute__(name)

    for kind in (make_found(), Looked):
        calls.clear()
        d = kind()
        cloud = o.VONUCloud(d)
        cloud.EnterRoom(enter_params("found", room="found"))
        idle()
        lb.inject("found", "OnRemoteAudioAvailable", b"a", 1)
        lb.inject("found", "OnRemoteVideoAvailable", b"b", 1, 2)
        idle()
        d.OnRemoteAudioAvailable = lambda user_id, available: calls.append(("own", user_id))
        lb.inject("found", "OnRemoteAudioAvailable", b"c", 1)
        idle()
        del d.OnRemoteAudioAvailable
        kind.OnEnterRoom = lambda self: calls.append(("replaced", None))
        lb.inject("found", "OnRemoteAudioAvailable", b"d", 1)
        lb.inject("found", "OnEnterRoom")
        idle()
        entered = ("looked", None) if kind is Looked else ("class", "Found")
        replaced = ("looked", None) if kind is Looked else ("replaced", None)
        assert calls == [entered, ("class", "a"), ("static", "b"), ("own", "c"), ("class", "d"), replaced]
        cloud.ExitRoom()
        idle()
        del cloud


def test_injected_arguments_python_cannot_make(clean, capfd):
    d = EventLog()
    cloud = o.VONUCloud(d)
    cloud.EnterRoom(enter_params("inj", room="inject"))
    idle()
    d.clear()
    lb.inject("inj", "OnRemoteAudioAvailable", None, True)
    lb.inject("inj", "OnRemoteVideoAvailable", b"\xff\xfe", True, 2)
    lb.inject("inj", "OnSeiMessageReceived", b"u", 5, 100, b"")
    lb.inject("inj", "OnSeiMessageReceived", b"u", 2, 5, b"a\0b")
    lb.inject("inj", "OnReceiveCustomCmdMsg", b"u", 3, 4294967295, b"\0")
    lb.inject("inj", "OnMissCustomCmdMsg", b"u", -1, 4294967295, 7)
    lb.inject("inj", "OnNetworkQuality", None, [])
    lb.inject("inj", "OnNetworkQuality", (b"me", 1), [(b"a", 2), (b"b", 3), (b"c", 4)])
    idle()
    assert d.of("OnRemoteAudioAvailable") == [(None, True)]
    assert d.of("OnRemoteVideoAvailable") == []  # invalid UTF-8: the override is not called
    assert any("UnicodeDecodeError" in e for e in lb.escaped())
    (u1, st, t1, m1), (u2, st2, t2, m2) = d.of("OnSeiMessageReceived")
    assert st == o.StreamType(5) and st.name == "???" and m1 == b"" and m2 == b"a\0b"
    assert d.of("OnReceiveCustomCmdMsg") == [("u", 3, 4294967295, b"\0")]
    assert d.of("OnMissCustomCmdMsg") == [("u", -1, 4294967295, 7)]
    (local, remote), (local2, remote2) = d.of("OnNetworkQuality")
    assert local.user_id.GetValue() == "" and local.quality == o.NETWORK_QUALITY_DOWN and remote == []
    assert local2.user_id.GetValue() == "me"
    assert [(r.user_id.GetValue(), int(r.quality)) for r in remote2] == [("a", 2), ("b", 3), ("c", 4)]
    remote2[0].quality = o.NETWORK_QUALITY_BAD
    assert remote2[1].quality == o.NETWORK_QUALITY_POOR
    assert capfd.readouterr().err == ""


def test_catching_callbacks_report_on_stderr(clean, capfd):
    class Faulty(o.VONUCloudDelegate):
        def __init__(self):
            super().__init__()
            self.received = []

        def OnReceiveCustomCmdMsg(self, user, cmd, seq, msg):
            if msg == b"bad":
                raise ValueError("bad message")
            self.received.append(msg)

        def OnSeiMessageReceived(self, user, stream, kind, msg, extra):  # one parameter too many
            pass

        def OnMissCustomCmdMsg(self, user, cmd, code, missed):
            raise KeyError("missed")

    d = Faulty()
    cloud = o.VONUCloud(d)
    cloud.EnterRoom(enter_params("faulty", room="faulty"))
    idle()
    lb.clear_escaped()
    capfd.readouterr()
    lb.inject("faulty", "OnReceiveCustomCmdMsg", b"u", 1, 1, b"bad")
    lb.inject("faulty", "OnReceiveCustomCmdMsg", b"u", 1, 2, b"good")
    lb.inject("faulty", "OnSeiMessageReceived", b"u", 2, 5, b"s")
    lb.inject("faulty", "OnMissCustomCmdMsg", b"u", 1, 0, 1)
    idle()
    err = capfd.readouterr().err.splitlines()
    assert d.received == [b"good"]
    custom = [line for line in err if line.startswith("python callback OnReceiveCustomCmdMsg error: ")]
    assert len(custom) == 1 and "ValueError" in custom[0] and "bad message" in custom[0]
    assert sum(line.startswith("python callback OnSeiMessageReceived error: ") for line in err) == 1
    assert not any("missed" in line for line in err)
    assert any("KeyError" in e and "missed" in e for e in lb.escaped())


def test_registered_methods_called_from_python(capfd):
    """Called from Python, each event keeps its policy, and Python errors come back unchanged,
    except for the reported ones, which leave no error behind."""
    plain = o.VONUCloudDelegate()
    with pytest.raises(RuntimeError, match="^" + PURE.format("OnRemotePixelFrameReceived") + "$"):
        o.VONUCloudDelegate.OnRemotePixelFrameReceived(plain, "u", o.STREAM_TYPE_VIDEO_HIGH, o.PixelFrame())
    assert o.VONUCloudDelegate.OnMissCustomCmdMsg(plain, "u", 1, 0, 1) is None
    assert o.VONUCloudDelegate.OnNetworkQuality(plain, o.NetworkQualityInfo(), o.NetworkQualityInfo(), 0) is None

    class Raising(o.VONUCloudDelegate):
        def __init__(self):
            super().__init__()
            self.inner = []

        def OnError(self, error):
            raise ValueError("on error")

        def OnMissCustomCmdMsg(self, user, cmd, code, missed):
            raise KeyError("missed")

        def OnReceiveCustomCmdMsg(self, user, cmd, seq, msg):
            raise ValueError("reported " + msg.decode())

        def OnNetworkQuality(self, local, remote):
            # From inside the override the registered method finds none, and does nothing.
            self.inner.append(super().OnNetworkQuality(local, local, 0))

        def OnRemoteAudioReceived(self, user, frame):
            self.inner.append(frame)

    d = Raising()
    capfd.readouterr()
    with pytest.raises(ValueError, match="on error"):
        o.VONUCloudDelegate.OnError(d, o.ERR_OK)
    with pytest.raises(KeyError, match="missed"):
        o.VONUCloudDelegate.OnMissCustomCmdMsg(d, "u", 1, 0, 1)
    assert o.VONUCloudDelegate.OnReceiveCustomCmdMsg(d, "u", 1, 2, "abc", 3) is None
    o.VONUCloudDelegate.OnNetworkQuality(d, o.NetworkQualityInfo(), o.NetworkQualityInfo(), 0)
    assert d.inner == [None]
    sent = o.AudioFrame()
    sent.SetData(b"\x01\x02")
    o.VONUCloudDelegate.OnRemoteAudioReceived(d, "u", sent)
    sent.SetData(b"")
    assert d.inner[1] is not sent and d.inner[1].data == b"\x01\x02"  # the override got a copy
    reports = [line for line in capfd.readouterr().err.splitlines() if line.startswith("python callback")]
    assert reports == ["python callback OnReceiveCustomCmdMsg error: ValueError: reported abc"]


def test_received_frames_outlive_the_callback(clean):
    kept = []

    class Keeper(o.VONUCloudDelegate):
        def OnRemoteVideoFrameReceived(self, user, stream, frame):
            kept.append(frame)

        def OnRemoteAudioReceived(self, user, frame):
            kept.append(frame)

    d = Keeper()
    cloud = o.VONUCloud(d)
    cloud.EnterRoom(enter_params("keeper", room="keep"))
    idle()
    for i in range(5):
        lb.inject("keeper", "OnRemoteVideoFrameReceived", b"s", 2, bytes([i]) * 10)
        lb.inject("keeper", "OnRemoteAudioReceived", b"s", bytes([i]) * 4)
    idle()
    gc.collect()
    assert [f.data for f in kept] == [bytes([i]) * n for i in range(5) for n in (10, 4)]


def test_many_threads_one_cloud_and_shared_delegate(loopback):
    room = loopback.room()
    shared = EventLog()
    receivers = [o.VONUCloud(shared) for _ in range(3)]
    for i, cloud in enumerate(receivers):
        cloud.EnterRoom(room.params("r%d" % i))
    source = room.participant("src").cloud
    loopback.wait_idle()
    per_thread = 25  # 4 threads x 25 = 100 messages, more than one second's rate allows

    def send(tag):
        for n in range(per_thread):
            while not source.SendCustomCmdMsg(1 + tag, b"%d:%d" % (tag, n), True, True):
                threading.Event().wait(0.001)  # rate limited until the clock moves on

    # The rate window runs on the SDK clock, which this thread moves while the senders retry.
    loopback.clock.freeze()
    threads = [threading.Thread(target=send, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        loopback.clock.advance(100)
        threads[0].join(0.005)
    idle()
    got = shared.of("OnReceiveCustomCmdMsg")
    assert len(got) == 3 * 4 * per_thread
    for tag in range(4):
        seqs = [seq for user, cmd, seq, msg in got if cmd == 1 + tag]
        assert sorted(seqs) == sorted(list(range(1, per_thread + 1)) * 3)
