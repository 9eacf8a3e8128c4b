#!/bin/bash
# debian_python.sh ARCH DIR
# Debian's python3 and python3-pytest for ARCH, with every package they
# depend on, unpacked into DIR by mmdebstrap's extract variant (nothing in
# it is configured or run), from the archive the machine already uses. Made
# once: a DIR that was completed is kept. An emulated build's Python runs as
# `qemu-aarch64-static -L DIR DIR/usr/bin/python3`.
set -euo pipefail
arch=$1
dir=$2
[ -f "$dir/.complete" ] && exit 0
rm -rf "$dir"
archive=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
mmdebstrap --quiet --variant=extract --arch="$arch" --include=python3,python3-pytest,libstdc++6,libgcc-s1 \
    bookworm "$dir" "${archive:-http://deb.debian.org/debian}"
touch "$dir/.complete"
