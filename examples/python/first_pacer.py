import varnex

with varnex.Pacer(500) as pacer:   # 500 ticks per second; mode="hybrid", missed="skip"
    for tick in pacer:             # Tick(index, lateness, interval, missed), in seconds
        ...                        # one cycle of the loop's work
        if tick.index >= 249:
            break
    stats = pacer.stats
print(f"{stats.ticks} ticks, p99 lateness {stats.lateness_p99 * 1e6:.1f} us, CPU {stats.cpu:.3f} s")
