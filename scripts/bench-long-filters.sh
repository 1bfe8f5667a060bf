#!/usr/bin/env bash
# Times long filters: 2 minutes of 16-bit stereo at 48 kHz through decaying
# noise responses of 4096, 65536 and 262144 taps (float WAV files), by
# kestrum's FFT engine, by the build in $BEFORE (another kestrum, e.g. one
# built from main) when given, by sox's fir effect, and by ffmpeg's afir
# filter at float and at double precision when ffmpeg is installed (stereo
# in, stereo out: gtype=none; with a mono response ffmpeg 5.1 scales its
# output by irgain times the square root of 2, so irgain is 1/sqrt(2) for a
# plain convolution: its samples are then checked against kestrum's). CPU time (user + system), the median of $ROUNDS
# interleaved rounds (default 7), each tool's as a ratio to kestrum's
# ($BEFORE's when given), side by side. Then the live latency of
# scripts/stream-latency.py for the same lengths at 44.1 kHz, and the FFT
# engine's error against a direct convolution (bench/FftErrorStats.cpp).
#   scripts/bench-long-filters.sh       # uses build/bin, built if missing
#   BEFORE=../main/build/bin/kestrum ROUNDS=7 SECONDS_OF_AUDIO=120 scripts/bench-long-filters.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${BIN:-build/bin}
rounds=${ROUNDS:-7}
seconds=${SECONDS_OF_AUDIO:-120}
[[ -x $bin/kestrum && -x $bin/kestrum_fft_error_stats ]] || bash scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -n -r 48000 -b 16 -c 2 "$work/chord.wav" synth "$seconds" sine 220 sine 277
sox -n -r 48000 -b 16 -c 2 "$work/noise.wav" synth "$seconds" pinknoise vol 0.3
sox -D -m "$work/chord.wav" "$work/noise.wav" "$work/in.wav"
rm "$work/chord.wav" "$work/noise.wav"

# A response of N taps: noise decaying by 60 dB, of energy 0.25; as a float
# WAV at 48 and 44.1 kHz, and as sox's list of coefficients.
/usr/bin/python3 - "$work" <<'PY'
import sys, struct, numpy as np
work = sys.argv[1]
rng = np.random.default_rng(25)
for n in (4096, 65536, 262144):
    h = rng.standard_normal(n) * np.exp(-6.9 * np.arange(n) / n)
    h *= 0.5 / np.sqrt(np.sum(h * h))
    raw = h.astype('<f4').tobytes()
    for rate, name in ((48000, f'ir{n}.wav'), (44100, f'ir{n}-44k.wav')):
        head = b'RIFF' + struct.pack('<I', 36 + len(raw)) + b'WAVEfmt ' + \
            struct.pack('<IHHIIHH', 16, 3, 1, rate, rate * 4, 4, 32) + b'data' + struct.pack('<I', len(raw))
        open(f'{work}/{name}', 'wb').write(head + raw)
    np.savetxt(f'{work}/ir{n}.txt', h.astype(np.float32), fmt='%.9g')
PY

# The tools, by name: a command line with IR for the response.
tools=()
declare -A cmd
add() { tools+=("$1"); cmd[$1]=$2; }
[[ -n ${BEFORE:-} ]] && add "kestrum-before" "$BEFORE -q --wrap $work/in.wav $work/b.wav IR.wav"
add "kestrum" "$bin/kestrum -q --wrap $work/in.wav $work/k.wav IR.wav"
add "sox-fir" "sox -D $work/in.wav $work/s.wav fir IR.txt"
if command -v ffmpeg > /dev/null; then
  for p in float double; do
    add "ffmpeg-$p" "ffmpeg -nostdin -y -loglevel error -i $work/in.wav -i IR.wav \
      -lavfi [0:a][1:a]afir=gtype=none:irgain=0.7071067811865476:precision=$p -c:a pcm_s16le $work/f-$p.wav"
  done
fi

# CPU seconds of one run ("failed" when it fails).
cpu() {
  /usr/bin/time -f '%U %S' -o "$work/time" $1 > /dev/null 2> "$work/err" || { echo failed; return; }
  awk '{ printf "%.3f", $1 + $2 }' "$work/time"
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "failed" }'; }

echo "$seconds s of 16-bit stereo at 48 kHz; median CPU of $rounds interleaved rounds, $(nproc) cores"
printf '%8s' taps; for t in "${tools[@]}"; do printf ' %16s' "$t"; done; echo
ref=${tools[0]}
for n in 4096 65536 262144; do
  declare -A runs=()
  for ((r = 0; r < rounds; ++r)); do
    for t in "${tools[@]}"; do
      c=${cmd[$t]//IR/$work/ir$n}
      v=$(cpu "$c")
      [[ $v == failed ]] || runs[$t]+=" $v"
    done
  done
  printf '%8d' "$n"
  base=$(echo "${runs[$ref]:-}" | median)
  for t in "${tools[@]}"; do
    m=$(echo "${runs[$t]:-}" | median)
    if [[ $m == failed ]]; then printf ' %16s' failed
    else printf ' %7.2f s %5.2fx' "$m" "$(awk -v m="$m" -v b="$base" 'BEGIN { print m / b }')"; fi
  done
  echo
  # sox ends a long response's output early, or writes silence: say so.
  if [[ -s $work/s.wav ]]; then
    /usr/bin/python3 - "$work/k.wav" "$work/s.wav" "$n" <<'PY'
import sys, numpy as np
def samples(f):
    d = open(f, 'rb').read()
    return np.frombuffer(d[d.find(b'data') + 8:], '<i2').astype(int)
a, b = (samples(f) for f in sys.argv[1:3])
shift = 2 * ((int(sys.argv[3]) - 1) // 2)  # sox's output starts (N-1)/2 frames later: samples of 2 channels
a = a[shift:]; n = min(len(a), len(b)); d = np.abs(a[:n] - b[:n])
print(f'         kestrum - sox (delay removed): largest difference {d.max()}, samples differing '
      f'{np.count_nonzero(d)} of {n}, sox silent: {not np.any(b)}')
PY
  fi
  if command -v ffmpeg > /dev/null && [[ -s $work/f-double.wav ]]; then
    /usr/bin/python3 - "$work/k.wav" "$work/f-double.wav" <<'PY'
import sys, wave, numpy as np
def samples(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), '<i2').astype(np.int64)
a, b = samples(sys.argv[1]), samples(sys.argv[2])
n = min(len(a), len(b)); d = np.abs(a[:n] - b[:n])
print(f'         kestrum - ffmpeg afir at double precision: largest difference {d.max()}, '
      f'samples differing {np.count_nonzero(d)} of {n}')
PY
  fi
done

echo
echo "Live: 5 s of 44.1 kHz 16-bit stereo written at real time in 10 ms pieces (scripts/stream-latency.py)"
for n in 4096 65536 262144; do
  for k in ${BEFORE:+"$BEFORE"} "$bin/kestrum"; do
    echo "$n taps, $k:"
    KESTRUM=$k /usr/bin/python3 scripts/stream-latency.py --kernel fft "$work/ir$n-44k.wav" 5 | tail -n +2
  done
done
echo
echo "The FFT engine against a direct convolution:"
"$bin/kestrum_fft_error_stats"
