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
  libmicrohttpd-dev
  groff-base dpkg-dev systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# A test checks the metrics text with promtool, from Debian's prometheus package. Installing
# that package would also start a Prometheus server on this machine, so only the tool is
# unpacked, into .tools/bin of the checkout.
tools="$(cd "$(dirname "$0")/.." && pwd)/.tools"
if ! command -v promtool > /dev/null && [ ! -x "$tools/bin/promtool" ]; then
  echo "Unpacking promtool from Debian's prometheus package into $tools/bin"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if ! (cd "$work" && apt-get download -q prometheus > /dev/null 2>&1); then
    $sudo apt-get update -q
    (cd "$work" && apt-get download -q prometheus)
  fi
  dpkg-deb -x "$work"/prometheus_*.deb "$work/unpacked"
  mkdir -p "$tools/bin"
  cp "$work/unpacked/usr/bin/promtool" "$tools/bin/promtool"
fi
