#!/bin/bash
# Builds the wheel from the source tree, installs it with no index into a
# new virtual environment, and paces 50 ticks with it from a folder that is
# not the source tree; then the same through `pip install .`. Neither finds
# the library except beside the package that pip installed.
# check_wheel.sh arm64: the wheel for 64-bit ARM, built with the cross
# compiler, unpacked onto the path of an arm64 Python (VARNEX_PYTHON, run
# under VARNEX_EMULATOR), which paces 50 ticks with it: an emulated Python
# cannot run pip, whose venv and build start programs of their own.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
foreign_arch=${1:-}
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH VARNEX_LIBRARY

platform=linux_x86_64
if [ "$foreign_arch" = arm64 ]; then
    # scikit-build-core has no cross option: CMake takes the compiler from
    # the toolchain file, and the wheel its tag from the host platform.
    export CMAKE_TOOLCHAIN_FILE=$source_dir/cmake/aarch64-linux-gnu.cmake _PYTHON_HOST_PLATFORM=linux-aarch64
    platform=linux_aarch64
elif [ -n "$foreign_arch" ]; then
    echo "check_wheel.sh: no wheel for $foreign_arch"; exit 2
fi
# -P: the checkout's build/ folder would be imported as the build tool.
(cd "$source_dir" && "$python" -P -m build --wheel --no-isolation --outdir "$work/dist" . >"$work/build.log" 2>&1) ||
    { cat "$work/build.log"; exit 1; }
unset CMAKE_TOOLCHAIN_FILE _PYTHON_HOST_PLATFORM
wheel=$(ls "$work"/dist/*.whl)
case "$(basename "$wheel")" in
    varnex-*-py3-none-$platform.whl) ;;
    *) echo "unexpected wheel name: $wheel"; exit 1 ;;
esac
# The package, one real library and the metadata: no headers, no links.
listing=$("$python" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$wheel")
expected="varnex/__init__.py
varnex/_asyncio_waits.py
varnex/_constants.py
varnex/_errors.py
varnex/_library.py
varnex/_pacer.py
varnex/_records.py
varnex/_sim_clock.py
varnex/libvarnex.so"
if [ "$(grep -v '\.dist-info/' <<<"$listing")" != "$expected" ]; then
    echo "the wheel holds:"; echo "$listing"; exit 1
fi

unzip_dir=$work/unpacked
"$python" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$wheel" "$unzip_dir"
! readelf -S "$unzip_dir/varnex/libvarnex.so" | grep -qE '\.(symtab|debug_info)' || { echo "the wheel's library is not stripped"; exit 1; }
# Its long description is the Python package's own README, not the project's front page.
metadata=$(cat "$unzip_dir"/varnex-*.dist-info/METADATA)
grep -q '^Description-Content-Type: text/markdown' <<<"$metadata" && grep -q '^# varnex for Python$' <<<"$metadata" ||
    { echo "the wheel's description is not bindings/python/README.md:"; echo "$metadata"; exit 1; }

if [ "$foreign_arch" = arm64 ]; then
    machine=$(readelf -h "$unzip_dir/varnex/libvarnex.so" | awk -F: '/Machine:/ {gsub(/^ +/, "", $2); print $2}')
    [ "$machine" = AArch64 ] || { echo "the wheel's library is for $machine"; exit 1; }
    read -r -a emulator <<<"$VARNEX_EMULATOR"
    mkdir -p "$work/neutral"
    (cd "$work/neutral" && PYTHONPATH="$unzip_dir" "${emulator[@]}" "$VARNEX_PYTHON" -c '
import platform, sys, varnex
assert platform.machine() == "aarch64", platform.machine()
assert varnex.library_path().startswith(sys.argv[1]), varnex.library_path()
with varnex.Pacer(1000) as pacer:
    ticks = [pacer.wait() for _ in range(50)]
assert len(ticks) == 50 and all(b.index > a.index for a, b in zip(ticks, ticks[1:])), ticks
print("50 ticks on", platform.machine(), "from", varnex.library_path(), "version", varnex.version())' "$unzip_dir")
    exit 0
fi

pace() {
    mkdir -p "$work/neutral"
    (cd "$work/neutral" && "$1/bin/python" -c '
import sys, varnex
assert varnex.library_path().startswith(sys.prefix), varnex.library_path()
with varnex.Pacer(1000) as pacer:
    ticks = [pacer.wait() for _ in range(50)]
assert len(ticks) == 50 and all(b.index > a.index for a, b in zip(ticks, ticks[1:])), ticks
print("50 ticks from", varnex.library_path(), "version", varnex.version())')
}

"$python" -m venv "$work/wheel-env"
"$work/wheel-env/bin/pip" install -q "$wheel"
pace "$work/wheel-env"

# pip builds in the environment it installs into, which sees Debian's
# scikit-build-core through the system's site packages.
"$python" -m venv --system-site-packages "$work/source-env"
"$work/source-env/bin/pip" install -q --no-build-isolation "$source_dir" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log"; exit 1; }
pace "$work/source-env"
