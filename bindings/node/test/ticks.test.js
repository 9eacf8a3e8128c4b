'use strict';
// Ticks and errors, blocking: the binding's checks and the library's statuses.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const { Pacer, VarnexError, Status, version, clockNs } = require('..');

const CAUSES = ['unknown', 'on_time', 'overslept', 'preempted', 'host_late'];

function rejects(action, code, status) {
    assert.throws(action, (error) => error instanceof VarnexError && error.code === code && error.status === status &&
                                     error.message.length > 0);
}

test('waitSync gives consecutive ticks, none early, with bigint counts that the statistics agree with', () => {
    const before = clockNs();
    // Burst: a thread held up past a deadline still gets each tick, in order.
    const pacer = new Pacer({ rate: [2000, 10], missed: 'burst', burstCap: 1000 });
    assert.deepEqual(pacer.rate, [2000, 10]);
    const ticks = [0, 1, 2, 3, 4].map(() => pacer.waitSync());
    assert.deepEqual(ticks.map((tick) => tick.index), [0n, 1n, 2n, 3n, 4n]);
    for (const tick of ticks) {
        assert.ok(tick.latenessNs >= 0n && tick.lateness >= 0, `early by ${tick.lateness} s`);
        assert.equal(typeof tick.missed, 'bigint');
        assert.ok(CAUSES.includes(tick.cause) && tick.cause !== 'unknown', tick.cause);
    }
    // Tick 4 is due five periods of 5 ms after the creation.
    const elapsedNs = clockNs() - before;
    assert.ok(elapsedNs >= 25000000n, `tick 4 came ${elapsedNs} ns after the creation`);
    const stats = pacer.stats;
    assert.equal(stats.ticks, 5n);
    assert.ok(stats.cpu > 0 && stats.latenessMax >= stats.latenessP50);
    pacer.close();
    pacer.close();
});

test('the library refuses what it cannot take, with its status and text', () => {
    rejects(() => new Pacer({ rate: -1 }), 'INVALID_RATE', Status.INVALID_RATE);
    rejects(() => new Pacer({ rate: 100, mode: 'fast' }), 'INVALID_MODE', Status.INVALID_MODE);
    rejects(() => new Pacer({ rate: 100, missed: 'never' }), 'INVALID_MISSED', Status.INVALID_MISSED);
    rejects(() => new Pacer({ rate: 100, mode: 'spin', budget: 1e-4 }), 'INVALID_MODE', Status.INVALID_MODE);
    assert.throws(() => new Pacer({ rate: 100, phase: -1 }), RangeError);
    assert.throws(() => new Pacer({ rate: '100' }), TypeError);
    const pacer = new Pacer({ rate: 100 });
    rejects(() => pacer.observe(0n), 'INVALID_ARGUMENT', Status.INVALID_ARGUMENT);
    assert.throws(() => pacer.setControls({ affinity: [64] }), RangeError);
    pacer.close();
    rejects(() => pacer.waitSync(), 'CLOSED', null);
    rejects(() => pacer.stats, 'CLOSED', null);
});

test('the binding names what it refuses: options not an object, a misspelt option, a duration past every range, ' +
     'a BigInt count', () => {
    assert.throws(() => new Pacer(null), { name: 'TypeError', message: 'Pacer takes an object of options, not null' });
    assert.throws(() => new Pacer(100), { name: 'TypeError', message: /Pacer takes an object of options/ });
    assert.throws(() => new Pacer({ rate: 100, burstcap: 8 }), { name: 'TypeError', message: /no option burstcap/ });
    assert.throws(() => new Pacer({ rate: 100, burstCap: 8n }), { name: 'TypeError', message: /burstCap/ });
    assert.throws(() => new Pacer({ rate: [30000n, 1001n] }), { name: 'TypeError', message: /rate must be/ });
    const pacer = new Pacer({ rate: 100 });
    assert.throws(() => pacer.setControls({ realtimePrio: 10 }), { name: 'TypeError', message: /realtimePrio/ });
    assert.throws(() => pacer.setReferenceOptions({ slew: 10 }), { name: 'TypeError', message: /no option slew/ });
    assert.throws(() => pacer.setReferenceOptions(null), { name: 'TypeError', message: /setReferenceOptions takes/ });
    assert.throws(() => pacer.setLatenessBudget(1e300), { name: 'RangeError', message: /budget must be/ });
    pacer.close();
});

test('a cancel ends the next wait and leaves its tick', async () => {
    const pacer = new Pacer({ rate: 100, mode: 'sleep', missed: 'burst', burstCap: 1000 });
    pacer.cancel();
    rejects(() => pacer.waitSync(), 'CANCELLED', Status.CANCELLED);
    assert.equal(pacer.waitSync().index, 0n);
    const spin = new Pacer({ rate: 100, mode: 'spin' });
    await assert.rejects(spin.wait(), (error) => error.code === 'INVALID_MODE');
    spin.close();
    pacer.close();
});

test('a following pacer takes observations; version and clock come from the library', () => {
    const pacer = new Pacer({ rate: 1000, follow: 'reference' });
    pacer.setReferenceOptions({ slewPpm: 1000, holdover: 2 });
    pacer.observe(5000000000n, clockNs());
    pacer.waitSync();
    assert.equal(pacer.stats.referenceObservations, 1n);
    pacer.close();
    const [major, minor, patch] = require('../package.json').version.split('.').map(Number);
    assert.equal(version(), (major << 16) | (minor << 8) | patch);
});

test('index.d.ts declares each name the package exports, and no other', () => {
    const types = fs.readFileSync(path.join(__dirname, '..', 'index.d.ts'), 'utf8');
    const declared = [...types.matchAll(/^export declare (?:const|function|class) (\w+)/gm)].map((match) => match[1]);
    assert.deepEqual(declared.sort(), Object.keys(require('..')).sort());
});
