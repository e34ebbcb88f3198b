#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times build/native/ostrapour against a bare C loop making the same calls (bench/baseline.c):
# 32 MiB from a file into an existing file, then an empty input (start-up cost), in alternating
# runs. Prints median times with their quartiles and the median ratios, and the loop against
# itself as the noise floor; with valgrind and strace present it also counts start-up
# instructions, which the load of a shared machine does not disturb, and system calls.
#   bash bench/bench.sh [BULK_RUNS [START_RUNS]]      (defaults 21 and 51)
# OSTRAPOUR=/path/to/ostrapour measures another build. A benchmark, not a test: it never fails
# on the figures, only when a run does not end with status 0.
set -euo pipefail
cd "$(dirname "$0")/.."
bulk_runs=${1:-21}
start_runs=${2:-51}
tool=${OSTRAPOUR:-$PWD/build/native/ostrapour}
if [[ ! -x $tool ]]; then
  cmake --preset native -DOSTRAKIT_TESTS=OFF >/dev/null
  cmake --build --preset native --target ostrapour >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/loop" bench/baseline.c
cc -O2 -o "$work/timer" bench/timer.c

head -c $((32 << 20)) /dev/urandom >"$work/input"
cp "$work/input" "$work/target-tool"
cp "$work/input" "$work/target-loop"
: >"$work/empty"
: >"$work/small-tool"
: >"$work/small-loop"

echo "ostrapour: $tool"
echo "locale: LANG=${LANG:-} LC_ALL=${LC_ALL:-}; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$work/timer" "$bulk_runs" "$work/input" bulk -- \
  "$tool" "$work/target-tool" -- "$work/loop" "$work/target-loop"
cmp "$work/input" "$work/target-tool"
# The loop against itself: how far the ratio strays on this machine when nothing differs.
"$work/timer" "$bulk_runs" "$work/input" noise -- \
  "$work/loop" "$work/target-tool" -- "$work/loop" "$work/target-loop"
"$work/timer" "$start_runs" "$work/empty" start-up -- \
  "$tool" "$work/small-tool" -- "$work/loop" "$work/small-loop"
echo "targets: bulk ratio <= 1.05, start-up ratio <= 1.3"

if command -v valgrind >/dev/null; then
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" <"$work/empty" 2>&1 |
      sed -n 's/.*Collected : *//p'
  }
  tool_ir=$(instructions "$tool" "$work/small-tool")
  loop_ir=$(instructions "$work/loop" "$work/small-loop")
  echo "start-up instructions (callgrind): ostrapour $tool_ir, loop $loop_ir," \
    "ratio $(awk -v a="$tool_ir" -v b="$loop_ir" 'BEGIN { printf "%.3f", a / b }')"
fi
if command -v strace >/dev/null; then
  syscalls() {
    strace -c -o "$work/strace" "$@" <"$work/empty" && awk '$NF == "total" { print $4 }' "$work/strace"
  }
  echo "start-up system calls (strace -c): ostrapour $(syscalls "$tool" "$work/small-tool")," \
    "loop $(syscalls "$work/loop" "$work/small-loop")"
fi
