#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server in the foreground (Ctrl-C stops it):
# with its window on a desktop, headless where no display answers.
# Anonymous users may log in and share the documents folder as "pub". Extra arguments go to
# the server, e.g.: bash scripts/run.sh --set NetTcpPort=2121
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
exec build/quenlowftp "$@"
