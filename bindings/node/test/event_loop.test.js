'use strict';
// wait() and for await on the main loop: the loop runs on while they wait.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const os = require('node:os');
const test = require('node:test');
const { Pacer, VarnexError } = require('..');

test('for await takes 100 ticks at 200/s while a 1 ms setInterval fires during the waits', async () => {
    const pacer = new Pacer({ rate: 200 });
    // Firings per wait: a wait that blocked the loop, even one that let it
    // turn between ticks, would see at most one in each (one timers phase).
    let fired = 0;
    const firedPerWait = [];
    const interval = setInterval(() => { fired += 1; }, 1);
    const indices = [];
    try {
        for await (const tick of pacer) {
            firedPerWait.push(fired);
            fired = 0;
            assert.ok(tick.latenessNs >= 0n, `early by ${tick.latenessNs} ns`);
            indices.push(tick.index);
            if (indices.length === 100) {
                break;
            }
        }
    } finally {
        clearInterval(interval);
    }
    const total = firedPerWait.reduce((sum, count) => sum + count, 0);
    assert.ok(total > 50, `setInterval fired ${total} times`);
    const turning = firedPerWait.filter((count) => count >= 2).length;
    assert.ok(turning > 10, `only ${turning} of 100 waits saw the loop turn twice`);
    assert.ok(indices.every((index, i) => i === 0 || index > indices[i - 1]), 'indices out of order');
    assert.equal(pacer.stats.ticks, 100n);
    pacer.close();
});

test('a second wait() rejects at once; the first still gets its tick, and waitSync() the next', async () => {
    // Burst: a loop held up past a deadline still gets each tick, in order.
    const pacer = new Pacer({ rate: 100, missed: 'burst', burstCap: 1000 });
    const first = pacer.wait();
    await assert.rejects(pacer.wait(), (error) => error instanceof VarnexError && error.code === 'BUSY');
    assert.throws(() => pacer.waitSync(), (error) => error.code === 'BUSY');
    assert.equal((await first).index, 0n);
    // With the readiness handle out, the blocking wait sleeps on it.
    assert.equal(pacer.waitSync().index, 1n);
    pacer.close();
});

test('close() during a pending wait() rejects it, and a cancel ends it without taking its tick', async () => {
    const pacer = new Pacer({ rate: 10 });
    const pending = pacer.wait();
    pacer.close();
    await assert.rejects(pending, (error) => error.code === 'CLOSED' && error.status === null);
    await assert.rejects(pacer.wait(), (error) => error.code === 'CLOSED');
    const cancelled = new Pacer({ rate: 10, missed: 'burst', burstCap: 1000 });
    const waiting = cancelled.wait();
    cancelled.cancel();
    await assert.rejects(waiting, (error) => error.code === 'CANCELLED');
    assert.equal((await cancelled.wait()).index, 0n);
    cancelled.close();
});

test("a failure of the loop's watch rejects the wait with libuv's error, and leaves the tick", async () => {
    // The tests' build of the addon can make its next poll callback report an error.
    const addon = require(process.env.VARNEX_NODE_ADDON);
    const pacer = new Pacer({ rate: 100, missed: 'burst', burstCap: 1000 });
    addon.failNextPoll(-os.constants.errno.EBADF);
    await assert.rejects(pacer.wait(), (error) => error instanceof VarnexError && error.code === 'EBADF' &&
                                                  error.status === null && /bad file descriptor/.test(error.message));
    assert.equal((await pacer.wait()).index, 0n);
    pacer.close();
});

test('a process whose waits have settled or been closed exits: no watcher is left on the loop', () => {
    // The pacers stay referenced: a collected pacer's watcher goes with it.
    const script = `
        const { Pacer } = require(${JSON.stringify(require.resolve('..'))});
        (async () => {
            const settled = new Pacer({ rate: 100 });
            globalThis.kept = [settled];
            await settled.wait();
            const closed = new Pacer({ rate: 100 });
            closed.wait().catch(() => console.log('closed'));
            closed.close();
            const cancelled = new Pacer({ rate: 100 });
            globalThis.kept.push(closed, cancelled);
            cancelled.wait().catch(() => console.log('cancelled'));
            cancelled.cancel();
        })();`;
    const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
    assert.equal(child.signal, null, 'the process did not end by itself');
    assert.equal(child.status, 0, child.stderr);
    assert.deepEqual(child.stdout.split('\n').filter(Boolean).sort(), ['cancelled', 'closed']);
});
