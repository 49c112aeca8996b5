#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh --tsan       ThreadSanitizer (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

mode="${1:-}"
case "$mode" in
  "") dir=build; flags=() ;;
  --sanitize) dir=build-asan; flags=(-DTESSAR_SANITIZE=ON -DTESSAR_BENCH=OFF) ;;
  --tsan) dir=build-tsan; flags=(-DTESSAR_TSAN=ON -DTESSAR_BENCH=OFF) ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}"
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 120
