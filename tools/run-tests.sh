#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: in a
# plain build and in an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Then a short run of every fuzz target, and the tests that run the filter as
# a process once more with the filter under valgrind's memcheck: any error or
# definite leak fails them.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTMK_BUILD_TESTS=ON >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTMK_SANITIZE=ON -DTMK_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")

tools/run-fuzz.sh "${TMK_FUZZ_SECONDS:-20}"

# The process tests are the driver, page, commands and status programs; the
# other tests run no filter process. Under valgrind the filter is slow, so
# they run one program at a time with the cores shared between them.
logs="$PWD/build/valgrind"
rm -rf "$logs" && mkdir -p "$logs"
export TMK_FILTER_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
--show-leak-kinds=definite,indirect --log-file=$logs/%p.log"
status=0
# A filter started without standard output cannot be run under valgrind,
# which would open its log on that free descriptor.
(cd build && ctest --output-on-failure -j "$jobs" -R '(Hostile|JobFlow|TextPassThrough|PageJob|SetupBlock|StatusProcess)\.' \
  -E 'TextPassThrough.LostPrinterConnectionIsReported') || status=$?
for log in "$logs"/*.log; do
  [ -s "$log" ] && { echo "== valgrind: $log"; cat "$log"; status=1; }
done
exit "$status"
