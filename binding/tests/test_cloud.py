"""VONUCloud: construction, argument conversion and exactly what reaches the SDK."""

import gc

import pytest
from roomkit import EventLog, enter_params, idle

import _ostrel as o
import ostrel_loopback


def test_signatures_name_native_types():
    assert o.VONUCloud.EnterRoom.__doc__ == (
        "EnterRoom(self: _ostrel.VONUCloud, params: ostrel::vonu::EnterRoomParams) -> int\n"
    )
    assert o.VONUCloud.SendCustomCmdMsg.__doc__ == (
        "SendCustomCmdMsg(self: _ostrel.VONUCloud, cmd_id: typing.SupportsInt | typing.SupportsIndex, "
        "message: bytes, reliable: bool, ordered: bool) -> int\n"
    )
    methods = [n for n in vars(o.VONUCloud) if not n.startswith("_")]
    assert methods == [
        "EnterRoom",
        "ExitRoom",
        "Subscribe",
        "Unsubscribe",
        "GetAudioFrame",
        "CreateLocalAudioChannel",
        "DestroyLocalAudioChannel",
        "SendAudioFrame",
        "SendContinuousAudioFrame",
        "CreateLocalVideoChannel",
        "DestroyLocalVideoChannel",
        "SendVideoFrame",
        "SendPixelFrame",
        "SetVideoEncodeParam",
        "SendSeiMessage",
        "SendCustomCmdMsg",
        "EnableVoiceActivityDetection",
    ]
    assert list(vars(o))[list(vars(o)).index("VONUCloud") + 1] == "VONUCloudDelegate"


def test_construction(call_recorder):
    cloud = o.VONUCloud(None)
    assert call_recorder.last_call("Create") == {"delegate": None}
    del cloud
    gc.collect()
    assert [n for n, _ in call_recorder.calls()] == ["Create", "Destroy"]
    with pytest.raises(TypeError):
        o.VONUCloud(delegate=EventLog())
    with pytest.raises(TypeError):
        o.VONUCloud(object())
    call_recorder.clear()
    delegate = EventLog()
    cloud = o.VONUCloud(delegate)
    assert isinstance(call_recorder.last_call("Create")["delegate"], int)
    with pytest.raises(AttributeError):
        cloud.extra = 1


def test_failed_create_raises_and_leaves_no_object():
    before = ostrel_loopback.live_instances()
    ostrel_loopback.fail_next_create()
    with pytest.raises(RuntimeError, match="no cloud instance"):
        o.VONUCloud(EventLog())
    assert ostrel_loopback.live_instances() == before
    cloud = o.VONUCloud(None)  # the next one works again
    del cloud


def test_delegate_kept_alive_until_cloud_goes(call_recorder):
    import weakref

    delegate = EventLog()
    ref = weakref.ref(delegate)
    cloud = o.VONUCloud(delegate)
    second = o.VONUCloud(delegate)
    del delegate
    gc.collect()
    assert ref() is not None
    assert cloud.EnterRoom(enter_params("keeper")) == 0
    idle()
    assert "OnEnterRoom" in ref().names()
    del cloud
    gc.collect()
    assert ref() is not None
    del second
    gc.collect()
    assert ref() is None
    assert [n for n, _ in call_recorder.calls()].count("Destroy") == 2


def test_payload_and_integer_conversions(call_recorder):
    cloud = o.VONUCloud(EventLog())
    assert cloud.SendSeiMessage(5, b"") == o.ERR_INVALID_OPERATION
    assert call_recorder.last_call("SendSeiMessage") == {"message_type": 5, "message": b"", "message_null": False}
    cloud.SendCustomCmdMsg(-1, b"a\0b", True, False)
    assert call_recorder.last_call("SendCustomCmdMsg") == {
        "cmd_id": 4294967295,
        "message": b"a\0b",
        "message_null": False,
        "reliable": True,
        "ordered": False,
    }
    result = cloud.SendCustomCmdMsg(1, b"x", reliable=True, ordered=True)
    assert type(result) is int and result == 0  # not in a room
    call_recorder.clear()
    for bad in (
        lambda: cloud.SendSeiMessage(5, "text"),
        lambda: cloud.SendSeiMessage(5, bytearray(b"x")),
        lambda: cloud.SendCustomCmdMsg(2**31, b"x", True, True),
        lambda: cloud.SendSeiMessage(5.0, b"x"),
        lambda: cloud.EnterRoom(None),
        lambda: cloud.Subscribe("u", 2),
        lambda: cloud.SendAudioFrame(None),
    ):
        with pytest.raises(TypeError):
            bad()
    assert call_recorder.calls() == []


def test_forwarding_as_received(call_recorder):
    cloud = o.VONUCloud(EventLog())
    assert cloud.GetAudioFrame(None) == o.ERR_INVALID_PARAMETER
    assert call_recorder.last_call("GetAudioFrame") == {"frame": None}
    cloud.Subscribe("ali\0ce", o.STREAM_TYPE_VIDEO_HIGH)
    assert call_recorder.last_call("Subscribe") == {"user_id": b"ali", "type": 2}
    cloud.Unsubscribe(user_id=b"bob", type=o.StreamType(5))
    assert call_recorder.last_call("Unsubscribe") == {"user_id": b"bob", "type": 5}
    assert cloud.SetVideoEncodeParam(o.STREAM_TYPE_VIDEO_HIGH, o.VideoEncodeParams()) is None
    assert cloud.EnableVoiceActivityDetection(o.VADParams()) is None
    assert cloud.ExitRoom() == o.ERR_INVALID_OPERATION
    assert cloud.EnterRoom(enter_params("again")) == 0
    idle()
    assert cloud.ExitRoom() == 0
    assert cloud.EnterRoom(enter_params("again")) == 0
    names = [n for n, _ in call_recorder.calls() if "::" not in n]
    assert names[-3:] == ["EnterRoom", "ExitRoom", "EnterRoom"]
    params = call_recorder.last_call("EnterRoom")["params"]
    assert params["room"]["user_id"] == b"again" and params["room"]["sdk_app_id"] == 1400000001
