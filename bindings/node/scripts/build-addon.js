'use strict';
// npm runs this as the package installs: it builds the addon with node-gyp
// against the installed libvarnex (pkg-config names it). The headers are those
// of the Node that runs the install, where distributions (Debian's libnode-dev,
// NodeSource) and Node's own builds keep them, <prefix>/include/node: node-gyp
// would otherwise download a copy, and an offline install would fail.
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

if (process.platform !== 'linux') {
    console.error('varnex: the addon waits on a Linux descriptor in the event loop; ' +
                  'this package has no build for ' + process.platform);
    process.exit(1);
}
const prefix = path.resolve(path.dirname(fs.realpathSync(process.execPath)), '..');
const options = ['rebuild'];
if (fs.existsSync(path.join(prefix, 'include', 'node', 'node_api.h'))) {
    options.push(`--nodedir=${prefix}`);
}
// npm names the node-gyp it carries (or, on Debian, the system's).
const nodeGyp = process.env.npm_config_node_gyp;
const result = nodeGyp ? spawnSync(process.execPath, [nodeGyp, ...options], { stdio: 'inherit' })
                       : spawnSync('node-gyp', options, { stdio: 'inherit' });
if (result.error) {
    console.error(`varnex: node-gyp did not run: ${result.error.message}`);
}
process.exit(result.status === null ? 1 : result.status);
