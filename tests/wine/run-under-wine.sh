#!/usr/bin/env bash
# Runs the Windows build's tests and command-line client under wine, in a
# wine prefix of their own whose COM1..COM7 are links that wine-ports (from
# the Linux build) points at its peers; then, when the build has the window,
# drives tovrel.exe, its combos with the X server's own input through
# xdotool (on a virtual X server when there is no display).
# Usage: tests/wine/run-under-wine.sh LINUX_BUILD WINDOWS_BUILD [GTEST_ARGS...]
# With TOVREL_WINE_STARTUP_RUNS=N it times the window's start N times in the
# same surroundings instead (the README's figure), and runs no test.
set -euo pipefail
if [ -z "${DISPLAY:-}" ] && [ -f "$2/app/win32/tovrel.exe" ] && [ -z "${TOVREL_UNDER_XVFB:-}" ]; then
  export TOVREL_UNDER_XVFB=1
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
linux_build=$(realpath "$1")
windows_build=$(realpath "$2")
shift 2
work=$windows_build/wine
links=$work/ports
disk=$work/disk
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

peers=
cleanup() {
  if [ -n "$peers" ]; then
    kill "$peers" 2>/dev/null || true
    wait "$peers" 2>/dev/null || true
  fi
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

mkdir -p "$links"
rm -rf "$disk" "$work/pc"
mkdir -p "$disk" "$work/pc"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi
# The dialog font (宋体) and the system's dialog font drawn with an
# installed CJK font: without it Chinese shows as boxes.
wine regedit /S "$(winepath -w "$(dirname "$(realpath "$0")")/cjk-fonts.reg")" >/dev/null 2>&1
# Wine's mount manager links dosdevices/comN from these when wine next starts.
for n in 1 2 3 4 5 6 7; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$links/com$n" /f >/dev/null 2>&1
done
wineserver -k 2>/dev/null || true
wineserver -w
# One server for the whole run, started and settled before anything is timed:
# wine's own services starting beside a test can hold up an answer.
wineserver -p 30 >/dev/null 2>&1
wine cmd /c exit >/dev/null 2>&1

peers_log=$work/wine-ports.log
"$linux_build/tests/wine/wine-ports" "$links" "$disk" >"$peers_log" 2>&1 &
peers=$!
for _ in $(seq 100); do
  grep -q '^ready' "$peers_log" && break
  kill -0 "$peers" 2>/dev/null || { cat "$peers_log" >&2; exit 1; }
  sleep 0.05
done
grep -q '^ready' "$peers_log" || { echo "wine-ports did not start" >&2; exit 1; }

if [ -n "${TOVREL_WINE_STARTUP_RUNS:-}" ]; then
  timeout 300 wine "$windows_build/tests/wine/window_startup.exe" \
    "$(winepath -w "$windows_build/app/win32/tovrel.exe" 2>/dev/null)" "$TOVREL_WINE_STARTUP_RUNS"
  exit
fi

TOVREL_WINE_DISK=$(winepath -w "$disk" 2>/dev/null)
TOVREL_WINE_PORTS=$(winepath -w "$links" 2>/dev/null)
export TOVREL_WINE_DISK TOVREL_WINE_PORTS
timeout 300 wine "$windows_build/tests/wine/windows_tests.exe" "$@"

# The client end to end: a PC file goes to the module's disk and comes back.
cli=$windows_build/cli/tovrel-cli.exe
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
expect() {  # expect STATUS DESCRIPTION COMMAND...
  local want=$1 what=$2
  shift 2
  local got=0
  timeout 120 "$@" >"$work/out" 2>"$work/err" || got=$?
  if [ "$got" -ne "$want" ]; then
    fail "$what: exit $got, expected $want"
    cat "$work/out" "$work/err" >&2
  else
    echo "ok: $what"
  fi
}
head -c 3000 /dev/urandom >"$work/pc/sent.bin"
cd "$work/pc"
expect 0 "info on COM3" wine "$cli" --port 3 info
# The Windows build prints in text mode: lines end in CR LF.
tr -d '\r' < "$work/out" | grep -q '^rate: 9600$' || fail "info does not say 9600"
expect 0 "put a 3000-byte file" wine "$cli" --port 3 put sent.bin CLI.BIN
cmp -s "$work/pc/sent.bin" "$disk/CLI.BIN" || fail "the disk file differs"
expect 0 "get it back" wine "$cli" --port 3 get CLI.BIN back.bin
cmp -s "$work/pc/sent.bin" "$work/pc/back.bin" || fail "the file got back differs"
expect 0 "rm it" wine "$cli" --port 3 rm CLI.BIN
[ ! -e "$disk/CLI.BIN" ] || fail "the file is still on the disk"
expect 3 "no answer on a silent COM1" wine "$cli" --port 1 info
expect 5 "absent COM5" wine "$cli" --port 5 info
expect 2 "a rate the module has not" wine "$cli" --port 3 --baud 1234 info
# The port list: the prefix's ports after COM1 and COM2, each with a description.
expect 0 "ports" wine "$cli" ports
tr -d '\r' < "$work/out" | grep -q '^COM3  .' || fail "ports does not list COM3 with a description"
! tr -d '\r' < "$work/out" | grep -q '^COM[12] ' || fail "ports lists COM1 or COM2"
expect 0 "ports --json" wine "$cli" --json ports
tr -d '\r' < "$work/out" | grep -q '{"name": "COM7", "description": "' || fail "ports --json does not list COM7"
# An adapter pulled while the client waits for its answer: port lost, exit 9.
expect 9 "a port pulled mid-exchange" wine "$cli" --port COM7 info
tr -d '\r' < "$work/err" | grep -q '^info: port lost: COM7 ' || fail "a pulled port is not reported as lost"
[ "$failures" -eq 0 ] || exit 1

# The window: every button of tovrel.exe against the simulator.
window=$windows_build/app/win32/tovrel.exe
if [ -f "$window" ]; then
  TOVREL_WINDOW_EXE=$(winepath -w "$window" 2>/dev/null)
  export TOVREL_WINDOW_EXE
  timeout 900 wine "$windows_build/tests/wine/windows_window_tests.exe" "$@"
fi
echo "Windows build under wine: all passed."
