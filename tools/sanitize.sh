#!/usr/bin/env bash
# Builds the C++ checks (tests/cpp/CMakeLists.txt: the engine's drivers and
# its sanitized copies) and runs the sanitizer checks through CTest.
#
#   tools/sanitize.sh [asan|tsan|all]
#
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer, every code path
#   tsan  ThreadSanitizer on the parallel paths
#
# The build goes to build-checks/ (override with TW_CHECKS_DIR), the same
# folder the test suite uses.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-all}"
build="${TW_CHECKS_DIR:-$root/build-checks}"
case "$kind" in
    asan|tsan) labels=(-L "$kind") ;;
    all) labels=(-L "asan|tsan") ;;
    *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
[[ -f "$build/CMakeCache.txt" ]] || cmake -S "$root" -B "$build" "${gen[@]}" -DTW_CHECKS=ON
cmake --build "$build" -j2
exec ctest --test-dir "$build" --output-on-failure "${labels[@]}"
