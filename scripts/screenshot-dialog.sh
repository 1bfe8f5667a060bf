#!/usr/bin/env bash
# Shows the demo dialog under Xvfb, saves a screenshot of the screen as a PNG
# (default build/dialog.png), then ends the program.
# Usage: scripts/screenshot-dialog.sh [out.png]; KESTRUM_DEMO_BIN names another
# build's program (default build/bin/ProjectEssaiKestrum).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/dialog.png}"
bin="${KESTRUM_DEMO_BIN:-build/bin/ProjectEssaiKestrum}"
[[ -x "$bin" ]] || { echo "no program at $bin: build it first" >&2; exit 1; }
mkdir -p "$(dirname "$out")"

export KESTRUM_DEMO_BIN="$bin" KESTRUM_SHOT="$out"
xvfb-run -a -s "-screen 0 800x400x24" bash -c '
  set -euo pipefail
  QT_QPA_PLATFORM=xcb "$KESTRUM_DEMO_BIN" &
  pid=$!
  trap "kill $pid 2>/dev/null || true" EXIT
  for _ in $(seq 100); do
    xwininfo -root -tree | grep -q "Exemple d.utilisation de Kestrum" && break
    kill -0 $pid 2>/dev/null || { echo "the program ended early" >&2; exit 1; }
    sleep 0.1
  done
  xwininfo -root -tree | grep -q "Exemple d.utilisation de Kestrum" || { echo "no window" >&2; exit 1; }
  sleep 1  # let the first paint finish
  import -window root "$KESTRUM_SHOT"
'
echo "$out"
