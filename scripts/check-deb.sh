#!/usr/bin/env bash
# Checks what a Tovrel .deb holds and that lintian finds no error or warning
# in it; then installs it into a fresh minimal Debian 12 tree, without
# recommended packages, and runs its programs there: the client against the
# simulator, and the window until it is on screen (offscreen and under Xvfb).
# Usage (as root, with a Debian mirror in reach):
#   scripts/check-deb.sh PACKAGE.deb [ROOT]     ROOT defaults to build/debian12-root
#   scripts/check-deb.sh --contents PACKAGE.deb  only what the package holds, and lintian
set -euo pipefail
contents_only=false
if [ "${1:-}" = --contents ]; then
  contents_only=true
  shift
fi
deb=$(realpath "$1")
root=$(realpath -m "${2:-build/debian12-root}")
mirror=${TOVREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}

fail() { echo "check-deb: $*" >&2; exit 1; }
listing=$(dpkg-deb -c "$deb")
for f in /usr/bin/tovrel /usr/bin/tovrel-cli /usr/bin/tovrel-sim /usr/share/applications/tovrel.desktop \
         /usr/share/man/man1/{tovrel,tovrel-cli,tovrel-sim}.1.gz /usr/share/icons/hicolor/{16x16,32x32,64x64,128x128}/apps/tovrel.png \
         /usr/share/doc/tovrel/{copyright,changelog.gz,README.md.gz}; do
  grep -q " \.$f\$" <<<"$listing" || fail "the package lacks $f"
done
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "the package does not depend on Qt"
for p in fonts-noto-cjk qt6-translations-l10n; do
  dpkg-deb -f "$deb" Recommends | grep -qw "$p" || fail "the package does not recommend $p"
done
# lintian does not hold the changelog to the package's version.
changelog_version=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/tovrel/changelog.gz | gzip -dc |
                    sed -n '1s/^tovrel (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$(dpkg-deb -f "$deb" Version)" ] ||
  fail "the changelog's last entry is for '$changelog_version', the package is $(dpkg-deb -f "$deb" Version)"
if command -v desktop-file-validate >/dev/null; then
  entry=$(mktemp --suffix=.desktop)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/tovrel.desktop >"$entry"
  desktop-file-validate "$entry" || { rm -f "$entry"; fail "the desktop entry is not valid"; }
  rm -f "$entry"
fi
echo "ok: the package holds the programs, their man pages, the desktop entry, the icons, copyright, changelog and README"
command -v lintian >/dev/null || fail "needs lintian (apt-get install lintian)"
lintian --fail-on error,warning "$deb" || fail "lintian finds errors or warnings (above)"
echo "ok: lintian"
$contents_only && exit 0

command -v debootstrap >/dev/null || fail "needs debootstrap (apt-get install debootstrap)"
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
