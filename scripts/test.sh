#!/bin/bash
# Builds every build and runs every test: each preset's workflow configures,
# builds and runs its tests with ctest. Ends with the total over all builds.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

failed_builds=()
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in linux linux-asan linux-tsan win64 win32 linux-arm64; do
    echo "== $preset"
    start_s=$(date +%s)
    cmake --workflow --preset "$preset" 2>&1 | tee "$log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || failed_builds+=("$preset")
    # ctest's closing line: "N% tests passed, F tests failed out of T".
    if summary=$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1); then
        read -r preset_failed _ _ _ _ preset_total <<<"$summary"
        passed=$((passed + preset_total - preset_failed))
        failed=$((failed + preset_failed))
    fi
    echo "== $preset took $(( $(date +%s) - start_s )) s"
done

if [ ${#failed_builds[@]} -gt 0 ]; then
    echo "failed builds: ${failed_builds[*]}"
fi
echo "tests: $passed passed, $failed failed"
[ ${#failed_builds[@]} -eq 0 ]
