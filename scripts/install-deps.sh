#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running, demoing, packaging and
# testing Quellon need. With everything present it prints nothing, touches no
# network and needs no root.
set -euo pipefail

# Real package names only: a virtual name never counts as installed.
PACKAGES=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  qt6-base-dev qt6-svg-dev libgl1-mesa-dev
  zlib1g-dev libssl-dev openssl libjpeg62-turbo-dev libcli11-dev
  # The unzip library reads bzip2, LZMA and zstd members.
  libbz2-dev liblzma-dev libzstd-dev
  # libwmf's pkg-config asks for -lexpat, and it draws text with the URW fonts,
  # which it only recommends.
  libwmf-dev libexpat1-dev fonts-urw-base35 libemf2svg-dev
  libgtest-dev libgmock-dev googletest
  python3 python3-pyftpdlib curl vsftpd
  zip unzip p7zip-full libarchive-tools zstd
  xvfb xauth imagemagick xdotool
  # cpack's Debian generator runs file and dpkg-shlibdeps.
  file dpkg-dev
  time procps
  # SSH transport: the client library, and sshd/ssh-keygen as the tests' real peer.
  libssh-dev openssh-server openssh-client
)
# Servers the tests start on loopback by themselves; a fresh install must not
# leave them running as system services. PACKAGE:SERVICE...
SERVERS=(vsftpd:vsftpd openssh-server:ssh.service:ssh.socket)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: missing Debian packages; as root run: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  SUDO=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq

# Keep the servers' maintainer scripts from starting them (policy-rc.d is the
# Debian way; deb-systemd-invoke honours it too), then switch their services
# off: only those this run installs, never a server that was there before.
services=()
for entry in "${SERVERS[@]}"; do
  pkg=${entry%%:*}
  [[ " ${missing[*]} " == *" $pkg "* ]] || continue
  IFS=: read -r -a parts <<<"${entry#*:}"
  services+=("${parts[@]}")
done
policy=
if [ ${#services[@]} -gt 0 ] && [ ! -e /usr/sbin/policy-rc.d ]; then
  policy=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee "$policy" >/dev/null
  "${SUDO[@]}" chmod 755 "$policy"
  trap '"${SUDO[@]}" rm -f "$policy"' EXIT
fi
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ ${#services[@]} -gt 0 ] && [ -d /run/systemd/system ]; then
  "${SUDO[@]}" systemctl disable --now "${services[@]}" >/dev/null 2>&1 || true
  echo "install-deps: ${services[*]} are for the tests only and were left switched off"
fi
