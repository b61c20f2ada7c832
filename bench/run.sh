#!/usr/bin/env bash
# Builds the benchmarks in Release (build/) and runs every one; extra words go to each program
# (for example --benchmark_filter=glob or --benchmark_min_time=2).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$top/scripts/deps.sh"
qv_deps_install
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
cmake --build "$top/build" --target listing_bench
for b in "$top"/build/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" "$@"
done
