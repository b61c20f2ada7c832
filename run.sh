#!/usr/bin/env bash
# Builds a Release qvcp in build/ (installing missing packages first) and runs it with the given words.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$top/scripts/deps.sh"
qv_deps_install
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_TEST_HOOKS=OFF >/dev/null
cmake --build "$top/build" --target qvcp >&2
exec "$top/build/qvcp" "$@"
