#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer target for the name handling with clang and runs it from the seed corpus
# for a bounded time (default 60 s). Any invariant broken or sanitizer report fails the run and
# leaves the input that caused it in the printed directory.
#   fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
# New inputs go to the scratch directory first named, so the shipped seeds stay as they are.
if ! build/fuzz/tests/fuzz/names_fuzz -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/" "$work" tests/fuzz/corpus 2>"$work/log"; then
  tail -n 60 "$work/log"
  echo "names_fuzz failed; the failing input is kept in $work" >&2
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$work/log"
rm -rf "$work"
