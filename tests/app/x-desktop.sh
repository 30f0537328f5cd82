#!/usr/bin/env bash
# Runs a command on an X server of its own, as on a desktop: a virtual
# screen (Xvfb, 1280x1024x24) under a window manager (jwm) that frames,
# places and maps the windows, gives the focus on a click and hands it back
# to a box's owner when the box closes. Without a manager, focus and
# stacking are left to each client and to races between them. The server
# runs on a display no other holds, even when several runs start at once
# (xvfb-run -a's can pick the same one), and admits only holders of this
# run's cookie. Waits (at most 10 s each) for the server and the manager;
# ends both afterwards and returns the command's status.
# Usage: tests/app/x-desktop.sh COMMAND [ARGS...]
set -euo pipefail
for tool in Xvfb xauth jwm xdotool mcookie; do
  command -v "$tool" >/dev/null || { echo "x-desktop.sh: no $tool (scripts/deps.sh test installs it)" >&2; exit 1; }
done
work=$(mktemp -d)
server=
wm=
cleanup() {
  for pid in $wm $server; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits for a condition, testing it every 50 ms for at most 10 s; fails
# at once when the process it waits on has ended.
await() {  # await PID WHAT COMMAND...
  local pid=$1 what=$2
  shift 2
  for _ in $(seq 200); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  "$@" && return 0
  echo "x-desktop.sh: $what" >&2
  cat "$work/log" >&2
  exit 1
}

export XAUTHORITY=$work/Xauthority
touch "$XAUTHORITY"
cookie=$(mcookie)
# A display nobody holds. Xvfb takes its lock file (/tmp/.X<n>-lock, with
# its PID) before it makes a socket, and ends at once when another holds
# it; then the next number. Ready once its lock is its own and it admits
# this run's cookie. (-displayfd would pick one itself, but two servers
# starting together can unlink each other's socket.)
ours() { [ "$(tr -dc 0-9 2>/dev/null <"/tmp/.X$1-lock")" = "$server" ] && xdotool getdisplaygeometry >/dev/null 2>&1; }
for n in $(seq 100 199); do
  [ -e "/tmp/.X$n-lock" ] && continue
  xauth -q add ":$n" . "$cookie"
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset -auth "$XAUTHORITY" >"$work/log" 2>&1 &
  server=$!
  export DISPLAY=:$n
  for _ in $(seq 200); do
    ours "$n" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
  done
  ours "$n" && break
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
done
[ -n "$server" ] || { echo "x-desktop.sh: no X server could be started" >&2; cat "$work/log" >&2; exit 1; }

cat >"$work/jwmrc" <<'JWM'
<?xml version="1.0"?>
<JWM>
  <FocusModel>click</FocusModel>
</JWM>
JWM
jwm -f "$work/jwmrc" >>"$work/log" 2>&1 &
wm=$!
# Its check window (_NET_SUPPORTING_WM_CHECK, with its PID) is made once
# it has taken the root window.
await "$wm" "jwm did not take $DISPLAY" eval 'xdotool search --pid "$wm" >/dev/null 2>&1'

status=0
"$@" || status=$?
exit "$status"
