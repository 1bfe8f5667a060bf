#!/usr/bin/env python3
"""Designs a windowed-sinc lowpass or highpass FIR filter and writes it as a
.fir file: a comment line, the tap count, then one 'delay coefficient' line
per tap (delay in frames, 0 = current frame).

    design_fir.py lowpass --taps 101 --cutoff 1500 --rate 44100 -o lowpass.fir

The lowpass is normalised to unity gain at DC. The highpass is made from that
lowpass by spectral inversion (negate every tap, add 1 to the centre tap), so
it needs an odd tap count.
"""
import argparse
import math
import sys

WINDOWS = {
    'rectangular': lambda x: 1.0,
    'hann': lambda x: 0.5 - 0.5 * math.cos(2 * math.pi * x),
    'hamming': lambda x: 0.54 - 0.46 * math.cos(2 * math.pi * x),
    'blackman': lambda x: 0.42 - 0.5 * math.cos(2 * math.pi * x) + 0.08 * math.cos(4 * math.pi * x),
}


def window(name, taps):
    # Sampled at (n + 1) / (taps + 1) so the end taps are not the exact zeros
    # the Hann and Blackman windows have at their edges.
    return [WINDOWS[name]((n + 1) / (taps + 1)) for n in range(taps)]


def lowpass(taps, cutoff, rate, window_name):
    fc = cutoff / rate  # cycles per sample
    mid = (taps - 1) / 2
    h = []
    for n, w in enumerate(window(window_name, taps)):
        x = n - mid
        sinc = 2 * fc if x == 0 else math.sin(2 * math.pi * fc * x) / (math.pi * x)
        h.append(sinc * w)
    dc = sum(h)
    return [c / dc for c in h]


def highpass(taps, cutoff, rate, window_name):
    if taps % 2 == 0:
        raise ValueError('a highpass by spectral inversion needs an odd tap count')
    h = [-c for c in lowpass(taps, cutoff, rate, window_name)]
    h[taps // 2] += 1.0
    return h


def format_coefficient(c):
    """Nine significant digits, always with a decimal point."""
    s = '%.9g' % c
    mantissa, e, exponent = s.partition('e')
    if '.' not in mantissa:
        mantissa += '.0'
    return mantissa + e + exponent


def fir_text(comment, coefficients):
    lines = [comment, str(len(coefficients))]
    lines += ['%d %s' % (d, format_coefficient(c)) for d, c in enumerate(coefficients)]
    return '\n'.join(lines) + '\n'


def design(kind, taps, cutoff, rate, window_name):
    """Returns the .fir text for the filter."""
    make = {'lowpass': lowpass, 'highpass': highpass}[kind]
    h = make(taps, cutoff, rate, window_name)
    comment = '%s, windowed sinc, %d taps, cutoff %g Hz at %g Hz, %s window' % (
        kind.capitalize(), taps, cutoff, rate, window_name.capitalize())
    return fir_text(comment, h)


def main():
    p = argparse.ArgumentParser(description='Design a windowed-sinc FIR filter.')
    p.add_argument('kind', choices=['lowpass', 'highpass'])
    p.add_argument('--taps', type=int, default=101, help='tap count, 1..1000 (default 101)')
    p.add_argument('--cutoff', type=float, required=True, help='cutoff frequency in Hz')
    p.add_argument('--rate', type=float, default=44100, help='sample rate in Hz (default 44100)')
    p.add_argument('--window', choices=sorted(WINDOWS), default='blackman')
    p.add_argument('-o', '--output', help='output .fir file (default: standard output)')
    a = p.parse_args()
    if not 1 <= a.taps <= 1000:
        p.error('--taps must be between 1 and 1000')
    if not 0 < a.cutoff < a.rate / 2:
        p.error('--cutoff must be between 0 and half the sample rate')
    try:
        text = design(a.kind, a.taps, a.cutoff, a.rate, a.window)
    except ValueError as e:
        p.error(str(e))
    if a.output:
        with open(a.output, 'w', newline='\n') as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == '__main__':
    main()
