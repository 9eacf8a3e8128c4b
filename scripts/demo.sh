#!/bin/bash
# Builds the demo host and runs it on Linux, then under Wine against each
# Varnex.dll: the x86_64 one on wine64, the i686 one (the product) on the
# 32-bit Wine loader under qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset linux >/dev/null
cmake --build --preset linux --target varnex_demo -j"$(nproc)" >/dev/null
echo "== Linux: libvarnex.so"
build/linux/tools/varnex-demo "$@"

stop_sessions() {
    tests/windows/wine-session.sh stop x86_64 build/win64/wine >/dev/null 2>&1
    tests/windows/wine-session.sh stop i686 build/win32/wine >/dev/null 2>&1
}
trap stop_sessions EXIT
for build in win64 win32; do
    arch=x86_64
    [ "$build" = win32 ] && arch=i686
    cmake --preset "$build" >/dev/null
    cmake --build --preset "$build" --target varnex varnex_demo -j"$(nproc)" >/dev/null
    echo "== Windows $arch under Wine: Varnex.dll"
    tests/windows/wine-session.sh prefix "$arch" "build/$build/wine" >/dev/null
    tests/windows/wine-session.sh start "$arch" "build/$build/wine" >/dev/null
    (cd "build/$build/bin" && ../wine-run.sh varnex-demo.exe "$@")
    tests/windows/wine-session.sh stop "$arch" "build/$build/wine" >/dev/null
done
