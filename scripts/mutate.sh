#!/usr/bin/env bash
# Makes one plausible fault in the tools' code, builds, runs the suite (or the tests given),
# and puts the code back however the run ends. A fault that no test catches is reported.
#   scripts/mutate.sh FILE 'TEXT' 'REPLACEMENT' [ctest arguments, e.g. -R Hostile]
# TEXT (which may span lines) must occur exactly once in FILE. The Windows build is rebuilt too when FILE is part of
# it, so that the Wine run sees the same fault.
set -uo pipefail
cd "$(dirname "$0")/.."
file=$1 text=$2 replacement=$3
shift 3
TEXT=$text python3 -c 'import os, sys; sys.exit(open(sys.argv[1]).read().count(os.environ["TEXT"]) != 1)' "$file" ||
  { echo "'$text' does not occur exactly once in $file"; exit 2; }
backup=$(mktemp)
cp -p "$file" "$backup"
restore() {
  cp -p "$backup" "$file"
  rm -f "$backup"
  touch "$file"
  cmake --build --preset native >/dev/null
  [[ -d build/mingw ]] && cmake --build --preset mingw >/dev/null
}
trap restore EXIT
TEXT=$text REPLACEMENT=$replacement python3 - "$file" <<'PY'
import os, sys
path = sys.argv[1]
source = open(path).read()
open(path, "w").write(source.replace(os.environ["TEXT"], os.environ["REPLACEMENT"], 1))
PY
cmake --build --preset native >/dev/null || { echo "the fault does not compile"; exit 2; }
if [[ $file != common/platform_posix.cpp && $file != common/platform_linux.cpp && -d build/mingw ]]; then
  cmake --build --preset mingw >/dev/null || { echo "the fault does not compile for Windows"; exit 2; }
fi
if OSTRAKIT_E2E_REQUIRE=1 ctest --preset native -j2 "$@" > build/mutation.log 2>&1; then
  echo "NOT CAUGHT: $file: '$text' -> '$replacement'"
  exit 1
fi
caught_by=$(grep -E '^\s+[0-9]+ - ' build/mutation.log | sed -E 's/^\s+[0-9]+ - //; s/ \(.*//' |
  paste -sd ' ')
echo "caught: $file: '$text' -> '$replacement' by: $caught_by"
