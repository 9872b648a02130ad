"""A bot that pulls remote audio itself with GetAudioFrame instead of receiving callbacks.

A speaker sends a rising tone; the bot enters with AUDIO_OBTAIN_METHOD_GET and, every 20 ms,
takes whatever audio the SDK has queued for it and prints its level once a second.

    python examples/pull_audio_bot.py [--duration SECONDS]
"""

import argparse
import array
import math
import sys
import time
from typing import List, Optional

import room_helpers

import _ostrel as ostrel

ROOM = "pull-audio"


def params(user: str, method: ostrel.AudioObtainMethod) -> ostrel.EnterRoomParams:
    return room_helpers.enter_params(user, ROOM, method=method)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Pull remote audio with GetAudioFrame.")
    parser.add_argument("--duration", type=float, default=3.0)
    args = parser.parse_args(argv)

    bot_delegate, speaker_delegate = room_helpers.QuietDelegate(), room_helpers.QuietDelegate()
    bot = ostrel.VONUCloud(bot_delegate)
    speaker = ostrel.VONUCloud(speaker_delegate)
    assert bot.EnterRoom(params("bot", ostrel.AUDIO_OBTAIN_METHOD_GET)) == 0
    assert speaker.EnterRoom(params("speaker", ostrel.AUDIO_OBTAIN_METHOD_CALLBACK)) == 0
    speaker_delegate.entered.wait(5)
    assert speaker.CreateLocalAudioChannel(ostrel.AudioEncodeParams()) == 0

    frame = ostrel.AudioFrame()
    got = frames = 0
    start = time.monotonic()
    tick = 0
    while time.monotonic() - start < args.duration:
        pitch = 220 + 40 * tick / 50
        pcm = array.array(
            "h", (int(6000 * math.sin(2 * math.pi * pitch * (tick * 960 + i) / 48000)) for i in range(960))
        )
        out = ostrel.AudioFrame()
        out.sample_rate, out.channels = 48000, 1
        out.SetData(pcm.tobytes())
        speaker.SendAudioFrame(out)
        tick += 1
        while bot.GetAudioFrame(frame) == ostrel.ERR_OK:
            frames += 1
            samples = array.array("h", frame.data)
            got += len(samples)
            if frames % 50 == 0:
                rms = math.sqrt(sum(s * s for s in samples) / max(1, len(samples)))
                print("bot: %4d frames pulled, %d Hz, level %.0f" % (frames, frame.sample_rate, rms), flush=True)
        time.sleep(0.02)
    print("bot pulled %d frames (%.2f s of audio)" % (frames, got / 16000))
    return 0 if frames else 1


if __name__ == "__main__":
    sys.exit(main())
