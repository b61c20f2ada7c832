#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (one per parser that reads what another program or person
# wrote) with clang, AddressSanitizer and UBSan into build/fuzz, and runs them.
#   ./fuzz.sh [TARGET|all] [SECONDS] [--keep]
# Default: every target for 60 s. Each target starts from its seed corpus fuzz/corpus/TARGET/;
# what it finds goes to a scratch corpus in build/fuzz/corpus/TARGET/, and into the repository's
# only with --keep. A crash, leak, time-out or sanitizer report ends the script with status 1 and
# leaves the input as build/fuzz/TARGET-crash-* (or -leak-, -timeout-).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$top/scripts/deps.sh"
qv_deps_install
qv_fuzz_deps_install

target=all
seconds=60
keep=0
for a in "$@"; do
  case "$a" in
  --keep) keep=1 ;;
  [0-9]*) seconds=$a ;;
  *) target=$a ;;
  esac
done

dir="$top/build/fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_FUZZ=ON \
  -DQV_SANITIZE=address -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
cmake --build "$dir"

targets=()
if [ "$target" = all ]; then
  for src in "$top"/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
else
  targets=("$target")
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  seeds="$top/fuzz/corpus/$t"
  work="$dir/corpus/$t"
  mkdir -p "$seeds" "$work"
  out=$([ "$keep" = 1 ] && echo "$seeds" || echo "$work")
  echo "== $t: ${seconds}s" >&2
  # The first corpus directory receives the new inputs; the seeds are read only without --keep.
  if ! "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/$t-" "$out" "$seeds" 2>"$dir/$t.log"; then
    echo "$t: FAILED (log: $dir/$t.log)" >&2
    tail -40 "$dir/$t.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^Done' "$dir/$t.log" >&2 || true
  fi
done
exit $status
