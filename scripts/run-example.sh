#!/usr/bin/env bash
# Sets up Kestrum (scripts/setup.sh), builds only the kestrum tool and the
# Python package, and filters the bundled example through the lowpass filter.
# Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --target kestrum --target kestrum_python "$@"
build/bin/kestrum examples/example.wav build/example-lowpass.wav examples/lowpass.fir
echo "The filtered example is in $(pwd)/build/example-lowpass.wav"
