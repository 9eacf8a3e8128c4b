import asyncio

import varnex


async def control_loop():
    with varnex.Pacer(1000, "hybrid") as pacer:   # Linux: the loop waits on the handle (add_reader)
        async for tick in pacer:                   # or: tick = await pacer.wait_async()
            if tick.index >= 99:                   # one step of the loop's work per tick
                break
        return pacer.stats


stats = asyncio.run(control_loop())
print(f"asyncio: {stats.ticks} ticks, p99 lateness {stats.lateness_p99 * 1e6:.1f} us")
