#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the recipes of a document (the README's "Cookbook", docs/FAQ.md) and compares what each
# prints, standard output and standard error together, byte for byte with the ```text block
# that follows it; a recipe with no ```text block after it must print nothing. Diagnostics name
# the source directory as the tools recorded it (RECORDED_DIR); the documents show the one a
# release records (RELEASE_DIR).
#   readme_cookbook.sh DOCUMENT HEADING TOOLS_DIR RECORDED_DIR RELEASE_DIR WORK_DIR
#                      [WINE WINE_PREFIX]
# HEADING names the "## " section that holds the recipes; "-" takes the whole document.
# Without WINE, every ```sh block runs, in order, in one scratch directory with the Linux tools
# of TOOLS_DIR first on PATH. With WINE, TOOLS_DIR is the Windows build, and every ```bat block
# runs instead, in order, as lines typed into one Wine cmd each, in one scratch directory on an
# NTFS volume mounted through ntfs-3g (real named streams); a ```bat block whose first line
# begins "rem Not run under Wine" holds what Wine cannot do, and is only counted. PowerShell
# blocks are never run and must say so on their first line ("# Not run by the tests here").
# OSTRAKIT_TOOL_DIR chooses other tools, as for the end-to-end suite; with
# OSTRAKIT_E2E_REQUIRE=1 what would skip (no Wine, no NTFS volume) fails instead.
set -uo pipefail
document=$1 heading=$2 tools=${OSTRAKIT_TOOL_DIR:-$3} recorded_dir=$4 release_dir=$5 work=$6
wine=${7:-}
# The recipes run elsewhere: a relative directory of tools is taken from here.
[[ -d $tools ]] && tools=$(cd "$tools" && pwd)
SKIP=77
NOT_UNDER_WINE='rem Not run under Wine'

# skip REASON: the recipes cannot run here; a failure when everything is required.
skip() {
  if [[ ${OSTRAKIT_E2E_REQUIRE:-} == 1 ]]; then
    echo "FAILED: $1"
    exit 1
  fi
  echo "SKIPPED: $1"
  exit $SKIP
}

mkdir -p "$work"
scratch=$(mktemp -d "$work/recipes.XXXXXX")
volume=""
cleanup() {
  if [[ -n $volume ]]; then
    umount "$volume" 2>/dev/null || umount -l "$volume"
  fi
  chmod -R u+w "$scratch"
  rm -rf "$scratch"
}
trap cleanup EXIT

