#!/usr/bin/env bash
# Shows the demo dialog under Xvfb, saves a screenshot of the screen as a PNG
# (default build/dialog.png), then ends the program. Given a source, a target
# and a filter file, it first types them into the dialog and presses Start
# (needs xdotool), so the screenshot shows the dialog after that run.
# Usage: scripts/screenshot-dialog.sh [out.png [SOURCE TARGET FILTER]];
# KESTRUM_DEMO_BIN names another build's program (default
# build/bin/ProjectEssaiKestrum).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/dialog.png}"
bin="${KESTRUM_DEMO_BIN:-build/bin/ProjectEssaiKestrum}"
[[ -x "$bin" ]] || { echo "no program at $bin: build it first" >&2; exit 1; }
if (($# > 1)); then
  (($# == 4)) || { echo "usage: $0 [out.png [SOURCE TARGET FILTER]]" >&2; exit 2; }
  command -v xdotool >/dev/null || { echo "running the dialog needs xdotool: apt-get install xdotool" >&2; exit 1; }
fi
mkdir -p "$(dirname "$out")"

export KESTRUM_DEMO_BIN="$bin" KESTRUM_SHOT="$out" KESTRUM_RUN="$(($# > 1))"
export KESTRUM_SOURCE="${2:-}" KESTRUM_TARGET="${3:-}" KESTRUM_FILTER="${4:-}"
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
  if [[ $KESTRUM_RUN == 1 ]]; then
    win=$(xdotool search --name "Exemple d.utilisation de Kestrum" | head -1)
    # Clicks at a point of the dialog (client pixels), replaces the text there.
    fill() {
      xdotool mousemove --window "$win" "$1" "$2" click 1
      xdotool key --window "$win" ctrl+a
      xdotool type --window "$win" --delay 5 "$3"
    }
    fill 200 34 "$KESTRUM_SOURCE"    # EditSource
    fill 200 122 "$KESTRUM_TARGET"   # EditCible
    fill 200 182 "$KESTRUM_FILTER"   # EditFiltre
    xdotool mousemove --window "$win" 520 52 click 1  # BtnStart
    sleep 3  # the run, and an error message if it fails
    xdotool mousemove 0 0  # no hover highlight
    sleep 0.5
  fi
  import -window root "$KESTRUM_SHOT"
'
echo "$out"
