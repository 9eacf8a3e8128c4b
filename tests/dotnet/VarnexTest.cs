// The C# binding on the real library: its structs against the C compiler's
// layout (the file struct_layout prints, the first argument), 100 paced
// ticks, the errors, a cancel and a dispose from another thread, the
// readiness handle, the aligned grid and a simulated clock. Exits 1 on the
// first failure.
using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;
using Varnex;

static class VarnexTest
{
    static void Expect(bool condition, string what)
    {
        if (!condition)
            throw new Exception("failed: " + what);
    }

    static Status StatusOf(Action action)
    {
        try
        {
            action();
        }
        catch (VarnexException error)
        {
            Expect(error.Message == Native.Message((int)error.Status) && error.Message.Length > 0,
                   "the exception carries the library's text: " + error.Message);
            return error.Status;
        }
        return Status.Ok;
    }

    // "varnex_pacer_stats late_ticks 128" is PacerStats.LateTicks at 128.
    static string Pascal(string snake)
    {
        string name = "";
        foreach (string part in snake.Split('_'))
            name += char.ToUpperInvariant(part[0]) + part.Substring(1);
        return name;
    }

    static void Layout(string path)
    {
        int checkedFields = 0;
        foreach (string line in File.ReadAllLines(path))
        {
            string[] words = line.Split(' ');
            Type type = typeof(Pacer).Assembly.GetType("Varnex." + Pascal(words[0].Substring("varnex_".Length)));
            Expect(type != null, "a C# struct for " + words[0]);
            int expected = int.Parse(words[2]);
            int actual = words[1] == "sizeof" ? Marshal.SizeOf(type) : (int)Marshal.OffsetOf(type, Pascal(words[1]));
            Expect(actual == expected, line + ": C# has " + actual);
            checkedFields++;
        }
        Expect(checkedFields > 40, "the layout file lists every field");
    }

    static void Paces()
    {
        Expect(PacerConfig.Defaults().BurstCap == 4 && PacerConfig.Defaults().PhaseNs == -1, "the library's defaults");
        using (var pacer = new Pacer(1000.0))
        {
            ulong last = 0;
            for (int i = 0; i < 100; i++)
            {
                Tick tick = pacer.Wait();
                Expect(i == 0 ? tick.Index == tick.Missed : tick.Index == last + 1 + tick.Missed, "consecutive indices");
                Expect(tick.Cause >= Cause.OnTime && tick.Cause <= Cause.HostLate, "a cause: " + tick.Cause);
                last = tick.Index;
            }
            PacerStats stats = pacer.Stats;
            Expect(stats.Ticks == 100 && stats.MarginNs > 0, "100 ticks, a hybrid's margin");
            Expect(stats.LateTicks == stats.LateOverslept + stats.LatePreempted + stats.LateHostLate, "late ticks by cause");
            uint num, den;
            pacer.GetRate(out num, out den);
            Expect(num == 1000 && den == 1, "the rate");
        }
    }

    static void Errors()
    {
        Expect(StatusOf(() => new Pacer(0.0)) == Status.InvalidRate, "rate 0");
        Expect(StatusOf(() => new Pacer(100.0, (Mode)7)) == Status.InvalidMode, "an unknown mode");
        using (var spin = new Pacer(100.0, Mode.Spin))
        {
            Expect(StatusOf(() => spin.SetLatenessBudget(20000)) == Status.InvalidMode, "a spin pacer's budget");
            var realtime = new PacerControls { Flags = Controls.Realtime, RealtimePriority = 10 };
            Expect(StatusOf(() => spin.SetControls(realtime)) == Status.InvalidControl, "realtime on a spin pacer");
            Expect(StatusOf(() => spin.GetWaitHandle()) == Status.InvalidMode, "a spin pacer's readiness handle");
        }
        var pacer = new Pacer(100.0);
        Expect(StatusOf(() => pacer.SetLatenessBudget(-1)) == Status.InvalidArgument, "a negative budget");
        pacer.SetLatenessBudget(200000);
        pacer.Dispose();
        pacer.Dispose();
        bool disposed = false;
        try
        {
            pacer.Wait();
        }
        catch (ObjectDisposedException)
        {
            disposed = true;
        }
        Expect(disposed, "a wait on a disposed pacer");
    }

    [DllImport("libc")]
    static extern int syscall(long number);

