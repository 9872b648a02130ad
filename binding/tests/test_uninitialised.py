"""Instances made without __init__ (cls.__new__(cls)) hold no native object: every member raises
TypeError, and passing one as an argument raises before anything reaches the SDK."""

import pytest

import _ostrel as o

CLASSES = [v for v in vars(o).values() if isinstance(v, type) and issubclass(v, o.VONUCloudDelegate.__base__)]


def _members():
    for cls in CLASSES:
        for name, member in vars(cls).items():
            # __setstate__ initialises (that is how unpickling works); __del__ of a blank cloud
            # has nothing to release.
            if (
                name in ("__init__", "__new__", "__setstate__", "__del__")
                or type(member).__name__ == "pybind11_static_property"
            ):
                continue
            if isinstance(member, property) or callable(member):
                yield pytest.param(cls, name, id="%s.%s" % (cls.__name__, name))


@pytest.mark.parametrize("cls,name", list(_members()))
def test_member_of_an_uninitialised_instance_raises(cls, name):
    blank = cls.__new__(cls)
    member = vars(cls)[name]
    with pytest.raises(
        TypeError, match=r"is not initialized: _ostrel\.%s\.__init__\(\) was never called" % cls.__name__
    ):
        if isinstance(member, property):
            getattr(blank, name)
        else:
            getattr(blank, name)()
    if isinstance(member, property) and member.fset is not None:
        with pytest.raises(TypeError, match="is not initialized"):
            setattr(blank, name, None)


def test_uninitialised_arguments_never_reach_the_sdk(call_recorder):
    with pytest.raises(TypeError, match="VONUCloudDelegate object is not initialized"):
        o.VONUCloud(o.VONUCloudDelegate.__new__(o.VONUCloudDelegate))
    assert call_recorder.calls() == []
    cloud = o.VONUCloud(None)
    call_recorder.clear()
    with pytest.raises(TypeError, match="EnterRoomParams object is not initialized"):
        cloud.EnterRoom(o.EnterRoomParams.__new__(o.EnterRoomParams))
    with pytest.raises(TypeError, match="AudioFrame object is not initialized"):
        cloud.GetAudioFrame(frame=o.AudioFrame.__new__(o.AudioFrame))
    with pytest.raises(TypeError, match="StreamType object is not initialized"):
        cloud.CreateLocalVideoChannel(o.StreamType.__new__(o.StreamType))
    with pytest.raises(TypeError, match="VONUCloud object is not initialized"):
        o.VONUCloud.ExitRoom(o.VONUCloud.__new__(o.VONUCloud))
    assert call_recorder.calls() == []
    params = o.EnterRoomParams()
    with pytest.raises(TypeError, match="RoomParams object is not initialized"):
        params.room = o.RoomParams.__new__(o.RoomParams)
