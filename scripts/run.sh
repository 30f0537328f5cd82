#!/usr/bin/env bash
# Builds Tovrel (the window, the client tovrel-cli and the simulator) and
# talks to a module. With TOVREL_COM1 set (for instance to /dev/ttyUSB0) it
# talks to that port; otherwise it starts the module simulator on a
# pseudo-terminal with a demo disk and points COM1 at it.
#
# It opens the window; it needs a display (under xvfb-run without one).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run

cmake -S . -B build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_TESTS=OFF -DTOVREL_BENCH=OFF -DTOVREL_APP=ON >/dev/null
window=no
[ -f app/CMakeLists.txt ] && window=yes
if [ $window = yes ]; then
  # The client too, which the README and the man pages name beside the window.
  cmake --build build/run -j "$(nproc)" --target tovrel tovrel-cli tovrel-sim
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "There is no display to open the window on. Run it under a virtual X server:" >&2
    echo "  xvfb-run -a $0        (Debian package xvfb)" >&2
    echo "or from a desktop session." >&2
    exit 2
  fi
else
  cmake --build build/run -j "$(nproc)" --target tovrel-cli tovrel-sim
fi

talk() {
  if [ $window = yes ]; then
    build/run/app/tovrel
  else
    build/run/cli/tovrel-cli info
    echo "Commands: info, open NAME, write TEXT, read N, seek N, close, put, get, mkdir, cd, rmdir, rm, help, quit"
    build/run/cli/tovrel-cli shell
  fi
}

if [ -n "${TOVREL_COM1:-}" ]; then
  echo "COM1 is $TOVREL_COM1"
  talk
  exit
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tovrel-demo.XXXXXX")
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp -r docs/demo-disk "$work/disk"
build/run/sim/tovrel-sim --disk "$work/disk" --link "$work/com1" >/dev/null &
sim_pid=$!
for _ in $(seq 50); do
  [ -e "$work/com1" ] && break
  sleep 0.1
done
[ -e "$work/com1" ] || { echo "The module simulator did not start." >&2; exit 1; }
echo "Simulated module on $(readlink "$work/com1") (COM1, 9600 bit/s), disk folder $work/disk"
export TOVREL_COM1="$work/com1"
talk
