#!/usr/bin/env bash
# Builds the .deb and the Windows .zip from the native and mingw builds, installs the .deb with
# dpkg, runs the installed tools from PATH, shows a manual page and removes the package again.
# Run as root after both builds (scripts/test.sh does both first).
set -euo pipefail
cd "$(dirname "$0")/.."

package=ostrakit
installed=(/usr/bin/ostrapour /usr/bin/ostraprune
           /usr/share/man/man1/ostrapour.1.gz /usr/share/man/man1/ostraprune.1.gz)

fail() {
  echo "package-check: $*" >&2
  exit 1
}
is_installed() {
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'
}

echo "== .deb"
rm -rf build/native/packages
(cd build/native && cpack -B packages >/dev/null)
deb=$(echo build/native/packages/${package}_*.deb)
[[ -f $deb ]] || fail "no .deb was made"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

# A CI machine may still carry the package of a run that was cut short; anywhere else it is the
# user's, and left alone.
if is_installed && [[ ${CI:-} == true ]]; then dpkg -r "$package" >/dev/null; fi
if is_installed; then fail "$package is already installed; remove it first (dpkg -r $package)"; fi
for file in "${installed[@]}"; do
  [[ ! -e $file ]] || fail "$file exists before the install; refusing to overwrite it"
done
trap 'is_installed && dpkg -r "$package" >/dev/null' EXIT

# Minimal images exclude /usr/share/man in /etc/dpkg/dpkg.cfg.d/; an include given on the command
# line comes after those and wins, so the manual pages arrive either way.
dpkg --path-include='/usr/share/man/man1/ostra*' -i "$deb"
for file in "${installed[@]}"; do [[ -f $file ]] || fail "$file was not installed"; done

echo "== the installed tools, from PATH"
scratch=$(mktemp -d)
(
  cd "$scratch"
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  [[ $(command -v ostrapour) == /usr/bin/ostrapour ]] || fail "ostrapour is not the installed one"
  [[ $(command -v ostraprune) == /usr/bin/ostraprune ]] || fail "ostraprune is not the installed one"
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
  echo "ostrapour and ostraprune from /usr/bin: stream and file written and deleted"
)
rm -rf "$scratch"

echo "== man ostrapour"
if command -v man >/dev/null; then
  MANPAGER=cat MANWIDTH=80 man ostrapour | sed -n 1,12p
  MANPAGER=cat man ostraprune | grep -q 'delete a file or one named stream' ||
    fail "man ostraprune does not show the page"
else
  fail "man is not installed (Debian: man-db)"
fi

echo "== dpkg -r"
dpkg -r "$package"
is_installed && fail "$package is still installed"
for file in "${installed[@]}"; do [[ ! -e $file ]] || fail "$file is left after dpkg -r"; done
echo "removed cleanly: ${installed[*]} are gone"

echo "== Windows .zip"
rm -rf build/mingw/packages
(cd build/mingw && cpack -B packages >/dev/null)
zip=$(echo build/mingw/packages/${package}-*-win64.zip)
[[ -f $zip ]] || fail "no .zip was made"
listing=$(cmake -E tar tvf "$zip")
echo "$listing"
for member in ostrapour.exe ostraprune.exe README.txt; do
  grep -q "/$member\$" <<<"$listing" || fail "$member is missing from $zip"
done
unpacked=$(mktemp -d)
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$zip")
for program in "$unpacked"/*/ostrapour.exe "$unpacked"/*/ostraprune.exe; do
  [[ $(head -c2 "$program") == MZ ]] || fail "$(basename "$program") is not a Windows program"
done
grep -qv $'\r$' "$unpacked"/*/README.txt && fail "README.txt has a line that does not end in CR LF"
rm -rf "$unpacked"
ls -l "$deb" "$zip"
