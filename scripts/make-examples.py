#!/usr/bin/env python3
"""Regenerates everything in examples/: the test signal example.wav and the
.fir filters. Standard library only; the noise uses a fixed seed, so every
run writes the same files.

example.wav is 3.5 s of 16-bit stereo at 44100 Hz: four chords (C, Am, F, G).
The left channel carries a plucked melody over a bass line, the right a
sustained chord pad with hi-hat ticks; both have snare-like noise bursts on
beats 2 and 4 and a quiet hiss. Peak level is -3 dBFS.
"""
import array
import math
import os
import random
import sys
import wave

import design_fir

RATE = 44100
SECONDS = 3.5
PEAK_DBFS = -3.0
BEAT = SECONDS / 8  # four chords of two beats each
EIGHTH = BEAT / 2

CHORDS = [(60, 64, 67), (57, 60, 64), (53, 57, 60), (55, 59, 62)]  # C Am F G
BASS = [36, 33, 29, 31]
MELODY = [76, 79, 84, 79, 76, 72, 69, 72, 77, 81, 84, 81, 79, 83, 86, 74]

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'examples')


def hz(midi):
    return 440.0 * 2 ** ((midi - 69) / 12)


def add_note(buf, start, length, freq, amp, decay, harmonics, release=0.03):
    """Adds a note with harmonics 1..n at 1/k amplitude; upper harmonics decay
    faster. Short linear attack and release avoid clicks."""
    n0, n = int(start * RATE), int(length * RATE)
    partials = [(k, amp / k, decay * k) for k in range(1, harmonics + 1) if k * freq < 15000]
    attack, rel = int(0.005 * RATE), int(release * RATE)
    for i in range(min(n, len(buf) - n0)):
        t = i / RATE
        env = min(1.0, i / attack, (n - i) / rel)
        w = 2 * math.pi * freq * t
        buf[n0 + i] += env * sum(a * math.exp(-d * t) * math.sin(k * w) for k, a, d in partials)


def add_noise(buf, rng, start, length, amp, decay):
    n0 = int(start * RATE)
    for i in range(min(int(length * RATE), len(buf) - n0)):
        buf[n0 + i] += amp * math.exp(-decay * i / RATE) * rng.uniform(-1, 1)


def render():
    frames = int(SECONDS * RATE)
    left, right = [0.0] * frames, [0.0] * frames
    rng = random.Random(20240607)
    for c, (chord, bass) in enumerate(zip(CHORDS, BASS)):
        t0 = c * 2 * BEAT
        add_note(left, t0, 2 * BEAT, hz(bass), 0.35, 2.0, 6)
        add_note(right, t0, 2 * BEAT, hz(bass), 0.25, 2.0, 4)
        for m in chord:
            add_note(right, t0, 2 * BEAT, hz(m), 0.16, 0.6, 8, release=0.08)
        for e in range(4):
            add_note(left, t0 + e * EIGHTH, EIGHTH, hz(MELODY[4 * c + e]), 0.3, 6.0, 6)
            add_noise(right, rng, t0 + e * EIGHTH + EIGHTH / 2, 0.04, 0.12, 120.0)
        add_noise(left, rng, t0 + BEAT, 0.15, 0.3, 25.0)
        add_noise(right, rng, t0 + BEAT, 0.15, 0.25, 25.0)
    for buf in (left, right):
        add_noise(buf, rng, 0, SECONDS, 0.01, 0.0)
    return left, right


def write_wav(path, left, right):
    peak = max(max(abs(x) for x in left), max(abs(x) for x in right))
    scale = 32767 * 10 ** (PEAK_DBFS / 20) / peak
    samples = array.array('h', (round(x * scale) for pair in zip(left, right) for x in pair))
    if sys.byteorder == 'big':
        samples.byteswap()
    with wave.open(path, 'wb') as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.tobytes())


FIXED_FILTERS = {
    'identity.fir': 'Identity, one tap\n1\n0 1.0\n',
    'smooth3.fir': 'Smoothing, three taps\n3\n0 0.25\n1 0.5\n2 0.25\n',
    'echo.fir': ('Echo: direct sound and two echoes at 250 ms and 340 ms (44100 Hz)\n3\n'
                 '0 0.6 direct sound\n'
                 '11025 0.3 first echo, 250 ms\n'
                 '15000 0.15 second echo, 340 ms\n'),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, text in FIXED_FILTERS.items():
        with open(os.path.join(OUT, name), 'w', newline='\n') as f:
            f.write(text)
    for name, kind, cutoff in [('lowpass.fir', 'lowpass', 1500), ('highpass.fir', 'highpass', 2000)]:
        with open(os.path.join(OUT, name), 'w', newline='\n') as f:
            f.write(design_fir.design(kind, 101, cutoff, RATE, 'blackman'))
    write_wav(os.path.join(OUT, 'example.wav'), *render())


if __name__ == '__main__':
    main()
