#!/bin/bash
# Installs, as root on Debian 12, whatever the builds and tests need that the
# machine lacks. Quiet when everything is there.
set -euo pipefail

packages=(
    cmake g++ make pkgconf python3 googletest libbenchmark-dev
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64
    wine64 wine xvfb
    llvm-14 clang-14 lld-14
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
