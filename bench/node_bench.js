'use strict';
// Node's event loop paced three ways at each rate, the ways taking turns in
// rounds on the same loop: setInterval of one period, setTimeout re-armed to
// the next grid point, and the pacer's for await in hybrid mode (the loop
// waits on its readiness handle). Appends each tick's lateness (the reading
// after the wake-up minus the deadline, in ns) and each round's CPU-seconds
// per second to the pacing benchmark's CSV, as asyncio_bench.py does.
//
// usage: node bench/node_bench.js CSV [--rounds N] [--ticks N] [--rates R,R]
//        (with VARNEX_NODE_ADDON naming the addon, or the package installed)
const fs = require('fs');
const path = require('path');
const { parseArgs } = require('util');

const { Pacer } = require(path.join(__dirname, '..', 'bindings', 'node'));

function nowNs() {
    // libuv's clock, CLOCK_MONOTONIC: the same as the library's.
    return process.hrtime.bigint();
}

// setInterval reschedules each firing from when its callback ran, so its
// lateness against the grid it was asked for includes the drift.
function setIntervalGrid(rate, ticks) {
    const periodNs = 1000000000n / BigInt(rate);
    return new Promise((resolve) => {
        const lateness = [];
        const startNs = nowNs() + periodNs;
        const interval = setInterval(() => {
            lateness.push(Number(nowNs() - startNs - BigInt(lateness.length) * periodNs));
            if (lateness.length === ticks) {
                clearInterval(interval);
                resolve(lateness);
            }
        }, 1000 / rate);
    });
}

// setTimeout takes whole milliseconds, and makes 0 one: each is armed for
// the time left to the next grid point, rounded up, and a grid point already
// passed is taken at the loop's next turn (setImmediate), as asyncio.sleep(0)
// does, so that the timer can catch up.
function setTimeoutGrid(rate, ticks) {
    const periodNs = 1000000000n / BigInt(rate);
    return new Promise((resolve) => {
        const lateness = [];
        const startNs = nowNs() + periodNs;
        const arm = () => {
            const leftNs = startNs + BigInt(lateness.length) * periodNs - nowNs();
            if (leftNs > 0n) {
                setTimeout(fired, Math.ceil(Number(leftNs) / 1e6));
            } else {
                setImmediate(fired);
            }
        };
        const fired = () => {
            lateness.push(Number(nowNs() - startNs - BigInt(lateness.length) * periodNs));
            if (lateness.length === ticks) {
                resolve(lateness);
            } else {
                arm();
            }
        };
        arm();
    });
}

// The deadlines come from the ticks, as the C benchmark finds them: a deadline
// is the library's final reading minus the lateness it reported, at or before
// the host's reading, so the grid's start is the least of
// (reading - lateness - k's offset).
async function pacerForAwait(rate, ticks) {
    const periodNs = 1e9 / rate;
    const readings = [];
    const libraryLateness = [];
    const indices = [];
    const pacer = new Pacer({ rate, mode: 'hybrid' });
    try {
        await pacer.wait();
        for await (const tick of pacer) {
            readings.push(nowNs());
            libraryLateness.push(tick.latenessNs);
            indices.push(tick.index);
            if (indices.length === ticks) {
                break;
            }
        }
    } finally {
        pacer.close();
    }
    const offsets = readings.map((reading, i) => Number(reading - libraryLateness[i]) - Number(indices[i]) * periodNs);
    const startNs = Math.min(...offsets);
    return offsets.map((offset, i) => offset - startNs + Number(libraryLateness[i]));
}

const METHODS = [['node_setinterval', 'Node setInterval on its grid', setIntervalGrid],
                 ['node_settimeout', 'Node setTimeout re-armed to the grid', setTimeoutGrid],
                 ['pacer_node', 'varnex hybrid for await (Node)', pacerForAwait]];

async function main() {
    const { values, positionals } = parseArgs({
        allowPositionals: true,
        options: { rounds: { type: 'string', default: '4' }, ticks: { type: 'string', default: '3000' },
                   rates: { type: 'string', default: '100,1000' } },
    });
    if (positionals.length !== 1) {
        console.error('usage: node bench/node_bench.js CSV [--rounds N] [--ticks N] [--rates R,R]');
        process.exit(2);
    }
    const rounds = Number(values.rounds);
    const ticks = Math.floor(Number(values.ticks) / rounds);
    const rates = values.rates.split(',').map(Number);
    const out = fs.openSync(positionals[0], 'a');
    for (let round = 0; round < rounds; round += 1) {
        for (const rate of rates) {
            for (const [id, name, run] of METHODS) {
                const cpuStart = process.cpuUsage();
                const wallStartNs = nowNs();
                const lateness = await run(rate, ticks);
                const cpu = process.cpuUsage(cpuStart);
                const cpuPerSecond = (cpu.user + cpu.system) * 1e3 / Number(nowNs() - wallStartNs);
                const lines = lateness.map((value) => `linux,${id},${name},${rate},error,${value.toFixed(4)}\n`);
                lines.push(`linux,${id},${name},${rate},cpu,${cpuPerSecond.toFixed(4)}\n`);
                fs.writeSync(out, lines.join(''));
            }
        }
        console.log(`node round ${round + 1} of ${rounds} done`);
    }
    fs.closeSync(out);
}

main();
