#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Follows the README's set-up where nothing is installed yet: a Debian 12 root made by
# debootstrap (minbase, with git and ca-certificates), from the Debian archive this machine's apt
# uses; the checkout's last commit cloned into it; `bash scripts/demo.sh` run there; then every
# build preset configured and built, each once the set of install-deps.sh that should serve it
# is installed, the test set last. Run as root.
# Status 77, with the reason, where the archive cannot be reached (or this machine's apt names
# no Debian 12 archive) or root may not chroot.
#   bash tests/setup/pristine-root.sh
# The root as debootstrap leaves it is kept as build/pristine-root/root.tar, so a second run
# skips debootstrap, and the packages apt downloads in the root are kept in
# build/pristine-root/archives.
set -euo pipefail
SKIP=77
cd "$(dirname "$0")/../.."
checkout=$PWD
keep=$checkout/build/pristine-root
say() { echo "pristine-root: $*"; }
not_applying() { echo "pristine-root: SKIPPED: $*"; exit $SKIP; }

# archive_uri: the first Debian archive of this machine's apt that serves bookworm, from
# either form of its sources (one-line or deb822).
archive_uri() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+bookworm[[:space:]].*/\2/p' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    # One stanza a paragraph: its URIs where its Suites hold bookworm itself.
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uri = ""; ok = 0
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^URIs:/) { split($i, w, /[[:space:]]+/); uri = w[2] }
             if ($i ~ /^Suites:/ && $i ~ /[[:space:]]bookworm([[:space:]]|$)/) ok = 1
           }
           if (ok && uri != "") print uri }' "$file"
  done
}

((EUID == 0)) || { echo "pristine-root: run it as root: it runs debootstrap and chroot" >&2; exit 1; }
mirror=$(archive_uri | head -n 1)
[[ -n $mirror ]] || not_applying "this machine's apt names no Debian 12 (bookworm) archive to make the root from"
mirror=${mirror%/}
probe=$(mktemp)
if ! /usr/lib/apt/apt-helper download-file "$mirror/dists/bookworm/InRelease" "$probe" >/dev/null 2>&1; then
  rm -f "$probe"
  not_applying "the Debian archive $mirror cannot be reached from here (its dists/bookworm/InRelease did not download)"
fi
rm -f "$probe"

mkdir -p "$keep/archives"
root=$(mktemp -d "$keep/root.XXXXXX")
mounts=()
# Every mount is undone and the root removed, whatever stopped the run; the tarball and the
# downloaded packages stay.
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount --recursive "${mounts[i]}" 2>/dev/null ||
      umount --recursive --lazy "${mounts[i]}" 2>/dev/null || true
  done
  # Only once nothing is mounted in it any more: never remove through a mount.
  if ! grep -qF " $root/" /proc/self/mounts; then rm -rf --one-file-system "$root"; fi
}
trap cleanup EXIT
# mount_in WHAT: WHAT of this machine bind-mounted at the same place in the root.
mount_in() {
  mkdir -p "$root$1"
  mount --rbind "$1" "$root$1"
  mount --make-rslave "$root$1"
  mounts+=("$root$1")
}

started=$SECONDS
if [[ -f $keep/root.tar ]]; then
  say "unpacking the root debootstrap made before ($keep/root.tar)"
  tar -xpf "$keep/root.tar" -C "$root"
else
  say "debootstrap --variant=minbase --include=git,ca-certificates bookworm from $mirror"
  debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" \
    >"$keep/debootstrap.log" 2>&1 ||
    { tail -n 20 "$keep/debootstrap.log" >&2; echo "pristine-root: debootstrap failed" >&2; exit 1; }
  tar -cpf "$keep/root.tar.partial" -C "$root" . && mv "$keep/root.tar.partial" "$keep/root.tar"
fi
# A top directory as any system has it, which users other than root (apt's _apt) may enter;
# mktemp made it, and the tarball keeps, root's alone.
chmod 755 "$root"
say "root ready after $((SECONDS - started)) s"

# What a network and a machine give any fresh install: a resolver, and the kernel's files. No
# service the packages bring may start in here (smbd would outlive the run and hold the root).
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
mount_in /proc
mount_in /sys
mount_in /dev
mkdir -p "$root/var/cache/apt/archives"
mount --bind "$keep/archives" "$root/var/cache/apt/archives"
mounts+=("$root/var/cache/apt/archives")

git clone -q --no-checkout "$checkout" "$root/root/ostrakit"
git -C "$root/root/ostrakit" checkout -q --detach "$(git -C "$checkout" rev-parse HEAD)"
say "cloned $(git -C "$checkout" rev-parse --short HEAD) into /root/ostrakit"

# in_root COMMAND: COMMAND run by bash in the clone inside the root, with a login's bare
# environment.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/ostrakit && $1"
}
# timed NAME COMMAND: COMMAND in the root, its output kept in build/pristine-root/last.log and
# its end shown on failure.
timed() {
  local name=$1 began=$SECONDS
  if ! in_root "$2" >"$keep/last.log" 2>&1; then
    tail -n 40 "$keep/last.log" >&2
    echo "pristine-root: FAILED: $name (after $((SECONDS - began)) s)" >&2
    return 1
  fi
  say "passed: $name ($((SECONDS - began)) s)"
}
timed "bash scripts/demo.sh" 'bash scripts/demo.sh'
cat "$keep/last.log"
# The README's build and install on the demo's configuration: programs on PATH, their manual
# pages beside.
timed "the README's build and install" 'cmake --build --preset native &&
  cmake --install build/native && printf x | ostrapour /dev/null &&
  ls /usr/local/share/man/man1/ostra{pour,prune}.1*'
# Each preset is built right after the smallest set of install-deps.sh that it needs is
# installed, so a preset that needs more than its set shows. Every preset cmake lists must be
# in one set.
declare -A set_of=([static]=build [native]=release [asan]=release [mingw]=release
                   [aarch64]=release [aarch64-static]=release [i686]=test [fuzz]=test)
presets=$(in_root 'cmake --list-presets=build' | sed -nE 's/^[[:space:]]+"([^"]+)".*/\1/p')
[[ -n $presets ]] || { echo "pristine-root: FAILED: cmake lists no build preset" >&2; exit 1; }
for preset in $presets; do
  [[ -n ${set_of[$preset]:-} ]] ||
    { echo "pristine-root: FAILED: the preset $preset is in no set of install-deps.sh here" >&2; exit 1; }
done
for set in build release test; do
  [[ $set == build ]] || timed "bash scripts/install-deps.sh $set" "bash scripts/install-deps.sh $set"
  for preset in $presets; do
    [[ ${set_of[$preset]} == "$set" ]] || continue
    timed "preset $preset configured and built with the $set set" \
      "cmake --preset $preset && cmake --build --preset $preset"
  done
done
say "everything passed in $((SECONDS - started)) s"
