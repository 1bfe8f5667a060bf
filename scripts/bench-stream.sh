#!/usr/bin/env bash
# Streams a long generated WAV through kestrum and compares it with a file run
# of the same audio: peak memory (maximum resident set) and time of each, and
# whether both wrote the same frames. A benchmark, not a test: the figures are
# printed, nothing is asserted but the frames.
#   scripts/bench-stream.sh                  # one hour of 48 kHz stereo 16-bit
#   MINUTES=5 FILTER=examples/smooth3.fir KESTRUM=/path/to/kestrum scripts/bench-stream.sh
#
# The generator is sox writing to a pipe (a sine and pink noise), first into a
# file for the file run, then straight into kestrum for the streamed run; a
# third run streams the file through cat, which costs next to nothing, so
# that its time compares with the file run's on equal terms.
set -euo pipefail
cd "$(dirname "$0")/.."
kestrum=${KESTRUM:-build/bin/kestrum}
minutes=${MINUTES:-60}
filter=${FILTER:-examples/lowpass.fir}
[[ -x $kestrum ]] || bash scripts/setup.sh --target kestrum
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$((minutes * 60))
generate() { sox -R -q -n -r 48000 -b 16 -c 2 -t wav - synth "$seconds" sine 440 pinknoise vol 0.5 2>/dev/null; }

generate > "$work/in.wav"
# "label: seconds, peak kB" from /usr/bin/time's figures of the last command.
measure() {
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@"
  read -r elapsed peak < "$work/time"
  printf '%-34s %8.2f s  %8d kB peak\n' "$label" "$elapsed" "$peak"
}
echo "$minutes min of 48 kHz stereo 16-bit through $filter"
measure "file run" "$kestrum" -q "$work/in.wav" "$work/file.wav" "$filter"
measure "stream from cat (file target)" sh -c "cat '$work/in.wav' | '$kestrum' -q - '$work/cat.wav' '$filter'"
measure "stream from sox (stdout to cat)" \
  sh -c "$(declare -f generate); seconds=$seconds; generate | '$kestrum' -q - - '$filter' > '$work/sox.wav'"
# The same frames, whatever the way.
cmp <(tail -c +45 "$work/file.wav") <(tail -c +45 "$work/cat.wav")
cmp <(tail -c +45 "$work/file.wav") <(tail -c +45 "$work/sox.wav")
echo "same frames in all three"
