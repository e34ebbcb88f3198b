#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the tools and shows the main job on a scratch file: pipe text into a named stream,
# read it back with getfattr, then remove the stream again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
# The tools alone: the test suite needs GoogleTest, which the build set does not install. The
# native preset turns the tests on again at its next configure.
cmake --preset native -DOSTRAKIT_TESTS=OFF >/dev/null
cmake --build --preset native --target ostrapour ostraprune >/dev/null
export PATH="$PWD/build/native:$PATH"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

step() {
  printf '\n$ %s\n' "$1"
  eval "$1" 2>&1 || echo "(exit status $?)"
}
step 'echo "quarterly figures" > report.txt'
step 'setfattr -n user.checksum -v "" report.txt      # the writer never creates a stream'
step 'sha256sum report.txt | cut -c1-64 | ostrapour report.txt:checksum'
step 'getfattr -n user.checksum report.txt'
step 'ostraprune report.txt:checksum'
step 'getfattr -d report.txt                          # no streams left'
step 'echo again | ostrapour report.txt:checksum      # so this one is refused'
