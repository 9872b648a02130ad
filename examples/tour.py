"""A tour of the module on the loopback SDK: settings, records, enumerations and frame payloads.

Run it once the package is installed (``scripts/bootstrap.sh`` sets up the machine):
``python examples/tour.py [--log-dir DIR]``.
"""

import argparse
import math
import os
import struct
import sys
import tempfile
from typing import List, Optional

import _ostrel as ostrel


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--log-dir",
        default=os.path.join(tempfile.gettempdir(), "ostrel-demo-logs"),
        help="where the SDK writes its log files",
    )
    args = parser.parse_args(argv)

    print(ostrel.__doc__)
    print("log path set:", ostrel.SetLogPath(args.log_dir), "->", args.log_dir)
    ostrel.SetLogLevel(2)
    print("environment 'test' accepted:", ostrel.SetEnvironment("test"))
    print("proxy on port 65536 refused by the module:", end=" ")
    try:
        ostrel.SetSocks5Proxy("127.0.0.1", 65536, None, None)
    except TypeError:
        print("TypeError")

    params = ostrel.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.str_room_id.SetValue("demo-room")
    params.room.user_id.SetValue("alice")
    params.room.user_sig.SetValue("signature")
    params.scene = ostrel.VONU_SCENE_VIDEO_CALL
    params.audio_obtain_params.output_sample_rate = 16000
    print("room:", params.room.str_room_id, "user:", repr(params.room.user_id), "scene:", params.scene)

    audio = ostrel.AudioEncodeParams()
    print(
        "audio channel defaults: %d Hz, %d ch, %d ms, %d bps"
        % (audio.sample_rate, audio.channels, audio.frame_length_ms, audio.bitrate_bps)
    )

    samples = audio.sample_rate * audio.frame_length_ms // 1000
    tone = b"".join(
        struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / audio.sample_rate))) for i in range(samples)
    )
    frame = ostrel.AudioFrame()
    frame.sample_rate = audio.sample_rate
    frame.channels = audio.channels
    frame.bits_per_sample = 16
    frame.SetData(tone)
    print("audio frame: %d bytes of 440 Hz tone, first samples %s" % (frame.size, struct.unpack("<4h", frame.data[:8])))

    print("stream types:", ", ".join(ostrel.StreamType.__members__))
    print(
        "STREAM_TYPE_VIDEO_AUX =", int(ostrel.STREAM_TYPE_VIDEO_AUX), "; StreamType(5) ->", repr(ostrel.StreamType(5))
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
