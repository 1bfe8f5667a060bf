#!/usr/bin/env bash
# Times long filters: 10 minutes of 16-bit stereo at 48 kHz through decaying
# noise responses of 4096, 65536 and 262144 taps (WAV files, float), by
# kestrum's FFT engine, by sox's fir effect, by ffmpeg's afir filter when
# ffmpeg is installed, and by kestrum --exact on the shortest. One run each,
# wall time and peak memory, on this machine; then the FFT engine's error
# against a direct double-precision convolution (bench/FftErrorStats.cpp).
#   scripts/bench-long-filters.sh       # uses build/bin, built if missing
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${BIN:-build/bin}
[[ -x $bin/kestrum && -x $bin/kestrum_fft_error_stats ]] || bash scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -n -r 48000 -b 16 -c 2 "$work/chord.wav" synth 600 sine 220 sine 277
sox -n -r 48000 -b 16 -c 2 "$work/noise.wav" synth 600 pinknoise vol 0.3
sox -D -m "$work/chord.wav" "$work/noise.wav" "$work/in.wav"
rm "$work/chord.wav" "$work/noise.wav"

# A response of N taps: noise decaying by 60 dB, of energy 0.25; as a float
# WAV and as sox's list of coefficients.
/usr/bin/python3 - "$work" <<'PY'
import sys, struct, numpy as np
work = sys.argv[1]
rng = np.random.default_rng(25)
for n in (4096, 65536, 262144):
    h = rng.standard_normal(n) * np.exp(-6.9 * np.arange(n) / n)
    h *= 0.5 / np.sqrt(np.sum(h * h))
    raw = h.astype('<f4').tobytes()
    head = b'RIFF' + struct.pack('<I', 36 + len(raw)) + b'WAVEfmt ' + \
        struct.pack('<IHHIIHH', 16, 3, 1, 48000, 48000 * 4, 4, 32) + b'data' + struct.pack('<I', len(raw))
    open(f'{work}/ir{n}.wav', 'wb').write(head + raw)
    np.savetxt(f'{work}/ir{n}.txt', h.astype(np.float32), fmt='%.9g')
PY

# "seconds peak-MB" of one run of the command.
run() {
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" > /dev/null 2> "$work/err" || { cat "$work/err" >&2; return 1; }
  awk '{ printf "%8.2f s %7.1f MB", $1, $2 / 1024 }' "$work/time"
}

echo "10 min of 16-bit stereo at 48 kHz, one run each, $(nproc) cores"
for n in 4096 65536 262144; do
  printf '%7d taps  kestrum %s' "$n" "$(run "$bin/kestrum" -q --wrap "$work/in.wav" "$work/k.wav" "$work/ir$n.wav")"
  printf '   sox fir %s' "$(run sox -D "$work/in.wav" "$work/s.wav" fir "$work/ir$n.txt" || echo refused)"
  if command -v ffmpeg > /dev/null; then
    printf '   ffmpeg afir %s' "$(run ffmpeg -nostdin -y -i "$work/in.wav" -i "$work/ir$n.wav" \
      -lavfi '[0:a][1:a]afir=gtype=-1:irfmt=mono' -c:a pcm_s16le "$work/f.wav" || echo failed)"
  fi
  if [[ $n == 4096 ]]; then
    printf '   kestrum --exact %s' "$(run "$bin/kestrum" -q --wrap --exact "$work/in.wav" "$work/x.wav" "$work/ir$n.wav")"
  fi
  echo
  # kestrum against sox, sample by sample: how far apart the two results are.
  /usr/bin/python3 - "$work/k.wav" "$work/s.wav" "$n" <<'PY'
import sys, numpy as np
def samples(f):
    d = open(f, 'rb').read()
    return np.frombuffer(d[d.find(b'data') + 8:], '<i2').astype(int)
a, b = (samples(f) for f in sys.argv[1:3])
shift = 2 * ((int(sys.argv[3]) - 1) // 2)  # sox's output starts (N-1)/2 frames later: samples of 2 channels
a = a[shift:]; n = min(len(a), len(b)); d = np.abs(a[:n] - b[:n])
print(f'               kestrum - sox (delay removed): largest difference {d.max()}, samples differing {np.count_nonzero(d)} of {n}')
PY
done
echo
echo "The FFT engine against a direct double-precision convolution:"
"$bin/kestrum_fft_error_stats"
