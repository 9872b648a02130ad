"""A recorder bot: it takes a participant's camera as H.264 and its voice as Opus, and writes
them to files.

A ``camera`` participant sends raw pixel frames (a moving I420 test pattern at 15 frames per
second) and a 440 Hz tone as 48 kHz PCM. The ``recorder`` enters wanting encoded video and
Opus audio, so the SDK encodes both for it. It writes the H.264 access units as one Annex B
file and decodes the Opus packets with libopus (the codec library the SDK itself uses) into a
WAV file.

    python examples/recorder_bot.py [--duration SECONDS] [--out DIR]

Check the video with a standard tool, e.g. ``ffprobe -v error -count_frames -show_streams
recorder.h264``.
"""

import argparse
import ctypes
import ctypes.util
import glob
import os
import sys
import tempfile
import threading
import time
from typing import List, Optional

import room_helpers

import _ostrel as ostrel

ROOM = "recording"
WIDTH, HEIGHT, FPS = 320, 240, 15
RATE, FRAME_MS = 48000, 20


class OpusDecoder:
    """libopus's decoder through ctypes: 16-bit PCM out of Opus packets."""

    def __init__(self, rate: int, channels: int) -> None:
        self._lib = ctypes.CDLL(self._find())
        self._lib.opus_decoder_create.restype = ctypes.c_void_p
        self._lib.opus_decoder_create.argtypes = [ctypes.c_int32, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
        self._lib.opus_decode.restype = ctypes.c_int
        self._lib.opus_decode.argtypes = [
            ctypes.c_void_p,
            ctypes.c_char_p,
            ctypes.c_int32,
            ctypes.POINTER(ctypes.c_int16),
            ctypes.c_int,
            ctypes.c_int,
        ]
        self._lib.opus_decoder_destroy.argtypes = [ctypes.c_void_p]
        error = ctypes.c_int(0)
        self._state = self._lib.opus_decoder_create(rate, channels, ctypes.byref(error))
        if not self._state or error.value != 0:
            raise RuntimeError("opus_decoder_create failed: %d" % error.value)
        self._channels = channels
        self._buffer = (ctypes.c_int16 * (rate * 120 // 1000 * channels))()  # the longest packet: 120 ms

    @staticmethod
    def _find() -> str:
        # Beside the SDK in an installed wheel, else the system's.
        here = os.path.dirname(os.path.abspath(ostrel.__file__))
        for folder in (here, os.path.join(here, os.pardir, "ostrel.libs")):
            found = sorted(glob.glob(os.path.join(folder, "libopus*.so*")))
            if found:
                return found[0]
        return ctypes.util.find_library("opus") or "libopus.so.0"

    def decode(self, packet: bytes) -> bytes:
        samples = self._lib.opus_decode(
            self._state, packet, len(packet), self._buffer, len(self._buffer) // self._channels, 0
        )
        if samples < 0:
            raise ValueError("not an Opus packet (%d)" % samples)
        return ctypes.string_at(self._buffer, samples * self._channels * 2)

    def close(self) -> None:
        if self._state:
            self._lib.opus_decoder_destroy(self._state)
            self._state = None


class Recorder(room_helpers.QuietDelegate):
    """Keeps every H.264 access unit and Opus packet it receives; callbacks only append."""

    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.video: List[bytes] = []
        self.key_frames = 0
        self.audio: List[bytes] = []

    def OnRemoteVideoFrameReceived(
        self, user_id: Optional[str], stream_type: ostrel.StreamType, frame: ostrel.VideoFrame
    ) -> None:
        with self.lock:
            self.video.append(frame.data)
            self.key_frames += frame.is_key_frame

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: ostrel.AudioFrame) -> None:
        if frame.codec == ostrel.AUDIO_CODEC_TYPE_OPUS:
            with self.lock:
                self.audio.append(frame.data)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Record a participant's camera as H.264 and voice as Opus.")
    parser.add_argument("--duration", type=float, default=3.0, help="seconds to record (default 3)")
    parser.add_argument(
        "--out",
        default=os.path.join(tempfile.gettempdir(), "ostrel-recorder"),
        help="directory for recorder.h264 and recorder.wav",
    )
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)

    camera, recorder = room_helpers.QuietDelegate(), Recorder()
    camera_cloud, recorder_cloud = ostrel.VONUCloud(camera), ostrel.VONUCloud(recorder)
    wants = room_helpers.enter_params("recorder", ROOM, rate=RATE, frame_ms=FRAME_MS)
    wants.audio_obtain_params.output_audio_codec_type = ostrel.AUDIO_CODEC_TYPE_OPUS
    assert recorder_cloud.EnterRoom(wants) == 0
    assert recorder_cloud.Subscribe("camera", ostrel.STREAM_TYPE_VIDEO_HIGH) == 0
    assert camera_cloud.EnterRoom(room_helpers.enter_params("camera", ROOM, pixel_in=True)) == 0
    if not camera.entered.wait(5):
        print("the camera could not enter the room", file=sys.stderr)
        return 1
    assert camera_cloud.CreateLocalAudioChannel(ostrel.AudioEncodeParams()) == 0  # 48 kHz mono 20 ms
    assert camera_cloud.CreateLocalVideoChannel(ostrel.STREAM_TYPE_VIDEO_HIGH) == 0

    start = time.monotonic()
    media = room_helpers.TestMedia(
        camera_cloud, start, rate=RATE, frame_ms=FRAME_MS, width=WIDTH, height=HEIGHT, fps=FPS
    )
    while time.monotonic() - start < args.duration:
        media.send_due(time.monotonic())
        time.sleep(max(0.0, media.next_due - time.monotonic()))
    camera_cloud.ExitRoom()
    recorder_cloud.ExitRoom()

    with recorder.lock:
        video, audio, key_frames = list(recorder.video), list(recorder.audio), recorder.key_frames
    h264_path = os.path.join(args.out, "recorder.h264")
    with open(h264_path, "wb") as out:
        out.write(b"".join(video))
    decoder = OpusDecoder(RATE, 1)
    try:
        pcm = [decoder.decode(packet) for packet in audio]
    finally:
        decoder.close()
    wav_path = os.path.join(args.out, "recorder.wav")
    room_helpers.write_wav(wav_path, pcm, RATE)
    print(
        "video: %s (%d H.264 access units, %d key frames, %d bytes)"
        % (h264_path, len(video), key_frames, sum(map(len, video)))
    )
    print("audio: %s (%d Opus packets, %.1f s at %d Hz)" % (wav_path, len(audio), sum(map(len, pcm)) / 2 / RATE, RATE))
    return 0 if video and audio and video[0].startswith(b"\x00\x00\x00\x01") else 1


if __name__ == "__main__":
    sys.exit(main())
