#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs lintian --pedantic --display-info on a .deb as a user would read it: as nobody when run
# as root, on a copy in a scratch directory that anyone may read, since the checkout may be one
# that only root can enter. Prints the tags and fails when there is any, or when lintian fails.
#   lintian-as-user.sh PACKAGE.deb
set -euo pipefail
deb=$1
lint_dir=$(mktemp -d)
trap 'rm -rf "$lint_dir"' EXIT
cp "$deb" "$lint_dir/"
chmod 755 "$lint_dir" && chmod 644 "$lint_dir"/*.deb
as_user=()
((EUID == 0)) && as_user=(runuser -u nobody --)
tags=$(cd / && "${as_user[@]}" lintian --pedantic --display-info "$lint_dir/${deb##*/}" 2>&1) ||
  { echo "$tags"; echo "lintian failed on ${deb##*/}" >&2; exit 1; }
[[ -z $tags ]] || { echo "$tags"; echo "lintian reports the tags above for ${deb##*/}" >&2; exit 1; }
