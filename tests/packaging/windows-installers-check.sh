#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves a release's Windows installers (packaging/windows-installers.sh) under Wine, in a Wine
# prefix made afresh for the run and removed after it:
#   0. with the SOURCE_DATE_EPOCH the release was made with, the .msi made again from the .zip
#      is the same, byte for byte;
# what Windows Installer reads in the package's tables (msiinfo export), which Wine's msiexec
# does not hold it to:
#   1. the PATH entry is appended to the system PATH on install and taken out on uninstall;
#   2. every file and folder has an 8.3 name, unique in its folder (validation rule ICE03);
#   3. every versioned file names its language (ICE60), 1033 as the programs' resources do;
#   4. the uninstall entry's location is set to the installation folder;
# and under Wine:
#   5. msiexec /i ... /qn installs the .msi into C:\Program Files\ostrakit;
#   6. the system PATH gains that folder as its last entry, and cmd finds ostrapour through it;
#   7. the Windows end-to-end suite, and the FAQ's cmd lines, pass against the installed
#      programs (build/native, as scripts/release.sh left it: a release build);
#   8. an older version over this one is refused, and an upgrade from an older one leaves one
#      installation with one PATH entry;
#   9. msiexec /x removes the files and the PATH entry, and PATH holds what it held before;
#  10. the winget and Scoop manifests parse, name the version and the checksums of the files
#      beside them, and winget asks for elevation before the per-machine install.
# PATH is compared by its ';'-separated entries: Wine leaves a ';' behind where it takes an
# entry out, which is no entry and changes nothing.
# Usage: tests/packaging/windows-installers-check.sh RELEASE_DIR
# Each step prints "windows-installers-check: passed: ..." with what it proved (scripts/test.sh
# counts those lines, and the suite's tests from ctest's summary); any failure ends the run
# with status 1. The version is read as packaging/windows-installers.sh reads it.
set -euo pipefail
fail() {
  echo "windows-installers-check: FAILED: $*" >&2
  exit 1
}
passed() { echo "windows-installers-check: passed: $*"; }
(($# == 1)) || { sed -n '3,/^[^#]/s/^# \{0,1\}//p' "$0" >&2; exit 2; }
release=$(realpath "$1")
cd "$(dirname "$0")/../.."
started=$SECONDS

version=${OSTRAKIT_RELEASE_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw/CMakeCache.txt 2>/dev/null)}
[[ -n $version ]] || fail "build/mingw is not configured (cmake --preset mingw)"
msi=$release/ostrakit-$version-win64.msi
zip=$release/ostrakit-$version-win64.zip
[[ -f $msi && -f $zip ]] || fail "$release lacks ostrakit-$version-win64.msi or .zip"
# A lower version of the same package, for the upgrade and the refused downgrade.
IFS=. read -r major minor patch <<<"$version"
if ((patch)); then older=$major.$minor.$((patch - 1))
elif ((minor)); then older=$major.$((minor - 1)).0
else older=$((major - 1)).0.0
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ostrakit-msi-check.XXXXXX")
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all LC_ALL=C.UTF-8
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# The server is stopped, and waited for, before its prefix goes.
trap '{ "$wineserver" -k && "$wineserver" -w; } 2>/dev/null; rm -rf "$scratch"' EXIT
mkdir -p "$scratch/older" "$scratch/work" "$WINEPREFIX"
ln -s "$zip" "$scratch/older/"
OSTRAKIT_RELEASE_VERSION=$version OSTRAKIT_MSI_VERSION=$older \
  bash packaging/windows-installers.sh "$scratch/older" >/dev/null
older_msi=$scratch/older/ostrakit-$older-win64.msi
if [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then
  mkdir "$scratch/again"
  ln -s "$zip" "$scratch/again/"
  OSTRAKIT_RELEASE_VERSION=$version bash packaging/windows-installers.sh "$scratch/again" >/dev/null
  cmp "$msi" "$scratch/again/${msi##*/}" || fail "the .msi made again from the .zip differs"
  passed "the .msi made again from the .zip is byte for byte the same (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
fi

# table NAME: the rows of one of the package's tables, tab-separated, without its heading.
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
# sequenced ACTION: where InstallExecuteSequence runs ACTION, and under which condition.
sequenced() { table InstallExecuteSequence | awk -F '\t' -v action="$1" '$1 == action { print $3 "|" $2 }'; }

# ---- 1. the PATH entry --------------------------------------------------------------------
# '=' sets it on install, '-' takes it out on uninstall, '*' makes it the system's; "[~];" in
# front keeps what PATH held before the folder, so a folder that users may write to (INSTALLDIR
# set on the command line) is never searched before System32. Wine takes the entry out even
# without the '-', and does not show where Windows puts it: the row is read here.
[[ $(table Environment) == $'PATH\t=-*PATH\t[~];[INSTALLDIR]\tostrapour' ]] ||
  fail "the Environment table does not append the folder to the system PATH: $(table Environment)"
[[ $(sequenced RemoveEnvironmentStrings) == "3300|" && $(sequenced WriteEnvironmentStrings) == "5200|" ]] ||
  fail "the environment actions are not where the standard sequence has them"
passed "the Environment table appends [INSTALLDIR] to the system PATH ([~];[INSTALLDIR], =-*), and its two actions run"

# ---- 2. 8.3 names (ICE03) -----------------------------------------------------------------
# Windows Installer takes a file's or folder's name as "SHORT|long", or one name that is both;
# the short one is an 8.3 name, and no two in one folder are the same.
/usr/bin/python3 - <(table File) <(table Component) <(table Directory) <<'EOF' ||
import re, sys
files, components, folders = ([line.split("\t") for line in open(path).read().splitlines()] for path in sys.argv[1:])
plain = r'[^\\?|><:/*"+,;=\[\]. ]'
short_name = re.compile(f"{plain}{{1,8}}(\\.{plain}{{1,3}})?")
long_name = re.compile(r'[^\\?|><:/*"]+')
folder_of = {row[0]: row[2] for row in components}
names = [(folder_of[row[1]], row[2]) for row in files]
# A folder's own name (its DefaultDir as installed, before any ':' source name); the root's is
# a property's name, not a folder's.
names += [(row[1], row[2].split(":")[0]) for row in folders if row[1] and row[2] != "."]
seen, wrong = set(), []
for folder, name in names:
    short, _, long = name.rpartition("|") if "|" in name else (name, "", name)
    if not short_name.fullmatch(short) or not long_name.fullmatch(long):
        wrong.append(f"'{name}' is not an 8.3 name and a long one")
    elif (folder, short.upper()) in seen:
        wrong.append(f"the short name of '{name}' is taken in {folder}")
    seen.add((folder, short.upper()))
sys.exit("; ".join(wrong) or None)
EOF
  fail "the File and Directory tables' names do not pass ICE03 (above)"
passed "every name in the File and Directory tables has an 8.3 name, one of its own in its folder (ICE03): $(table File | cut -f3 | grep -c '|') shortened"

# ---- 3. languages (ICE60) -----------------------------------------------------------------
# A versioned file that is not a font names its language; the programs' version resources
# name U.S. English, 1033. ("-" stands for an empty column.)
languages=$(table File | awk -F '\t' '$5 != "" { print $1, ($6 == "" ? "-" : $6) }')
[[ $languages == $'ostrapour.exe 1033\nostraprune.exe 1033' ]] ||
  fail "the File table's versioned files and their languages: $languages"
passed "the File table's versioned files, ostrapour.exe and ostraprune.exe, name their language, 1033 (ICE60)"

# ---- 4. the uninstall entry's location ----------------------------------------------------
# A property set to the folder (type 51) after CostFinalize resolves it, before
# RegisterProduct writes the entry; the Wine steps read the entry itself.
[[ $(table CustomAction) == $'SetARPINSTALLLOCATION\t51\tARPINSTALLLOCATION\t[INSTALLDIR]\t' ]] ||
  fail "no action sets ARPINSTALLLOCATION to the folder: $(table CustomAction)"
at=$(sequenced SetARPINSTALLLOCATION)
after=$(sequenced CostFinalize) before=$(sequenced RegisterProduct)
[[ $at == *"|" && ${at%|} -gt ${after%|} && ${at%|} -lt ${before%|} ]] ||
  fail "SetARPINSTALLLOCATION runs at '$at', not unconditionally between CostFinalize ($after) and RegisterProduct ($before)"
passed "ARPINSTALLLOCATION is set to [INSTALLDIR] between CostFinalize and RegisterProduct (sequence ${at%|})"

# windows FILE: the Windows name of a Linux path, on Wine's drive Z:.
windows() { local name=${1//\//\\}; echo "Z:$name"; }
# msiexec ARGS...: Wine's msiexec, its status as the shell sees it (1603 arrives as 67).
msiexec() { "$wine" msiexec "$@" </dev/null >/dev/null 2>&1; }
# registry_value KEY NAME: the value NAME of KEY.
registry_value() { "$wine" reg query "$1" /v "$2" | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
system_path() { registry_value 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' PATH; }
# path_entries: the system PATH's entries, one a line, as Windows searches them; an empty one
# (Wine leaves the ';' before an entry it takes out) is none.
path_entries() { system_path | tr ';' '\n' | sed '/^$/d'; }
# installations: one "DisplayName|DisplayVersion" line for each uninstall entry named ostrakit.
installations() {
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
    awk '/^HKEY/ { name = ""; shown = "" }
         $1 == "DisplayName" { name = $3 }
         $1 == "DisplayVersion" { shown = $3 }
         name == "ostrakit" && shown != "" { print name "|" shown; name = "" }'
}
# pour_through_path: cmd finds ostrapour through PATH from a folder that holds no program.
pour_through_path() {
  printf 'placeholder\n' >"$scratch/work/t.txt"
  (cd "$scratch/work" && "$wine" cmd /c "echo x| ostrapour t.txt" </dev/null >/dev/null 2>&1) || true
  cmp -s -n 3 "$scratch/work/t.txt" <(printf 'x\r\n')
}
folder="$WINEPREFIX/drive_c/Program Files/ostrakit"
entry="C:\\Program Files\\ostrakit\\"
product_code=$(table Property | sed -n 's/^ProductCode\t//p')
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code"

# ---- A fresh prefix -----------------------------------------------------------------------
booted=$SECONDS
"$wineserver" -p30
"$wine" wineboot </dev/null >/dev/null 2>&1 || fail "wineboot could not make a prefix"
echo "windows-installers-check: a fresh Wine prefix in $((SECONDS - booted)) s"
original_path=$(system_path)
[[ -n $original_path && $original_path != *ostrakit* ]] || fail "the new prefix's PATH is '$original_path'"
# What PATH holds before the install, and with it: the folder once, as its last entry.
original_entries=$(path_entries)
installed_entries=$original_entries$'\n'$entry
if pour_through_path; then fail "ostrapour was found on PATH before any install"; fi

# ---- 5. install ---------------------------------------------------------------------------
msiexec /i "$(windows "$msi")" /qn || fail "msiexec /i ${msi##*/} /qn ended with status $?"
(cd "$scratch" && cmake -E tar xf "$zip")
[[ $(ls "$folder") == $(ls "$scratch/ostrakit-$version-win64") ]] ||
  fail "C:\\Program Files\\ostrakit holds $(cd "$folder" && printf '%s ' *)"
for file in "$scratch/ostrakit-$version-win64"/*; do
  cmp -s "$file" "$folder/${file##*/}" || fail "the installed ${file##*/} is not the .zip's"
done
[[ $(installations) == "ostrakit|$version" ]] || fail "uninstall entries: $(installations)"
[[ $(registry_value "$uninstall_key" InstallLocation) == "$entry" ]] ||
  fail "the uninstall entry's location is '$(registry_value "$uninstall_key" InstallLocation)'"
grep -q 'Comments *REG_SZ *Free software under the MIT licence' <<<"$("$wine" reg query \
  'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s)" || fail "the uninstall entry names no licence"
grep -q "^Comments: .* $version\. Free software under the MIT licence\.$" <<<"$(msiinfo suminfo "$msi")" ||
  fail "the package summary names no version or licence"
versions=$(msiinfo export "$msi" File | awk -F '\t' '$1 ~ /\.exe$/ { print $1, $5 }')
[[ $versions == "ostrapour.exe $version.0"$'\n'"ostraprune.exe $version.0" ]] ||
  fail "the File table does not carry the programs' versions: $versions"
passed "msiexec /i /qn installed the .zip's six files into C:\\Program Files\\ostrakit; one uninstall entry, $version, MIT licence, as the summary says, located in the folder; the programs' versions in the File table"

# ---- 6. PATH ------------------------------------------------------------------------------
[[ $(path_entries) == "$installed_entries" ]] || fail "the system PATH is '$(system_path)'"
pour_through_path || fail "cmd did not find ostrapour through PATH: t.txt holds '$(cat "$scratch/work/t.txt")'"
passed "the system PATH gained '$entry' as its last entry and nothing else; cmd found ostrapour through it (not before the install)"

# ---- 7. the end-to-end suite against the installed programs --------------------------------
# Its tests are those named wine.*, the FAQ's cmd lines (wine.faq_cmd_lines) among them.
[[ -x build/native/tests/e2e_wine_tests ]] || fail "build/native is not built (cmake --build --preset native)"
# The suite expects the source where its own build's tools name it: a release's for these.
grep -qx 'OSTRAKIT_RELEASE:BOOL=ON' build/native/CMakeCache.txt ||
  fail "build/native is a development build, not the release's (bash scripts/release.sh)"
OSTRAKIT_TOOL_DIR=$folder OSTRAKIT_E2E_REQUIRE=1 ctest --preset native -R '^wine\.' ||
  fail "the Windows end-to-end suite failed against the installed programs"
passed "the Windows end-to-end suite and the FAQ's cmd lines against C:\\Program Files\\ostrakit"

# ---- 8. no downgrade; an upgrade leaves one installation -----------------------------------
status=0
msiexec /i "$(windows "$older_msi")" /qn /l*v "$(windows "$scratch/downgrade.log")" || status=$?
((status == 1603 % 256)) || fail "installing $older over $version ended with status $status, not 1603"
grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = ' "$scratch/downgrade.log" ||
  fail "the refused downgrade's log does not show the newer version detected"
grep -q 'A newer version of ostrakit is already installed' <<<"$(msiinfo export "$older_msi" LaunchCondition)" ||
  fail "the package has no message for a refused downgrade"
[[ $(installations) == "ostrakit|$version" && $(path_entries) == "$installed_entries" ]] ||
  fail "the refused downgrade changed the installation: $(installations), PATH '$(system_path)'"
msiexec /x "$(windows "$msi")" /qn || fail "msiexec /x ended with status $?"
msiexec /i "$(windows "$older_msi")" /qn || fail "installing $older ended with status $?"
[[ $(installations) == "ostrakit|$older" ]] || fail "uninstall entries after installing $older: $(installations)"
msiexec /i "$(windows "$msi")" /qn || fail "upgrading to $version ended with status $?"
[[ $(installations) == "ostrakit|$version" ]] || fail "uninstall entries after the upgrade: $(installations)"
[[ $(path_entries) == "$installed_entries" ]] || fail "the PATH after the upgrade is '$(system_path)'"
passed "$older over $version refused (status 1603); $older upgraded to $version: one uninstall entry, one PATH entry"

# ---- 9. uninstall -------------------------------------------------------------------------
msiexec /x "$(windows "$msi")" /qn || fail "msiexec /x ${msi##*/} /qn ended with status $?"
[[ ! -e $folder ]] || fail "C:\\Program Files\\ostrakit is left: $(ls "$folder")"
[[ $(path_entries) == "$original_entries" ]] || fail "the PATH after msiexec /x is '$(system_path)'"
[[ -z $(installations) ]] || fail "uninstall entries are left: $(installations)"
if pour_through_path; then fail "ostrapour is still found on PATH after msiexec /x"; fi
left="byte for byte"
[[ $(system_path) == "$original_path" ]] || left="with the empty entries Wine left: '$(system_path)'"
passed "msiexec /x removed the folder, the uninstall entry and the PATH entry: PATH holds what it held before, in the same order ($left)"

# ---- 10. the manifests --------------------------------------------------------------------
# Debian's python3, which python3-yaml serves.
/usr/bin/python3 - "$release" "$version" "$product_code" <<'EOF' || fail "the manifests above do not match the release"
import hashlib, json, pathlib, sys, yaml
release, version, product_code = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
def beside(url):  # the release's file that a download address names, and its SHA-256
    data = (release / url.rsplit("/", 1)[1]).read_bytes()
    return hashlib.sha256(data).hexdigest()
def expect(ok, what):
    if not ok:
        sys.exit(f"manifest: {what}")
winget = {path.name: yaml.safe_load(path.read_text()) for path in (release / "winget").glob("*.yaml")}
kinds = {manifest["ManifestType"]: manifest for manifest in winget.values()}
expect(sorted(kinds) == ["defaultLocale", "installer", "version"], f"winget files: {sorted(winget)}")
for name, manifest in winget.items():
    expect(manifest["PackageVersion"] == version, f"{name} names version {manifest['PackageVersion']}")
    expect(tuple(map(int, manifest["ManifestVersion"].split("."))) >= (1, 6, 0), f"{name}: old schema")
    expect(manifest["PackageIdentifier"] == kinds["version"]["PackageIdentifier"], f"{name}: identifier")
installer = kinds["installer"]["Installers"][0]
expect(installer["InstallerUrl"].endswith(f"/ostrakit-{version}-win64.msi"), "winget: not the .msi")
expect(installer["InstallerSha256"].lower() == beside(installer["InstallerUrl"]), "winget: checksum")
expect(kinds["installer"]["ProductCode"] == product_code, "winget: not the .msi's product code")
# winget runs the .msi with /quiet, where Windows Installer asks for no elevation: winget must.
expect(installer.get("Scope", kinds["installer"].get("Scope")) == "machine", "winget: not per machine")
expect(installer.get("ElevationRequirement", kinds["installer"].get("ElevationRequirement"))
       == "elevationRequired", "winget: no elevation asked for the per-machine install")
scoop = json.loads((release / "scoop" / "ostrakit.json").read_text())
zip64 = scoop["architecture"]["64bit"]
expect(scoop["version"] == version and scoop["license"] == "MIT", "scoop: version or licence")
expect(zip64["url"].endswith(f"/ostrakit-{version}-win64.zip"), "scoop: not the .zip")
expect(zip64["hash"] == beside(zip64["url"]), "scoop: checksum")
expect(scoop["bin"] == ["ostrapour.exe", "ostraprune.exe"], f"scoop: bin {scoop['bin']}")
expect(scoop["checkver"] and "$version" in scoop["autoupdate"]["architecture"]["64bit"]["url"],
       "scoop: checkver or autoupdate")
EOF
passed "winget (3 files) and Scoop manifests parse and name $version and the checksums of the .msi and .zip beside them; winget asks for elevation (elevationRequired)"
echo "windows-installers-check: all steps passed in $((SECONDS - started)) s"
