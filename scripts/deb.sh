#!/bin/bash
# Builds the Debian packages libvarnex1, libvarnex-dev and python3-varnex
# into BUILD_DIR/packages (default build/deb/packages): the library and its
# tools for the /usr prefix, with Debian's own compiler and linker flags.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/deb}
"$source_dir/scripts/install-deps.sh"

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DVARNEX_DEBIAN_PACKAGES=ON \
    -DVARNEX_BUILD_TESTS=OFF -DVARNEX_BUILD_BENCH=OFF \
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    "-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" >/dev/null
rm -f "$build_dir"/packages/*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
ls "$build_dir"/packages/*.deb