    // Until the thread is blocked in clock_nanosleep, or in poll on the readiness handle
    // (x86_64 Linux numbers).
    static void AwaitSleep(int threadId)
    {
        string path = "/proc/self/task/" + threadId + "/syscall";
        for (int tries = 0; tries < 10000; tries++)
        {
            string call = File.ReadAllText(path);
            if (call.StartsWith("230 ") || call.StartsWith("7 "))
                return;
            Thread.Sleep(1);
        }
        Expect(false, "the waiter sleeps");
    }

    // A sleep-mode wait far from its tick on another thread; stop(pacer) from this one
    // once the wait sleeps.
    static Exception EndOfFarWait(Action<Pacer> stop, Pacer pacer)
    {
        long stoppedMs;
        return EndOfFarWait(stop, pacer, out stoppedMs);
    }

    static Exception EndOfFarWait(Action<Pacer> stop, Pacer pacer, out long stoppedMs)
    {
        Exception ended = null;
        int waiterId = 0;
        var started = new ManualResetEvent(false);
        var waiter = new Thread(() =>
        {
            waiterId = syscall(186);
            started.Set();
            try
            {
                pacer.Wait();
            }
            catch (Exception error)
            {
                ended = error;
            }
        });
        waiter.IsBackground = true;
        waiter.Start();
        started.WaitOne();
        AwaitSleep(waiterId);
        var clock = Stopwatch.StartNew();
        stop(pacer);
        Expect(waiter.Join(20000), "the wait ended");
        stoppedMs = clock.ElapsedMilliseconds;
        return ended;
    }

    static void Cancels()
    {
        using (var pacer = new Pacer(0.01, Mode.Sleep))
        {
            var error = EndOfFarWait(p => p.Cancel(), pacer) as VarnexException;
            Expect(error != null && error.Status == Status.Cancelled, "a cancelled wait");
        }
        // The dispose cancels the wait; the pacer is destroyed as the wait leaves the library
        // (before, the wait would read freed memory, and go on to its tick 100 s away).
        var disposed = EndOfFarWait(p => p.Dispose(), new Pacer(0.01, Mode.Sleep));
        Expect(disposed is ObjectDisposedException, "a wait ended by the dispose: " + disposed);
    }

    [StructLayout(LayoutKind.Sequential)]
    struct PollFd
    {
        public int Fd;
        public short Events;
        public short Revents;
    }

    [DllImport("libc")]
    static extern int poll(ref PollFd fds, UIntPtr count, int timeoutMs);

    static void ReadinessHandle()
    {
        if (Environment.OSVersion.Platform != PlatformID.Unix)
            return;
        using (var pacer = new Pacer(200.0, Mode.Hybrid))
        {
            var ready = new PollFd { Fd = (int)pacer.GetWaitHandle(), Events = 1 };
            ulong index = 0;
            while (index < 5)
            {
                Expect(poll(ref ready, (UIntPtr)1, 5000) == 1, "the descriptor becomes readable");
                Tick tick;
                if (pacer.TryWait(out tick))
                    index = tick.Index + 1;
            }
            // Wait sleeps on the handle too (it threw NotDue once the handle was out).
            for (int i = 0; i < 5; i++)
            {
                Tick tick = pacer.Wait();
                Expect(tick.Index == index + tick.Missed, "Wait on the handle: the next tick");
                index = tick.Index + 1;
            }
        }
        // A dispose ends a Wait that sleeps on the handle: its cancel makes the handle ready.
        var far = new Pacer(0.01, Mode.Sleep);
        far.GetWaitHandle();
        long disposeMs;
        var disposed = EndOfFarWait(p => p.Dispose(), far, out disposeMs);
        Expect(disposed is ObjectDisposedException, "a Wait on the handle ended by the dispose: " + disposed);
        Expect(disposeMs < 500, "the dispose ended the Wait in " + disposeMs + " ms");
    }

    static void Aligned()
    {
        using (var pacer = new Pacer(100, 1, Mode.Hybrid, PacerFlags.AlignToSystemClock))
        {
            // 100 ticks a second since 1970: past 2020 by now.
            Expect(pacer.Wait().Index > 100UL * 1577836800UL, "an index counted from 1970");
        }
    }

