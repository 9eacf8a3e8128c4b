#!/bin/bash
# Compiles the C# binding and its test with Mono's mcs at C# 7, then runs
# the test twice on Mono: over libvarnex.so as DllImport("varnex") finds it,
# and over libvarnex.so.1 alone through a <dllmap>, as the README tells a
# host without libvarnex-dev.
set -euo pipefail
library=$1
struct_layout=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mcs -langversion:7 -warnaserror -out:"$work/varnex_test.exe" \
    "$source_dir/bindings/dotnet/Varnex.cs" "$source_dir/tests/dotnet/VarnexTest.cs"
"$struct_layout" >"$work/layout.txt"

mkdir "$work/dev" "$work/runtime"
ln -s "$(realpath "$library")" "$work/dev/libvarnex.so"
LD_LIBRARY_PATH="$work/dev" mono "$work/varnex_test.exe" "$work/layout.txt"

cp "$(realpath "$library")" "$work/runtime/libvarnex.so.1"
cat >"$work/varnex_test.exe.config" <<'CONFIG'
<configuration>
  <dllmap dll="varnex" target="libvarnex.so.1" os="!windows"/>
</configuration>
CONFIG
LD_LIBRARY_PATH="$work/runtime" mono "$work/varnex_test.exe" "$work/layout.txt"
