"""Frame payloads as read-only buffers: views without copies, and no payload change under a view."""

import ctypes
import gc
import struct

import pytest
import roomkit

import _ostrel as o
import ostrel_loopback as lb
from ostrel.testing import EVENT_NAMES

FRAMES = [o.AudioFrame, o.VideoFrame, o.PixelFrame]


def framed(cls, payload):
    frame = cls()
    frame.SetData(payload)
    return frame


@pytest.mark.parametrize("cls", FRAMES)
def test_view_is_the_payload_read_only(cls):
    frame = framed(cls, b"a\0b\xffcd")
    view = memoryview(frame)
    assert view.readonly and view.format == "B" and view.ndim == 1 and view.itemsize == 1
    assert view.tobytes() == frame.data and len(view) == frame.size
    with pytest.raises(TypeError):
        view[0] = 1
    # A writable buffer is refused outright, not handed out as a copy.
    with pytest.raises((TypeError, BufferError)):
        ctypes.c_char.from_buffer(frame)
    assert bytes(frame) == frame.data


@pytest.mark.parametrize("cls", FRAMES)
def test_payload_cannot_change_while_viewed(cls, call_recorder):
    frame = framed(cls, b"before")
    first, second = memoryview(frame), memoryview(frame)
    call_recorder.clear()
    with pytest.raises(BufferError):
        frame.SetData(b"after")
    if cls is o.AudioFrame:
        # The extra data sits behind the same handle as the payload.
        with pytest.raises(BufferError):
            frame.SetExtraData(b"side")
    assert not [n for n, _ in call_recorder.calls() if n.endswith("SetData") or n.endswith("SetExtraData")]
    frame.pts = 7  # fields other than the payload stay writable
    first.release()
    with pytest.raises(BufferError):
        frame.SetData(b"after")  # one view is still out
    second.release()
    frame.SetData(b"after")
    assert frame.data == b"after"
    with memoryview(frame) as view:
        assert view.tobytes() == b"after"
    frame.SetData(b"again")
    # A view of one frame does not hold back another.
    other = framed(cls, b"x")
    with memoryview(other):
        frame.SetData(b"free")


def test_get_audio_frame_into_a_viewed_frame_is_refused(call_recorder):
    cloud = o.VONUCloud(None)
    frame = framed(o.AudioFrame, b"held")
    with memoryview(frame):
        call_recorder.clear()
        with pytest.raises(BufferError):
            cloud.GetAudioFrame(frame)
        assert call_recorder.last_call("GetAudioFrame") is None
        assert cloud.GetAudioFrame(None) == o.ERR_INVALID_PARAMETER
    assert isinstance(cloud.GetAudioFrame(frame), int)


@pytest.mark.parametrize("cls", FRAMES)
def test_empty_payload_view_never_reads_data(cls, call_recorder):
    frame = framed(cls, b"")
    call_recorder.clear()
    view = memoryview(frame)
    assert len(view) == 0 and view.tobytes() == b""
    assert cls.__name__ + "::data" not in [n for n, _ in call_recorder.calls()]
    assert memoryview(cls()).tobytes() == b""


def test_view_outlives_the_frame_and_its_subclass_exports_too():
    class Tagged(o.PixelFrame):
        pass

    # Made without __init__: there is no frame to view.
    for empty in (o.VideoFrame.__new__(o.VideoFrame), Tagged.__new__(Tagged)):
        with pytest.raises(TypeError, match="__init__"):
            memoryview(empty)

    payload = bytes(range(256)) * 64
    view = memoryview(framed(Tagged, payload))
    gc.collect()
    assert view.tobytes() == payload  # the view keeps the frame, and so its payload, alive
    assert view.obj.__class__ is Tagged
    view.release()


def test_numpy_reads_in_place():
    numpy = pytest.importorskip("numpy")
    samples = [0, 1, -1, 32767, -32768, 1234]
    frame = framed(o.AudioFrame, struct.pack("<6h", *samples))
    pcm = numpy.frombuffer(frame, dtype=numpy.int16)
    assert pcm.tolist() == samples and not pcm.flags.writeable
    again = numpy.frombuffer(frame, dtype=numpy.uint8)
    # Both arrays point at the frame's own payload: no copy was made.
    assert pcm.__array_interface__["data"][0] == again.__array_interface__["data"][0]
    with pytest.raises(BufferError):
        frame.SetData(b"")
    del pcm, again
    frame.SetData(b"")


def test_view_of_a_received_frame_stays_valid_after_the_callback():
    class Keeper(o.VONUCloudDelegate):
        def __init__(self):
            super().__init__()
            self.views = []

        def OnRemoteAudioReceived(self, user_id, frame):
            self.views.append(memoryview(frame))

    for name in EVENT_NAMES:
        if name != "OnRemoteAudioReceived":
            setattr(Keeper, name, lambda self, *args: None)
    keeper = Keeper()
    cloud = o.VONUCloud(keeper)
    assert cloud.EnterRoom(roomkit.enter_params("keeper", "views")) == 0
    roomkit.idle()
    payloads = [bytes([i]) * (640 + i) for i in range(8)]
    for payload in payloads:
        assert lb.inject(b"keeper", "OnRemoteAudioReceived", b"peer", payload) == 1
    roomkit.idle()
    gc.collect()
    assert [v.tobytes() for v in keeper.views] == payloads
    cloud.ExitRoom()
    roomkit.idle()
