#!/usr/bin/env bash
# Builds the engine (every source outside src/module) together with
# tests/sanitize/driver.cpp under sanitizers and runs the driver.
#
#   tools/sanitize.sh [asan|tsan|all] [rounds]
#
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer, every code path (fast;
#         the test suite runs this one)
#   tsan  ThreadSanitizer on the parallel paths (forest growth, streaming
#         rounds, proximities)
#
# Objects go to build-sanitize/<kind>/ (override with TW_SANITIZE_DIR).
# Exit status: 0 clean, 1 a sanitizer or driver failure, 77 when the
# compiler cannot build with the sanitizer.
#
# OpenMP under ThreadSanitizer: libgomp is not instrumented, so the fork and
# join of a parallel region are invisible to the sanitizer and every result a
# worker hands back looks like a race (annotating the region from inside does
# not help: the compiler-generated hand-over of the shared variables happens
# before any code of ours runs). The tsan build therefore defines
# TW_TSAN_THREADS, which makes parallel/pool.hpp run the same items on plain
# std::threads that the sanitizer understands; every item body, lock and
# atomic under test is unchanged, and races between items are reported.
# The driver runs under `setarch -R` when available, because the sanitizer
# runtime of older compilers cannot map its shadow memory under the high
# address-space randomisation of recent kernels.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-asan}"
rounds="${2:-2}"
cxx="${CXX:-g++}"

if [[ "$kind" == all ]]; then
    "$0" asan "$rounds"
    exec "$0" tsan "$rounds"
fi

case "$kind" in
    asan)
        san=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
        mode=all
        ;;
    tsan)
        san=(-fsanitize=thread -DTW_TSAN_THREADS)
        mode=parallel
        ;;
    *) echo "usage: $0 [asan|tsan|all] [rounds]" >&2; exit 2 ;;
esac

out="${TW_SANITIZE_DIR:-$root/build-sanitize}/$kind"
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -Wno-psabi -ffp-contract=off -fopenmp -I"$root/src" "${san[@]}")

# Optional areas are compiled into the driver when their sources exist.
defs=()
have() { [[ -n "$(ls "$root"/$1 2>/dev/null)" ]]; }
have "src/histogram/*.cpp" && have "src/parallel/*.cpp" && defs+=(-DTW_HAVE_HISTOGRAM)
have "src/random_forest/*.cpp" && defs+=(-DTW_HAVE_FOREST)
have "src/boosting/*.cpp" && defs+=(-DTW_HAVE_BOOSTING)
have "src/tree_shap/*.cpp" && defs+=(-DTW_HAVE_TREE_SHAP)
have "src/unsupervised/*.cpp" && defs+=(-DTW_HAVE_UNSUPERVISED)

# The compiler must be able to link a sanitized program at all.
probe="$out/probe"
if ! echo 'int main(){return 0;}' | "$cxx" -x c++ "${san[@]}" -o "$probe" - 2>/dev/null ||
    ! "$probe" >/dev/null 2>&1; then
    echo "sanitize: $cxx cannot build with ${san[*]}" >&2
    exit 77
fi

mapfile -t sources < <(find "$root/src" -name '*.cpp' -not -path '*/src/module/*' | sort)
sources+=("$root/tests/sanitize/driver.cpp")

# Compile in parallel (two jobs), reusing objects whose source is unchanged.
objects=()
pids=()
for src in "${sources[@]}"; do
    rel="${src#$root/}"
    obj="$out/${rel//\//_}.o"
    objects+=("$obj")
    if [[ "$obj" -nt "$src" && "$obj" -nt "$0" ]] && ! find "$root/src" -name '*.hpp' -newer "$obj" | grep -q .; then
        continue
    fi
    "$cxx" "${flags[@]}" "${defs[@]}" -c "$src" -o "$obj" &
    pids+=($!)
    if (( ${#pids[@]} >= 2 )); then
        wait "${pids[0]}"
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
"$cxx" "${flags[@]}" "${objects[@]}" -o "$out/driver"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export OMP_NUM_THREADS="${OMP_NUM_THREADS:-4}"
run=()
if [[ "$kind" == tsan ]] && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
fi
"${run[@]}" "$out/driver" "$mode" "$rounds"
