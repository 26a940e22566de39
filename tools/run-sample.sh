#!/usr/bin/env bash
# Installs what is missing, builds the filter and the PPDs, and runs the
# filter on the bundled sample job as CUPS would: the PPD of model 34 in $PPD,
# a sample label rendered to CUPS raster on standard input.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target rastertoTmkLabel ppds make-sample-raster tmk-decode

build/tools/make-sample-raster > build/sample.ras
status=0
PPD=build/ppd/tmk34.ppd build/src/rastertoTmkLabel 1 "${USER:-root}" sample 1 "${1:-}" \
  < build/sample.ras > build/sample.out 2> build/sample.err || status=$?

echo "== standard error (messages to the scheduler, trace) =="
cat build/sample.err
echo "== standard output: $(stat -c %s build/sample.out) bytes for the printer, first 128 =="
od -A d -c -N 128 build/sample.out
echo "== the same, decoded by tools/tmk-decode =="
build/tools/tmk-decode -p build/sample build/sample.out || status=1
echo "== exit status: $status =="
exit "$status"
