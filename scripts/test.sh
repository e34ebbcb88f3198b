#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite. Run as root on Debian 12 from the checkout.
# The tests that run the tools run against every build of them: native, static x86-64, i686
# (run directly where the kernel runs i386 programs, else under qemu-user) and static aarch64
# (under qemu-user), the Windows build under Wine, and the Windows programs as the .msi installs
# them. Ends with one line that counts what passed and what failed: the shell scripts' check,
# each CTest test of each build, the package check, the release artifacts and their check, each
# step of the Windows installers' check, the fuzzing run and the set-up's check in a Debian 12
# root made afresh.
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

# step_where_it_can NAME COMMAND...: a step as above, counted as not applying where the command
# ends with status 77, having said why.
step_where_it_can() {
  local name=$1 status=0
  shift
  "$@" || status=$?
  if ((status == 77)); then
    skipped=$((skipped + 1))
    steps+=("$name not applying")
    return 0
  fi
  step "$name" test "$status" -eq 0
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

# machine_lacks: what the suite needs of the machine that it cannot give, one line for each,
# saying what to do. Tried before anything is built, so that the run stops there rather than
# fail each test that needs it. Nothing else is asked of the kernel: no loop device, user
# namespace or overlayfs (the NTFS volumes are image files that ntfs-3g mounts through FUSE),
# and no ntfs3 driver (the fault library plays it). The i386 programs are tried with the i686
# tools once they are built.
machine_lacks() {
  local probe dir where lacks=()
  mkdir -p build
  probe=$(mktemp -d build/machine-probe.XXXXXX)
  mkdir "$probe/mnt"
  if mount -t tmpfs -o size=1m ostrakit-probe "$probe/mnt" 2>/dev/null; then
    umount "$probe/mnt"
  else
    lacks+=("a tmpfs mount (the limit tests mount one): run where root may mount, in a container with --privileged")
  fi
  if ! unshare --mount umount --lazy /proc 2>/dev/null; then
    lacks+=("a mount namespace of its own without /proc (a test runs the tools as in a chroot): run where root may unshare and unmount, in a container with --privileged")
  fi
  if [[ ! -r /dev/fuse || ! -w /dev/fuse ]]; then
    lacks+=("/dev/fuse (the NTFS tests mount volumes through ntfs-3g): modprobe fuse, or give a container --device /dev/fuse --cap-add SYS_ADMIN")
  elif ! { truncate -s 16M "$probe/volume" && mkntfs -F -Q -q "$probe/volume" &&
             ntfs-3g "$probe/volume" "$probe/mnt"; } >/dev/null 2>&1; then
    lacks+=("a FUSE mount (ntfs-3g could not mount an NTFS image; the NTFS tests need one): run where root may mount FUSE file systems, in a container with --privileged")
  else
    umount "$probe/mnt"
  fi
  # The tests' files live in the temporary directory, the cookbook's in the build tree.
  for dir in "${TMPDIR:-/tmp}" build; do
    where=$dir
    [[ $dir == build ]] && where=$PWD/build
    if ! { touch "$dir/.ostrakit-probe" && setfattr -n user.probe -v x "$dir/.ostrakit-probe"; } 2>/dev/null; then
      lacks+=("user.* extended attributes in $where (a stream on Linux is one): put TMPDIR and the checkout on a file system that keeps them, such as ext4, xfs or btrfs")
    fi
    rm -f "$dir/.ostrakit-probe"
  done
  python3 -c 'import os; os.openpty()' 2>/dev/null ||
    lacks+=("a pseudo-terminal (a test starts the tools on one): mount devpts on /dev/pts")
  rm -rf "$probe"
  ((${#lacks[@]})) || return 0
  printf 'test.sh: this machine lacks %s\n' "${lacks[@]}" >&2
  return 1
}

if ((EUID != 0)); then
  echo "test.sh: run it as root (sudo bash scripts/test.sh): it installs packages, mounts file systems and runs lintian as nobody" >&2
  exit 1
fi
bash scripts/install-deps.sh test
machine_lacks
step shellcheck bash tests/shellcheck.sh
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
# The i686 tools run directly where the kernel runs i386 programs. Some kernels are built or
# booted without that, and some sandboxes refuse them ("Exec format error", even for a static
# program): there they run under qemu-i386-static, as the aarch64 ones do everywhere. Which is
# found by starting the writer with no argument: its usage screen and status 1 show that it ran,
# where a program that could not start ends with status 126 or 127 from the shell, or by a
# signal. i686_start [EMULATOR]: whether it started, and why not in $i686_error.
i686_start() {
  local status=0
  i686_error=$("$@" build/i686/ostrapour 2>&1 </dev/null) || status=$?
  i686_error=${i686_error%%$'\n'*}
  [[ $i686_error =~ ^.*\ line\ [0-9]+:\ (.*)$ ]] && i686_error=${BASH_REMATCH[1]}
  ((status < 126))
}
if i686_start; then
  tools_step "i686 (run directly)" build/i686
else
  refused=$i686_error
  if ! i686_start qemu-i386-static; then
    echo "test.sh: neither this kernel nor qemu-i386-static starts the i686 tools ($refused; $i686_error): install libc6-i386 and qemu-user-static" >&2
    exit 1
  fi
  echo "test.sh: this kernel does not start i386 programs ($refused), so the i686 tools run under qemu-i386-static"
  tools_step "i686 (under qemu-i386)" build/i686 qemu-i386-static
fi
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
# The README's set-up in a Debian 12 root where nothing is installed yet: the demo, then every
# preset built with the test set's packages. Not applying where the archive is out of reach.
step_where_it_can "set-up on a pristine Debian 12" bash tests/setup/pristine-root.sh
