#!/bin/bash
# deb.sh [--arch arm64] [BUILD_DIR]
# Builds the Debian packages libvarnex1, libvarnex-dev and python3-varnex
# into BUILD_DIR/packages (default build/deb/packages, or build/deb-arm64/
# packages): the library and its tools for the /usr prefix, with Debian's own
# compiler and linker flags; with --arch arm64, for 64-bit ARM with Debian's
# cross compiler.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
arch=
if [ "${1:-}" = --arch ]; then
    arch=$2
    shift 2
    [ "$arch" = arm64 ] || { echo "deb.sh: --arch takes arm64 (or nothing, for this machine's)"; exit 2; }
fi
build_dir=${1:-$source_dir/build/deb${arch:+-$arch}}
"$source_dir/scripts/install-deps.sh"

cross=()
if [ "$arch" = arm64 ]; then
    # The tools' manual pages come from a native build: help2man runs the
    # tool, which cannot run here.
    pages_dir=$build_dir/native-pages
    cmake -S "$source_dir" -B "$pages_dir" -DVARNEX_BUILD_TESTS=OFF -DVARNEX_BUILD_BENCH=OFF >/dev/null
    cmake --build "$pages_dir" --target varnex_tool_pages -j "$(nproc)" >/dev/null
    # dpkg-buildflags and dpkg-shlibdeps (run by CPack) read the
    # architecture the packages are for from here.
    export DEB_HOST_ARCH=arm64
    # GNUInstallDirs gives a cross build plain lib/, not Debian's multiarch folder.
    cross=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/aarch64-linux-gnu.cmake" -DVARNEX_TOOL_PAGES_DIR="$pages_dir/man"
        -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -a arm64 -qDEB_HOST_MULTIARCH 2>/dev/null)")
fi

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$source_dir" -B "$build_dir" "${cross[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
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
