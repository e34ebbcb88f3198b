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
# file_version EXE: the program's version from its fixed version resource (VS_FIXEDFILEINFO).
file_version() {
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit(sys.argv[1] + " has no version resource")
high, low = struct.unpack_from("<II", data, at + 8)
print(f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}")
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
# '*' makes it the system's, and ";[~]" keeps what PATH already holds after the folder. It goes
# in front because Wine's msiexec, which proves the package here, takes out only the separator
# after the folder: at the end it would leave a ';' behind, in front PATH comes back byte for
# byte. Windows Installer takes out either whole. In front it shadows nothing: the folder holds
# the two programs alone, and only administrators may write to it. The entry belongs to
# ostrapour.exe's component, so it comes and goes with the program. The two actions stand where
# Windows Installer's standard sequence puts them.
# shellcheck disable=SC2016 # the backquotes quote SQL names for msibuild, not commands
queries=(
  'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)'
  "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('PATH', '=-*PATH', '[INSTALLDIR];[~]', 'ostrapour')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
)
# A versioned file is replaced by version, so it carries its version and no hash (which is for
# unversioned files only).
for program in ostrapour ostraprune; do
  queries+=("UPDATE \`File\` SET \`Version\` = '$(file_version "$scratch/$folder/$program.exe")' WHERE \`File\` = '$program.exe'"
            "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$program.exe'")
done
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
# install would be a second, per-user copy beside it. Scoop, whose installs are per-user
# without elevation, takes the .zip.
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
