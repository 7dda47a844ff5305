#!/usr/bin/env bash
# Tests the Debian package on a fresh Debian 12: a minimal bookworm made by
# debootstrap, copied afresh for every run and used as a chroot, which sees
# none of this machine's files. The folder the package was built in is moved
# away while the test runs. There `apt-get install ./voluna_*.deb` must pull
# in everything the package needs; then voluna-filter filters the sample,
# voluna opens it under Xvfb, `man voluna-filter` shows its page, a
# find_package(Voluna) project builds and gives voluna-filter's bytes, and
# `apt-get purge` (with the dependencies it pulled in) leaves no package and
# none of Voluna's paths behind, and takes nothing that was there before.
#   scripts/test-deb.sh [PACKAGE.deb]
# Run as root. Without a package, scripts/package.sh makes one. The
# bookworm base and the downloaded packages are kept in VOLUNA_DEB_CACHE
# (default /var/tmp/voluna-deb-cache) for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
start=$SECONDS
log() { echo "test-deb: [$((SECONDS - start)) s] $*"; }
die() {
  echo "test-deb: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || die "run as root: it uses debootstrap, mount and chroot"

cache=${VOLUNA_DEB_CACHE:-/var/tmp/voluna-deb-cache}
mirror=${VOLUNA_DEB_MIRROR:-http://deb.debian.org/debian}
if [ $# -ge 1 ]; then
  deb=$(realpath "$1")
else
  deb=$(bash scripts/package.sh | tail -n 1)
fi
[ -f "$deb" ] || die "no package at '$deb'"
name=$(basename "$deb")

work=$(mktemp -d /var/tmp/voluna-deb-test.XXXXXX)
root=$work/root
build_dir=$(dirname "$deb")
moved=""
cleanup() {
  for mount in var/cache/apt/archives dev/pts dev sys proc; do
    if mountpoint -q "$root/$mount" 2> /dev/null; then
      umount "$root/$mount" 2> /dev/null || { sleep 1; umount "$root/$mount" 2> /dev/null; } || umount -l "$root/$mount"
    fi
  done
  if [ -n "$moved" ]; then mv "$moved" "$build_dir"; fi
  # Only once nothing is mounted below it, or the host's /dev would go too.
  if grep -q " $work/" /proc/mounts; then
    echo "test-deb: $work is still mounted; remove it once it is not" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT

# What the build gives for the sample, to compare the installed program with.
cp "$deb" "$work/$name"
reference=""
if [ -x "$build_dir/bin/voluna-filter" ]; then
  "$build_dir/bin/voluna-filter" -o "$work/reference.nrrd" data/crossing-tubes.mhd > /dev/null
  reference=$(sha256sum < "$work/reference.nrrd" | cut -d ' ' -f 1)
fi
if [ -f "$build_dir/CMakeCache.txt" ]; then
  mv "$build_dir" "$build_dir.moved-away"
  moved="$build_dir.moved-away"
  log "moved the build folder $build_dir away"
fi

if [ ! -d "$cache/base" ]; then
  command -v debootstrap > /dev/null || apt-get install -y -qq debootstrap > /dev/null
  log "making a minimal Debian 12 with debootstrap (once; kept in $cache/base)"
  rm -rf "$cache/base.tmp"
  mkdir -p "$cache"
  debootstrap --variant=minbase bookworm "$cache/base.tmp" "$mirror" > "$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; die "debootstrap failed"; }
  mv "$cache/base.tmp" "$cache/base"
fi
mkdir -p "$root" "$cache/archives"
cp -a "$cache/base/." "$root/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The package was built against this machine's bookworm, updates included.
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  rm -f "$root/etc/apt/sources.list"
  cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
fi
# No services start in a chroot.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
# Every file but what changes on its own (logs, caches, apt's and dpkg's
# records) and the scratch folders.
snapshot() {
  in_root find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /root \
    -o -path /var/cache -o -path /var/log -o -path /var/lib/apt -o -path /var/lib/dpkg \) -prune -o -print |
    LC_ALL=C sort
}

# Up to date, as a machine that is looked after is, and with the tools the
# test itself uses, installed the way the package is (recommended packages
# too), so that what the package pulls in is all that is new.
log "fresh bookworm in $root; bringing it up to date and installing the test's own tools"
in_root apt-get update -qq
{ in_root apt-get upgrade -y -qq && in_root apt-get install -y -qq xvfb xauth x11-utils man-db cmake g++ make; } \
  > "$work/tools.log" 2>&1 || { tail -n 20 "$work/tools.log" >&2; die "the test's own tools did not install"; }
snapshot > "$work/before.txt"
# What is installed now stays: autoremove is to take back what the package
# pulled in, however the base system's packages recommend or suggest it.
in_root sh -c 'apt-mark showauto | xargs -r apt-mark manual' > /dev/null
in_root dpkg-query -W -f '${Package}\n' | LC_ALL=C sort > "$work/packages-before.txt"

cp "$work/$name" "$root/tmp/$name"
log "apt-get install ./$name"
install_start=$SECONDS
in_root sh -c "cd /tmp && apt-get install -y ./$name" > "$work/install.log" 2>&1 ||
  { tail -n 30 "$work/install.log" >&2; die "apt-get could not install the package"; }
log "installed in $((SECONDS - install_start)) s: $(grep -E '^[0-9]+ upgraded' "$work/install.log")"

failures=0
check() {
  local what=$1
  shift
  if "$@" > "$work/check.log" 2>&1; then
    log "ok: $what"
  else
    log "FAILED: $what"
    sed 's/^/    /' "$work/check.log"
    failures=$((failures + 1))
  fi
}

check "every program and library finds its libraries" in_root sh -c '
  for f in /usr/bin/voluna /usr/bin/voluna-filter $(dpkg -L voluna | grep "\.so"); do
    [ -f "$f" ] || continue
    if ldd "$f" | grep "not found"; then echo "$f"; exit 1; fi
  done'
check "voluna-filter filters the sample" in_root sh -c '
  cd /tmp && voluna-filter -o sample.nrrd /usr/share/voluna/crossing-tubes.mhd &&
  voluna-filter --preserve-edges -o sample-edges.nrrd /usr/share/voluna/crossing-tubes.mhd'
if [ -n "$reference" ]; then
  check "its result is the build's, byte for byte" sh -c \
    "[ \"\$(sha256sum < '$root/tmp/sample.nrrd' | cut -d ' ' -f 1)\" = $reference ]"
fi
check "man voluna-filter shows its page" in_root sh -c \
  'MANWIDTH=80 man -P cat voluna-filter | tee /tmp/man.txt | grep -q -- "--samples" && head -n 12 /tmp/man.txt'
check "man voluna shows its page" in_root sh -c 'MANWIDTH=80 man -P cat voluna | grep -q "VOLUME"'
check "voluna opens the sample under Xvfb" in_root sh -c '
  cd /tmp && xvfb-run -a -s "-screen 0 1280x1024x24" sh -c "
    voluna /usr/share/voluna/crossing-tubes.mhd > viewer.log 2>&1 &
    viewer=\$!
    for i in \$(seq 1 60); do
      sleep 1
      if xwininfo -root -tree | grep -q \"crossing-tubes.mhd - Voluna\"; then found=yes; break; fi
      kill -0 \$viewer 2> /dev/null || break
    done
    kill \$viewer 2> /dev/null; wait \$viewer 2> /dev/null
    cat viewer.log
    [ \"\${found:-no}\" = yes ]"'
cp -r "$source_dir/tests/install/consumer" "$source_dir/tests/install/headers" "$root/tmp/"
check "a find_package(Voluna) project builds and gives voluna-filter's bytes" in_root sh -c '
  cd /tmp && cmake -S consumer -B consumer-build > cmake.log && cmake --build consumer-build > build.log &&
  consumer-build/voluna-consumer /usr/share/voluna/crossing-tubes.mhd library.nrrd > /dev/null &&
  cmp sample.nrrd library.nrrd &&
  consumer-build/voluna-consumer --preserve-edges /usr/share/voluna/crossing-tubes.mhd library-edges.nrrd \
    > /dev/null && cmp sample-edges.nrrd library-edges.nrrd'
check "every installed header compiles on its own" in_root sh -c '
  cd /tmp && cmake -S headers -B headers-build > /dev/null && cmake --build headers-build'
check "the Python package gives voluna-filter's result" in_root sh -c '
  cd /tmp && python3 -c "
import voluna
result = voluna.filter(voluna.read(\"/usr/share/voluna/crossing-tubes.mhd\").array)
assert (result == voluna.read(\"sample.nrrd\").array).all()
print(voluna.__file__)"'
check "3D Slicer's module folder holds voluna-filter" in_root sh -c '
  /usr/libexec/voluna/slicer-modules/VolunaFilter --xml | head -n 1 | grep -q "^<?xml "'
check "file managers know the volume types" in_root sh -c '
  [ ! -x /usr/bin/update-mime-database ] || grep -q "image/x-nifti-gzip:\*\.nii\.gz" /usr/share/mime/globs2'

# Voluna's own paths: its files and the folders it brought.
in_root dpkg -L voluna | LC_ALL=C sort -u | comm -13 "$work/before.txt" - > "$work/voluna-paths.txt"
log "apt-get purge voluna, then autoremove what it pulled in"
in_root apt-get purge -y voluna > "$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; die "purge failed"; }
in_root apt-get autoremove --purge -y -o APT::AutoRemove::RecommendsImportant=false \
  -o APT::AutoRemove::SuggestsImportant=false > "$work/autoremove.log" 2>&1 ||
  { cat "$work/autoremove.log" >&2; die "autoremove failed"; }
snapshot > "$work/after.txt"
in_root dpkg-query -W -f '${Package}\n' | LC_ALL=C sort > "$work/packages-after.txt"
kept=$(comm -13 "$work/packages-before.txt" "$work/packages-after.txt" | tr '\n' ' ')
[ -z "$kept" ] || { log "FAILED: packages it pulled in are still installed: $kept"; failures=$((failures + 1)); }
comm -23 "$work/before.txt" "$work/after.txt" > "$work/gone.txt"
comm -13 "$work/before.txt" "$work/after.txt" > "$work/added.txt"
# A path left behind is Voluna's when it is one of its paths or lies below one
# (byte-compiled Python files, say); the rest was made by the maintainer
# scripts of packages it pulled in, which their own removal leaves.
awk 'NR == FNR { own[$0] = 1; next }
     { for (p = $0; p != ""; sub(/\/[^\/]*$/, "", p)) if (p in own) { print; next } }' \
  "$work/voluna-paths.txt" "$work/added.txt" > "$work/voluna-left.txt"
if [ -s "$work/gone.txt" ]; then
  log "FAILED: the removal took paths that were there before:"
  awk 'NR <= 40 { print "    " $0 }' "$work/gone.txt"
  failures=$((failures + 1))
fi
if [ -s "$work/voluna-left.txt" ]; then
  log "FAILED: the removal left Voluna's paths behind:"
  awk 'NR <= 40 { print "    " $0 }' "$work/voluna-left.txt"
  failures=$((failures + 1))
fi
if [ ! -s "$work/gone.txt" ] && [ ! -s "$work/voluna-left.txt" ]; then
  log "ok: nothing of the package's $(wc -l < "$work/voluna-paths.txt") paths is left, and nothing else went" \
    "($(wc -l < "$work/before.txt") paths compared)"
fi
if [ -s "$work/added.txt" ]; then
  log "note: paths the maintainer scripts of packages it pulled in made, which their removal leaves:" \
    "$(tr '\n' ' ' < "$work/added.txt")"
fi
left=$(in_root dpkg -l | awk '/^rc/ { print $2 }')
[ -z "$left" ] || { log "FAILED: packages left with their configuration: $left"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  die "$failures checks failed after $((SECONDS - start)) s"
fi
log "all checks passed in $((SECONDS - start)) s"
