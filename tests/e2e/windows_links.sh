#!/bin/bash
# The Windows build under Wine: a link to a directory already in the output folder is never
# gone through. Wine shows a POSIX symbolic link to a directory as a directory reparse point,
# so the trap is made with ln -s; Wine 8 can make no Windows link itself, and shows a link to
# a file as the file, so the cases of a link at the file's own name cannot be made here.
#
#   windows_links.sh PROGRAM DECODER SAMPLE_TOOL RUNNER
set -u
PROGRAM=$(realpath "$1")
DECODER=$(realpath "$2")
SAMPLE_TOOL=$(realpath "$3")
RUNNER=$4
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

SANDBOX=$(mktemp -d "${TMPDIR:-/tmp}/quarry-links.XXXXXX")
trap 'rm -rf "$SANDBOX"' EXIT
cd "$SANDBOX" || exit 1
FAILED=0
fail() {
  echo "FAIL: $*"
  FAILED=1
}

mkdir -p bin tree/deep/inner tree/link elsewhere out/deep
cp "$PROGRAM" bin/Quarry.exe
cp "$DECODER" bin/oo2core_8_win64.dll
echo one >tree/link/x.txt
echo two >tree/deep/inner/y.txt
echo fine >tree/good.txt
$RUNNER "$SAMPLE_TOOL" pack tree c.res >/dev/null || { echo "sample tool failed"; exit 1; }
ln -s ../elsewhere out/link
ln -s "$SANDBOX/elsewhere" out/deep/inner

# Relative paths: Wine maps them as they are.
$RUNNER bin/Quarry.exe c.res out >stdout.txt 2>stderr.txt
STATUS=$?
tr -d '\r' <stderr.txt >errors.txt

[ "$STATUS" -eq 1 ] || fail "status $STATUS, expected 1"
expected='File #0 "deep/inner/y.txt" is refused: a link stands in the way at out\deep\inner
File #2 "link/x.txt" is refused: a link stands in the way at out\link'
[ "$(cat errors.txt)" = "$expected" ] || fail "standard error was: $(cat errors.txt)"
[ -z "$(ls -A elsewhere)" ] || fail "something was written through a link: $(ls -A elsewhere)"
[ "$(cat out/good.txt 2>/dev/null)" = fine ] || fail "good.txt was not extracted"
# Below a game folder, a linked folder is not walked: its container would win over the base.
mkdir -p game linked-game linked-tree
echo linked >linked-tree/good.txt
cp c.res game/base.resources
$RUNNER "$SAMPLE_TOOL" pack linked-tree linked-game/zz.resources >/dev/null || fail "sample tool failed"
ln -s "$SANDBOX/linked-game" game/zz-linked
$RUNNER bin/Quarry.exe game out-game >game-stdout.txt 2>game-stderr.txt
tr -d '\r' <game-stdout.txt >game-out.txt
[ "$(cat game-out.txt)" = "Found 3 files in 1 container, extracting..." ] ||
  fail "the game folder's count line was: $(cat game-out.txt)"
[ "$(cat out-game/good.txt 2>/dev/null)" = fine ] || fail "a linked folder's container was taken"

[ "$FAILED" -eq 0 ] && echo "links: passed"
exit "$FAILED"
