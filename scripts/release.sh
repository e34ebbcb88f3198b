#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds every release artifact into build/release/, with one SHA256SUMS that lists them all:
#   ostrakit_<version>_amd64.deb and ostrakit_<version>_arm64.deb  Debian and Ubuntu
#   ostrakit-<version>-1.x86_64.rpm                                 Fedora, RHEL and their kin
#   ostrakit-<version>-linux-x86_64.tar.gz, -linux-aarch64.tar.gz   static tools, any Linux
#   ostrakit-<version>-win64.zip and ostrakit-<version>-win64.msi   Windows
# and, from those, the winget and Scoop manifests in build/release/winget and scoop.
# Run as root on Debian 12 from the checkout; it installs what it needs first. Everything is
# dated by the last commit (SOURCE_DATE_EPOCH), so two runs of one commit give the same bytes,
# in any directory.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "release.sh: not a git checkout: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH

bash scripts/install-deps.sh release
release=build/release
rm -rf "$release"
mkdir -p "$release"
# Each preset's packages: the .deb and the .rpm of the native build, the arm64 .deb, the two
# static archives and the Windows .zip. A build tree already configured keeps its settings, and
# becomes a release build, which records its source as /usr/src/ostrakit-<version> (Windows:
# C:/src/ostrakit-<version>) wherever the checkout is; "cmake --preset" alone makes it a
# development build again.
for preset in native aarch64 static aarch64-static mingw; do
  cmake --preset "$preset" -DOSTRAKIT_RELEASE=ON >/dev/null
  cmake --build --preset "$preset" >/dev/null
  rm -rf "build/$preset/packages"
  (cd "build/$preset" && cpack -B packages >/dev/null)
  find "build/$preset/packages" -maxdepth 1 -type f ! -name SHA256SUMS -exec cp {} "$release/" \;
done
bash packaging/windows-installers.sh "$release"

# shellcheck disable=SC2094 # find leaves SHA256SUMS out of what it lists
(cd "$release" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort |
  xargs sha256sum >SHA256SUMS)
echo "release.sh: in $release:"
cat "$release/SHA256SUMS"
