#!/usr/bin/env bash
# Builds the program, brings the peers (vsftpd installed from Debian; pure-ftpd and ProFTPD
# unpacked from their Debian packages under build/bench-peers, since their packages conflict
# with vsftpd's) and measures all of them side by side on loopback (see bench/README.md).
# Extra arguments go to compare_peers.py. Run it as root: pure-ftpd needs a mount namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh > /dev/null
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
# vsftpd's own service is not needed: the benchmark starts its own instance. The libraries
# are what the unpacked pure-ftpd and ProFTPD link against.
wanted=(vsftpd curl util-linux libsodium23 libhiredis0.14 libmemcached11 libmemcachedutil2
        libpcre2-posix3 libacl1 libcap2 libidn2-0)
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q "ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" > /dev/null
fi
peers=build/bench-peers
if [ ! -x "$peers/root/usr/sbin/proftpd" ] || [ ! -x "$peers/root/usr/sbin/pure-ftpd" ] ||
   [ ! -e "$peers/root/usr/lib/proftpd/mod_tls.so" ]; then
  mkdir -p "$peers/debs"
  # A peer that cannot be fetched is reported by the benchmark as not measured.
  (cd "$peers/debs" && apt-get download pure-ftpd proftpd-core proftpd-mod-crypto) ||
    echo "compare.sh: could not download pure-ftpd or ProFTPD; they will not be measured" >&2
  for deb in "$peers"/debs/*.deb; do
    [ -e "$deb" ] && dpkg -x "$deb" "$peers/root"
  done
fi
exec python3 bench/compare_peers.py "$@"
