#!/usr/bin/env bash
# Builds the fuzz harnesses with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, and runs each for SECONDS
# (default 60), one after the other or those named:
#   scripts/fuzz.sh 600 wav_reader fir_file whole_run
# Each starts from its saved corpus in fuzz/corpus/NAME; new inputs that
# reach new code are merged back into it, and a crashing input is saved as
# build-fuzz/NAME-crash-*. Logs: build-fuzz/NAME.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
harnesses=("$@")
((${#harnesses[@]})) || harnesses=(wav_reader fir_file whole_run)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUM_FUZZ=ON -DKESTRUM_BUILD_TESTS=OFF -DKESTRUM_BUILD_CLI=OFF \
  -DKESTRUM_BUILD_DEMO=OFF -DKESTRUM_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j 2 --target "${harnesses[@]/#/fuzz_}"

status=0
for h in "${harnesses[@]}"; do
  work=build-fuzz/corpus-$h
  mkdir -p "$work"
  echo "fuzzing $h for $seconds s (log: build-fuzz/$h.log)"
  if ! build-fuzz/bin/fuzz_"$h" "$work" "fuzz/corpus/$h" -max_total_time="$seconds" \
       -max_len=16384 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="build-fuzz/$h-" >"build-fuzz/$h.log" 2>&1; then
    echo "$h: FAILED, see build-fuzz/$h.log" >&2
    status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov:' "build-fuzz/$h.log" | tail -3
  build-fuzz/bin/fuzz_"$h" -merge=1 "fuzz/corpus/$h" "$work" >/dev/null 2>&1 || true
done
exit $status
