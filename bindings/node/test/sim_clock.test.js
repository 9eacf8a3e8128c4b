'use strict';
// Pacers on a clock the host drives: auto-advance, and for await in lockstep
// with advances that settle.
const assert = require('node:assert/strict');
const test = require('node:test');
const { Pacer, SimClock } = require('..');

test('an auto-advancing clock runs its pacer through exact ticks at once', () => {
    const clock = new SimClock({ startNs: 5n, autoAdvance: true });
    const pacer = new Pacer({ rate: 60, clock });
    const started = process.hrtime.bigint();
    const wrong = [];
    for (let index = 0n; index < 6000n; index += 1n) {
        const tick = pacer.waitSync();
        if (tick.index !== index || tick.missed !== 0n || tick.latenessNs !== 0n) {
            wrong.push(tick);
        }
    }
    const elapsedNs = process.hrtime.bigint() - started;
    assert.deepEqual(wrong, []);
    // Tick 5999 is due the phase (a period, in whole ns) and 5999 periods
    // after the creation's reading: 100 s of clock time, which the real
    // clock's pace would take.
    assert.equal(clock.nowNs, 5n + 10n ** 9n / 60n + 5999n * 10n ** 9n / 60n);
    assert.ok(elapsedNs < 20n * 10n ** 9n, `${elapsedNs} ns`);
    pacer.close();
    clock.close();
});

test('for await on a clock that advanceNs steps takes each tick as the advance settles', async () => {
    const clock = new SimClock();
    const pacer = new Pacer({ rate: 100, clock });
    const taken = [];
    const simulator = (async () => {
        const takenAtSettle = [];
        try {
            for (let step = 1n; step <= 5n; step += 1n) {
                await clock.advanceNs(step * 10000000n, 30);
                takenAtSettle.push(taken.length);
            }
        } catch (error) {
            // Else the loop would wait for a step that never comes.
            pacer.cancel();
            throw error;
        }
        return takenAtSettle;
    })();
    for await (const tick of pacer) {
        taken.push([tick.index, tick.latenessNs]);
        if (tick.index === 4n) {
            break;
        }
    }
    // Busy with tick 4 from here: the close lets the last settle end.
    pacer.close();
    // Each settle ends once the loop took the step's tick and waits again.
    assert.deepEqual(await simulator, [1, 2, 3, 4, 5]);
    assert.deepEqual(taken, [0n, 1n, 2n, 3n, 4n].map((index) => [index, 0n]));
    await assert.rejects(clock.advanceNs(1n, -1), RangeError);
    clock.close();
});