    // A reference 200 ppm fast, read exactly, observed before each wait:
    // the grid re-bases onto its indices, and the pacer learns its rate.
    static void FollowsAReference()
    {
        using (var pacer = new Pacer(1000, 1, Mode.Sleep, PacerFlags.FollowReference))
        {
            Expect(StatusOf(() => pacer.Observe(-1)) == Varnex.Status.InvalidArgument, "a negative reading refused");
            long origin = Pacer.ClockNs();
            pacer.SetReferenceOptions(new ReferenceOptions { SlewPpm = 1000 });
            Tick tick = default(Tick);
            for (int i = 0; i < 300; i++)
            {
                long now = Pacer.ClockNs();
                pacer.Observe(7000000000L + (now - origin) + (now - origin) / 5000, now);
                tick = pacer.Wait();
            }
            PacerStats stats = pacer.Stats;
            Expect(tick.Index > 7000U, "indices on the reference: " + tick.Index);
            Expect(stats.ReferenceRebases == 1 && stats.ReferenceObservations == 300, "one re-base, every observation");
            Expect(Math.Abs(stats.ReferenceRateOffsetPpb - 200000) < 20000, "the rate: " + stats.ReferenceRateOffsetPpb);
        }
    }

    static void SimulatedClock()
    {
        using (var clock = new SimClock(5, autoAdvance: true))
        using (var pacer = new Pacer(60, 1, clock))
        {
            var watch = Stopwatch.StartNew();
            for (ulong index = 0; index < 6000; index++)
            {
                Tick tick = pacer.Wait();
                Expect(tick.Index == index && tick.Missed == 0 && tick.LatenessNs == 0, "tick " + index + " on time");
            }
            // Tick 5999 is due the phase (a period, in whole ns) and 5999 periods after the
            // creation's reading: 100 s of clock time, which the real clock's pace would take.
            Expect(clock.NowNs == 5 + 1000000000L / 60 + 5999 * 1000000000L / 60,
                   "the clock at tick 5999's deadline: " + clock.NowNs);
            Expect(watch.ElapsedMilliseconds < 20000, "6000 ticks in " + watch.ElapsedMilliseconds + " ms");
        }
        Expect(StatusOf(() => SimClock.Open("varnex-test-no-such-clock")) == Status.NotFound, "no such clock");

        // Lockstep: a controller thread waits; each advance settles once it took its tick and
        // waits again. Held busy after tick 4, it makes the settle time out, and a settle at the
        // same reading ends once it is back.
        const long PeriodNs = 10000000;
        using (var clock = new SimClock())
        using (var pacer = new Pacer(100, 1, clock))
        {
            int taken = 0;
            var holding = new ManualResetEvent(false);
            var release = new ManualResetEvent(false);
            Exception ended = null;
            var controller = new Thread(() =>
            {
                try
                {
                    for (ulong index = 0; index < 5; index++)
                    {
                        Tick tick = pacer.Wait();
                        Expect(tick.Index == index && tick.LatenessNs == 0, "tick " + index + " at its deadline");
                        Interlocked.Increment(ref taken);
                    }
                    holding.Set();
                    release.WaitOne();
                    pacer.Wait();
                }
                catch (Exception error)
                {
                    ended = error;
                }
            });
            controller.Start();
            for (int step = 1; step <= 4; step++)
            {
                clock.AdvanceNs(step * PeriodNs, 30000000000L);
                Expect(taken == step, "step " + step + " settled with " + taken + " ticks taken");
            }
            Expect(StatusOf(() => clock.AdvanceNs(5 * PeriodNs, 0)) == Status.Timeout, "a busy controller's settle");
            holding.WaitOne();
            release.Set();
            clock.AdvanceNs(5 * PeriodNs, 30000000000L);
            pacer.Cancel();
            Expect(controller.Join(20000), "the controller ended");
            var cancelled = ended as VarnexException;
            Expect(cancelled != null && cancelled.Status == Status.Cancelled, "the controller's last wait: " + ended);
            Expect(taken == 5, "five ticks");
        }
    }

    static int Main(string[] arguments)
    {
        try
        {
            Layout(arguments[0]);
            Paces();
            Errors();
            Cancels();
            ReadinessHandle();
            Aligned();
            FollowsAReference();
            SimulatedClock();
        }
        catch (Exception error)
        {
            Console.WriteLine(error);
            return 1;
        }
        Console.WriteLine("the C# binding works over Varnex " + Pacer.LibraryVersion.ToString("x6"));
        return 0;
    }
}
