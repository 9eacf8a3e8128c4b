#!/bin/bash
# Installs, as root on Debian 12, whatever the builds and tests need that the
# machine lacks (doxygen for the reference, help2man for the tools' manual
# pages, man-db to read a page in the package test, Debian's Rust and crates
# for bindings/rust, Node.js with npm, node-gyp, its headers and tsc for the
# npm package, the aarch64 cross compiler with arm64's runtime libraries and
# mmdebstrap for the ARM build and its Python); `install-deps.sh bench` adds what the benchmark's charts need.
# Quiet when everything is there.
set -euo pipefail

packages=(
    cmake g++ make pkgconf python3 python3-pytest googletest libbenchmark-dev
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64
    wine64 wine wine32:i386 xvfb
    llvm-14 clang-14 lld-14
    python3-build python3-venv lintian dpkg-dev mono-mcs mono-runtime
    doxygen help2man man-db
    cargo rustc librust-tokio-dev librust-futures-core-dev librust-tokio-stream-dev librust-libc-dev
    g++-aarch64-linux-gnu mmdebstrap
    libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64 libbenchmark-dev:arm64
)
if [ "${1:-}" = bench ]; then
    packages+=(python3-matplotlib)
fi
# The i686 DLL runs on the 32-bit Wine loader under qemu's user-mode emulation.
# bookworm's own qemu 7.2 ignores MAP_FIXED_NOREPLACE (a minute of CPU per Wine
# start) and crashes when a guest thread ends while another spins: qemu comes
# from bookworm-backports.
# The wheel's build backend is scikit-build-core, which bookworm has only in
# backports (with the newer python3-packaging it needs).
backports_packages=(qemu-user-static python3-scikit-build-core)
backports_list=/etc/apt/sources.list.d/varnex-backports.sources

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Node.js: Debian's nodejs, npm and node-gyp, the headers (libnode-dev) and
# tsc (node-typescript). A machine that carries NodeSource's nodejs has its
# own npm (with node-gyp) and headers in the same places, and Debian's npm,
# node-gyp and libnode-dev cannot sit beside it: apt would replace it with
# nodejs:i386, which this kernel cannot run. There the package is built
# against the Node that is there, and only tsc is added.
if [ "$(dpkg-query -S /usr/include/node/node_api.h 2>/dev/null | cut -d: -f1)" = nodejs ]; then
    packages+=(node-typescript)
else
    native=$(dpkg --print-architecture)
    packages+=("nodejs:$native" npm node-gyp "libnode-dev:$native" node-typescript)
fi

export DEBIAN_FRONTEND=noninteractive
updated=false
apt_update() {
    # A mirror caught mid-sync fails one index (apt exits 100) while the
    # others still serve every package needed: the install decides.
    $updated || apt-get update -q || echo "apt-get update failed for some index; installing from what it fetched"
    updated=true
}

# i386 for the 32-bit Wine loader; arm64 for the aarch64 build's C and C++
# runtimes (dpkg-shlibdeps reads their shlibs) and Google Benchmark.
for architecture in i386 arm64; do
    if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
        dpkg --add-architecture "$architecture"
        updated=false
    fi
done
if [ ! -f "$backports_list" ]; then
    # The same archive the machine already uses, one suite further.
    archive=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    cat >"$backports_list" <<SOURCES
Types: deb
URIs: ${archive:-http://deb.debian.org/debian}
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
fi

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt_update
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

missing=()
for package in "${backports_packages[@]}"; do
    if ! installed "$package" ||
        ! dpkg-query -W -f='${Version}' "$package" | grep -q '~bpo'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    # qemu brings qemu-user-binfmt, which registers its interpreters where
    # binfmt_misc is mounted. The tests start the loader under qemu
    # themselves: an i386 entry this install added is taken out again.
    binfmt_i386=/proc/sys/fs/binfmt_misc/qemu-i386
    had_binfmt_i386=false
    [ -e "$binfmt_i386" ] && had_binfmt_i386=true
    echo "installing from bookworm-backports: ${missing[*]}"
    apt_update
    apt-get install -y -q --no-install-recommends -t bookworm-backports "${missing[@]}"
    if ! $had_binfmt_i386 && [ -e "$binfmt_i386" ]; then
        echo -1 >"$binfmt_i386"
    fi
fi
