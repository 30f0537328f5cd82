#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [run|test|screenshot]
set -euo pipefail

# Qt's own translations make its file dialog and edit menus Chinese, like the window.
packages=(build-essential cmake pkg-config libudev-dev qt6-base-dev libgl-dev fonts-noto-cjk qt6-translations-l10n)
if [ "${1:-run}" = test ] || [ "${1:-run}" = screenshot ]; then
  packages+=(libgtest-dev googletest libbenchmark-dev clang libclang-rt-14-dev xvfb xauth xdotool jwm libx11-dev libxtst-dev
             g++-mingw-w64-x86-64 wine wine64 desktop-file-utils lintian)
fi

if [ "${1:-run}" = screenshot ]; then
  packages+=(imagemagick fonts-wine)  # fonts-wine: Marlett, the caption buttons' symbols
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "These Debian packages are missing and there is no sudo: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
