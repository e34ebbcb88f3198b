#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what scripts/release.sh made in build/release, as package-check.sh checks the amd64
# .deb and the .zip (which it makes itself from the same builds):
#   SHA256SUMS   names every artifact, and nothing else, with its hash;
#   arm64 .deb   the amd64 .deb's files for arm64, a C library dependency, lintian silent;
#   .rpm         rpmlint's one error the missing signature; licence, summary, compressed
#                manual pages, no system directory owned; rpm -i --root installs it and the
#                tools run from there;
#   .tar.gz      the programs, both manual pages, LICENSE and README; fully static, stripped
#                copies of the builds whose own code calls the stack protector and fortified
#                functions; the x86-64 tools run in a root that holds nothing but them, the
#                aarch64 ones under qemu-aarch64-static in a root that holds nothing but it
#                and them; German texts from the static tools as from the dynamic ones;
#   every one    names its source under /usr/src/ostrakit-<version> (C:/src/ostrakit-<version>
#                for Windows), not where it was built: ostraprune of each, the Windows ones
#                under Wine, reports a missing file;
#   built again  release.sh in a copy of this tree in another directory, with the same
#                SOURCE_DATE_EPOCH, makes the same SHA256SUMS: 1.5 minutes more on 2 cores
#                (3.5 while other builds share them), most of it the native build's tests.
# Run after scripts/release.sh (scripts/test.sh runs both), with the SOURCE_DATE_EPOCH it had.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() {
  echo "release-check: $*" >&2
  exit 1
}
release=build/release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
[[ -n $version && -f $release/SHA256SUMS ]] || fail "no release in $release (bash scripts/release.sh)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== SHA256SUMS"
expected=("ostrakit_${version}_amd64.deb" "ostrakit_${version}_arm64.deb" "ostrakit-${version}-1.x86_64.rpm"
          "ostrakit-${version}-linux-x86_64.tar.gz" "ostrakit-${version}-linux-aarch64.tar.gz"
          "ostrakit-${version}-win64.zip" "ostrakit-${version}-win64.msi")
(cd "$release" && sha256sum --quiet --strict -c SHA256SUMS) || fail "SHA256SUMS does not match"
[[ $(cut -d' ' -f3 "$release/SHA256SUMS") == "$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)" ]] ||
  fail "SHA256SUMS does not name exactly ${expected[*]}: $(cat "$release/SHA256SUMS")"
[[ $(find "$release" -maxdepth 1 -type f ! -name SHA256SUMS | wc -l) == "${#expected[@]}" ]] ||
  fail "$release holds files that SHA256SUMS does not name"
echo "${#expected[@]} artifacts, each named with its hash"

