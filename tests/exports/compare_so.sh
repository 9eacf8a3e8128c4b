#!/bin/bash
# compare_so.sh SOURCE_DIR WORK_DIR LIBRARY NM
# A cross build's libvarnex.so (LIBRARY, read with NM, the cross binutils'
# nm) exports exactly what the x86-64 one does: every defined dynamic symbol
# with its version, and every version node. The x86-64 library is built from
# the same sources into WORK_DIR with the host's compiler (again only when a
# source changed), so that the two cannot be of different trees.
set -euo pipefail
source_dir=$1
work=$2
library=$3
cross_nm=$4

cmake -S "$source_dir" -B "$work" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNEX_BUILD_TESTS=OFF -DVARNEX_BUILD_BENCH=OFF -DVARNEX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$work" --target varnex -j 2 >/dev/null

# "ADDRESS TYPE NAME@@NODE": the type (code, data, a node's absolute symbol)
# and the versioned name; addresses differ by architecture.
exports() {
    "$1" -D --defined-only --with-symbol-versions "$2" | awk '{print $2, $3}' | sort
}
x86=$(exports nm "$work/libvarnex.so")
arm=$(exports "$cross_nm" "$library")
if ! grep -q '^A VARNEX_1$' <<<"$x86"; then
    echo "the x86-64 library defines no version node VARNEX_1: nothing to compare"
    exit 1
fi
if ! diff -u --label x86-64 --label "$(basename "$library")" <(echo "$x86") <(echo "$arm"); then
    echo "the exports differ"
    exit 1
fi
echo "$(wc -l <<<"$x86") exports and version nodes, the same on both"
