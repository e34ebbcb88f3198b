#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite. Run as root on Debian 12 from the checkout.
# The tests that run the tools run against every build of them: native, static x86-64, i686
# (run directly) and static aarch64 (under qemu-user), the Windows build under Wine, and the
# Windows programs as the .msi installs them. Ends with one line that counts what passed and
# what failed: each CTest test of each build, the package check, the release artifacts and
# their check, each step of the Windows installers' check and the fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
# The packages are dated by the last commit, so that two runs give the same bytes.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]] && epoch=$(git log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi

passed=0 failed=0 skipped=0 steps=()
summary() {
  local status=$?
  # A step that stopped the run (a build, an install) counts as a failure of its own.
  ((status != 0 && failed == 0)) && failed=1
  if ((${#steps[@]})); then
    local joined
    printf -v joined '%s, ' "${steps[@]}"
    echo "test.sh: ${joined%, }"
  fi
  echo "test.sh: $passed passed, $failed failed, $skipped not applying (each says why)"
  exit "$status"
}
trap summary EXIT

# ctest_counts LOG: "FAILED TOTAL", read from the closing line of the ctest run in LOG; nothing
# when it has none.
ctest_counts() {
  sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$1" |
    tail -n 1
}

# ctest_step NAME ARGS...: runs ctest and adds its counts, read from its closing line and its
# list of skipped tests. With everything required, a test skips only where it does not apply
# (to the build under test, or to this machine's file systems), and says why in the log.
ctest_step() {
  local name=$1 log status=0 broken total skips
  shift
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log" || status=$?
  read -r broken total < <(ctest_counts "$log") || true
  skips=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log") || true
  if ((skips)); then
    # Why each skipped: the first line of its message, read from a verbose run of those alone.
    local names
    names=$(sed -nE 's/^[[:space:]]+[0-9]+ - (.*) \(Skipped\)$/\1/p' "$log" | paste -sd'|')
    echo "test.sh: $name: skipped, and why:"
    ctest "$@" -R "^($names)\$" -V 2>&1 | grep -A1 ': Skipped$' | grep -vE ': Skipped$|^--$' |
      sed -E 's/^[0-9]+: //' | sort | uniq -c || true
  fi
  rm -f "$log"
  if [[ -n $total ]]; then
    passed=$((passed + total - broken - skips))
    failed=$((failed + broken))
    skipped=$((skipped + skips))
    local note=""
    ((skips)) && note=" ($skips not applying)"
    steps+=("$name $((total - broken - skips))/$total$note")
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
  local name=$1 log status=0 stepped tests=0 broken=0
  shift
  log=$(mktemp)
  "$@" 2>&1 | tee "$log" || status=$?
  stepped=$(grep -c ': passed: ' "$log") || true
  read -r broken tests < <(ctest_counts "$log") || true
  broken=${broken:-0} tests=${tests:-0}
  rm -f "$log"
  passed=$((passed + stepped + tests - broken))
  failed=$((failed + broken + (status != 0 && broken == 0)))
  steps+=("$name $stepped steps and $((tests - broken))/$tests tests passed$( ((status == 0)) || echo ', then FAILED')")
  return "$status"
}

bash scripts/install-deps.sh test
for preset in native mingw static i686 aarch64-static; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# Everything is installed above, so no end-to-end test may skip for want of Wine, the Windows
# build or an NTFS volume: each such skip is a failure here. A test that does not apply to a
# build (a preloaded library in a static program) says so and is no such skip.
export OSTRAKIT_E2E_REQUIRE=1
ctest_step native --preset native
# tools_step NAME BUILD_DIR [EMULATOR]: the native suite's tests that run the tools, run against
# the tools in BUILD_DIR, started through EMULATOR.
tools_step() {
  OSTRAKIT_TOOL_DIR=$PWD/$2 OSTRAKIT_TOOL_EMULATOR=${3:-} ctest_step "$1" --preset native -L tools
}
tools_step static build/static
tools_step i686 build/i686
tools_step aarch64 build/aarch64-static qemu-aarch64-static
step "package check" bash tests/packaging/package-check.sh
step release bash scripts/release.sh
step "release check" bash tests/packaging/release-check.sh
# The .msi, proven under Wine in a prefix made afresh: installed, on PATH, the Windows suite
# against the installed programs, upgraded, refused a downgrade, removed; and the manifests.
steps_of "Windows installers" bash tests/packaging/windows-installers-check.sh build/release
# The whole suite again with AddressSanitizer and UBSan in tools and tests: any report fails it.
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest_step asan --preset asan
# The name handling under libFuzzer for a bounded time.
step fuzzing bash scripts/fuzz.sh 60
