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

# until_ready CHECK...: runs the check until it succeeds, for up to ten seconds.
until_ready() {
  for _ in $(seq 100); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
until_ready test -s "$work/display" ||
  { echo "on_screen: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -1 "$work/display")
until_ready xprop -root >/dev/null 2>&1 ||
  { echo "on_screen: Xvfb on $DISPLAY does not answer" >&2; cat "$work/xvfb.log" >&2; exit 1; }

# The window manager is ready once it names itself on the root window. Now and
# then it cannot open a display that has just started: it is started again.
wm_named() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
wm_settled() { wm_named || ! kill -0 "$wm" 2>/dev/null; }
for _ in 1 2 3; do
  openbox --sm-disable >"$work/wm.log" 2>&1 &
  wm=$!
  until_ready wm_settled
  wm_named && break
done
wm_named || { echo "on_screen: the window manager did not start" >&2; cat "$work/wm.log" >&2; exit 1; }
"$@"
