#!/usr/bin/env bash
# Builds the program, installs vsftpd when it is missing, and measures both servers on
# loopback with curl (see bench/README.md). Extra arguments go to compare_vsftpd.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh > /dev/null
if [ ! -x /usr/sbin/vsftpd ]; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get install -y -q --no-install-recommends vsftpd > /dev/null
fi
# vsftpd's Debian service is not needed: the benchmark starts its own instance.
exec python3 bench/compare_vsftpd.py "$@"
