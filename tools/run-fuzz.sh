#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang under AddressSanitizer +
# UBSan and runs each for SECONDS seconds (default 60) on a scratch copy of
# its seed corpus, so the corpus in the repository does not grow. Prints the
# executions of every target; a crash, leak, sanitizer report or timeout is
# kept under <build>/fuzz-findings/ and makes the script fail.
#   tools/run-fuzz.sh [SECONDS [TARGET...]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(raster_page ppd_settings rle_roundtrip decode_stream app_page pwg_reader)
build=${TMK_FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTMK_FUZZ=ON -DTMK_BUILD_TESTS=OFF -DTMK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings="$build/fuzz-findings"
status=0
for target in "${targets[@]}"; do
  work="$scratch/$target"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  # A unit slower than 10 s counts as a hang; leaks are findings too, less
  # libcups' own (fuzz/lsan.supp). The targets refuse allocations above
  # 64 MiB, which only libcups asks for (fuzz/asan_options.cc).
  if ! ASAN_OPTIONS="detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp" \
       "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    status=1
    mkdir -p "$findings/$target"
    cp "$work"/artifacts/* "$work/log" "$findings/$target/" 2>/dev/null || true
    echo "== $target: FINDING (input and log kept in $findings/$target) =="
    grep -A30 -m1 -E "^==[0-9]+==ERROR|runtime error|ERROR: libFuzzer|timeout" "$work/log" || tail -30 "$work/log"
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  echo "$target: ${executions:-?} executions in $seconds s"
done
exit "$status"
