#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite. Run as root on Debian 12 from the checkout.
# Ends with one line that counts what passed and what failed: each CTest test, the package
# check, each step of the Windows installers' check and the fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
# The packages are dated by the last commit, so that two runs give the same bytes.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]] && epoch=$(git log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi

passed=0 failed=0 steps=()
summary() {
  local status=$?
  # A step that stopped the run (a build, an install) counts as a failure of its own.
  ((status != 0 && failed == 0)) && failed=1
  if ((${#steps[@]})); then
    local joined
    printf -v joined '%s, ' "${steps[@]}"
    echo "test.sh: ${joined%, }"
  fi
  echo "test.sh: $passed passed, $failed failed"
  exit "$status"
}
trap summary EXIT

# ctest_step NAME ARGS...: runs ctest and adds its counts, read from its closing line.
ctest_step() {
  local name=$1 log status=0 line
  shift
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log" || status=$?
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1) || true
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[1]))
    steps+=("$name $((BASH_REMATCH[2] - BASH_REMATCH[1]))/${BASH_REMATCH[2]}")
  else
    failed=$((failed + 1))
    steps+=("$name ran no test")
    status=1
  fi
  return "$status"
}
# step NAME COMMAND...: one check that passes or fails as a whole.
step() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    steps+=("$name passed")
  else
    failed=$((failed + 1))
    steps+=("$name FAILED")
    return 1
  fi
}

# steps_of NAME COMMAND...: a check that prints "passed: ..." for each step it passes, one of
# which may run ctest: each such step and each of ctest's tests counts. A check that stops early
# counts one failure for the step that stopped it, unless ctest's failures already count.
steps_of() {
  local name=$1 log status=0 done line tests=0 broken=0
  shift
  log=$(mktemp)
  "$@" 2>&1 | tee "$log" || status=$?
  done=$(grep -c ': passed: ' "$log") || true
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1) || true
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    broken=${BASH_REMATCH[1]} tests=${BASH_REMATCH[2]}
  fi
  rm -f "$log"
  passed=$((passed + done + tests - broken))
  failed=$((failed + broken + (status != 0 && broken == 0)))
  steps+=("$name $done steps and $((tests - broken))/$tests tests passed$( ((status == 0)) || echo ', then FAILED')")
  return "$status"
}

bash scripts/install-deps.sh test
cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset mingw >/dev/null
cmake --build --preset mingw
# Everything is installed above, so no end-to-end test may skip for want of Wine, the Windows
# build or an NTFS volume: each such skip is a failure here.
export OSTRAKIT_E2E_REQUIRE=1
ctest_step native --preset native
step "package check" bash scripts/package-check.sh
# The .msi and the winget and Scoop manifests, made from the .zip the package check left, and
# proven under Wine in a prefix made afresh: installed, on PATH, the Windows suite against the
# installed programs, upgraded, refused a downgrade, removed.
installers=build/windows-installers
rm -rf "$installers"
mkdir -p "$installers"
cp build/mingw/packages/ostrakit-*-win64.zip "$installers/"
bash scripts/windows-installers.sh "$installers"
steps_of "Windows installers" bash scripts/windows-installers-check.sh "$installers"
# The whole suite again with AddressSanitizer and UBSan in tools and tests: any report fails it.
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest_step asan --preset asan
# The name handling under libFuzzer for a bounded time.
step fuzzing bash scripts/fuzz.sh 60
