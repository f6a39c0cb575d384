#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libssl-dev openssl zlib1g-dev libcrypt-dev
  libgtest-dev libcli11-dev nlohmann-json3-dev libncurses-dev
  qt6-base-dev libsystemd-dev
  dbus-daemon python3-dbusmock
  xvfb xauth x11-utils x11-apps netpbm xdotool trayer
  python3 curl lftp rclone haproxy
  groff-base dpkg-dev systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
