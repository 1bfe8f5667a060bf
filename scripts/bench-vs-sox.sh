#!/usr/bin/env bash
# Times whole kestrum runs against sox doing the same filtering, on a
# 60-second 16-bit stereo 44.1 kHz file, and measures kestrum's peak memory on
# a 1 GB source. Medians of REPS runs (default 5); the reference kernel runs
# once, on the 1000-tap filter only.
#   scripts/bench-vs-sox.sh            # uses build/bin/kestrum, built if missing
#   KESTRUM=/path/to/kestrum REPS=9 scripts/bench-vs-sox.sh
set -euo pipefail
cd "$(dirname "$0")/.."
kestrum=${KESTRUM:-build/bin/kestrum}
reps=${REPS:-5}
[[ -x $kestrum ]] || bash scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Music-like source: two chords of sines, one per channel, and a little noise.
sox -n -r 44100 -b 16 -c 2 "$work/chord1.wav" synth 60 sine 220 sine 277
sox -n -r 44100 -b 16 -c 2 "$work/chord2.wav" synth 60 sine 330 sine 440
sox -n -r 44100 -b 16 -c 2 "$work/noise.wav" synth 60 pinknoise vol 0.3
sox -D -m "$work/chord1.wav" "$work/chord2.wav" "$work/noise.wav" "$work/in.wav"

# The filters, as .fir files for kestrum and dense coefficient lists for sox.
"$kestrum" design lowpass 4000 --rate 44100 --taps 1000 -o "$work/dense.fir" 2> /dev/null
awk 'NR > 2 { print $2 }' "$work/dense.fir" > "$work/dense.txt"
awk 'NR > 2 { c[$1] = $2 } END { for (i = 0; i <= 15000; i++) print (i in c ? c[i] : 0) }' \
  examples/echo.fir > "$work/echo.txt"

# Median wall time in seconds of REPS runs of the command.
median() {
  local times=() start end
  for ((i = 0; i < reps; i++)); do
    start=$EPOCHREALTIME
    "$@" > /dev/null
    end=$EPOCHREALTIME
    times+=("$(awk -v a="$end" -v b="$start" 'BEGIN { print a - b }')")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{ t[NR] = $1 } END { printf "%.4f", t[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

compare() {  # name, .fir, sox effect...
  local name=$1 fir=$2
  shift 2
  local fast one sox
  fast=$(median "$kestrum" --quiet "$work/in.wav" "$work/fast.wav" "$fir")
  one=$(median "$kestrum" --quiet --threads 1 "$work/in.wav" "$work/one.wav" "$fir")
  sox=$(median sox -D "$work/in.wav" "$work/sox.wav" "$@")
  cmp -s "$work/fast.wav" "$work/one.wav" || { echo "$name: the thread counts disagree" >&2; exit 1; }
  printf '%-16s kestrum %8.4f s   --threads 1 %8.4f s   sox %8.4f s   kestrum/sox %5s   --threads 1/sox %5s\n' \
    "$name" "$fast" "$one" "$sox" "$(ratio "$fast" "$sox")" "$(ratio "$one" "$sox")"
}

echo "60 s of 16-bit stereo at 44100 Hz; medians of $reps runs; $(nproc) cores"
compare "identity" examples/identity.fir
compare "3-tap echo" examples/echo.fir fir "$work/echo.txt"
compare "1000 dense taps" "$work/dense.fir" fir "$work/dense.txt"

start=$EPOCHREALTIME
"$kestrum" --quiet --kernel reference "$work/in.wav" "$work/ref.wav" "$work/dense.fir"
end=$EPOCHREALTIME
ref=$(awk -v a="$end" -v b="$start" 'BEGIN { print a - b }')
cmp -s "$work/fast.wav" "$work/ref.wav" || { echo "1000 dense taps: the kernels disagree" >&2; exit 1; }
printf '1000 dense taps, --kernel reference: %.2f s (1 run), the same bytes as the fast kernel\n' "$ref"

# Peak memory on a 1 GB source: the 60-second file 100 times over.
sox "$work/in.wav" "$work/big.wav" repeat 99
rm -f "$work"/{chord1,chord2,noise,fast,one,sox,ref}.wav
for threads in 0 "$(nproc)"; do
  /usr/bin/time -v "$kestrum" --quiet --threads "$threads" "$work/big.wav" "$work/big-out.wav" examples/echo.fir \
    2> "$work/time.txt"
  printf '3-tap echo, --threads %s, on a %s MB source: %s, peak memory %s MB\n' "$threads" \
    "$(($(stat -c %s "$work/big.wav") / 1000000))" \
    "$(awk -F': ' '/Elapsed/ { print $2 }' "$work/time.txt")" \
    "$(awk -F': ' '/Maximum resident/ { printf "%.1f", $2 / 1024 }' "$work/time.txt")"
done
