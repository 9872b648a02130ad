"""A call between two participants on the loopback SDK.

``alice`` sends a 440 Hz tone as 48 kHz PCM, a moving test pattern as I420 pixel frames at
15 frames per second, one SEI message per second and a custom command message every half
second. ``bob`` receives the audio as 16 kHz mono through his AudioObtainParams, subscribes to
alice's video and prints one status line per second. At the end bob's audio is written to a
WAV file and one received frame to a PNG file.

    python examples/demo_call.py [--duration SECONDS] [--out DIR]

Callbacks run on the SDK's own threads; the delegates below only count, copy and append, and
the main thread does the sending and the printing.
"""

import argparse
import os
import struct
import sys
import tempfile
import threading
import time
import zlib
from typing import Callable, List, Optional, cast

import room_helpers

import _ostrel as ostrel

ROOM = "demo-call"
WIDTH, HEIGHT, FPS = 320, 240, 15
SEND_RATE, FRAME_MS = 48000, 20
RECEIVE_RATE = 16000


def enter_params(user: str, pixel_in: bool = False, pixel_out: bool = False) -> ostrel.EnterRoomParams:
    return room_helpers.enter_params(
        user,
        ROOM,
        rate=RECEIVE_RATE,
        frame_ms=FRAME_MS,
        scene=ostrel.VONU_SCENE_VIDEO_CALL,
        pixel_in=pixel_in,
        pixel_out=pixel_out,
    )


class Sender(room_helpers.QuietDelegate):
    """alice: reports what the room tells a sender."""

    def __init__(self) -> None:
        super().__init__()
        self.key_frame_requests = 0

    def OnError(self, error: ostrel.Error) -> None:
        print("alice: error", error, file=sys.stderr)

    def OnRequestKeyFrame(self, stream_type: ostrel.StreamType) -> None:
        self.key_frame_requests += 1


