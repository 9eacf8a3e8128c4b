#!/bin/bash
# Builds the wheel from the source tree, installs it with no index into a
# new virtual environment, and paces 50 ticks with it from a folder that is
# not the source tree; then the same through `pip install .`. Neither finds
# the library except beside the package that pip installed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH VARNEX_LIBRARY

# -P: the checkout's build/ folder would be imported as the build tool.
(cd "$source_dir" && "$python" -P -m build --wheel --no-isolation --outdir "$work/dist" . >"$work/build.log" 2>&1) ||
    { cat "$work/build.log"; exit 1; }
wheel=$(ls "$work"/dist/*.whl)
case "$(basename "$wheel")" in
    varnex-*-py3-none-linux_x86_64.whl) ;;
    *) echo "unexpected wheel name: $wheel"; exit 1 ;;
esac
# The package, one real library and the metadata: no headers, no links.
listing=$("$python" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$wheel")
expected="varnex/__init__.py
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
    { echo "the wheel's description is not python/README.md:"; echo "$metadata"; exit 1; }

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
