"""Record classes: defaults, views, copy assignment, conversions and VonuString text."""

import gc

import pytest

import _ostrel as o


def test_defaults():
    a = o.AudioEncodeParams()
    assert (a.channels, a.sample_rate, a.frame_length_ms, a.bitrate_bps, a.need_encode) == (1, 48000, 20, 51200, True)
    g = o.AudioObtainParams()
    assert g.audio_obtain_method == o.AUDIO_OBTAIN_METHOD_CALLBACK
    assert (g.enable_remote_audio_mix, g.output_sample_rate, g.output_channels, g.output_frame_length_ms) == (
        False,
        16000,
        1,
        20,
    )
    assert g.output_audio_codec_type == o.AUDIO_CODEC_TYPE_PCM
    v = o.VideoEncodeParams()
    assert (v.frame_rate, v.bitrate_bps, v.gop_in_seconds) == (15, 0, 3)
    assert o.VADParams().enable is False
    q = o.NetworkQualityInfo()
    assert q.user_id.GetValue() == "" and q.quality == o.NETWORK_QUALITY_DOWN
    assert isinstance(q.quality, o.NetworkQuality)
    e = o.EnterRoomParams()
    assert e.audio_obtain_params.output_sample_rate == 16000
    assert e.use_pixel_frame_input is False and e.use_pixel_frame_output is False


def test_vonu_string_text():
    s = o.VonuString("abc")
    assert repr(s) == "VonuString(abc)" and str(s) == "abc" and s.GetValue() == "abc"
    assert repr(o.VonuString("")) == "VonuString()"
    assert o.VonuString(b"bytes").GetValue() == "bytes"
    assert o.VonuString(bytearray(b"ba")).GetValue() == "ba"
    assert o.VonuString("é").GetValue() == "é"
    with pytest.raises(TypeError):
        o.VonuString(5)
    with pytest.raises(TypeError):
        o.VonuString(value="x")
    assert s.SetValue("d") is None and str(s) == "d"


def test_vonu_string_without_text():
    s = o.VonuString(None)
    assert s.GetValue() is None
    for show in (str, repr):
        with pytest.raises(RuntimeError, match="^basic_string: construction from null is not valid$"):
            show(s)
    s = o.VonuString("x")
    s.SetValue(None)
    assert s.GetValue() is None


def test_vonu_string_invalid_utf8():
    s = o.VonuString(b"\xffab")
    for read in (lambda: s.GetValue(), lambda: str(s), lambda: repr(s)):
        with pytest.raises(UnicodeDecodeError):
            read()


def test_vonu_string_cut_at_nul(call_recorder):
    s = o.VonuString("ab\0cd")
    assert s.GetValue() == "ab"
    s.SetValue("x\0y")
    assert call_recorder.last_call("VonuString::SetValue") == {"value": b"x"}


def test_field_reads_are_views():
    e = o.EnterRoomParams()
    e.room.user_id.SetValue("u1")
    assert e.room.user_id.GetValue() == "u1"
    e.audio_obtain_params.output_channels = 2
    assert e.audio_obtain_params.output_channels == 2


def test_views_keep_parent_alive():
    room = o.EnterRoomParams().room
    user = o.RoomParams().user_id
    gc.collect()
    room.user_id.SetValue("still here")
    assert room.user_id.GetValue() == "still here"
    assert user.GetValue() == ""


def test_assignment_copies(call_recorder):
    r = o.RoomParams()
    s = o.VonuString("x")
    r.user_id = s
    s.SetValue("y")
    assert r.user_id.GetValue() == "x"
    assert call_recorder.calls()[0] == ("VonuString::operator=", {"value": b"x"})

    e = o.EnterRoomParams()
    room = o.RoomParams()
    room.sdk_app_id = 9
    room.str_room_id = o.VonuString("r")
    e.room = room
    room.str_room_id.SetValue("changed")
    assert e.room.sdk_app_id == 9 and e.room.str_room_id.GetValue() == "r"

    obtain = o.AudioObtainParams()
    obtain.audio_obtain_method = o.AUDIO_OBTAIN_METHOD_GET
    e.audio_obtain_params = obtain
    obtain.output_sample_rate = 8000
    assert e.audio_obtain_params.audio_obtain_method == o.AUDIO_OBTAIN_METHOD_GET
    assert e.audio_obtain_params.output_sample_rate == 16000


def test_enum_field_reads_are_copies():
    e = o.EnterRoomParams()
    before = e.scene
    e.scene = o.VONUScene.VONU_SCENE_LIVE
    assert before == o.VONU_SCENE_VIDEO_CALL and e.scene == o.VONU_SCENE_LIVE
    assert int(e.scene) == 2


def test_refused_field_values():
    r = o.RoomParams()
    e = o.EnterRoomParams()
    a = o.AudioEncodeParams()
    cases = [
        (r, "room_id", -1),
        (r, "room_id", 2**32),
        (r, "room_id", 1.0),
        (r, "user_id", "text"),
        (r, "user_id", None),
        (e, "scene", 2),
        (e, "role", o.VONU_SCENE_LIVE),
        (e, "room", None),
        (a, "channels", 2**31),
        (a, "need_encode", "yes"),
        (o.PixelFrame(), "width", -1),
    ]
    for record, field, value in cases:
        before = getattr(record, field)
        with pytest.raises(TypeError):
            setattr(record, field, value)
        after = getattr(record, field)
        assert type(after) is type(before)
    r.room_id = 4294967295
    assert r.room_id == 4294967295
    e.scene = o.VONUScene(2)
    assert e.scene == o.VONU_SCENE_LIVE
    a.need_encode = None
    assert a.need_encode is False


def test_no_dynamic_attributes_or_constructor_arguments():
    for cls in (o.RoomParams, o.AudioFrame, o.VonuString, o.UserInfo):
        obj = cls()
        with pytest.raises(AttributeError):
            obj.not_a_field = 1
    with pytest.raises(TypeError):
        o.AudioEncodeParams(channels=2)
    with pytest.raises(TypeError):
        o.RoomParams(1)


def test_field_order_and_docstrings():
    def fields(cls):
        return [n for n, v in vars(cls).items() if isinstance(v, property)]

    assert fields(o.RoomParams) == ["room_id", "str_room_id", "user_id", "user_sig", "sdk_app_id"]
    assert fields(o.EnterRoomParams) == [
        "room",
        "scene",
        "role",
        "private_map_key",
        "audio_obtain_params",
        "use_pixel_frame_input",
        "use_pixel_frame_output",
    ]
    assert fields(o.AudioFrame) == [
        "pts",
        "sample_rate",
        "channels",
        "bits_per_sample",
        "codec",
        "has_voice",
        "data",
        "size",
    ]
    assert fields(o.PixelFrame) == ["pts", "format", "height", "width", "rotation", "data", "size"]
    assert fields(o.VideoFrame) == ["pts", "dts", "codec", "is_key_frame", "rotation", "data", "size"]
    assert o.RoomParams.__doc__ is None and o.AudioFrame.__doc__ is None
    assert o.EnterRoomParams.room.fset.__doc__ == (
        "(self: _ostrel.EnterRoomParams, arg0: _ostrel.RoomParams) -> None\n"
    )
    assert o.VonuString.__init__.__doc__ == (
        "__init__(*args, **kwargs)\nOverloaded function.\n\n"
        "1. __init__(self: _ostrel.VonuString) -> None\n\n"
        "2. __init__(self: _ostrel.VonuString, arg0: str) -> None\n"
    )
