#!/usr/bin/env bash
# Renders the Windows window (tovrel.exe under wine, on a virtual X server)
# against the simulator with a copy of the demo disk on COM1, after 获取 and
# 打开/创建, and saves it as a PNG (default docs/window-windows.png).
# Usage: scripts/windows-screenshot.sh [LINUX_BUILD WINDOWS_BUILD [OUT.png]]
# (defaults build/release and build/windows, as the test command builds them).
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=$(realpath "${1:-build/release}")
windows_build=$(realpath "${2:-build/windows}")
out=$(realpath -m "${3:-docs/window-windows.png}")
if [ -z "${DISPLAY:-}" ] && [ -z "${TOVREL_UNDER_XVFB:-}" ]; then
  export TOVREL_UNDER_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$linux_build" "$windows_build" "$out"
fi
for tool in wine import convert; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/deps.sh screenshot installs it)" >&2; exit 1; }
done
[ -f "$windows_build/app/win32/tovrel.exe" ] || { echo "no $windows_build/app/win32/tovrel.exe: build it first" >&2; exit 1; }

work=$windows_build/wine-screenshot
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim=
demo=
cleanup() {
  [ -z "$demo" ] || kill "$demo" 2>/dev/null || true
  [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$work/disk" "$work/pc"
mkdir -p "$work/ports" "$work/pc"
cp -r docs/demo-disk "$work/disk"
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
# The caption's close box is a Marlett glyph; this wine does not look where
# Debian's fonts-wine puts its fonts, but reads the prefix's Fonts folder.
marlett=/usr/share/wine/fonts/marlett.ttf
[ -f "$marlett" ] || { echo "needs $marlett (scripts/deps.sh screenshot installs fonts-wine)" >&2; exit 1; }
cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
wine regedit /S "$(winepath -w tests/wine/cjk-fonts.reg)" >/dev/null 2>&1
# No window manager on the virtual server: wine draws the caption itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$work/ports/com1" /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p 30 >/dev/null 2>&1  # quiet: it would print to this terminal

"$linux_build/sim/tovrel-sim" --disk "$work/disk" --link "$work/ports/com1" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$work/ports/com1" ] && break; sleep 0.05; done

coproc DEMO { cd "$work/pc" && exec wine "$windows_build/tests/wine/window_demo.exe" \
  "$(winepath -w "$windows_build/app/win32/tovrel.exe")" "$(winepath -w "$work/pc")" 2>"$work/demo.log"; }
demo=$DEMO_PID
read -r -t 60 left top width height <&"${DEMO[0]}" || { cat "$work/demo.log" >&2; exit 1; }
sleep 0.5  # the last paint
import -window root -crop "${width}x${height}+${left}+${top}" +repage "$out"
echo >&"${DEMO[1]}"
wait "$demo" 2>/dev/null || true
demo=
echo "saved $out (${width}x${height})"
