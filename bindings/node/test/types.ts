// Compiled, not run, by tsc --strict against index.d.ts: the uses a host
// makes type-check, and the mistakes marked @ts-expect-error are caught.
import { Pacer, SimClock, VarnexError, Status, Tick, Stats, ReferenceState, version, clockNs, ON_TIME_NS } from '..';

export async function paced(): Promise<bigint> {
    const pacer = new Pacer({ rate: [30000, 1001], mode: 'hybrid', missed: 'burst', budget: 200e-6,
                              controls: { affinity: [0], boost: true } });
    let last = -1n;
    for await (const tick of pacer) {
        last = tick.index + tick.missed;
        if (tick.cause === 'host_late' || tick.lateness > 0.001) {
            break;
        }
    }
    const next: Tick = await pacer.wait();
    const stats: Stats = pacer.stats;
    const state: ReferenceState = stats.referenceState;
    try {
        pacer.waitSync();
    } catch (error) {
        if (error instanceof VarnexError && error.status === Status.CANCELLED && error.code === 'CANCELLED') {
            return -1n;
        }
    }
    pacer.observe(0n, clockNs());
    pacer.setReferenceOptions({ slewPpm: 100, holdover: 0.5 });
    pacer.close();
    const [numerator, denominator] = pacer.rate;
    return last + next.latenessNs + stats.ticks + BigInt(version() + ON_TIME_NS + numerator / denominator + state.length);
}

export async function stepped(): Promise<bigint> {
    const clock = new SimClock({ startNs: 5n, autoAdvance: false, name: 'controller' });
    const pacer = new Pacer({ rate: 1000, clock });
    await clock.advanceNs(clock.nowNs + 1000000n, 0.5);
    clock.advanceNsSync(clock.nowNs + 1000000n);
    SimClock.open('controller').close();
    return (await pacer.wait()).index;
}

// @ts-expect-error: a clock's readings are integer nanoseconds
export const late = new SimClock({ startNs: 1.5 });
// @ts-expect-error: a tick's index is a bigint
export const index: number = ({} as Tick).index;
// @ts-expect-error: no such mode
export const busy = new Pacer({ rate: 100, mode: 'busy' });
// @ts-expect-error: the rate is required
export const rateless = new Pacer({});
// @ts-expect-error: observations are integer nanoseconds
busy.observe(1.5);
