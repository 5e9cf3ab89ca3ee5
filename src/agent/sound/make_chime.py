#!/usr/bin/env python3
"""Writes resources/chime.wav, the completion chime: a short, soft two-tone bell.

Our own sound, generated here so its origin and licence are plain. Run it from this folder;
the output is deterministic.
"""
import math
import struct
import wave

RATE = 44100
LENGTH = 0.32  # seconds
# (frequency Hz, amplitude, decay per second): a bright fundamental, a fifth above and a faint
# inharmonic partial that gives the metallic "tink".
PARTIALS = [(1568.0, 0.55, 14.0), (2349.3, 0.25, 18.0), (4186.0, 0.08, 30.0)]
ATTACK = 0.004  # seconds of fade-in, so the start does not click


def sample(t):
    value = sum(a * math.exp(-d * t) * math.sin(2 * math.pi * f * t) for f, a, d in PARTIALS)
    if t < ATTACK:
        value *= t / ATTACK
    fade_out = LENGTH - t
    if fade_out < 0.02:
        value *= fade_out / 0.02
    return value


def main():
    frames = bytearray()
    for i in range(int(RATE * LENGTH)):
        v = max(-1.0, min(1.0, sample(i / RATE)))
        frames += struct.pack('<h', int(v * 32767 * 0.9))
    with wave.open('../resources/chime.wav', 'wb') as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == '__main__':
    main()
