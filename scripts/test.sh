#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-test/, and runs every test; then builds the engine's tests and the program with
# ThreadSanitizer into build-tsan/ and runs those that drive sessions on several loop threads.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQFTP_SANITIZE=ON -DQFTP_BENCH=OFF
cmake --build build-test -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
# Sessions run on several loop threads: the socket engine, the controller and the program's
# own end-to-end tests once more under ThreadSanitizer (a race ends the process that has it).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQFTP_TSAN=ON -DQFTP_BENCH=OFF
cmake --build build-tsan -j"$(nproc)" --target quenlowftp net_tests engine_tests metrics_tests
unset ASAN_OPTIONS UBSAN_OPTIONS
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir build-tsan --output-on-failure -j"$(nproc)" \
  -R '^(SocketEngine|Budget|TlsSocket|Connection|Console|Controller|SessionLoop|Snapshot|ServerCounters|MetricsEndpoint)|^e2e_(loops|transfers|tls_transfers|console|admin|capacity|ipv6|metrics)$'
