"""EventQueue and QueuedDelegate: events queued without the GIL on the SDK's threads and taken
in batches on one thread, as a Python delegate's methods would have received them."""

import select
import time

from roomkit import enter_params, idle
from test_lifecycle import run_python

import _ostrel as o
from ostrel.testing.loopback import _reported_errors


def readable(queue):
    return bool(select.select([queue.fileno()], [], [], 0)[0])


def test_arguments_come_as_a_python_delegate_gets_them_stamped_and_in_order():
    queue = o.EventQueue()
    delegate = o.QueuedDelegate(queue, 7)
    assert not queue and not readable(queue) and queue.take(1.0) == []
    info = o.UserInfo()
    info.user_id.SetValue("amy")
    before = time.monotonic()
    delegate.OnRemoteUserEnterRoom(info)
    info.user_id.SetValue("bob")  # the queue holds its own copy
    delegate.OnRemoteAudioAvailable(None, True)  # a null user id
    delegate.OnReceiveCustomCmdMsg("amy", -5, 2, b"a\0b", 3)
    delegate.OnReceiveCustomCmdMsg("amy", 1, 3, None, 5)  # a null message has no bytes
    delegate.OnNetworkQuality(None, None, 0)
    frame = o.AudioFrame()
    frame.sample_rate, frame.pts = 16000, 99
    frame.SetData(b"\x01\x02" * 160)
    delegate.OnRemoteAudioReceived("amy", frame)
    frame.SetData(b"")
    assert queue and readable(queue) and delegate.waiting == 6
    taken = queue.take(time.monotonic())
    after = time.monotonic()
    assert not readable(queue) and delegate.waiting == 0
    assert {key for key, _, _, _ in taken} == {7}
    assert all(before <= stamp <= after for _, _, _, stamp in taken)
    names = [name for _, name, _, _ in taken]
    assert names == ["OnRemoteUserEnterRoom", "OnRemoteAudioAvailable"] + ["OnReceiveCustomCmdMsg"] * 2 + [
        "OnNetworkQuality",
        "OnRemoteAudioReceived",
    ]
    args = [a for _, _, a, _ in taken]
    assert isinstance(args[0][0], o.UserInfo) and args[0][0].user_id.GetValue() == "amy"
    assert args[1] == (None, True)
    assert args[2] == ("amy", -5, 2, b"a\0b") and args[3] == ("amy", 1, 3, b"")
    assert isinstance(args[4][0], o.NetworkQualityInfo) and args[4][1] == []
    heard = args[5][1]
    assert (heard.sample_rate, heard.pts, heard.data) == (16000, 99, b"\x01\x02" * 160)
    delegate.OnEnterRoom()
    assert queue.take(5.0, real_time=False) == [(7, "OnEnterRoom", (), 5.0)]


def test_text_that_is_not_utf8_is_reported_and_left_out():
    queue = o.EventQueue()
    delegate = o.QueuedDelegate(queue, 1)
    delegate.OnRemoteAudioAvailable(b"\xff", True)
    delegate.OnEnterRoom()
    assert [name for _, name, _, _ in queue.take(0.0)] == ["OnEnterRoom"]
    reported = _reported_errors()
    assert len(reported) == 1 and reported[0].startswith("python callback OnRemoteAudioAvailable error:")


def test_frames_beyond_the_bound_are_lost_and_counted_control_events_never():
    queue = o.EventQueue()
    delegate = o.QueuedDelegate(queue, 1, frame_bytes_limit=1000)
    frame = o.AudioFrame()
    frame.SetData(bytes(600))
    for _ in range(3):
        delegate.OnRemoteAudioReceived("amy", frame)
        delegate.OnRemoteAudioAvailable("amy", True)
    assert delegate.frames_lost == queue.frames_lost == 2 and delegate.waiting == 4
    assert [name for _, name, _, _ in queue.take(0.0)].count("OnRemoteAudioReceived") == 1
    delegate.OnRemoteAudioReceived("amy", frame)  # taken: room again
    assert delegate.frames_lost == 2 and delegate.waiting == 1


def test_a_cloud_with_a_queued_delegate_takes_part_in_a_room():
    queue = o.EventQueue()
    delegate = o.QueuedDelegate(queue, 3)
    cloud = o.VONUCloud(delegate)

    assert cloud.EnterRoom(enter_params("queued", room="queued-room")) == 0
    idle()
    assert "OnEnterRoom" in [name for _, name, _, _ in queue.take(0.0)]
    assert cloud.ExitRoom() == 0
    idle()
    assert "OnExitRoom" in [name for _, name, _, _ in queue.take(0.0)]
    del cloud


def test_a_forked_child_takes_nothing_and_leaves_the_parent_its_wake_up():
    out = run_python(
        """
        import os, select
        import _ostrel as o

        queue = o.EventQueue()
        delegate = o.QueuedDelegate(queue, 1)
        delegate.OnEnterRoom()
        pid = os.fork()
        if pid == 0:
            os._exit(0 if queue.take(0.0) == [] else 1)
        status = os.waitpid(pid, 0)[1]
        ready = select.select([queue.fileno()], [], [], 0)[0]
        print(status, bool(ready), [name for _, name, _, _ in queue.take(0.0)])
        """,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[0] == "0 True ['OnEnterRoom']"
