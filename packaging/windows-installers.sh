#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Windows installers of a release from its .zip, into the release's folder:
#   RELEASE_DIR/ostrakit-<version>-win64.msi   Windows Installer package (packaging/ostrakit.wxs)
#   RELEASE_DIR/winget/                        winget's three-file manifest, pointing at the .msi
#   RELEASE_DIR/scoop/ostrakit.json            Scoop's manifest, pointing at the .zip
# Usage: packaging/windows-installers.sh RELEASE_DIR
# RELEASE_DIR must hold ostrakit-<version>-win64.zip, as CPack makes it in build/mingw. The
# version, the homepage and the download address are read from build/mingw/CMakeCache.txt
# (CMAKE_PROJECT_VERSION, OSTRAKIT_HOMEPAGE, OSTRAKIT_DOWNLOAD_URL).
# Environment:
#   OSTRAKIT_RELEASE_VERSION=X.Y.Z  the .zip's version, instead of the build's
#   OSTRAKIT_MSI_VERSION=X.Y.Z      makes the .msi alone, ostrakit-X.Y.Z-win64.msi, from the same
#                                   .zip but as product version X.Y.Z: the lower version that the
#                                   upgrade check installs first
#   SOURCE_DATE_EPOCH               dates the package: the same .zip gives the same .msi bytes
# The manifests carry the SHA-256 of the files beside them. The MSI's product code follows from
# its version, and its package code from the version and what it is made of (the .zip, the WiX
# source and this script).
set -euo pipefail
fail() {
  echo "windows-installers: $*" >&2
  exit 1
}
(($# == 1)) || { sed -n '3,/^[^#]/s/^# \{0,1\}//p' "$0" >&2; exit 2; }
mkdir -p "$1"
release=$(realpath "$1")
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh release

cache=build/mingw/CMakeCache.txt
cached() { [[ -f $cache ]] && sed -n "s/^$1:[A-Z]*=//p" "$cache"; true; }
version=${OSTRAKIT_RELEASE_VERSION:-$(cached CMAKE_PROJECT_VERSION)}
[[ -n $version ]] || fail "build/mingw is not configured (cmake --preset mingw)"
msi_version=${OSTRAKIT_MSI_VERSION:-$version}
[[ $msi_version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "'$msi_version' is not a version X.Y.Z"
homepage=$(cached OSTRAKIT_HOMEPAGE)
download=$(cached OSTRAKIT_DOWNLOAD_URL)
zip_name=ostrakit-$version-win64.zip
zip=$release/$zip_name
msi_name=ostrakit-$msi_version-win64.msi
msi=$release/$msi_name
[[ -f $zip ]] || fail "no $zip_name in $release (cd build/mingw && cpack -B packages)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cmake -E tar xf "$zip")
folder=ostrakit-$version-win64
[[ -f $scratch/$folder/ostrapour.exe && -f $scratch/$folder/ostraprune.exe ]] ||
  fail "$zip_name does not unpack to $folder/ with both programs"

# sha256 FILE: the file's SHA-256, lower-case hex.
sha256() { sha256sum "$1" | cut -c1-64; }
# name_uuid NAME: a GUID derived from the fixed UpgradeCode and NAME (RFC 4122 version 5).
wxs=packaging/ostrakit.wxs
upgrade_code=$(sed -n 's/.*UpgradeCode="\([-0-9A-F]*\)".*/\1/p' "$wxs")
name_uuid() {
  python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
    "$upgrade_code" "$1"
}
# version_resource EXE: the program's version, from its fixed version resource
# (VS_FIXEDFILEINFO), and the language of its texts, from the resource's "Translation" value
# (a language ID and a code page, each 16 bits), as "1.1.0.0 1033".
version_resource() {
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit(sys.argv[1] + " has no version resource")
high, low = struct.unpack_from("<II", data, at + 8)
# The value follows its key, padded to 32 bits (the resource sits 32-bit aligned in the file).
key = "Translation\0".encode("utf-16-le")
at = data.find(key, at)
if at < 0:
    sys.exit(sys.argv[1] + " names no language in its version resource")
at = (at + len(key) + 3) & ~3
language, _ = struct.unpack_from("<HH", data, at)
print(f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF} {language}")
EOF
}
# short_names MSI: an UPDATE of the File table for each file whose name is no 8.3 name, giving
# it the form "SHORT~1.EXT|long name" that Windows Installer's File table asks for, shortened
# as Windows shortens names: the name's letters and digits up to its last dot, upper-case, the
# first six of them, "~" and the first number not yet taken in the folder, then the first three
# of the extension's.
short_names() {
  msiinfo export "$1" Component >"$scratch/Component.idt"
  msiinfo export "$1" File >"$scratch/File.idt"
  python3 - "$scratch/Component.idt" "$scratch/File.idt" <<'EOF'
import re, sys
def rows(path):  # an exported table's rows, below its three lines of heading
    return [line.rstrip("\r\n").split("\t") for line in open(path).readlines()[3:]]
folder_of = {row[0]: row[2] for row in rows(sys.argv[1])}
files = rows(sys.argv[2])
name_8_3 = re.compile(r"[^\\?|><:/*\"+,;=\[\]. ]{1,8}(\.[^\\?|><:/*\"+,;=\[\]. ]{1,3})?")
taken = {}
for _, component, name, *_ in files:
    taken.setdefault(folder_of[component], set()).add(name.split("|")[0].upper())
for key, component, name, *_ in files:
    if "|" in name or name_8_3.fullmatch(name):
        continue
    stem, _, extension = name.rpartition(".") if "." in name else (name, "", "")
    stem, extension = (re.sub("[^0-9A-Z_]", "", part.upper()) for part in (stem, extension))
    extension = "." + extension[:3] if extension else ""
    names = taken[folder_of[component]]
    number = 1
    while f"{stem[:6]}~{number}{extension}" in names:
        number += 1
    short = f"{stem[:6]}~{number}{extension}"
    names.add(short)
    print(f"UPDATE `File` SET `FileName` = '{short}|{name}' WHERE `File` = '{key}'")
EOF
}

product_code=$(name_uuid "ProductCode $msi_version")
package_code=$(name_uuid "PackageCode $msi_version $(cat "$zip" "$wxs" packaging/windows-installers.sh | sha256 -)")
# wixl dates the package by the clock, and knows no SOURCE_DATE_EPOCH: faketime gives it that.
dated=()
if [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then
  dated=(env TZ=UTC faketime -f "$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')")
fi
# wixl takes its sources relative to the current directory.
(cd "$scratch" && "${dated[@]}" wixl --arch x64 -D Version="$msi_version" \
   -D ProductCode="$product_code" -D SourceDir="$folder" -D Homepage="$homepage" \
   -o "$scratch/$msi_name" "$OLDPWD/$wxs")

# What wixl cannot write. The PATH entry: '=' sets it on install, '-' takes it out on uninstall,
# '*' makes it the system's, and "[~];" keeps what PATH already holds in front of the folder.
# It goes at the end, as Windows Installer's documentation and other installers have it: the
# folder may be set on the command line (INSTALLDIR=...), and one that users may write to must
# never be searched before System32. Wine's msiexec, which proves the package here, leaves the
# ';' in front of the entry behind when it takes it out (Windows Installer takes both), so the
# check compares PATH by its entries. The entry belongs to ostrapour.exe's component, so it
# comes and goes with the program. The two actions stand where Windows Installer's standard
# sequence puts them.
# shellcheck disable=SC2016 # the backquotes quote SQL names for msibuild, not commands
queries=(
  'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)'
  "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'ostrapour')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
)
# The uninstall entry's location (InstallLocation, shown in Programs and Features): a property
# set to the folder (custom action type 51) once CostFinalize has resolved it, before
# RegisterProduct writes the entry. wixl would make that action deferred and run it last.
queries+=(
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('SetARPINSTALLLOCATION', 51, 'ARPINSTALLLOCATION', '[INSTALLDIR]')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('SetARPINSTALLLOCATION', 1001)"
)
# A versioned file is replaced by version, so it carries its version, and the language its
# version resource names, and no hash (which is for unversioned files only).
for program in ostrapour ostraprune; do
  resource=$(version_resource "$scratch/$folder/$program.exe")
  read -r file_version file_language <<<"$resource"
  queries+=("UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '$file_language' WHERE \`File\` = '$program.exe'"
            "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$program.exe'")
done
# Each file's 8.3 name beside its long one.
shortened=$(short_names "$scratch/$msi_name")
[[ -z $shortened ]] || mapfile -t -O "${#queries[@]}" queries <<<"$shortened"
arguments=()
for query in "${queries[@]}"; do arguments+=(-q "$query"); done
msibuild "$scratch/$msi_name" "${arguments[@]}"
subject=$(msiinfo suminfo "$scratch/$msi_name" | sed -n 's/^Subject: //p')
msibuild "$scratch/$msi_name" -s "$subject" "The ostrakit authors" "x64;1033" "{$package_code}"
mv "$scratch/$msi_name" "$msi"
echo "windows-installers: $msi"
[[ -z ${OSTRAKIT_MSI_VERSION:-} ]] || exit 0

# ---- The manifests ------------------------------------------------------------------------
# What the build leaves empty becomes an address that can never resolve (.invalid), named in a
# comment at the top of each manifest, and a release fills it in. "$version" stands for the
# version in the download address.
missing=()
if [[ -z $download ]]; then
  # shellcheck disable=SC2016 # $version is left for winget and Scoop to fill in
  download='https://set-ostrakit-download-url.invalid/$version'
  missing+=(OSTRAKIT_DOWNLOAD_URL)
fi
if [[ -z $homepage ]]; then
  homepage='https://set-ostrakit-homepage.invalid/'
  missing+=(OSTRAKIT_HOMEPAGE)
fi
placeholder=
if ((${#missing[@]})); then
  placeholder="Placeholder addresses (.invalid): set ${missing[*]} in build/mingw (cmake -D) and run packaging/windows-installers.sh again, or replace them before publishing."
fi
download_at=${download//\$version/$version}
summary="Write into and delete files and their NTFS named streams"
description="ostrapour copies its standard input, byte for byte, into a file or named stream that already exists, in place from the first byte, never creating and never shortening it. ostraprune deletes a file, or one named stream of it."

# winget installs the .msi rather than the .zip as a portable package: the MSI is the package
# proven here under Windows Installer (Wine's), it is what administrators deploy, and through
# it winget, msiexec and Group Policy all make the same one installation, with one entry in
# Programs and Features that each of them sees, the PATH entry, and major upgrades. A portable
# install would be a second, per-user copy beside it. winget runs the .msi with /quiet, where
# Windows Installer asks for no elevation and a per-machine install fails from a shell that is
# not elevated: elevationRequired makes winget ask for it first. Scoop, whose installs are
# per-user without elevation, takes the .zip.
identifier=ostrakit.ostrakit
manifest_version=1.6.0
rm -rf "$release/winget" "$release/scoop"
mkdir -p "$release/winget" "$release/scoop"
# head_lines KIND: the lines each winget file of that kind begins with.
head_lines() {
  echo "# yaml-language-server: \$schema=https://aka.ms/winget-manifest.$1.$manifest_version.schema.json"
  [[ -z $placeholder ]] || echo "# $placeholder"
  echo "PackageIdentifier: $identifier"
  echo "PackageVersion: '$version'"
}
{
  head_lines version
  echo "DefaultLocale: en-US"
  echo "ManifestType: version"
  echo "ManifestVersion: $manifest_version"
} >"$release/winget/$identifier.yaml"
{
  head_lines defaultLocale
  cat <<EOF
PackageLocale: en-US
Publisher: The ostrakit authors
PublisherUrl: '$homepage'
PackageName: ostrakit
PackageUrl: '$homepage'
License: MIT
ShortDescription: '$summary'
Description: '$description'
Moniker: ostrakit
Tags:
  - ntfs
  - alternate-data-streams
  - command-line
ManifestType: defaultLocale
ManifestVersion: $manifest_version
EOF
} >"$release/winget/$identifier.locale.en-US.yaml"
{
  head_lines installer
  cat <<EOF
MinimumOSVersion: 10.0.0.0
InstallerType: msi
Scope: machine
ElevationRequirement: elevationRequired
InstallModes:
  - silent
  - silentWithProgress
UpgradeBehavior: install
Commands:
  - ostrapour
  - ostraprune
ProductCode: '{$product_code}'
AppsAndFeaturesEntries:
  - DisplayName: ostrakit
    Publisher: The ostrakit authors
    DisplayVersion: '$version'
    ProductCode: '{$product_code}'
    UpgradeCode: '{$upgrade_code}'
Installers:
  - Architecture: x64
    InstallerUrl: '$download_at/$msi_name'
    InstallerSha256: $(sha256 "$msi" | tr a-f A-F)
ManifestType: installer
ManifestVersion: $manifest_version
EOF
} >"$release/winget/$identifier.installer.yaml"

# Scoop: checkver finds the newest .zip named on the homepage; autoupdate takes its hash from
# the release's SHA256SUMS.
PLACEHOLDER=$placeholder VERSION=$version SUMMARY=$summary HOMEPAGE=$homepage \
URL=$download_at/$zip_name HASH=$(sha256 "$zip") FOLDER=$folder DOWNLOAD=$download \
python3 - "$release/scoop/ostrakit.json" <<'EOF'
import json, os, sys
env = os.environ
manifest = {"##": env["PLACEHOLDER"]} if env["PLACEHOLDER"] else {}
manifest |= {
    "version": env["VERSION"],
    "description": env["SUMMARY"],
    "homepage": env["HOMEPAGE"],
    "license": "MIT",
    "architecture": {"64bit": {"url": env["URL"], "hash": env["HASH"],
                               "extract_dir": env["FOLDER"]}},
    "bin": ["ostrapour.exe", "ostraprune.exe"],
    "checkver": {"url": env["HOMEPAGE"], "regex": r"ostrakit-([\d.]+)-win64\.zip"},
    "autoupdate": {
        "architecture": {"64bit": {"url": env["DOWNLOAD"] + "/ostrakit-$version-win64.zip",
                                   "extract_dir": "ostrakit-$version-win64"}},
        "hash": {"url": "$baseurl/SHA256SUMS", "regex": r"$sha256\s+\*?$basename"},
    },
}
with open(sys.argv[1], "w") as out:
    json.dump(manifest, out, indent=4)
    out.write("\n")
EOF
echo "windows-installers: $release/winget/ ($identifier, the .msi) and $release/scoop/ostrakit.json (the .zip)"
