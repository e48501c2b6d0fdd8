#!/bin/sh
# Usage: fetch_musl.sh DIR
# Unpacks Debian's musl-dev:i386 (musl's static C library for i386) under DIR
# for the benchmarks, without installing it: installed, it would displace the
# multilib compiler packages the build needs. Does nothing, and fails, where
# the package manager does not offer i386 packages.
set -eu
dir=$1
command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || exit 1
dpkg --print-foreign-architectures | grep -qx i386 || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download -qq musl-dev:i386) || exit 1
rm -rf "$dir"
dpkg-deb -x "$work"/musl-dev_*_i386.deb "$dir"
test -f "$dir/usr/lib/i386-linux-musl/libc.a"
