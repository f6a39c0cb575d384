#!/usr/bin/env bash
# Installs what is missing, then builds the program and the benchmarks into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQFTP_TESTS=OFF
cmake --build build -j"$(nproc)"
