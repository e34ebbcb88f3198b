#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every ```sh block under the README's "Cookbook" heading, in order, in one scratch
# directory with the built tools first on PATH, and compares what each prints (standard output
# and standard error together) byte for byte with the ```text block that follows it; a block
# with no ```text block after it must print nothing. Diagnostics name the source directory as
# the tools recorded it (RECORDED_DIR); the README shows the one a release records (RELEASE_DIR).
#   readme_cookbook.sh README.md TOOLS_DIR RECORDED_DIR RELEASE_DIR WORK_DIR
set -uo pipefail
readme=$1 tools=$2 recorded_dir=$3 release_dir=$4 work=$5
SKIP=77

mkdir -p "$work"
scratch=$(mktemp -d "$work/cookbook.XXXXXX")
trap 'chmod -R u+w "$scratch"; rm -rf "$scratch"' EXIT

# The recipes need extended attributes in the user namespace where the build lives.
if ! touch "$scratch/probe" || ! setfattr -n user.probe -v x "$scratch/probe" 2>/dev/null; then
  echo "SKIPPED: $work does not hold user.* extended attributes (or setfattr is missing)"
  exit $SKIP
fi
rm -f "$scratch/probe"

# Splits the Cookbook section into numbered files: N.sh for each command block, N.text for the
# output block that follows it. ```bat blocks are the Windows lines, for cmd; any other kind of
# block is refused, so that no Linux command escapes the run.
blocks="$scratch/.blocks"
mkdir "$blocks"
awk -v dir="$blocks" '
  /^## / { in_cookbook = ($0 == "## Cookbook"); next }
  !in_cookbook { next }
  fence != "" && /^```$/ { fence = ""; next }
  fence == "sh" { print > (dir "/" n ".sh"); next }
  fence == "text" {
    if (!(n in commands)) { print "a text block with no sh block before it" > "/dev/stderr"; exit 1 }
    print > (dir "/" n ".text"); next
  }
  fence != "" { next }
  /^```sh$/ { n++; commands[n] = 1; fence = "sh"; next }
  /^```text$/ { fence = "text"; printf "" > (dir "/" n ".text"); next }
  /^```bat$/ { fence = "windows"; next }
  /^```/ { print "a block that is neither sh, text nor bat: " $0 > "/dev/stderr"; exit 1 }
  END { print n + 0 }
' "$readme" > "$blocks/count" || exit 1
count=$(cat "$blocks/count")
if ((count < 5)); then
  echo "FAILED: found $count command blocks under '## Cookbook' in $readme"
  exit 1
fi

failed=0
for ((i = 1; i <= count; i++)); do
  [[ -f $blocks/$i.text ]] || : > "$blocks/$i.text"
  # C locale: the system texts are the English ones the README shows.
  (cd "$scratch" && env PATH="$tools:$PATH" LC_ALL=C bash -e -o pipefail "$blocks/$i.sh") \
    > "$blocks/$i.out" 2>&1
  status=$?
  printed=$(cat "$blocks/$i.out"; echo x)  # the x keeps trailing line ends
  printed=${printed%x}
  printf '%s' "${printed//"$recorded_dir/"/"$release_dir/"}" > "$blocks/$i.out"
  if ((status != 0)); then
    echo "FAILED: block $i ended with status $status:"
  elif ! cmp -s "$blocks/$i.text" "$blocks/$i.out"; then
    echo "FAILED: block $i printed something else than the README shows (- README, + printed):"
  else
    continue
  fi
  sed 's/^/    /' "$blocks/$i.sh"
  diff -u "$blocks/$i.text" "$blocks/$i.out" | tail -n +3 | sed 's/^/    /'
  failed=1
done
((failed)) && exit 1
echo "all $count cookbook blocks printed what the README shows"
