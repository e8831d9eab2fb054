#!/usr/bin/env bash
# Builds the libFuzzer targets (the drivers' and the tag file reader's) with clang in build-fuzz/
# and runs each one in turn for SECONDS (default 30) over a copy of its seed corpus
# (drivers/*/fuzz/corpus/TARGET, workbench/project/fuzz/corpus/TARGET), so the checkout is never
# written to. Exits non-zero when any target reports a crash, a hang (an input
# that takes longer than 5 s), a failed property or a sanitizer finding; the input is then kept in
# build-fuzz/findings/TARGET/ and the report is printed.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

scripts/setup.sh

dir=build-fuzz
targets=()
for corpus in drivers/*/fuzz/corpus/*/ workbench/project/fuzz/corpus/*/; do
  targets+=("$(basename "$corpus")")
done

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DTALVEK_FUZZ=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=0
for corpus in drivers/*/fuzz/corpus/*/ workbench/project/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  work=$dir/fuzz-run/$target
  findings=$dir/findings/$target
  log=$dir/fuzz-run/$target.log
  rm -rf "$work" "$findings"
  mkdir -p "$work" "$findings"
  cp "$corpus"* "$work"/

  status=0
  # The outer limit only guards against a fuzzer that stops answering altogether.
  timeout $((seconds + 120)) "$dir/bin/$target" "$work" -max_total_time="$seconds" -timeout=5 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 ||
    status=$?

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  kept=$(find "$findings" -type f | head -n 1)
  if ((status == 0)) && [[ -z $kept ]]; then
    echo "fuzz $target: clean, ${runs:-?} runs in ${seconds} s, coverage ${cov:-?}, corpus $(ls "$work" | wc -l)"
  else
    failed=$((failed + 1))
    sed -n '/^==[0-9]*==\|^property failed\|runtime error\|ERROR: libFuzzer/,$p' "$log" | head -n 60
    echo "fuzz $target: FAILED (exit $status), input ${kept:-not kept}, log $log"
  fi
done

if ((failed > 0)); then
  echo "fuzz: $failed of ${#targets[@]} targets failed"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets clean, ${seconds} s each"
