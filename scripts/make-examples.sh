#!/usr/bin/env bash
# Writes the .fir filters of examples/, the designed ones with
# "kestrum design" (uses build/bin/kestrum, built if missing, or $KESTRUM).
# example.wav is committed data and is left as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
kestrum=${KESTRUM:-build/bin/kestrum}
[[ -x $kestrum ]] || bash scripts/setup.sh

printf 'Identity, one tap\n1\n0 1.0\n' > examples/identity.fir
printf 'Smoothing, three taps\n3\n0 0.25\n1 0.5\n2 0.25\n' > examples/smooth3.fir
printf '%s\n' 'Echo: direct sound and two echoes at 250 ms and 340 ms (44100 Hz)' 3 \
  '0 0.6 direct sound' '11025 0.3 first echo, 250 ms' '15000 0.15 second echo, 340 ms' \
  > examples/echo.fir

design() { "$kestrum" design "$@" 2> /dev/null; }
design lowpass 1500 --rate 44100 --taps 101 --window blackman -o examples/lowpass.fir
design highpass 2000 --rate 44100 --taps 101 --window blackman -o examples/highpass.fir
design bandpass 300 3400 --rate 44100 --attenuation 60 --transition 300 -o examples/voice.fir
