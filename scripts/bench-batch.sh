#!/usr/bin/env bash
# Times filtering many short files three ways, side by side: one batch run of
# kestrum, a shell loop of kestrum, and a shell loop of sox, all through the
# example lowpass filter. Medians of REPS rounds (default 3), the three ways
# taking turns in each round. Checks that the batch wrote what the loop wrote.
#   scripts/bench-batch.sh             # 200 one-second files, build/bin/kestrum
#   FILES=50 SECONDS_EACH=5 REPS=5 KESTRUM=/path/to/kestrum scripts/bench-batch.sh
set -euo pipefail
cd "$(dirname "$0")/.."
kestrum=${KESTRUM:-build/bin/kestrum}
files=${FILES:-200}
seconds=${SECONDS_EACH:-1}
reps=${REPS:-3}
[[ -x $kestrum ]] || bash scripts/setup.sh --target kestrum
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/in"
for ((i = 0; i < files; i++)); do
  sox -n -r 44100 -b 16 -c 2 "$work/in/$i.wav" synth "$seconds" sine $((200 + i)) pinknoise vol 0.5
done
awk 'NR > 2 { print $2 }' examples/lowpass.fir > "$work/lowpass.txt"
fir=examples/lowpass.fir

batch() { "$kestrum" -q -o "$work/batch" "$work"/in/*.wav "$fir"; }
kestrum_loop() {
  mkdir -p "$work/loop"
  for f in "$work"/in/*.wav; do "$kestrum" -q "$f" "$work/loop/${f##*/}" "$fir"; done
}
sox_loop() {
  mkdir -p "$work/sox"
  for f in "$work"/in/*.wav; do sox -D "$f" "$work/sox/${f##*/}" fir "$work/lowpass.txt"; done
}

seconds_of() { local start=$EPOCHREALTIME; "$@"; awk -v a="$EPOCHREALTIME" -v b="$start" 'BEGIN { print a - b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ t[NR] = $1 } END { printf "%.3f", t[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }

b=() k=() s=()
for ((r = 0; r < reps; r++)); do
  b+=("$(seconds_of batch)")
  k+=("$(seconds_of kestrum_loop)")
  s+=("$(seconds_of sox_loop)")
done
diff -r -q "$work/batch" "$work/loop" >/dev/null || { echo "batch and loop outputs differ" >&2; exit 1; }

bm=$(median "${b[@]}") km=$(median "${k[@]}") sm=$(median "${s[@]}")
echo "$files files of $seconds s, 16-bit stereo 44100 Hz, lowpass.fir (101 taps); medians of $reps rounds; $(nproc) cores"
echo "kestrum -o (batch)   $bm s"
echo "kestrum shell loop   $km s   $(ratio "$km" "$bm") times the batch"
echo "sox shell loop       $sm s   $(ratio "$sm" "$bm") times the batch"
