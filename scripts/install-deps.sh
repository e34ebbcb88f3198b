#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages a task needs, skipping those already there.
#   install-deps.sh build   what building and running the tools needs
#   install-deps.sh release what making the Windows installers needs
#   install-deps.sh test    the build set, and everything the whole test suite uses
set -euo pipefail

build=(cmake ninja-build g++ attr)
test=("${build[@]}" libgtest-dev g++-mingw-w64-x86-64 wine64 ntfs-3g fuse3 strace valgrind)
# The manual-page lint and the .zip's HTML pages (mandoc, man-db), the .deb (dpkg-dev for
# dpkg-shlibdeps, and file, which CPack runs on the binaries to find them), and its checks:
# lintian, and devscripts for hardening-check.
test+=(mandoc man-db dpkg-dev file lintian devscripts)
# The fuzzer: clang and its libFuzzer runtime.
test+=(clang-14 libclang-rt-14-dev)
# The .msi (wixl, and msitools to complete and read it; faketime dates it, python3 reads the
# programs' versions and names its codes), and the manifests' check (python3-yaml).
release=(wixl msitools faketime python3)
test+=("${release[@]}" python3-yaml)

case "${1:-build}" in
  build) wanted=("${build[@]}") ;;
  release) wanted=("${release[@]}") ;;
  test) wanted=("${test[@]}") ;;
  *) echo "usage: $0 build|release|test" >&2; exit 2 ;;
esac

# A package whose triggers are still to run (another package's install queued them, as man-db
# does) is unpacked and configured: it counts as installed, with no call to the network.
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
    grep -Eqx 'install ok (installed|triggers-pending|triggers-awaited)' || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
