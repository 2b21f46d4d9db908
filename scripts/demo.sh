#!/usr/bin/env bash
# Builds Quarry (native release) and extracts a sample container that the project writes.
# The sample's compressed entries use the project's own test codec, so the demo runs a copy
# of Quarry in build/demo with the test decoder beside it: on 64-bit x86 the Windows DLL
# build of it, which Quarry loads with its own loader as it would the game's DLL. The release
# folder itself never holds a decoder, so a real one installed elsewhere is never shadowed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native

# The product alone would be the release preset; the demo also needs the sample writer and
# the test decoder, which come with the tests.
cmake --preset release-with-tests >/dev/null
if [ "$(uname -m)" = x86_64 ]; then
  decoder_target=bare_decoder_sound
  decoder=build/release-with-tests/tests/decoder/bare-sound/oo2core_8_win64.dll
else
  decoder_target=test_decoder
  decoder=build/release-with-tests/tests/decoder/oo2core_8_win64.dll
fi
cmake --build --preset release-with-tests --target quarry quarry_sample "$decoder_target"

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/bin"
cp build/release-with-tests/quarry "$demo/bin/"
cp "$decoder" "$demo/bin/"
build/release-with-tests/tests/quarry_sample demo "$demo/sample.resources"

"$demo/bin/quarry" "$demo/sample.resources" "$demo/out"
echo
echo "Extracted into $demo/out:"
find "$demo/out" -type f | sort
