#!/bin/bash
# Packs the npm package into the build tree, installs the build into a fresh
# prefix, then installs the tarball offline into a fresh project, as a user
# does on a machine with the library installed: npm builds the addon there
# against the prefix's library (pkg-config), and a script paces with it.
set -euo pipefail
build_dir=$1
version=$2
package_dir=$(cd "$(dirname "$0")/../../bindings/node" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Nothing from the user's npm cache or configuration: the install must need
# no download.
export npm_config_cache="$work/npm-cache" npm_config_userconfig="$work/npmrc" npm_config_update_notifier=false

mkdir -p "$build_dir/node"
tarball=$(cd "$package_dir" && npm pack --silent --pack-destination "$build_dir/node")
tarball="$build_dir/node/$tarball"
test "$(basename "$tarball")" = "varnex-$version.tgz"
# The package holds what it builds and loads from, and nothing of the tests.
listing=$(tar tzf "$tarball" | sort)
for file in package/package.json package/binding.gyp package/src/addon.c package/lib/index.js \
    package/index.d.ts package/scripts/build-addon.js; do
    grep -qx "$file" <<<"$listing" || { echo "missing from the tarball: $file"; exit 1; }
done
if grep -q '^package/test/' <<<"$listing"; then
    echo "the tarball carries the tests"
    exit 1
fi

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name varnex.pc)")
export PKG_CONFIG_PATH
mkdir "$work/host"
cd "$work/host"
npm install --offline --no-audit --no-fund "$tarball" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
addon=node_modules/varnex/build/Release/varnex.node
# The addon the install built, over the prefix's library, not the build tree's.
ldd "$addon" | grep -q "libvarnex.so.* => $work/prefix/" || { ldd "$addon"; exit 1; }
# The tests' hooks stay in the tests' build of the addon.
node -e 'if ("failNextPoll" in require(process.argv[1])) throw new Error("the package built its addon with the test hooks")' \
    "$PWD/$addon"
env -u VARNEX_NODE_ADDON node -e '
const { Pacer, version } = require("varnex");
(async () => {
    const pacer = new Pacer({ rate: 500 });
    const indices = [pacer.waitSync().index];
    for await (const tick of pacer) {
        indices.push(tick.index);
        if (indices.length === 20) break;
    }
    pacer.close();
    if (indices.some((index, i) => i > 0 && index <= indices[i - 1])) throw new Error(`ticks out of order: ${indices}`);
    console.log(`varnex ${version().toString(16)}: 20 ticks from the installed package, the last ${indices[19]}`);
})();'
