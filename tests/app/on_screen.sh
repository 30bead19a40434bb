#!/usr/bin/env bash
# on_screen.sh WIDTHxHEIGHT COMMAND... : runs COMMAND on a virtual screen of that
# size with a window manager, so that windows get a real frame (title bar and
# borders) as on a desktop. Its own server, found with -displayfd, so that it
# never races another for a display number.
set -euo pipefail
size=$1
shift
work=$(mktemp -d)
trap 'kill ${wm:-} ${server:-} 2>/dev/null || true; rm -rf "$work"' EXIT
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
for _ in $(seq 100); do
  [[ -s "$work/display" ]] && break
  sleep 0.1
done
[[ -s "$work/display" ]] || { echo "on_screen: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -1 "$work/display")
openbox --sm-disable >"$work/wm.log" 2>&1 &
wm=$!
# The window manager is ready once it names itself on the root window.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
  { echo "on_screen: the window manager did not start" >&2; cat "$work/wm.log" >&2; exit 1; }
"$@"
