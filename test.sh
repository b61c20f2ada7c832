#!/usr/bin/env bash
# Builds qvcp and its tests with AddressSanitizer and UBSan (or ThreadSanitizer with --tsan)
# and runs the whole suite with ctest. The test hooks (QV_TEST_HOOKS) are compiled in. Extra words
# are passed to ctest (for example -R name).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$top/scripts/deps.sh"
qv_deps_install

san=address
dir="$top/build/asan"
if [ "${1:-}" = "--tsan" ]; then
  san=thread
  dir="$top/build/tsan"
  shift
fi
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=$san -DQV_TEST_HOOKS=ON >/dev/null
cmake --build "$dir"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cd "$dir"
ctest --output-on-failure -j2 "$@"
