#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages a task needs, skipping those already there.
#   install-deps.sh build   what building and running the tools needs
#   install-deps.sh release that, and what scripts/release.sh needs for every artifact
#   install-deps.sh test    that, and everything the whole test suite uses
set -euo pipefail

build=(cmake ninja-build g++ attr)
# Every artifact of scripts/release.sh: the native build with its tests, the aarch64 and
# Windows cross builds, the manual pages as HTML (mandoc), the .deb (dpkg-dev for
# dpkg-shlibdeps, and file, which CPack runs on the binaries to find them) and the .rpm.
release=("${build[@]}" libgtest-dev g++-aarch64-linux-gnu g++-mingw-w64-x86-64 mandoc dpkg-dev
         file rpm)
# The .msi (wixl, and msitools to complete and read it; faketime dates it, python3 reads the
# programs' versions and names its codes).
release+=(wixl msitools faketime python3)
test=("${release[@]}" wine64 ntfs-3g fuse3 strace valgrind)
# The suite against the other builds: the i686 tools run directly (the 32-bit loader in
# libc6-i386), or under qemu-user where the kernel does not run i386 programs; the aarch64 ones
# under qemu-user.
test+=(g++-i686-linux-gnu libc6-i386 qemu-user-static)
# The manual-page lint (mandoc, man-db) and the packages' checks: lintian, devscripts for
# hardening-check, rpmlint, and the German texts of the C library that the static tools must
# find as the dynamic ones do (locales, libc-l10n).
test+=(man-db lintian devscripts rpmlint locales libc-l10n)
# The FAQ's recipes of copying a file with its streams.
test+=(rsync zip unzip)
# The fuzzer: clang and its libFuzzer runtime.
test+=(clang-14 libclang-rt-14-dev)
# The manifests' check.
test+=(python3-yaml)
# A Samba file server on loopback, whose client's streams the suite writes and deletes.
test+=(samba samba-vfs-modules smbclient)
# The shell scripts' check.
test+=(shellcheck)
# The set-up's check in a Debian 12 root made afresh.
test+=(debootstrap)

case "${1:-build}" in
  build) wanted=("${build[@]}") ;;
  release) wanted=("${release[@]}") ;;
  test) wanted=("${test[@]}") ;;
  *) echo "usage: $0 build|release|test" >&2; exit 2 ;;
esac

# A package whose triggers are still to run (another package's install queued them, as man-db
# does) is unpacked and configured: it counts as installed, with no call to the network.
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
    grep -Eqx 'install ok (installed|triggers-pending|triggers-awaited)' || missing+=("$package")
done
# apt_get ARGS...: apt-get ARGS, waiting while another apt holds its locks, as a fresh machine's
# automatic updates do in its first minutes: for dpkg's through apt's own DPkg::Lock::Timeout;
# for those of the package lists and the download cache, on which apt-get does not wait, by
# trying again every 10 s. Either wait ends after 15 minutes. In the C locale, whose messages
# are the ones looked for.
apt_get() {
  local log tries=0
  log=$(mktemp)
  until LC_ALL=C apt-get -o DPkg::Lock::Timeout=900 "$@" 2>"$log"; do
    if ! grep -q '^E: Could not get lock' "$log" || ((++tries > 90)); then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    ((tries > 1)) || echo "install-deps: waiting for another apt to finish: $(head -n 1 "$log")"
    sleep 10
  done
  cat "$log" >&2
  rm -f "$log"
}
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt_get update -qq
  DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
