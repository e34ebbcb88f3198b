#!/usr/bin/env bash
# Installs the Debian 12 packages a task needs, skipping those already there.
#   install-deps.sh build   what building and running the tools needs
#   install-deps.sh test    that, and everything the whole test suite uses
set -euo pipefail

build=(cmake ninja-build g++ attr)
test=("${build[@]}" libgtest-dev g++-mingw-w64-x86-64 wine64 ntfs-3g fuse3 strace valgrind)
# The manual-page lint (mandoc, man-db) and the .deb (dpkg-dev for dpkg-shlibdeps, and file,
# which CPack runs on the binaries to find them).
test+=(mandoc man-db dpkg-dev file)
# The fuzzer: clang and its libFuzzer runtime.
test+=(clang-14 libclang-rt-14-dev)

case "${1:-build}" in
  build) wanted=("${build[@]}") ;;
  test) wanted=("${test[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