echo "== arm64 .deb"
amd64=$release/ostrakit_${version}_amd64.deb arm64=$release/ostrakit_${version}_arm64.deb
[[ $(dpkg-deb --field "$arm64" Architecture) == arm64 ]] || fail "the arm64 .deb is not for arm64"
[[ $(dpkg-deb --field "$arm64" Depends) =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] ||
  fail "the arm64 .deb does not depend on the C library: $(dpkg-deb --field "$arm64" Depends)"
names() { dpkg-deb --contents "$1" | awk '{print $6}'; }
[[ $(names "$arm64") == "$(names "$amd64")" ]] || fail "the two .debs hold different files"
dpkg-deb -x "$arm64" "$scratch/arm64"
for program in ostrapour ostraprune; do
  file -b "$scratch/arm64/usr/bin/$program" | grep -q 'ARM aarch64.*dynamically linked' ||
    fail "$program in the arm64 .deb is not a dynamic aarch64 program"
done
bash tests/packaging/lintian-as-user.sh "$arm64" || fail "lintian does not pass the arm64 .deb"
echo "same files as amd64, $(dpkg-deb --field "$arm64" Depends), no lintian tag"

echo "== .rpm"
rpm=$release/ostrakit-${version}-1.x86_64.rpm
lint=$(rpmlint "$rpm" 2>&1) || true
echo "$lint" | grep -E '^ostrakit' || true
errors=$(grep -E '^ostrakit[^ ]*: E: ' <<<"$lint" | grep -v ': E: no-signature$' || true)
[[ -z $errors ]] || fail "rpmlint finds errors: $errors"
query() { rpm -qp --qf "$1" "$rpm"; }
[[ $(query '%{LICENSE}') == MIT && $(query '%{VERSION}') == "$version" ]] ||
  fail "the RPM is not $version under the MIT licence"
[[ -n $(query '%{SUMMARY}') && -n $(query '%{DESCRIPTION}') ]] || fail "the RPM has no summary or description"
owned=(/usr/bin/ostrapour /usr/bin/ostraprune /usr/share/doc/ostrakit /usr/share/doc/ostrakit/changelog.gz
       /usr/share/doc/ostrakit/copyright /usr/share/man/man1/ostrapour.1.gz /usr/share/man/man1/ostraprune.1.gz)
[[ $(rpm -qpl "$rpm" | LC_ALL=C sort) == "$(printf '%s\n' "${owned[@]}" | LC_ALL=C sort)" ]] ||
  fail "the RPM owns other paths than ${owned[*]}: $(rpm -qpl "$rpm")"
# The tools' one dependency, the C library, is the target system's: an empty root has none.
rpm_root=$scratch/rpm-root
rpm --root "$rpm_root" --initdb
rpm --root "$rpm_root" -i --nodeps "$rpm"
[[ $(rpm --root "$rpm_root" -q ostrakit) == "ostrakit-$version-1.x86_64" ]] || fail "rpm -i did not install it"
zcat "$rpm_root/usr/share/man/man1/ostrapour.1.gz" | grep -qx ".Os ostrakit $version" ||
  fail "the RPM's ostrapour page is not that of $version"
echo "installed" >"$scratch/f"
{ printf 'IN' | "$rpm_root/usr/bin/ostrapour" "$scratch/f" && [[ $(cat "$scratch/f") == INstalled ]]; } ||
  fail "the ostrapour that rpm installed does not write in place"
{ "$rpm_root/usr/bin/ostraprune" "$scratch/f" && [[ ! -e $scratch/f ]]; } || fail "the installed ostraprune does not delete"
echo "MIT, ${#owned[@]} paths and no system directory; installed with rpm -i --root and run"

# run_in_root ROOT PREFIX...: the tools in ROOT, which holds nothing but them (and the runner
# that PREFIX names), write a stream and a file in place, delete both, report a missing file.
run_in_root() {
  local root=$1
  shift
  printf 'placeholder\n' >"$root/note"
  setfattr -n user.origin -v "" "$root/note"
  printf 'streamed' | chroot "$root" "$@" /ostrapour /note:origin
  [[ $(getfattr --absolute-names --only-values -n user.origin "$root/note") == streamed ]] || fail "$*: the stream was not written"
  printf 'PLACE' | chroot "$root" "$@" /ostrapour /note
  [[ $(cat "$root/note") == PLACEholder ]] || fail "$*: the file was not written in place"
  chroot "$root" "$@" /ostraprune /note:origin
  chroot "$root" "$@" /ostraprune /note
  [[ ! -e $root/note ]] || fail "$*: the file was not deleted"
  if chroot "$root" "$@" /ostraprune /note 2>"$scratch/error"; then fail "$*: a missing file was deleted"; fi
  grep -q ':DeleteFileW([0-9]*): No such file or directory$' "$scratch/error" ||
    fail "$*: unexpected diagnostic: $(cat "$scratch/error")"
  { chroot "$root" "$@" /ostrapour 2>&1 || true; } | head -n 1 |
    grep -qx "ostrakit $version - file and named stream tools" || fail "$*: no usage screen for $version"
}

# A German user sees the C library's German texts, which the static tools read from the same
# locale data and message catalogues as the dynamic ones.
german=de_DE.UTF-8
locale -a | grep -qx de_DE.utf8 || localedef -i de_DE -f UTF-8 "$german"

for processor in x86_64 aarch64; do
  echo "== linux-$processor.tar.gz"
  archive=$release/ostrakit-${version}-linux-$processor.tar.gz
  folder=ostrakit-${version}-linux-$processor
  members=(LICENSE README ostrapour ostrapour.1 ostraprune ostraprune.1)
  [[ $(tar tzf "$archive" | LC_ALL=C sort) == "$(printf "$folder/%s\n" "${members[@]}")" ]] ||
    fail "$archive does not hold exactly $folder/ with ${members[*]}"
  tar xzf "$archive" -C "$scratch"
  unpacked=$scratch/$folder
  cmp -s "$unpacked/LICENSE" LICENSE || fail "LICENSE is not the licence"
  grep -q "ostrakit $version for Linux ($processor, static)" "$unpacked/README" || fail "README is not that of $version"
  for page in ostrapour ostraprune; do
    grep -qx ".Os ostrakit $version" "$unpacked/$page.1" || fail "$page.1 is not the page of $version"
  done
  if [[ $processor == x86_64 ]]; then
    build=build/static objdump=objdump emulator=() runner=()
  else
    build=build/aarch64-static objdump=aarch64-linux-gnu-objdump
    emulator=("$(command -v qemu-aarch64-static)") runner=(/qemu-aarch64-static)
  fi
  for program in ostrapour ostraprune; do
    tool=$unpacked/$program
    if readelf -lW "$tool" | grep -q INTERP || readelf -dW "$tool" | grep -q NEEDED; then
      fail "$program for $processor names an interpreter or a library"
    fi
    file -b "$tool" | grep -q 'static-pie linked' || fail "$program for $processor is not static-pie"
    # The symbols are stripped from the archive's copy: they are read from the build, of which
    # it is the stripped copy.
    "${objdump%objdump}strip" -o "$scratch/stripped" "$build/$program"
    cmp -s "$scratch/stripped" "$tool" || fail "$program for $processor is not the stripped $build/$program"
    calls=$("$objdump" -dC --no-show-raw-insn "$build/$program" |
      awk '/^[0-9a-f]+ <.*>:$/ {own = /ostrakit::|<main>/} own && /(call|bl)[ \t]/ {sub(/.*</, "<"); print}')
    grep -q '<__stack_chk_fail>' <<<"$calls" || fail "$program for $processor has no stack protector in its own code"
    grep -qE '<_*[a-z]+_chk>' <<<"$calls" || fail "$program for $processor calls no fortified function"
  done
  root=$scratch/root-$processor
  mkdir "$root"
  cp "$unpacked/ostrapour" "$unpacked/ostraprune" "$root/"
  ((${#emulator[@]})) && cp "${emulator[@]}" "$root/"
  run_in_root "$root" "${runner[@]}"
  in_german=(env -u LANGUAGE -u LC_MESSAGES LC_ALL="$german")
  dynamic=$("${in_german[@]}" build/native/ostraprune "$scratch/missing" 2>&1 || true)
  static=$("${in_german[@]}" "${emulator[@]}" "$unpacked/ostraprune" "$scratch/missing" 2>&1 || true)
  [[ $static == "$dynamic" && $static == *"Datei oder Verzeichnis nicht gefunden" ]] ||
    fail "in German the static ostraprune says '$static', the dynamic one '$dynamic'"
  echo "static, hardened, stripped copies of $build; run in a root holding nothing else${runner:+ but qemu}; German as the dynamic tools"
done

echo "== the source the programs name"
# Each artifact's ostraprune reports a missing file: its source under the release's fixed
# directory, whatever directory the release was built in, and the line of the check.
line=$(grep -n 'REPORT_AND_EXIT("DeleteFileW")' ostraprune/ostraprune.cpp | cut -d: -f1)
site="ostrakit-$version/ostraprune/ostraprune.cpp:DeleteFileW($line):"
dpkg-deb -x "$amd64" "$scratch/amd64"
zip=$PWD/$release/ostrakit-$version-win64.zip
(cd "$scratch" && cmake -E tar xf "$zip")
msiextract -C "$scratch/msi" "$release/ostrakit-$version-win64.msi" >/dev/null
qemu=$(command -v qemu-aarch64-static)
wine=(env "WINEPREFIX=${WINEPREFIX:-$PWD/build/native/tests/wine-prefix}" WINEDEBUG=-all /usr/lib/wine/wine64)
# names_source ARTIFACT DIRECTORY COMMAND...: COMMAND, the ostraprune of ARTIFACT, says that
# "missing" is missing, naming its source under DIRECTORY.
names_source() {
  local artifact=$1 wanted="$2/$site" said
  shift 2
  # Wine may say something of its own first.
  said=$(cd "$scratch" && { LC_ALL=C "$@" missing </dev/null 2>&1 >/dev/null || true; } |
    tr -d '\r' | grep -m 1 -F ':DeleteFileW(') || true
  [[ $said == "$wanted "?* ]] || fail "the ostraprune of $artifact says '$said', not '$wanted ...'"
}
names_source "the amd64 .deb" /usr/src "$scratch/amd64/usr/bin/ostraprune"
names_source "the arm64 .deb" /usr/src "$qemu" -L /usr/aarch64-linux-gnu "$scratch/arm64/usr/bin/ostraprune"
names_source "the .rpm" /usr/src "$rpm_root/usr/bin/ostraprune"
names_source linux-x86_64.tar.gz /usr/src "$scratch/ostrakit-$version-linux-x86_64/ostraprune"
names_source linux-aarch64.tar.gz /usr/src "$qemu" "$scratch/ostrakit-$version-linux-aarch64/ostraprune"
names_source "the .zip" C:/src "${wine[@]}" "$scratch/ostrakit-$version-win64/ostraprune.exe"
names_source "the .msi" C:/src "${wine[@]}" "$scratch/msi/ostrakit/ostraprune.exe"
echo "all ${#expected[@]} name /usr/src/$site (C:/src/... on Windows)"

echo "== built again elsewhere"
# The whole release made again from a copy of this tree in another directory, dated as the
# first: every artifact must be the same, byte for byte.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    fail "not a git checkout: set the SOURCE_DATE_EPOCH that release.sh had"
fi
export SOURCE_DATE_EPOCH
elsewhere=$scratch/elsewhere/ostrakit
mkdir -p "$elsewhere"
tar -cf - --exclude=./build --exclude=./.git . | tar -xf - -C "$elsewhere"
started=$SECONDS
# The copy's builds get what these were configured with (maintainer, homepage, download
# address), which release.sh keeps.
for preset in native aarch64 static aarch64-static mingw; do
  mapfile -t settings < <(sed -n 's/^\(OSTRAKIT_[A-Z_]*:STRING=\)/-D\1/p' "build/$preset/CMakeCache.txt")
  (cd "$elsewhere" && cmake --preset "$preset" --no-warn-unused-cli "${settings[@]}" >/dev/null)
done
bash "$elsewhere/scripts/release.sh" >"$scratch/elsewhere.log" 2>&1 ||
  { tail -n 20 "$scratch/elsewhere.log" >&2; fail "release.sh failed in $elsewhere"; }
if ! diff "$release/SHA256SUMS" "$elsewhere/build/release/SHA256SUMS"; then
  for program in build/{native,aarch64,static,aarch64-static}/ostra{pour,prune} build/mingw/ostra{pour,prune}.exe; do
    cmp -s "$program" "$elsewhere/$program" || echo "$program differs" >&2
  done
  fail "the release made in $elsewhere differs from $release"
fi
echo "the same SHA256SUMS from $elsewhere, made in $((SECONDS - started)) s"
ls -l "$release"
