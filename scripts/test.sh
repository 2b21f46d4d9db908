#!/usr/bin/env bash
# Builds and runs every test: native debug, the end-to-end tests once more without the Linux
# fast paths (as other POSIX systems run), the sanitizer build, a bounded fuzz run, and the
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

leg "native end-to-end tests with the POSIX fallbacks forced"
cmake --preset portable >/dev/null
cmake --build --preset portable -j "$jobs"
ctest --preset portable -j "$jobs" -L e2e

leg "native with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset sanitize -j "$jobs"

leg "fuzzing the container reader, the Windows image reader and name patterns for ${fuzz_seconds}s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_view fuzz_pe_image fuzz_name_pattern -j "$jobs"
# fuzz_seconds shared between the three targets.
fuzz() {  # name, corpus, seconds, max_len
  build/fuzz/fuzz/fuzz_"$1" -max_total_time="$3" -max_len="$4" -print_final_stats=1 "$2" \
    2>build/fuzz/"$1".log || { tail -n 60 build/fuzz/"$1".log; exit 1; }
  tail -n 12 build/fuzz/"$1".log
}
corpus=build/fuzz/corpus
rm -rf "$corpus" && mkdir -p "$corpus"
build/debug/tests/quarry_sample seeds "$corpus"
fuzz view "$corpus" $((fuzz_seconds * 2 / 5)) 4096
pe_corpus=build/fuzz/pe-corpus
rm -rf "$pe_corpus" && mkdir -p "$pe_corpus"
# The bare Windows test decoder and its variants, as the native debug build made them.
for dll in build/debug/tests/decoder/bare-*/oo2core_8_win64.dll; do
  [ -e "$dll" ] && cp "$dll" "$pe_corpus/$(basename "$(dirname "$dll")").dll"
done
printf 'MZ' >"$pe_corpus/mz"
fuzz pe_image "$pe_corpus" $((fuzz_seconds * 2 / 5)) 16384
pattern_corpus=build/fuzz/pattern-corpus
rm -rf "$pattern_corpus" && mkdir -p "$pattern_corpus"
fuzz name_pattern "$pattern_corpus" $((fuzz_seconds - fuzz_seconds * 4 / 5)) 1024

leg "Windows build under Wine"
command -v /usr/lib/wine/wine64 >/dev/null || { echo "wine64 is missing: the Windows leg cannot run"; exit 1; }
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows
