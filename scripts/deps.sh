#!/usr/bin/env bash
# Installs the Debian packages Lumora needs to build, test and run. Safe to run again.
#   scripts/deps.sh [PACKAGE...]   also those packages (a path that needs more, e.g. lintian)
set -euo pipefail

# clang and its runtime (libFuzzer) build the fuzz targets; llvm symbolizes sanitizer reports.
packages=(
  build-essential cmake ninja-build ccache pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
  libudev-dev linux-libc-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libjpeg62-turbo-dev
  p7zip-full
  xvfb xauth fonts-dejavu-core fonts-noto-core dbus-daemon
  desktop-file-utils appstream
  clang libclang-rt-dev llvm
  umockdev libumockdev-dev stress-ng ansible-core
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  apt=(apt-get)
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  apt=(sudo apt-get)
else
  echo "Lumora needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt[@]}" update -qq
"${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
