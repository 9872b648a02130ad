"""Test signals a scripted participant sends: a sine tone as 16-bit PCM and a moving test
pattern as I420 planes; and two measures of what a bot said: its level and its pitch.

Both signals are pure functions of their position, so a sender can continue a signal across
calls (the tone's phase and the pattern's motion carry on where the previous call stopped) and
a test can compute what a receiver should get. The measures take 16-bit mono PCM and use numpy
where it is installed, and plain Python where it is not.
"""

import math
import struct
from typing import List

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
    luma = b"".join(ramp[(row + shift) % 256 : (row + shift) % 256 + width] for row in range(height))
    chroma = ((width + 1) // 2) * ((height + 1) // 2)
    return luma + bytes([(64 + index) % 256]) * chroma + bytes([(192 - index) % 256]) * chroma


def _samples(pcm: bytes) -> List[int]:
    return list(struct.unpack("<%dh" % (len(pcm) // 2), pcm[: len(pcm) // 2 * 2]))


def level_dbfs(pcm: bytes) -> float:
    """The RMS level of 16-bit mono PCM in dB relative to full scale (a full-scale sine is about
    -3 dBFS); ``-inf`` for silence or no samples."""
    samples = _samples(pcm)
    if not samples:
        return float("-inf")
    rms = math.sqrt(sum(s * s for s in samples) / len(samples))
    return 20.0 * math.log10(rms / 32768.0) if rms > 0 else float("-inf")


def dominant_hz(pcm: bytes, sample_rate: int) -> float:
    """The frequency of the strongest tone in 16-bit mono PCM, in Hz (0.0 for silence). With
    numpy it is the peak of the spectrum, refined between bins; without, it counts the signal's
    rising zero crossings, which suits a single tone (what a test sends and a bot echoes)."""
    samples = _samples(pcm)
    if len(samples) < 2 or not any(samples):
        return 0.0
    try:
        import numpy
    except ImportError:
        return _zero_crossing_hz(samples, sample_rate)
    signal = numpy.asarray(samples, dtype=numpy.float64)
    spectrum = numpy.abs(numpy.fft.rfft((signal - signal.mean()) * numpy.hanning(len(signal))))
    peak = int(numpy.argmax(spectrum[1:])) + 1
    shift = 0.0
    if 1 <= peak < len(spectrum) - 1:  # the vertex of the parabola through the peak and its neighbours
        left, middle, right = numpy.log(spectrum[peak - 1 : peak + 2] + 1e-12)
        shift = 0.5 * (left - right) / (left - 2 * middle + right)
    return float((peak + shift) * sample_rate / len(signal))


def _zero_crossing_hz(samples: List[int], sample_rate: int) -> float:
    mean = sum(samples) / len(samples)
    crossings: List[float] = []
    for i in range(1, len(samples)):
        a, b = samples[i - 1] - mean, samples[i] - mean
        if a < 0 <= b:
            crossings.append(i - 1 + a / (a - b))  # where the line between them crosses zero
    if len(crossings) < 2:
        return 0.0
    return (len(crossings) - 1) * sample_rate / (crossings[-1] - crossings[0])
