#!/bin/bash
# The API reference: Doxygen builds it from the public headers with no
# warning, every export has its man3 page, and a public name left
# undocumented fails the build (so that the settings that make it fail stay
# in force).
set -euo pipefail
doxyfile=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*"; exit 1; }

# The build's configuration, with another output folder and headers.
reference() {
    local output=$1 include=$2
    { cat "$doxyfile"
      echo "OUTPUT_DIRECTORY = $output"
      echo "INPUT = $include/varnex.h $include/varnex/export.h $include/varnex/pacer.h $include/varnex/pacer.hpp"
      echo "STRIP_FROM_PATH = $include"
    } | SOURCE_DATE_EPOCH=0 doxygen - >"$output.out" 2>"$output.err"
}

mkdir "$work/reference"
reference "$work/reference" "$source_dir/include" || { cat "$work/reference.err"; fail "doxygen failed"; }
[ ! -s "$work/reference.err" ] || { cat "$work/reference.err"; fail "doxygen warned"; }

# Each export of the table, by its C or C++ name (the class's two members
# are on its page).
pages=$work/reference/man/man3
missing=()
while read -r key; do
    case $key in construct | assign) key=CVarnex ;; esac
    [ -f "$pages/$key.3" ] || missing+=("$key")
done < <(grep -v '^#' "$source_dir/exports/varnex.exports" | cut -d'|' -f1)
[ ${#missing[@]} -eq 0 ] || fail "no man3 page for: ${missing[*]}"
grep -qx '.so man3/pacer.h.3' "$pages/varnex_pacer_wait.3" || fail "varnex_pacer_wait.3 does not lead to pacer.h.3"

# A field's comment taken out of a copy of the headers fails the reference.
cp -r "$source_dir/include" "$work/include"
sed -i 's|^\(    uint64_t ticks; *\)/\*\*< Ticks returned\. \*/|\1|' "$work/include/varnex/pacer.h"
! cmp -s "$source_dir/include/varnex/pacer.h" "$work/include/varnex/pacer.h" || fail "the test found no comment to take out"
mkdir "$work/undocumented"
if reference "$work/undocumented" "$work/include"; then
    fail "an undocumented field did not fail the reference"
fi
grep -q "ticks.*is not documented" "$work/undocumented.err" || { cat "$work/undocumented.err"; fail "no warning names the field"; }
echo "reference: no warning, a page for each export; an undocumented field fails it"
