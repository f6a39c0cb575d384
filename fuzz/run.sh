#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each in turn.
#
#   fuzz/run.sh [--merge] [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGET names without "_fuzz" (default all). Each target
# runs on a fresh copy of fuzz/corpus/<target> in build-fuzz/work/<target>, so the checked-in
# corpus stays small; --merge afterwards adds to it only the inputs that bring new coverage.
# Crash, leak, timeout and out-of-memory inputs go to build-fuzz/artifacts/<target>/, the
# full output to build-fuzz/logs/<target>.log. Extra libFuzzer flags: FUZZ_FLAGS="...".
# Exits 1 if any target found something (or did not run properly).
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-fuzz
ALL_TARGETS=(archive registry password dataargs path telnet match proxy)

merge=0
seconds=60
targets=()
for arg in "$@"; do
  case $arg in
    --merge) merge=1 ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *[!0-9]*) targets+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done
[ ${#targets[@]} -eq 0 ] && targets=("${ALL_TARGETS[@]}")
for t in "${targets[@]}"; do
  if [ ! -f "$ROOT/fuzz/${t}_fuzz.cpp" ]; then echo "run.sh: no target $t" >&2; exit 2; fi
done

bash "$ROOT/scripts/deps.sh" || exit 2
if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  echo "Installing: clang"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends clang || exit 2
fi

# Tests and benchmarks are not needed here and would double the build.
mkdir -p "$BUILD"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQFTP_TESTS=OFF -DQFTP_BENCH=OFF >"$BUILD/configure.log" 2>&1 ||
  { cat "$BUILD/configure.log" >&2; exit 2; }
cmake --build "$BUILD" --parallel "$(nproc)" --target "${targets[@]/%/_fuzz}" ||
  { echo "run.sh: build failed" >&2; exit 2; }

mkdir -p "$BUILD/logs" "$BUILD/work" "$BUILD/artifacts"
summary=()
status=0
for t in "${targets[@]}"; do
  binary=$BUILD/fuzz/${t}_fuzz
  corpus=$ROOT/fuzz/corpus/$t
  work=$BUILD/work/$t
  artifacts=$BUILD/artifacts/$t
  log=$BUILD/logs/$t.log
  rm -rf "$work"
  mkdir -p "$work" "$artifacts" "$corpus"
  cp -a "$corpus/." "$work/"
  stamp=$(mktemp)
  echo "== $t: ${seconds}s" >&2
  rm -rf "$BUILD/tmp/$t"
  mkdir -p "$BUILD/tmp/$t"
  # The hard stop is for a target wedged where libFuzzer's own timers cannot reach.
  # shellcheck disable=SC2086  # FUZZ_FLAGS holds several flags
  TMPDIR=$BUILD/tmp/$t timeout -k 10 $((seconds + 300)) "$binary" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=25 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" ${FUZZ_FLAGS:-} "$work" \
    >"$log" 2>&1
  rc=$?
  rm -rf "$BUILD/tmp/$t"

  found=$(find "$artifacts" -type f -newer "$stamp" \
            \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) |
          wc -l)
  rm -f "$stamp"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # -fork prints no final stats; its progress lines carry the count instead.
  [ -z "$execs" ] && execs=$(sed -nE 's/^#([0-9]+):? .*cov: .*/\1/p' "$log" | tail -1)
  last=$(grep -E 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$last")
  files=$(find "$work" -type f | wc -l)
  bytes=$(du -sb "$work" | cut -f1)
  note=""
  if [ "$found" -gt 0 ]; then
    status=1
    first=$(grep -m1 'Test unit written to' "$log" | sed 's/.*written to //')
    note="  -> ${first:-$artifacts/}"
  elif [ "$rc" -ne 0 ]; then
    status=1
    note="  -> exit $rc without an artifact, see $log"
  fi
  if [ "$merge" -eq 1 ]; then
    before=$(find "$corpus" -type f | wc -l)
    mkdir -p "$BUILD/tmp/$t"
    TMPDIR=$BUILD/tmp/$t "$binary" -merge=1 -timeout=25 -rss_limit_mb=2048 "$corpus" "$work" >>"$log" 2>&1
    rm -rf "$BUILD/tmp/$t"
    note+="  merged: +$(( $(find "$corpus" -type f | wc -l) - before )) into fuzz/corpus/$t"
  fi
  summary+=("$(printf '%-9s execs %10s  cov %5s  ft %6s  corpus %5s files %8s bytes  findings %s%s' \
    "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$files" "$bytes" "$found" "$note")")
done

echo
printf '%s\n' "${summary[@]}"
exit $status
