// The main loop paced with for await: between ticks it serves its other work.
const { Pacer } = require('varnex');

async function main() {
    const pacer = new Pacer({ rate: 500 });                 // hybrid by default; or [30000, 1001] exactly
    let served = 0;
    const other = setInterval(() => { served += 1; }, 1);   // the loop's other work goes on
    for await (const tick of pacer) {                       // tick.index (a BigInt), .lateness (s), .cause, ...
        if (tick.index >= 249n) break;                      // ...one cycle of the loop's work
    }
    clearInterval(other);
    const { ticks, latenessP99 } = pacer.stats;
    pacer.close();
    console.log(`node: ${ticks} ticks, p99 lateness ${(latenessP99 * 1e6).toFixed(1)} us, ${served} timers served`);
}
main();
