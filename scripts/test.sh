#!/usr/bin/env bash
# Builds and runs every test: native debug, the sanitizer build, a bounded fuzz run, and the
# Windows build under Wine. Fails when any leg fails or cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

jobs=$(nproc)
fuzz_seconds=${QUARRY_FUZZ_SECONDS:-60}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

leg() { printf '\n==== %s ====\n' "$1"; }

leg "native debug"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

leg "native with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset sanitize -j "$jobs"

leg "fuzzing the container reader for ${fuzz_seconds}s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_view -j "$jobs"
corpus=build/fuzz/corpus
rm -rf "$corpus" && mkdir -p "$corpus"
build/debug/tests/quarry_sample seeds "$corpus"
build/fuzz/fuzz/fuzz_view -max_total_time="$fuzz_seconds" -max_len=4096 -print_final_stats=1 \
  "$corpus" 2>build/fuzz/fuzz.log || { tail -n 60 build/fuzz/fuzz.log; exit 1; }
tail -n 12 build/fuzz/fuzz.log

leg "Windows build under Wine"
command -v /usr/lib/wine/wine64 >/dev/null || { echo "wine64 is missing: the Windows leg cannot run"; exit 1; }
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows
