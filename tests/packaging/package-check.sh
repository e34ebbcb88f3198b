#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the .deb and the Windows .zip as a distribution would take them.
# Makes the .deb, the .rpm and the Windows .zip from the native and mingw builds (the RPM is
# checked with the other release artifacts, by release-check.sh) and checks them as a
# distribution would take them: contents, licence, changelog and SHA256SUMS; lintian as an
# unprivileged user and hardening-check; the tools run from the .deb unpacked into a scratch
# root (dpkg-deb -x); the programs' version resource and manifest; and two builds of the same
# commit in one build directory giving byte-identical packages.
# The .deb is installed into this system with dpkg only with CI=true or OSTRAKIT_INSTALL_DEB=1
# (as root): then the installed tools run from PATH and the package is removed again.
# Run after both builds (scripts/test.sh does both first).
set -euo pipefail
cd "$(dirname "$0")/../.."

package=ostrakit
fail() {
  echo "package-check: $*" >&2
  exit 1
}

# Packages are dated by the last commit unless the caller chose a date.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    fail "not a git checkout: set SOURCE_DATE_EPOCH to date the packages"
fi
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
[[ -n $version ]] || fail "build/native is not configured (cmake --preset native)"
architecture=$(dpkg --print-architecture)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# make_packages BUILD_DIR: runs cpack there into BUILD_DIR/packages, and checks that SHA256SUMS
# names each package made, and nothing else, with the right hash.
make_packages() {
  rm -rf "$1/packages"
  (cd "$1" && cpack -B packages >/dev/null)
  (cd "$1/packages" && sha256sum --quiet --strict -c SHA256SUMS) ||
    fail "$1/packages/SHA256SUMS does not match the packages"
  local named made
  named=$(cut -d' ' -f3 "$1/packages/SHA256SUMS" | LC_ALL=C sort)
  made=$(cd "$1/packages" && printf '%s\n' *.* | LC_ALL=C sort)
  [[ $named == "$made" ]] ||
    fail "$1/packages/SHA256SUMS does not name every package: $(cat "$1/packages/SHA256SUMS")"
}

# exercise BIN_DIR: runs the tools found first on PATH, which must be BIN_DIR's, on a scratch
# file: a stream and the file written in place and deleted, and a diagnostic for a missing file.
exercise() (
  work=$(mktemp -d "$scratch/exercise.XXXXXX")
  cd "$work"
  [[ $(command -v ostrapour) == "$1/ostrapour" ]] || fail "ostrapour is not the one in $1"
  [[ $(command -v ostraprune) == "$1/ostraprune" ]] || fail "ostraprune is not the one in $1"
  printf 'placeholder\n' > note.txt
  setfattr -n user.origin -v "" note.txt
  printf 'from the package' | ostrapour note.txt:origin
  [[ $(getfattr --only-values -n user.origin note.txt) == "from the package" ]] ||
    fail "the stream does not hold what was poured into it"
  printf 'PLACE' | ostrapour note.txt
  [[ $(cat note.txt) == PLACEholder ]] || fail "the file was not overwritten in place"
  ostraprune note.txt:origin
  [[ -z $(getfattr --absolute-names -d note.txt) ]] || fail "the stream is still there"
  ostraprune note.txt
  [[ ! -e note.txt ]] || fail "the file is still there"
  if ostraprune note.txt 2>error.txt; then fail "deleting a missing file succeeded"; fi
  grep -q ':DeleteFileW([0-9]*): No such file or directory$' error.txt ||
    fail "unexpected diagnostic: $(cat error.txt)"
  { ostraprune 2>&1 || true; } | head -n 1 | grep -qx "ostrakit $version - file and named stream tools" ||
    fail "the usage screen does not name version $version"
  echo "ostrapour and ostraprune from $1: stream and file written and deleted"
)

echo "== .deb"
make_packages build/native
deb=build/native/packages/${package}_${version}_${architecture}.deb
[[ -f $deb ]] || fail "no $deb was made"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
[[ $(dpkg-deb --field "$deb" Version) == "$version" ]] || fail "the .deb is not version $version"
ar t "$deb" | grep -qx data.tar.xz || fail "the .deb's data is not xz-compressed"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
doc=$root/usr/share/doc/$package
for file in usr/bin/ostrapour usr/bin/ostraprune usr/share/man/man1/ostrapour.1.gz \
            usr/share/man/man1/ostraprune.1.gz usr/share/doc/$package/copyright \
            usr/share/doc/$package/changelog.gz; do
  [[ -f $root/$file ]] || fail "/$file is not in the .deb"
