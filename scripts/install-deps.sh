#!/usr/bin/env bash
# Installs what the build, the tests and the benchmark need on Debian, when it is missing.
# Usage: scripts/install-deps.sh [native|all|bench]
set -euo pipefail

want=${1:-all}
packages=(cmake ninja-build g++ googletest libgtest-dev)
# On 64-bit x86 the native tests load a Windows test DLL, which the mingw-w64 compiler builds.
if [ "$(uname -m)" = x86_64 ]; then
  packages+=(g++-mingw-w64-x86-64-posix)
fi
if [ "$want" = all ]; then
  packages+=(clang-14 libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine64 tmux binutils-mingw-w64-x86-64)
fi
if [ "$want" = bench ]; then
  packages+=(hyperfine time tmux tar valgrind e2fsprogs python3)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
