#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Quellon need.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libqt6svg6-dev libgl1-mesa-dev
  zlib1g-dev libssl-dev openssl libjpeg62-turbo-dev libwmf-dev libemf2svg-dev libcli11-dev
  libgtest-dev libgmock-dev googletest
  python3 python3-pyftpdlib curl vsftpd
  zip unzip p7zip-full libarchive-tools
  xvfb xauth imagemagick
  time
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