class Receiver(Sender):
    """bob: counts everything he receives and keeps the audio and the newest frame."""

    def __init__(self, cloud_ref: Callable[[], Optional[ostrel.VONUCloud]]) -> None:
        super().__init__()
        self.cloud_ref = cloud_ref
        self.lock = threading.Lock()
        self.events = 0
        self.audio_frames = self.video_frames = self.sei = self.commands = 0
        self.bytes = 0
        self.latencies: List[int] = []
        self.audio: List[bytes] = []
        self.last_frame: Optional[ostrel.PixelFrame] = None
        self.last_sei = b""
        self.last_command = b""

    def _count(self, size: int = 0, pts: Optional[int] = None) -> None:
        with self.lock:
            self.events += 1
            self.bytes += size
            if pts is not None:
                self.latencies.append((room_helpers.now_ms() - pts) & 0xFFFFFFFF)

    def OnRemoteVideoAvailable(self, user_id: Optional[str], available: bool, stream_type: ostrel.StreamType) -> None:
        self._count()
        if available:
            # Only bob's own cloud calls him, and the SDK names the member whose video it is.
            cast(ostrel.VONUCloud, self.cloud_ref()).Subscribe(cast(str, user_id), stream_type)

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: ostrel.AudioFrame) -> None:
        data = frame.data
        self._count(len(data), frame.pts)
        with self.lock:
            self.audio_frames += 1
            self.audio.append(data)

    def OnRemotePixelFrameReceived(
        self, user_id: Optional[str], stream_type: ostrel.StreamType, frame: ostrel.PixelFrame
    ) -> None:
        self._count(frame.size, frame.pts)
        with self.lock:
            self.video_frames += 1
            self.last_frame = frame

    def OnSeiMessageReceived(
        self, user_id: Optional[str], stream_type: ostrel.StreamType, message_type: int, message: bytes
    ) -> None:
        self._count(len(message))
        with self.lock:
            self.sei += 1
            self.last_sei = message

    def OnReceiveCustomCmdMsg(self, user_id: Optional[str], cmd_id: int, seq: int, message: bytes) -> None:
        self._count(len(message))
        with self.lock:
            self.commands += 1
            self.last_command = message

    def OnNetworkQuality(
        self, local_quality: ostrel.NetworkQualityInfo, remote_qualities: List[ostrel.NetworkQualityInfo]
    ) -> None:
        self._count()

    def status(self) -> str:
        with self.lock:
            lat = sorted(self.latencies)
            self.latencies = []
            if lat:
                p50 = lat[len(lat) // 2]
                latency = "<1 ms" if p50 == 0 else "%d ms" % p50
            else:
                latency = "-"
            return "bob: %5d events  audio %4d  video %3d  sei %2d  cmd %2d  %8d bytes  latency p50 %s" % (
                self.events,
                self.audio_frames,
                self.video_frames,
                self.sei,
                self.commands,
                self.bytes,
                latency,
            )


def write_png(path: str, frame: ostrel.PixelFrame) -> None:
    """Converts an I420 frame to RGB and writes it as a PNG."""
    w, h, data = frame.width, frame.height, frame.data
    y_plane, u_plane, v_plane = data[: w * h], data[w * h : w * h * 5 // 4], data[w * h * 5 // 4 :]
    rows = []
    for row in range(h):
        line = bytearray([0])
        for col in range(w):
            y = y_plane[row * w + col]
            u = u_plane[(row // 2) * (w // 2) + col // 2] - 128
            v = v_plane[(row // 2) * (w // 2) + col // 2] - 128
            for value in (y + 1.402 * v, y - 0.344 * u - 0.714 * v, y + 1.772 * u):
                line.append(max(0, min(255, int(value))))
        rows.append(bytes(line))

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 6)))
        out.write(chunk(b"IEND", b""))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Two participants in one loopback room.")
    parser.add_argument(
        "--duration",
        type=float,
        default=float(os.environ.get("OSTREL_DEMO_SECONDS", 6)),
        help="seconds of call (default 6)",
    )
    parser.add_argument(
        "--out", default=os.path.join(tempfile.gettempdir(), "ostrel-demo"), help="directory for the WAV and PNG files"
    )
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)

    alice = Sender()
    alice_cloud = ostrel.VONUCloud(alice)
    bob_cloud: Optional[ostrel.VONUCloud] = None
    bob = Receiver(lambda: bob_cloud)
    bob_cloud = ostrel.VONUCloud(bob)

    assert bob_cloud.EnterRoom(enter_params("bob", pixel_out=True)) == 0
    assert alice_cloud.EnterRoom(enter_params("alice", pixel_in=True)) == 0
    if not alice.entered.wait(5):
        print("alice could not enter the room", file=sys.stderr)
        return 1
    audio = ostrel.AudioEncodeParams()
    audio.sample_rate, audio.channels, audio.frame_length_ms = SEND_RATE, 1, FRAME_MS
    assert alice_cloud.CreateLocalAudioChannel(audio) == 0
    assert alice_cloud.CreateLocalVideoChannel(ostrel.STREAM_TYPE_VIDEO_HIGH) == 0

    start = time.monotonic()
    media = room_helpers.TestMedia(
        alice_cloud, start, rate=SEND_RATE, frame_ms=FRAME_MS, width=WIDTH, height=HEIGHT, fps=FPS
    )
    Schedule = room_helpers.Schedule
    sei, command, status = Schedule(1.0, start + 0.25), Schedule(0.5, start + 0.25), Schedule(1.0, start + 1.0)
    while time.monotonic() - start < args.duration:
        now = time.monotonic()
        media.send_due(now)
        if sei.due(now):
            alice_cloud.SendSeiMessage(5, b"alice second %d" % (sei.ticks - 1))
        if command.due(now):
            alice_cloud.SendCustomCmdMsg(1, b"hello bob #%d" % media.audio.ticks, True, True)
        if status.due(now):
            print("[%2ds] %s" % (status.ticks, bob.status()), flush=True)
        time.sleep(max(0.0, media.next_due - time.monotonic()))

    alice_cloud.ExitRoom()
    bob_cloud.ExitRoom()
    print(
        "alice sent %d audio frames and %d video frames; %d key-frame request(s)"
        % (media.audio.ticks, media.video.ticks, alice.key_frame_requests)
    )
    print("last SEI %r, last command %r" % (bob.last_sei, bob.last_command))
    wav_path = os.path.join(args.out, "bob-received.wav")
    room_helpers.write_wav(wav_path, bob.audio, RECEIVE_RATE)
    print(
        "received audio: %s (%.1f s at %d Hz)" % (wav_path, sum(map(len, bob.audio)) / 2 / RECEIVE_RATE, RECEIVE_RATE)
    )
    if bob.last_frame is not None:
        png_path = os.path.join(args.out, "bob-frame.png")
        write_png(png_path, bob.last_frame)
        print("received frame: %s (%dx%d)" % (png_path, bob.last_frame.width, bob.last_frame.height))
    else:
        print("no video frame was received", file=sys.stderr)
        return 1
    alice_cloud = bob_cloud = None  # type: ignore[assignment]
    return 0


if __name__ == "__main__":
    sys.exit(main())
