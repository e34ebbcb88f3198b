#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks every shell script of the checkout with shellcheck, at its default severity.
# Scripts are known by their name (*.sh) or by their #! line. A check that a script turns off
# must say why on the same line ("# shellcheck disable=SC2016 # the reason"), so that each one
# stays a decision a reader can weigh.
#   bash tests/shellcheck.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
scripts=()
while IFS= read -r file; do
  [[ -f $file ]] || continue
  case $file in
    *.sh) scripts+=("$file") ;;
    *) if head -n 1 -- "$file" | grep -Eq '^#!.*[/ ](ba)?sh$'; then scripts+=("$file"); fi ;;
  esac
done < <(git ls-files 2>/dev/null || find . -path ./build -prune -o -type f -print)
((${#scripts[@]})) || { echo "shellcheck.sh: no shell script found in $PWD" >&2; exit 1; }
unexplained=$(grep -HnE '^[[:space:]]*# shellcheck disable=' "${scripts[@]}" | grep -Ev 'disable=[A-Z0-9,]+ # .') ||
  true
if [[ -n $unexplained ]]; then
  echo "shellcheck.sh: checks turned off with no reason on the line:" >&2
  echo "$unexplained" >&2
  exit 1
fi
shellcheck -- "${scripts[@]}"
echo "shellcheck.sh: ${#scripts[@]} shell scripts clean"