done
{ grep -qx 'License: Expat' "$doc/copyright" && grep -q 'The ostrakit authors' "$doc/copyright"; } ||
  fail "the copyright file does not name the licence (Expat) and its holders"
# Each line of the licence's permission text is in the copyright file, indented one space.
sed -n '/^Permission/,$p' LICENSE | while IFS= read -r line; do
  grep -qxF " ${line:-.}" "$doc/copyright" || fail "the copyright file lacks the licence line '$line'"
done
zcat "$doc/changelog.gz" | head -n 1 | grep -q "^$package ($version) " ||
  fail "the changelog's newest entry is not $version"
for page in ostrapour ostraprune; do
  zcat "$root/usr/share/man/man1/$page.1.gz" | grep -qx ".Os ostrakit $version" ||
    fail "the $page page does not name version $version"
done

echo "== lintian --pedantic --display-info, unprivileged"
bash tests/packaging/lintian-as-user.sh "$deb" || fail "lintian does not pass the .deb"
echo "no tag"

echo "== hardening-check"
# Debian 12's start files carry no IBT/SHSTK property, so control-flow integrity cannot be had.
hardening-check --nocfprotection "$root"/usr/bin/* || fail "hardening-check finds the faults above"
for program in "$root"/usr/bin/*; do
  name=${program##*/}
  # hardening-check knows stack clash protection only by the loop that probes a frame of
  # many pages; the tools' frames need a single probe, if any. No frame above a page may be
  # allocated at once, and each page taken must be touched (or $0x0,(%rsp)) before the next.
  objdump -d --no-show-raw-insn "$program" | awk -v name="$name" '
    /[ \t]sub +\$0x[0-9a-f]+,%rsp$/ {
      size = $NF; sub(/^\$0x/, "", size); sub(/,%rsp$/, "", size)
      bytes = 0
      for (i = 1; i <= length(size); i++) bytes = bytes * 16 + index("0123456789abcdef", substr(size, i, 1)) - 1
      if (bytes > 4096) { print name ": a frame of " bytes " bytes taken without probes"; bad = 1 }
      pending = (bytes == 4096); next
    }
    pending && /[ \t]orq? +\$0x0,\(%rsp\)$/ { pending = 0; next }
    pending { print name ": a page of stack taken and not probed"; bad = 1; pending = 0 }
    END { exit bad }' || fail "stack clash protection is missing"
  for section in .comment .note; do
    if readelf -S -W "$program" | grep -q " \\$section "; then fail "$name still has a $section section"; fi
  done
done
echo "every stack page probed; no .comment or .note section"

echo "== the tools, from the unpacked package"
PATH="$root/usr/bin:$PATH" exercise "$root/usr/bin"
MANPAGER=cat MANWIDTH=80 man -l "$root/usr/share/man/man1/ostrapour.1.gz" | sed -n 1,12p
MANPAGER='cat' man -l "$root/usr/share/man/man1/ostraprune.1.gz" | grep -q 'delete a file or one named stream' ||
  fail "man -l does not show the ostraprune page"

if [[ ${CI:-} == true || ${OSTRAKIT_INSTALL_DEB:-} == 1 ]]; then
  echo "== dpkg -i, the tools from PATH, dpkg -r"
  installed=(/usr/bin/ostrapour /usr/bin/ostraprune /usr/share/man/man1/ostrapour.1.gz
             /usr/share/man/man1/ostraprune.1.gz "/usr/share/doc/$package/copyright"
             "/usr/share/doc/$package/changelog.gz")
  is_installed() {
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'
  }
  # A CI machine may still carry the package of a run that was cut short; anywhere else it is
  # the user's, and left alone.
  if is_installed && [[ ${CI:-} == true ]]; then dpkg -r "$package" >/dev/null; fi
  if is_installed; then fail "$package is already installed; remove it first (dpkg -r $package)"; fi
  for file in "${installed[@]}"; do
    [[ ! -e $file ]] || fail "$file exists before the install; refusing to overwrite it"
  done
  trap 'is_installed && dpkg -r "$package" >/dev/null; rm -rf "$scratch"' EXIT
  # Minimal images exclude /usr/share/man and /usr/share/doc in /etc/dpkg/dpkg.cfg.d/; an
  # include given on the command line comes after those and wins, so the pages arrive anyway.
  dpkg --path-include='/usr/share/man/man1/ostra*' --path-include="/usr/share/doc/$package/*" \
    -i "$deb"
  for file in "${installed[@]}"; do [[ -f $file ]] || fail "$file was not installed"; done
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin exercise /usr/bin
  MANPAGER='cat' man ostraprune | grep -q 'delete a file or one named stream' ||
    fail "man ostraprune does not show the page"
  dpkg -r "$package"
  is_installed && fail "$package is still installed"
  for file in "${installed[@]}"; do [[ ! -e $file ]] || fail "$file is left after dpkg -r"; done
  echo "installed, run and removed cleanly: ${installed[*]} are gone"
