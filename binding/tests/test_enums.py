"""Enumerations: values, member order, exported members, construction and comparison."""

import pickle

import pytest

import _ostrel as o


def test_exported_members_are_the_same_objects():
    assert o.ERR_OK is o.Error.ERR_OK
    assert o.VONU_ROLE_AUDIENCE is o.VONURole.VONU_ROLE_AUDIENCE
    assert o.STREAM_TYPE_VIDEO_HIGH is o.StreamType.STREAM_TYPE_VIDEO_HIGH
    assert o.VIDEO_PIXEL_FORMAT_YUV420p is o.VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUV420p


def test_values_and_order():
    assert list(o.StreamType.__members__) == [
        "STREAM_TYPE_UNKNOWN",
        "STREAM_TYPE_VIDEO_HIGH",
        "STREAM_TYPE_VIDEO_LOW",
        "STREAM_TYPE_VIDEO_AUX",
        "STREAM_TYPE_AUDIO",
    ]
    errors = {name: int(member) for name, member in o.Error.__members__.items()}
    assert list(errors)[-2:] == ["ERR_SERVICE_SUSPENDED", "ERR_BANNED_BY_SERVER"]
    assert errors["ERR_BANNED_BY_SERVER"] == -205 and errors["ERR_INVALID_USER_SIG"] == -3320
    assert len(errors) == 16
    assert int(o.STREAM_TYPE_VIDEO_AUX) == 7 and int(o.VIDEO_ROTATION_90) == 1
    assert int(o.AUDIO_OBTAIN_METHOD_CALLBACK) == 1 and int(o.NETWORK_QUALITY_DOWN) == 6
    assert [
        len(getattr(o, n).__members__)
        for n in (
            "VideoCodecType",
            "AudioCodecType",
            "VONURole",
            "VONUScene",
            "AudioObtainMethod",
            "NetworkQuality",
            "ConnectionState",
            "VideoRotation",
            "VideoPixelFormat",
        )
    ] == [2, 3, 2, 5, 2, 7, 4, 4, 3]


def test_construction_ranges():
    assert int(o.StreamType.STREAM_TYPE_UNKNOWN) == -1
    assert o.StreamType(-1) == o.STREAM_TYPE_UNKNOWN
    made = o.StreamType(2)
    assert made == o.STREAM_TYPE_VIDEO_HIGH and made is not o.STREAM_TYPE_VIDEO_HIGH
    assert o.VideoRotation(1) == o.VIDEO_ROTATION_90
    for bad in (
        lambda: o.VideoRotation(-1),
        lambda: o.VideoRotation(2**32),
        lambda: o.Error(2**31),
        lambda: o.StreamType(-(2**31) - 1),
        lambda: o.StreamType(2.0),
    ):
        with pytest.raises(TypeError):
            bad()
    assert int(o.VideoRotation(2**32 - 1)) == 2**32 - 1
    assert int(o.Error(-(2**31))) == -(2**31)


def test_unnamed_values():
    five = o.StreamType(5)
    assert five.name == "???"
    assert repr(five) == "<StreamType.???: 5>"
    for value in (0, 4, 6):
        assert o.StreamType(value).name == "???"


def test_representation_and_docstring():
    assert repr(o.Error.ERR_FAILED) == "<Error.ERR_FAILED: -1>"
    assert str(o.VONUScene.VONU_SCENE_LIVE) == "VONUScene.VONU_SCENE_LIVE"
    assert o.VONURole.__doc__ == "Members:\n\n  VONU_ROLE_ANCHOR\n\n  VONU_ROLE_AUDIENCE"
    assert o.STREAM_TYPE_AUDIO.value == 1 and o.STREAM_TYPE_AUDIO.name == "STREAM_TYPE_AUDIO"


def test_comparison_hash_index_pickle():
    assert o.NetworkQuality.NETWORK_QUALITY_DOWN == 6
    assert o.NETWORK_QUALITY_DOWN != 5
    assert o.NETWORK_QUALITY_DOWN != None  # noqa: E711
    with pytest.raises(TypeError):
        o.NetworkQuality.NETWORK_QUALITY_DOWN < 7
    with pytest.raises(TypeError):
        o.VIDEO_ROTATION_90 | o.VIDEO_ROTATION_180
    assert hash(o.ERR_FAILED) == hash(-1)
    assert [10, 20, 30][o.VIDEO_ROTATION_90] == 20
    assert pickle.loads(pickle.dumps(o.VONU_SCENE_RECORD)) == o.VONU_SCENE_RECORD
    members = o.Error.__members__
    members.clear()
    assert len(o.Error.__members__) == 16


def test_error_cannot_be_raised():
    with pytest.raises(TypeError):
        raise o.Error.ERR_FAILED
