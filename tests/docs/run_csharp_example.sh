#!/bin/bash
# Compiles a C# example with the binding, as a host's project would (Mono's
# mcs at C# 7), and runs it on Mono over LIBRARY, found as DllImport("varnex")
# finds it.
set -euo pipefail
library=$1
example=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mcs -langversion:7 -warnaserror -out:"$work/host.exe" "$source_dir/bindings/dotnet/Varnex.cs" "$example"
ln -s "$(realpath "$library")" "$work/libvarnex.so"
LD_LIBRARY_PATH="$work" mono "$work/host.exe"
