"""Test signals a scripted participant sends: a sine tone as 16-bit PCM and a moving test
pattern as I420 planes.

Both are pure functions of their position, so a sender can continue a signal across calls
(the tone's phase and the pattern's motion carry on where the previous call stopped) and a
test can compute what a receiver should get.
"""
import math
import struct

# Amplitude of the tone: a little over a quarter of full scale, loud enough for voice activity
# detection and far from clipping after mixing a few senders.
TONE_AMPLITUDE = 9000


def tone_pcm(freq: float, sample_rate: int, start: int, samples: int, channels: int = 1) -> bytes:
    """``samples`` samples (per channel) of a ``freq`` Hz sine from sample index ``start``, as
    little-endian 16-bit PCM, channels interleaved with the same value."""
    step = 2.0 * math.pi * freq / sample_rate
    values = [int(TONE_AMPLITUDE * math.sin(step * (start + i))) for i in range(samples)]
    if channels > 1:
        values = [v for v in values for _ in range(channels)]
    return struct.pack("<%dh" % len(values), *values)


def pattern_i420(index: int, width: int, height: int) -> bytes:
    """Frame ``index`` of a diagonal luma ramp that moves 4 steps a frame, with chroma planes
    whose levels change with the index, so that consecutive frames differ everywhere."""
    shift = (index * 4) % 256
    ramp = bytes(range(256)) * ((width + 511) // 256)
    luma = b"".join(ramp[(row + shift) % 256:(row + shift) % 256 + width] for row in range(height))
    chroma = ((width + 1) // 2) * ((height + 1) // 2)
    return luma + bytes([(64 + index) % 256]) * chroma + bytes([(192 - index) % 256]) * chroma
