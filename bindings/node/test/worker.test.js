'use strict';
// waitSync() in worker threads: each loads the addon into an environment of its own.
const assert = require('node:assert/strict');
const test = require('node:test');
const { Worker } = require('node:worker_threads');

const PACKAGE = JSON.stringify(require.resolve('..'));

function worker(body) {
    return new Worker(`const { parentPort } = require('node:worker_threads');
                       const { Pacer } = require(${PACKAGE});
                       ${body}`, { eval: true });
}

test('waitSync() paces a worker while the main loop runs', async () => {
    // Burst: a worker held up past a deadline still gets each tick, in order.
    const pacing = worker(`const pacer = new Pacer({ rate: 200, missed: 'burst', burstCap: 1000 });
                           const indices = [];
                           for (let i = 0; i < 40; i += 1) indices.push(pacer.waitSync().index);
                           pacer.close();
                           parentPort.postMessage(indices);`);
    let fired = 0;
    const interval = setInterval(() => { fired += 1; }, 1);
    const [indices] = await Promise.all([new Promise((resolve, reject) => {
        pacing.on('message', resolve);
        pacing.on('error', reject);
    }), new Promise((resolve) => pacing.on('exit', resolve))]);
    clearInterval(interval);
    assert.deepEqual(indices, Array.from({ length: 40 }, (_, i) => BigInt(i)));
    assert.ok(fired > 20, `the main loop's setInterval fired ${fired} times in 200 ms`);
});

test('a worker ended while its wait() is pending exits cleanly', async () => {
    const waiting = worker(`const pacer = new Pacer({ rate: 1 });
                            pacer.wait();
                            parentPort.postMessage('waiting');`);
    await new Promise((resolve) => waiting.on('message', resolve));
    assert.equal(await waiting.terminate(), 1);
    // And a worker that dropped a pacer with a pending wait ends by itself.
    const dropped = worker(`new Pacer({ rate: 1000 }).wait().then(() => parentPort.postMessage('tick'));`);
    const [message, code] = await Promise.all([new Promise((resolve) => dropped.on('message', resolve)),
                                               new Promise((resolve) => dropped.on('exit', resolve))]);
    assert.equal(message, 'tick');
    assert.equal(code, 0);
});
