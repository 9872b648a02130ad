"""Frame payloads: bytes in through SetData/SetExtraData, bytes out through data and size."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ostrel as o

FRAMES = [o.AudioFrame, o.VideoFrame, o.PixelFrame]


@pytest.mark.parametrize("cls", FRAMES)
def test_roundtrip_with_nul_bytes(cls, call_recorder):
    frame = cls()
    frame.SetData(b"a\0b\0")
    assert frame.size == 4 and frame.data == b"a\0b\0"
    name = cls.__name__
    assert call_recorder.last_call(name + "::SetData") == {"data": b"a\0b\0", "data_null": False}


@pytest.mark.parametrize("cls", FRAMES)
def test_empty_payload_never_reads_data(cls, call_recorder):
    frame = cls()
    frame.SetData(b"")
    assert call_recorder.last_call(cls.__name__ + "::SetData") == {"data": b"", "data_null": False}
    call_recorder.clear()
    assert frame.data == b"" and type(frame.data) is bytes
    names = [name for name, _ in call_recorder.calls()]
    assert cls.__name__ + "::size" in names
    assert cls.__name__ + "::data" not in names


@pytest.mark.parametrize("cls", FRAMES)
def test_refused_payload_types(cls, call_recorder):
    frame = cls()
    for bad in (bytearray(b"ab"), memoryview(b"ab"), "ab", None):
        with pytest.raises(TypeError):
            frame.SetData(bad)
    with pytest.raises(TypeError):
        frame.SetData(data=b"ab")
    assert call_recorder.calls() == []


@pytest.mark.parametrize("cls", FRAMES)
def test_data_and_size_are_read_only_properties(cls):
    frame = cls()
    frame.SetData(b"ab")
    assert isinstance(frame.size, int)
    with pytest.raises(TypeError):
        frame.size()
    for attr in ("data", "size"):
        with pytest.raises(AttributeError):
            setattr(frame, attr, b"x")
        with pytest.raises(AttributeError):
            delattr(frame, attr)


def test_bytes_subclass_accepted_and_results_independent():
    class Payload(bytes):
        pass

    frame = o.VideoFrame()
    frame.SetData(Payload(b"xyz"))
    first = frame.data
    frame.SetData(b"other")
    assert first == b"xyz" and frame.data == b"other"
    assert frame.data is not frame.data


def test_extra_data_leaves_payload_alone(call_recorder):
    frame = o.AudioFrame()
    frame.SetData(b"pcm")
    frame.SetExtraData(b"\0side")
    assert frame.data == b"pcm" and frame.size == 3
    assert call_recorder.last_call("AudioFrame::SetExtraData") == {"data": b"\0side", "data_null": False}
    assert [n for n, _ in call_recorder.calls()].count("AudioFrame::SetData") == 1
    assert not hasattr(o.VideoFrame, "SetExtraData")
    with pytest.raises(TypeError):
        frame.SetExtraData(bytearray(b"x"))


@settings(max_examples=200, deadline=None)
@given(payload=st.binary(max_size=4096), cls=st.sampled_from(FRAMES))
def test_any_payload_roundtrips(payload, cls):
    frame = cls()
    frame.SetData(payload)
    assert frame.size == len(payload)
    assert frame.data == payload


@settings(max_examples=200, deadline=None)
@given(text=st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="\0")))
def test_any_text_roundtrips_through_vonu_string(text):
    s = o.VonuString(text)
    assert s.GetValue() == text and str(s) == text and repr(s) == "VonuString(" + text + ")"
