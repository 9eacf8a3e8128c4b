#!/bin/bash
# Builds the Debian packages into BUILD_DIR and checks them unpacked into a
# scratch root: each package's files, stripped; their fields and
# dependencies; lintian; the tools and the Python package over libvarnex1's
# library alone. With VARNEX_TEST_INSTALLS=1 (bare-machine runs, as root) it
# also installs them with dpkg, builds consumers with pkg-config and
# find_package, imports the module with Debian's Python, and purges them.
# With ARCH arm64 (check_deb.sh BUILD_DIR VERSION arm64), the packages are
# the cross build's: their programs run under VARNEX_EMULATOR and the module
# under VARNEX_PYTHON, an arm64 Python (tests/package/debian_python.sh).
set -euo pipefail
build_dir=$1
version=$2
foreign_arch=${3:-}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
installed=false
cleanup() {
    if $installed; then
        dpkg -P python3-varnex libvarnex-dev libvarnex1 >/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "$*"; exit 1; }

if [ -n "$foreign_arch" ]; then
    "$source_dir/scripts/deb.sh" --arch "$foreign_arch" "$build_dir" >"$work/deb.log" 2>&1 || { cat "$work/deb.log"; exit 1; }
    arch=$foreign_arch
    read -r -a emulator <<<"$VARNEX_EMULATOR"
    python=$VARNEX_PYTHON
else
    "$source_dir/scripts/deb.sh" "$build_dir" >"$work/deb.log" 2>&1 || { cat "$work/deb.log"; exit 1; }
    arch=$(dpkg --print-architecture)
    emulator=()
    python=/usr/bin/python3
fi
packages=$build_dir/packages
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
[ "$(dpkg-deb -f "$packages/libvarnex1_${version}-1_${arch}.deb" Architecture 2>/dev/null)" = "$arch" ] ||
    fail "libvarnex1 is not for $arch: $(ls "$packages")"
runtime=$packages/libvarnex1_${version}-1_${arch}.deb
development=$packages/libvarnex-dev_${version}-1_${arch}.deb
python_deb=$packages/python3-varnex_${version}-1_all.deb
for deb in "$runtime" "$development" "$python_deb"; do
    [ -f "$deb" ] || fail "missing $deb; built: $(ls "$packages")"
done

# Every file of each package, links included; directories and the API
# reference's man3 pages (one for each public name, checked below) aside.
contents() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | grep -v '^usr/share/man/man3/' | LC_ALL=C sort |
        tr '\n' ' '
}
expect_contents() {
    local actual
    actual=$(contents "$1")
    [ "$actual" = "$2" ] || fail "$(basename "$1") holds: $actual
expected: $2"
}
lib=usr/lib/$multiarch
expect_contents "$runtime" "$lib/libvarnex.so.1 $lib/libvarnex.so.${version} usr/share/doc/libvarnex1/changelog.Debian.gz usr/share/doc/libvarnex1/copyright "
expect_contents "$development" "usr/bin/varnex-demo usr/bin/varnex-doctor usr/include/varnex.h usr/include/varnex/export.h usr/include/varnex/pacer.h usr/include/varnex/pacer.hpp $lib/cmake/Varnex/VarnexConfig.cmake $lib/cmake/Varnex/VarnexConfigVersion.cmake $lib/cmake/Varnex/VarnexTargets-relwithdebinfo.cmake $lib/cmake/Varnex/VarnexTargets.cmake $lib/libvarnex.so $lib/pkgconfig/varnex.pc usr/share/doc/libvarnex-dev/changelog.Debian.gz usr/share/doc/libvarnex-dev/copyright usr/share/man/man1/varnex-demo.1.gz usr/share/man/man1/varnex-doctor.1.gz "
expect_contents "$python_deb" "usr/lib/python3/dist-packages/varnex/__init__.py usr/lib/python3/dist-packages/varnex/_asyncio_waits.py usr/lib/python3/dist-packages/varnex/_constants.py usr/lib/python3/dist-packages/varnex/_errors.py usr/lib/python3/dist-packages/varnex/_library.py usr/lib/python3/dist-packages/varnex/_pacer.py usr/lib/python3/dist-packages/varnex/_records.py usr/lib/python3/dist-packages/varnex/_sim_clock.py usr/share/doc/python3-varnex/changelog.Debian.gz usr/share/doc/python3-varnex/copyright "

field() { dpkg-deb -f "$1" "$2"; }
grep -q "^libvarnex1 (= ${version}-1), libc6 (>= " <<<"$(field "$development" Depends)" ||
    fail "libvarnex-dev depends on: $(field "$development" Depends)"
grep -q "^libc6 (>= " <<<"$(field "$runtime" Depends)" || fail "libvarnex1 depends on: $(field "$runtime" Depends)"
[ "$(field "$python_deb" Depends)" = "libvarnex1 (= ${version}-1), python3:any" ] ||
    fail "python3-varnex depends on: $(field "$python_deb" Depends)"
