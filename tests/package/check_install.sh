#!/bin/bash
# Installs the build into a fresh prefix, then builds and runs a consumer
# against that copy: once with find_package(Varnex), once with pkg-config;
# with a Python directory as the second argument, imports the Python package
# from there and checks that it loads the library installed beside it.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
# The copy, not the build tree, must be what the consumer finds.
test -f "$work/prefix/include/varnex.h"

cmake -S "$source_dir/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name varnex.pc)")
export PKG_CONFIG_PATH
g++ -std=c++17 "$source_dir/consumer/main.cpp" -o "$work/pkg-config-consumer" \
    $(pkg-config --cflags --libs varnex) -Wl,-rpath,"$(pkg-config --variable=libdir varnex)"
"$work/pkg-config-consumer"

if [ -n "${2:-}" ]; then
    python_dir="$work/prefix/$2"
    (cd "$work" && PYTHONPATH="$python_dir" /usr/bin/python3 -c '
import sys, varnex
assert varnex.library_path().startswith(sys.argv[1]), varnex.library_path()
print("varnex", varnex.version(), "from", varnex.library_path())' "$python_dir")
fi
