#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing.
# Safe to run again: it only calls apt-get for packages not yet installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  ntfs-3g ntfs-3g-dev libhivex-dev libhivex-bin
  dosfstools mtools
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
  libcairo2-dev man-db faketime
  wixl msitools xvfb xdotool imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
