#!/bin/bash
# Builds the demo host and runs it on Linux, then under wine64 against the
# x86_64 Varnex.dll.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset linux >/dev/null
cmake --build --preset linux --target varnex_demo -j"$(nproc)" >/dev/null
echo "== Linux: libvarnex.so"
build/linux/tools/varnex_demo "$@"

cmake --preset win64 >/dev/null
cmake --build --preset win64 --target varnex varnex_demo -j"$(nproc)" >/dev/null
echo "== Windows x86_64 under Wine: Varnex.dll"
tests/windows/wine-session.sh start build/win64/wine >/dev/null
trap 'tests/windows/wine-session.sh stop build/win64/wine' EXIT
(cd build/win64/bin && ../wine-run.sh varnex_demo.exe "$@")