[ "$(field "$runtime" Maintainer)" = "Varnex developers <varnex-developers@users.noreply.invalid>" ]
dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs >"$work/shlibs"
grep -qx "libvarnex 1 libvarnex1 (>= [0-9.]*)" "$work/shlibs" || fail "shlibs: $(cat "$work/shlibs")"

root=$work/root
for deb in "$runtime" "$python_deb"; do dpkg-deb -x "$deb" "$root"; done
mkdir -p "$work/dev-root" && dpkg-deb -x "$development" "$work/dev-root"
for binary in "$root/$lib/libvarnex.so.${version}" "$work/dev-root/usr/bin/varnex-demo" "$work/dev-root/usr/bin/varnex-doctor"; do
    ! readelf -S "$binary" | grep -qE '\.(symtab|debug_info)' || fail "$binary is not stripped"
done
zcat "$root/usr/share/doc/libvarnex1/changelog.Debian.gz" | head -n 1 | grep -q "^varnex (${version}-1) "
grep -q "^Copyright: 2026 The Varnex developers$" "$root/usr/share/doc/libvarnex1/copyright"

# Its warnings are printed; an error fails.
lintian_status=0
lintian --fail-on error --tag-display-limit 0 "$runtime" "$development" "$python_deb" >"$work/lintian.log" 2>&1 ||
    lintian_status=$?
grep -v "running with root privileges" "$work/lintian.log" || true
[ "$lintian_status" -eq 0 ] || fail "lintian found errors"

# The module over the library of libvarnex1 alone, found by its soname.
(cd "$work" && LD_LIBRARY_PATH="$root/$lib" PYTHONPATH="$root/usr/lib/python3/dist-packages" \
    PYTHONDONTWRITEBYTECODE=1 "${emulator[@]}" "$python" -c '
import varnex
assert varnex.library_path() == "libvarnex.so.1", varnex.library_path()
with varnex.Pacer(1000) as pacer:
    for _ in range(10):
        pacer.wait()
print("python3-varnex paced 10 ticks over", varnex.library_path())')
LD_LIBRARY_PATH="$root/$lib" "${emulator[@]}" "$work/dev-root/usr/bin/varnex-demo" --variant pacer --ticks 20 | grep -q "CPU per second"

# The manual pages read as man reads them: a function's page leads to its
# header's, which documents it; the tools' pages list their options.
man_root=$work/dev-root/usr/share/man
[ -f "$man_root/man3/varnex_pacer_wait.3.gz" ] || fail "libvarnex-dev has no varnex_pacer_wait.3.gz: $(ls "$man_root")"
page=$(cd "$man_root" && MANWIDTH=100 man -l man3/varnex_pacer_wait.3.gz 2>&1)
grep -q "int varnex_pacer_wait (varnex_pacer \* pacer, varnex_tick \* tick)" <<<"$page" &&
    grep -q "Returns when the next tick is due" <<<"$page" || fail "man -l varnex_pacer_wait.3 shows: $page"
for pair in varnex-demo.1:--budget varnex-doctor.1:--version; do
    page=$(MANWIDTH=100 man -l "$man_root/man1/${pair%%:*}.gz" 2>&1)
    grep -q -- "${pair#*:}" <<<"$page" || fail "man -l ${pair%%:*} shows: $page"
done

if [ -n "$foreign_arch" ]; then
    echo "installing skipped: packages for $foreign_arch run on that architecture"
    exit 0
fi
if [ "${VARNEX_TEST_INSTALLS:-}" != 1 ]; then
    echo "installing skipped: set VARNEX_TEST_INSTALLS=1 to install the packages with dpkg"
    exit 0
fi
for package in libvarnex1 libvarnex-dev python3-varnex; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed ||
        fail "$package is installed already: this test installs and purges its own"
done
installed=true
dpkg -i "$runtime" "$development" "$python_deb" >/dev/null
cmake -S "$source_dir/tests/package/consumer" -B "$work/consumer" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"
g++ -std=c++17 "$source_dir/tests/package/consumer/main.cpp" -o "$work/pkg-config-consumer" $(pkg-config --cflags --libs varnex)
"$work/pkg-config-consumer"
(cd / && env -u PYTHONPATH -u VARNEX_LIBRARY /usr/bin/python3 -c '
import varnex
assert varnex.__file__ == "/usr/lib/python3/dist-packages/varnex/__init__.py", varnex.__file__
with varnex.Pacer(1000) as pacer:
    pacer.wait()
print("the system Python imports varnex", varnex.version(), "over", varnex.library_path())')
installed=false
dpkg -P python3-varnex libvarnex-dev libvarnex1 >/dev/null
[ ! -e /usr/lib/python3/dist-packages/varnex ] || fail "the purge left /usr/lib/python3/dist-packages/varnex"
echo "installed, used and purged"
