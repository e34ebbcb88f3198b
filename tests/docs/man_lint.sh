#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders each manual page given with every warning on, through mandoc and through man-db's
# groff, and fails on any message at all.
#   man_lint.sh PAGE...
set -uo pipefail
SKIP=77
if ! command -v mandoc >/dev/null && ! command -v man >/dev/null; then
  echo "SKIPPED: neither mandoc nor man is installed (Debian: mandoc, man-db)"
  exit $SKIP
fi

failed=0
# check WHAT COMMAND...: the command's standard error, and its standard output too when it is
# mandoc's lint (which prints its messages there), must stay empty.
check() {
  local what=$1; shift
  local messages status
  if [[ $1 == mandoc ]]; then messages=$("$@" 2>&1); else messages=$("$@" 2>&1 >/dev/null); fi
  status=$?
  if ((status != 0)) || [[ -n $messages ]]; then
    echo "FAILED: $what (status $status)"
    [[ -n $messages ]] && echo "    ${messages//$'\n'/$'\n    '}"
    failed=1
  fi
}
for page in "$@"; do
  if command -v mandoc >/dev/null; then
    check "mandoc -T lint -W warning $page" mandoc -T lint -W warning "$page"
  fi
  if command -v man >/dev/null; then
    check "man --warnings=w -l $page" env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page"
  fi
done
((failed)) && exit 1
echo "rendered without a warning: $*"
