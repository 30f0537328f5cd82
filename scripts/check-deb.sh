#!/usr/bin/env bash
# Installs a Tovrel .deb into a fresh minimal Debian 12 tree, without
# recommended packages, and runs its programs there: the client against the
# simulator, and the window until it is on screen (offscreen and under Xvfb).
# Usage (as root, with a Debian mirror in reach):
#   scripts/check-deb.sh PACKAGE.deb [ROOT]     ROOT defaults to build/debian12-root
#   scripts/check-deb.sh --contents PACKAGE.deb  only what the package holds
set -euo pipefail
contents_only=false
if [ "${1:-}" = --contents ]; then
  contents_only=true
  shift
fi
deb=$(realpath "$1")
root=$(realpath -m "${2:-build/debian12-root}")
mirror=${TOVREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}

listing=$(dpkg-deb -c "$deb")
for f in /usr/bin/tovrel /usr/bin/tovrel-cli /usr/bin/tovrel-sim /usr/share/applications/tovrel.desktop \
         /usr/share/man/man1/tovrel-cli.1 /usr/share/icons/hicolor/{16x16,32x32,64x64,128x128}/apps/tovrel.png; do
  grep -q " \.$f\$" <<<"$listing" || { echo "check-deb: the package lacks $f" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || { echo "check-deb: the package does not depend on Qt" >&2; exit 1; }
if command -v desktop-file-validate >/dev/null; then
  entry=$(mktemp --suffix=.desktop)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/tovrel.desktop >"$entry"
  desktop-file-validate "$entry" || { rm -f "$entry"; echo "check-deb: the desktop entry is not valid" >&2; exit 1; }
  rm -f "$entry"
fi
echo "ok: the package holds the programs, the man page, the desktop entry and the icons"
$contents_only && exit 0

command -v debootstrap >/dev/null || { echo "check-deb: needs debootstrap (apt-get install debootstrap)" >&2; exit 1; }
if [ ! -x "$root/usr/bin/apt-get" ]; then
  rm -rf "$root"
  debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -n 20 "$root.log" >&2; exit 1; }
fi

mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true; done
}
trap cleanup EXIT
for fs in proc dev dev/pts; do
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

cp "$deb" "$root/tmp/tovrel.deb"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends /tmp/tovrel.deb >/dev/null

# The client against the simulator, inside the tree.
in_root sh -c '
  tovrel-sim --link /tmp/com1 >/tmp/sim.log 2>&1 & sim=$!
  for i in $(seq 100); do [ -e /tmp/com1 ] && break; sleep 0.05; done
  TOVREL_COM1=/tmp/com1 tovrel-cli info; status=$?
  kill $sim; exit $status' >"$root/tmp/info.out"
grep -q '^rate: 9600$' "$root/tmp/info.out" || { echo "check-deb: tovrel-cli info did not answer" >&2; cat "$root/tmp/info.out" >&2; exit 1; }
echo "ok: tovrel-cli info through tovrel-sim"

# The window, until it reports itself on screen.
window_shown() {  # window_shown DESCRIPTION COMMAND...
  local what=$1
  shift
  in_root timeout 20 "$@" >"$root/tmp/window.out" 2>&1 || true
  grep -q '^shown$' "$root/tmp/window.out" || { echo "check-deb: the window did not open ($what)" >&2; cat "$root/tmp/window.out" >&2; exit 1; }
  echo "ok: the window opens ($what)"
}
report='tovrel --report-shown >/tmp/shown 2>&1 & w=$!
  for i in $(seq 200); do grep -q "^shown$" /tmp/shown && break; sleep 0.05; done
  kill $w; cat /tmp/shown'
window_shown offscreen env QT_QPA_PLATFORM=offscreen sh -c "$report"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xvfb xauth >/dev/null
window_shown "X11 under Xvfb" xvfb-run -a sh -c "$report"
echo "The package installs and runs on Debian 12."