fi

echo "== Windows .zip"
make_packages build/mingw
zip=build/mingw/packages/${package}-${version}-win64.zip
[[ -f $zip ]] || fail "no $zip was made"
listing=$(cmake -E tar tvf "$zip")
echo "$listing"
members=(LICENSE.txt README.txt ostrapour.1.html ostrapour.exe ostraprune.1.html ostraprune.exe)
[[ $(awk -F/ '{print $NF}' <<<"$listing" | LC_ALL=C sort) == "$(printf '%s\n' "${members[@]}")" ]] ||
  fail "the .zip does not hold exactly ${members[*]}"
unpacked=$scratch/zip
mkdir "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$zip")
folder=$(echo "$unpacked"/*/)
for text in README.txt LICENSE.txt; do
  if grep -qv $'\r$' "$folder/$text"; then fail "$text has a line that does not end in CR LF"; fi
done
cmp -s <(tr -d '\r' <"$folder/LICENSE.txt") LICENSE || fail "LICENSE.txt is not the licence"
grep -q "Version $version" "$folder/README.txt" || fail "README.txt does not name version $version"
for page in ostrapour ostraprune; do
  grep -q "<td class=\"foot-os\">ostrakit $version</td>" "$folder/$page.1.html" ||
    fail "$page.1.html is not the rendered page of version $version"
done
for program in ostrapour ostraprune; do
  exe=$folder/$program.exe
  [[ $(head -c2 "$exe") == MZ ]] || fail "$program.exe is not a Windows program"
  # The resource's strings are UTF-16: without their zero bytes, key and value run together.
  strings=$(tr -d '\0' <"$exe")
  for entry in "FileVersion$version" "ProductVersion$version" "ProductNameostrakit" \
               "OriginalFilename$program.exe" "LegalCopyrightCopyright (c) 2026 The ostrakit authors" \
               "FileDescription"; do
    grep -qaF "$entry" <<<"$strings" || fail "$program.exe has no version entry $entry"
  done
  manifest=$(sed -n '/<assembly /,/<\/assembly>/p' <<<"$strings")
  { grep -q 'level="asInvoker"' <<<"$manifest" && grep -q 'longPathAware>true<' <<<"$manifest"; } ||
    fail "$program.exe has no manifest asking for asInvoker and long paths"
  [[ $(grep -o '<supportedOS Id=' <<<"$manifest" | wc -l) == 4 ]] ||
    fail "$program.exe's manifest does not name Windows 7, 8, 8.1 and 10/11"
  # The usage screen converts through the system's ANSI code page; the manifest must not pick one.
  if grep -q activeCodePage <<<"$manifest"; then fail "$program.exe's manifest sets activeCodePage"; fi
done
echo "version resources and manifests of both programs as built for $version"

echo "== reproducible: two builds of this commit at one path, byte-identical packages"
# The tools alone, built from nothing twice in the same directory; the packages of the first
# are kept aside and compared with those of the second.
again=build/reproduce
for preset in native mingw; do
  for round in 1 2; do
    rm -rf "${again:?}/$preset"
    cmake --preset "$preset" -B "$again/$preset" -DOSTRAKIT_TESTS=OFF >/dev/null
    cmake --build "$again/$preset" >/dev/null
    (cd "$again/$preset" && cpack -B packages >/dev/null)
    if ((round == 1)); then
      rm -rf "$scratch/first-$preset"
      mv "$again/$preset/packages" "$scratch/first-$preset"
    fi
  done
  for made in "$scratch/first-$preset"/*.deb "$scratch/first-$preset"/*.rpm \
              "$scratch/first-$preset"/*.zip; do
    [[ -f $made ]] || continue
    cmp "$made" "$again/$preset/packages/${made##*/}" ||
      fail "${made##*/} differs between two builds at the same path"
    echo "${made##*/}: $(sha256sum <"$made" | cut -c1-64) both times"
  done
done
rm -rf "$again"
ls -l "$deb" "$zip"
