using System;

public static class Host
{
    public static int Main()
    {
        using (var pacer = new Varnex.Pacer(1000.0))      // Mode.Hybrid by default; or (30000, 1001) for an exact rate
        {
            var tick = new Varnex.Tick();
            for (int i = 0; i < 250; i++)
            {
                tick = pacer.Wait();                       // Index, Missed, LatenessNs, IntervalNs, Cause, ...
                // ...one cycle of the loop's work
            }
            Varnex.PacerStats stats = pacer.Stats;         // every field of varnex_pacer_stats
            Console.WriteLine("C#: {0} ticks to tick {1}, p99 lateness {2:F1} us", stats.Ticks, tick.Index,
                              stats.LatenessP99Ns / 1e3);
        }
        return 0;
    }
}
