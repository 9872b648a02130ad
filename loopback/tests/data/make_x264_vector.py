"""Writes x264_160x120.h264, the x264 test vector of the H.264 decoding tests.

The source is the moving test pattern of media_signals.h (pattern(160, 120, n) for n = 0..29),
computed here the same way, fed to ffmpeg's libx264 as raw I420 the way a real-time sender
encodes: no B-frames, an IDR every 15 frames, one slice per picture, no access unit
delimiters. The tests compare the decoded pictures with pattern() itself, so only the .h264
file is kept. Run from this directory (needs ffmpeg with libx264, Debian's `ffmpeg`):

    python3 make_x264_vector.py

which runs

    ffmpeg -f rawvideo -pix_fmt yuv420p -s 160x120 -r 15 -i - -c:v libx264 -preset veryfast
           -bf 0 -g 15 -threads 1 -qp 20 -bsf:v filter_units=remove_types=6 -f h264 x264_160x120.h264

(the SEI unit x264 writes into the first picture, its version and options, is removed so the
file does not depend on the encoder's build).
"""

import math
import subprocess

WIDTH, HEIGHT, FRAMES = 160, 120, 30

COMMAND = [
    "ffmpeg",
    "-v",
    "error",
    "-y",
    "-f",
    "rawvideo",
    "-pix_fmt",
    "yuv420p",
    "-s",
    f"{WIDTH}x{HEIGHT}",
    "-r",
    "15",
    "-i",
    "-",
    "-c:v",
    "libx264",
    "-preset",
    "veryfast",
    "-bf",
    "0",
    "-g",
    "15",
    "-threads",
    "1",
    "-qp",
    "20",
    "-bsf:v",
    "filter_units=remove_types=6",
    "-f",
    "h264",
    "x264_160x120.h264",
]


def clamp_round(v: float) -> int:
    """std::lround of v clamped to 0..255."""
    v = min(255.0, max(0.0, v))
    return int(math.floor(v + 0.5))


def pattern(width: int, height: int, n: int) -> bytes:
    """Picture n of the moving pattern, packed I420 (the formula of media_signals.h)."""
    out = bytearray()
    for y in range(height):
        for x in range(width):
            v = 60 + 0.25 * ((x + y + 3 * n) % 256) + 40 * math.sin(2 * math.pi * (x - 4 * n) / 48.0)
            bx, by = (8 * n) % width, height // 3
            if bx <= x < bx + width // 6 and by <= y < by + height // 4:
                v = 220
            out.append(clamp_round(v))
    cw, ch = (width + 1) // 2, (height + 1) // 2
    for y in range(ch):
        for x in range(cw):
            out.append(int(128 + 50 * math.cos(2 * math.pi * (x + n) / cw)))
    for y in range(ch):
        for x in range(cw):
            out.append(int(128 + 50 * math.sin(2 * math.pi * (y + n) / ch)))
    return bytes(out)


def main() -> None:
    raw = b"".join(pattern(WIDTH, HEIGHT, n) for n in range(FRAMES))
    subprocess.run(COMMAND, input=raw, check=True)


if __name__ == "__main__":
    main()
