#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source, header, script and build file that git tracks names its licence within its
# first three lines, so that a new file cannot leave it out. Scripts are known by their
# #! line as well as by their name.
#   licence_lines.sh SOURCE_DIR
set -uo pipefail
SKIP=77
cd "$1" || exit 1
if ! files=$(git ls-files 2>/dev/null) || [[ -z $files ]]; then
  echo "SKIPPED: $1 is not a git checkout, so there is no list of its files"
  exit $SKIP
fi

checked=0 missing=()
while IFS= read -r file; do
  [[ -f $file ]] || continue
  case $file in
    *.c | *.cpp | *.h | *.sh | *.cmake | CMakeLists.txt | */CMakeLists.txt | *.rc.in | *.1.in | \
      *.manifest | *.wxs) ;;
    *) [[ $(head -c 2 -- "$file") == '#!' ]] || continue ;;
  esac
  checked=$((checked + 1))
  head -n 3 -- "$file" | grep -q 'SPDX-License-Identifier: MIT' || missing+=("$file")
done <<<"$files"
if ((${#missing[@]})); then
  echo "FAILED: no 'SPDX-License-Identifier: MIT' in the first three lines of:"
  printf '    %s\n' "${missing[@]}"
  exit 1
fi
echo "all $checked source, header, script and build files name the MIT licence"