# Splits the recipes into numbered files: N.sh or N.bat for each block of commands, N.text for
# the output block that follows it. Any other kind of block is refused, so that no command
# escapes the run unseen.
blocks="$scratch/.blocks"
mkdir "$blocks"
awk -v dir="$blocks" -v heading="$heading" -v marker="$NOT_UNDER_WINE" '
  function refuse(why) { print FILENAME ":" FNR ": " why > "/dev/stderr"; failed = 1; exit 1 }
  /^## / && heading != "-" { in_section = ($0 == "## " heading); next }
  heading != "-" && !in_section { next }
  fence != "" && /^```$/ {
    if (fence == "bat" && first == "") refuse("an empty bat block")
    fence = ""; next
  }
  fence == "powershell" {
    if (!seen) { seen = 1; if ($0 !~ /^# Not run by the tests here/) refuse("a PowerShell block that does not say it is not run") }
    next
  }
  fence == "sh" || fence == "bat" {
    if (first == "") first = $0
    print > (dir "/" n "." fence); next
  }
  fence == "text" { print > (dir "/" n ".text"); next }
  /^```(sh|bat)$/ { n++; fence = substr($0, 4); kind[n] = fence; first = ""; next }
  /^```text$/ {
    if (!(n in kind) || kind[n] == "powershell" || n in shown)
      refuse("a text block with no sh or bat block before it")
    if (kind[n] == "bat" && first ~ ("^" marker)) refuse("a text block after a bat block that is not run")
    shown[n] = 1; fence = "text"; printf "" > (dir "/" n ".text"); next
  }
  /^```powershell$/ { fence = "powershell"; seen = 0; n++; kind[n] = "powershell"; next }
  /^```/ { refuse("a block that is neither sh, bat, powershell nor text: " $0) }
  END { if (!failed) print n + 0 }
' "$document" > "$blocks/count" || exit 1
count=$(cat "$blocks/count")
commands=$(find "$blocks" -name '*.sh' | wc -l)
if [[ -z $wine ]] && ((commands < 5)); then
  echo "FAILED: found $commands sh blocks in $document (section: $heading)"
  exit 1
fi

# Both ways of running a block leave its output, the source directory shown as the
# placeholder, in N.out, and its status in $status.
placeholder() {
  local printed
  printed=$(cat "$1"; echo x)  # the x keeps trailing line ends
  printed=${printed%x}
  printf '%s' "${printed//"$recorded_dir/"/"$release_dir/"}" > "$1"
}

if [[ -z $wine ]]; then
  # The recipes need extended attributes in the user namespace where the build lives.
  if ! touch "$scratch/probe" || ! setfattr -n user.probe -v x "$scratch/probe" 2>/dev/null; then
    echo "SKIPPED: $work does not hold user.* extended attributes (or setfattr is missing)"
    exit $SKIP
  fi
  rm -f "$scratch/probe"
  kind="sh"
  run_block() {
    # C locale: the system texts are the English ones the documents show.
    (cd "$scratch" && env PATH="$tools:$PATH" LC_ALL=C bash -e -o pipefail "$blocks/$1.sh") \
      > "$blocks/$1.out" 2>&1
  }
else
  [[ -x $wine ]] || skip "no Wine at $wine (Debian: wine64)"
  [[ -f $tools/ostrapour.exe && -f $tools/ostraprune.exe ]] ||
    skip "no Windows build in $tools (cmake --preset mingw && cmake --build --preset mingw)"
  if ! command -v mkntfs >/dev/null || ! command -v ntfs-3g >/dev/null; then
    skip "mkntfs or ntfs-3g missing (Debian: ntfs-3g)"
  fi
  # A prefix the run names (one with the tools installed) serves instead of the build's.
  export WINEPREFIX=${WINEPREFIX:-${8:-}} WINEDEBUG=-all LC_ALL=C.UTF-8
  tools_windows=Z:${tools//\//\\}
  export WINEPATH=$tools_windows
  truncate -s 16M "$scratch/volume.ntfs"
  mkntfs -F -Q -q "$scratch/volume.ntfs" >/dev/null 2>&1 || skip "mkntfs could not format a volume"
  mkdir "$scratch/ntfs"
  ntfs-3g -o streams_interface=windows "$scratch/volume.ntfs" "$scratch/ntfs" 2>/dev/null ||
    skip "ntfs-3g could not mount a volume (it needs /dev/fuse, and root)"
  volume=$scratch/ntfs
  kind="bat"
  # run_block N: the block's lines typed into cmd, which first says which Windows it is; cmd
  # /q echoes no prompt. Each line runs as typed at a prompt, so a for loop's variable is %f.
  # The lines come from a file: Wine's cmd reads no commands from a pipe.
  # What cmd prints is the check: its status is that of the last line, which may fail on
  # purpose; only a cmd that hung or could not start fails the block by its status.
  run_block() {
    local status
    sed 's/$/\r/' "$blocks/$1.bat" > "$blocks/$1.typed"
    (cd "$volume" && timeout 120 "$wine" cmd /q) < "$blocks/$1.typed" > "$blocks/$1.out" 2>&1
    status=$?
    sed 's/\r$//; 1{/^Microsoft Windows [0-9.]*$/d}' "$blocks/$1.out" > "$blocks/$1.lf"
    mv "$blocks/$1.lf" "$blocks/$1.out"
    ((status == 124 || status >= 126)) && return "$status"
    return 0
  }
fi

failed=0 ran=0 not_run=0
for ((i = 1; i <= count; i++)); do
  [[ -f $blocks/$i.$kind ]] || continue
  if [[ $kind == bat ]] && head -n 1 "$blocks/$i.bat" | grep -q "^$NOT_UNDER_WINE"; then
    not_run=$((not_run + 1))
    continue
  fi
  [[ -f $blocks/$i.text ]] || : > "$blocks/$i.text"
  run_block "$i"
  status=$?
  ran=$((ran + 1))
  placeholder "$blocks/$i.out"
  if ((status != 0)); then
    echo "FAILED: block $i ended with status $status:"
  elif ! cmp -s "$blocks/$i.text" "$blocks/$i.out"; then
    echo "FAILED: block $i printed something else than $document shows (- shown, + printed):"
  else
    continue
  fi
  sed 's/^/    /' "$blocks/$i.$kind"
  diff -u "$blocks/$i.text" "$blocks/$i.out" | tail -n +3 | sed 's/^/    /'
  failed=1
done
((failed)) && exit 1
if [[ $kind == bat ]]; then
  ((ran > 0)) || { echo "FAILED: $document has no bat block that Wine runs"; exit 1; }
  echo "all $ran cmd blocks printed under Wine what $document shows ($not_run marked as not run under Wine)"
else
  echo "all $ran recipes printed what $document shows"
fi
