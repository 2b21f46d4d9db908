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
optional=()  # installed when the archive has them; what needs one says so when it is missing
if [ "$want" = all ]; then
  packages+=(clang-14 libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine64 tmux binutils-mingw-w64-x86-64)
fi
if [ "$want" = bench ]; then
  packages+=(hyperfine time tmux tar valgrind e2fsprogs python3 gcc)
  optional+=(libarchive-tools 7zip)  # the bsdtar and 7-Zip peers
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=() missing_optional=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
for package in "${optional[@]}"; do installed "$package" || missing_optional+=("$package"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  install "${missing[@]}"
fi
for package in "${missing_optional[@]}"; do
  echo "Installing: $package"
  install "$package" || echo "Could not install $package; going on without it"
done
