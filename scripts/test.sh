#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   scripts/test.sh          plain build in build/
#   scripts/test.sh asan     address + undefined-behaviour sanitizers in build-asan/
#   scripts/test.sh tsan     thread sanitizer in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-plain}
case "$mode" in
  plain) dir=build; cmake_args=() ;;
  asan) dir=build-asan; cmake_args=(-DTALVEK_SANITIZE=address,undefined -DTALVEK_BUILD_BENCHMARKS=OFF) ;;
  # The threads live in the platform, the drivers and the runtime; Qt itself is not built with the
  # thread sanitizer, so the widget code gains nothing from this run and is left out to save time.
  tsan) dir=build-tsan; cmake_args=(-DTALVEK_SANITIZE=thread -DTALVEK_BUILD_BENCHMARKS=OFF -DTALVEK_BUILD_UI=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

scripts/setup.sh
cmake -S . -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
