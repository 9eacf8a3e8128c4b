// Varnex for C#: add this one file to a project, and put the library where
// the runtime finds it (Varnex.dll beside the program on Windows, of the
// program's bitness; libvarnex.so on Linux). C# 7, for .NET Framework,
// .NET, Mono and Unity alike.
//
//     using (var pacer = new Varnex.Pacer(1000.0))
//         for (int i = 0; i < 1000; i++) {
//             Varnex.Tick tick = pacer.Wait();
//             ...one cycle of the host's work...
//         }
//
// On a clock the host drives, an hour of ticks takes moments, every tick on
// time; a simulator steps the clock with AdvanceNs and settles its pacers:
//
//     using (var clock = new Varnex.SimClock(0, autoAdvance: true))
//     using (var pacer = new Varnex.Pacer(1000, 1, clock))
//         for (int i = 0; i < 3600000; i++)
//             pacer.Wait();
//
// One thread waits at a time, and calls SetControls, SetLatenessBudget,
// SetReferenceOptions and GetWaitHandle between its waits; one thread at a time
// may Observe beside it. Cancel, Stats and Dispose (or the end of
// using) come from any thread: Dispose makes a wait in progress return with
// an ObjectDisposedException, and destroys the pacer once it has.
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using Microsoft.Win32.SafeHandles;

namespace Varnex
{
    // generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
    public enum Status
    {
        Ok = 0,
        InvalidArgument = -1,
        InvalidRate = -2,
        InvalidMode = -3,
        InvalidMissed = -4,
        InvalidPhase = -5,
        NoMemory = -6,
        NoCounter = -7,
        Cancelled = -8,
        Interrupted = -9,
        InvalidControl = -10,
        NotDue = -11,
        Timeout = -12,
        NameInUse = -13,
        NotFound = -14,
        ClockGone = -15,
        Incompatible = -16,
        AccessDenied = -17
    }

    public enum Mode : uint
    {
        Spin = 0,
        Sleep = 1,
        Hybrid = 2
    }

    public enum Missed : uint
    {
        Skip = 0,
        Burst = 1,
        Delay = 2
    }

    public enum Cause : uint
    {
        Unknown = 0,
        OnTime = 1,
        Overslept = 2,
        Preempted = 3,
        HostLate = 4
    }

    public enum ReferenceState : uint
    {
        None = 0,
        Acquiring = 1,
        Locked = 2,
        Holdover = 3
    }

    [Flags]
    public enum PacerFlags : uint
    {
        None = 0,
        NoStats = 0x1,
        ReturnOnSignal = 0x2,
        AlignToSystemClock = 0x4,
        Tai = 0x8,
        FollowReference = 0x10
    }

    [Flags]
    public enum Controls : uint
    {
        None = 0,
        Boost = 0x1,
        Affinity = 0x2,
        Realtime = 0x4,
        LockMemory = 0x8,
        DmaLatency = 0x10,
        NoThrottling = 0x20,
        Mmcss = 0x40
    }

    [Flags]
    public enum SimClockFlags : uint
    {
        None = 0,
        AutoAdvance = 0x1
    }

    internal static class HeaderConstants
    {
        public const long OnTimeNs = 10000;
    }
    // end of generated constants

    // The structs are the C header's, field for field.
    [StructLayout(LayoutKind.Sequential)]
    public struct PacerConfig
    {
        public uint Size;
        public Mode Mode;
        // The rate as RateNum / RateDen ticks per second, exactly; RateNum 0: RateHz instead.
        public uint RateNum;
        public uint RateDen;
        public double RateHz;
        public long PhaseNs;     // the first deadline after creation; -1 (default): one period
        public Missed Missed;
        public uint BurstCap;
        public PacerFlags Flags;
        public uint MarginNs;    // hybrid: a fixed margin; 0 (default): learned

        // The library's defaults: spin, skip, burst cap 4, phase one period, no rate.
        public static PacerConfig Defaults()
        {
            var config = new PacerConfig();
            Native.varnex_pacer_config_init(ref config);
            return config;
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Tick
    {
        public uint Size;
        public Cause Cause;
        public ulong Index;      // tick k; aligned, k counts from 1970
        public ulong Missed;     // ticks passed over since the previous return
        public long LatenessNs;  // the reading that ended the wait, minus the deadline
        public long IntervalNs;  // since the previous return (since creation for the first)
        public double LatenessS;
        public double IntervalS;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct PacerStats
    {
        public uint Size;
        public uint Reserved;
        public ulong Ticks;
        public ulong Missed;
        public long LatenessP50Ns;
        public long LatenessP99Ns;
        public long LatenessP999Ns;
        public long LatenessMaxNs;
        public long DriftNs;
        public long SpinNs;
        public long SleepNs;
        public long CpuNs;       // -1 if unknown
        public long MarginNs;
        public Controls ControlsActive;
        public Controls ControlsDenied;
        public Controls ControlsUnsupported;
        public uint ClockSteps;
        public long ClockStepNs;
        public int ClockSynchronized;  // 1, 0, or -1 if unknown
        public int ClockErrorUs;       // -1 if unknown
        public ulong LateTicks;
        public ulong LateOverslept;
        public ulong LatePreempted;
        public ulong LateHostLate;
        // Since 1.7, for a pacer that follows a reference (PacerFlags.FollowReference).
        public ReferenceState ReferenceState;
        public uint ReferenceRebases;
        public long ReferencePhaseErrorNs;   // the grid's next deadline less the reference's instant
        public long ReferenceRateOffsetPpb;  // the reference's rate against the counter
        public long ReferenceJitterNs;       // the observations' residual, RMS
        public ulong ReferenceSteps;
        public ulong ReferenceObservations;
        public ulong ReferenceDropped;
        public ulong ReferenceOutliers;
    }

    // How a following pacer steers its grid; a field left 0 takes its default.
    [StructLayout(LayoutKind.Sequential)]
    public struct ReferenceOptions
    {
        public uint Size;
        public uint SlewPpm;             // 1 to 100000; default 500
        public long StepThresholdNs;     // default 2 ms
        public long RebaseThresholdNs;   // default 100 ms, at least the step threshold
        public long HoldoverNs;          // default 1 s
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct PacerControls
    {
        public uint Size;
        public Controls Flags;
        public ulong AffinityMask;     // Affinity: bit n for CPU n
        public uint RealtimePriority;  // Realtime: 1 to 99
        public uint DmaLatencyUs;      // DmaLatency
    }

    // What varnex_sim_clock_create makes: 80 bytes on every target.
    [StructLayout(LayoutKind.Sequential)]
    public struct SimClockConfig
    {
        public uint Size;
        public SimClockFlags Flags;
        public long StartNs;     // the first reading: 0 to 2^62
        // Zero-terminated; all zero for a clock of this process only.
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)]
        public byte[] Name;
    }

    // A status other than Ok, with the library's own text for it.
    public class VarnexException : Exception
    {
        public Status Status { get; private set; }

        public VarnexException(Status status) : base(Native.Message((int)status))
        {
            Status = status;
        }
    }

    // The pacer, released by varnex_pacer_destroy once no call holds it: the
    // marshaller holds the handle for the length of each call.
    public sealed class PacerHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        private PacerHandle() : base(true)
        {
        }

        protected override bool ReleaseHandle()
        {
            Native.varnex_pacer_destroy(handle);
            return true;
        }
    }

    // The host's reference to a simulated clock, released by varnex_sim_clock_destroy once no
    // call holds it: a Dispose waits out an advance in progress in another thread.
    public sealed class SimClockHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        private SimClockHandle() : base(true)
        {
        }

        protected override bool ReleaseHandle()
        {
            Native.varnex_sim_clock_destroy(handle);
            return true;
        }
    }

    // A clock whose reading, in nanoseconds, only the host moves: a Pacer made on it ticks on
    // its readings, tick k due at the reading at its creation plus its phase plus k periods.
    // Any thread may read and advance it. A pacer on the clock keeps it.
    public sealed class SimClock : IDisposable
    {
        private readonly SimClockHandle handle;

        // autoAdvance: whenever no pacer on the clock is pending, it moves to the earliest
        // deadline they wait for. name: null for a clock of this process only; else 1 to 63
        // characters of A-Z a-z 0-9 . _ -, by which other processes of this user open it.
        public SimClock(long startNs = 0, bool autoAdvance = false, string name = null)
        {
            Pacer.CheckLibraryVersion();
            var config = new SimClockConfig
            {
                Size = (uint)Marshal.SizeOf(typeof(SimClockConfig)),
                Flags = autoAdvance ? SimClockFlags.AutoAdvance : SimClockFlags.None,
                StartNs = startNs,
                Name = new byte[64],
            };
            if (name != null)
                Array.Copy(NameBytes(name), config.Name, name.Length);
            Check(Native.varnex_sim_clock_create(ref config, out handle));
        }

        private SimClock(SimClockHandle opened)
        {
            handle = opened;
        }

        // The named clock that another process of this user created: Status.NotFound when
        // there is none, Status.ClockGone when its creator ended.
        public static SimClock Open(string name)
        {
            Pacer.CheckLibraryVersion();
            SimClockHandle opened;
            Check(Native.varnex_sim_clock_open(NameBytes(name), out opened));
            return new SimClock(opened);
        }

        // The name, zero-terminated. One that the config's 64 bytes cannot hold, or that a NUL
        // ends early, would name another clock; the library checks the characters.
        private static byte[] NameBytes(string name)
        {
            if (name == null || name.Length == 0 || name.Length > 63 || name.IndexOf('\0') >= 0)
                throw new ArgumentException("a clock's name is 1 to 63 characters of A-Z a-z 0-9 . _ -", "name");
            var bytes = new byte[name.Length + 1];
            // A character past ASCII becomes a byte the library refuses, as it refuses the name.
            for (int i = 0; i < name.Length; i++)
                bytes[i] = name[i] < 0x80 ? (byte)name[i] : (byte)0xFF;
            return bytes;
        }

        internal SimClockHandle Handle
        {
            get { return handle; }
        }

        // The reading, in the clock's nanoseconds. An opened clock whose creator ended:
        // Status.ClockGone.
        public long NowNs
        {
            get
            {
                long nowNs;
                Check(Native.varnex_sim_clock_now(handle, out nowNs));
                return nowNs;
            }
        }

        // Moves the clock to toNs (earlier than now is a reset). settleTimeoutNs: -1 runs free;
        // 0 or more waits, up to that many real nanoseconds, until every pacer the advance made
        // due is back in its wait, or throws Status.Timeout with the clock at toNs. The pacers
        // this thread waits on are not waited for: they take their ticks at its next wait.
        public void AdvanceNs(long toNs, long settleTimeoutNs = -1)
        {
            Check(Native.varnex_sim_clock_advance(handle, toNs, settleTimeoutNs));
        }

        // Releases this reference to the clock, once an advance in progress has returned; its
        // pacers keep the clock until they are disposed. The creator's dispose frees a named
        // clock's name.
        public void Dispose()
        {
            handle.Dispose();
        }

        private static void Check(int status)
        {
            if (status != 0)
                throw new VarnexException((Status)status);
        }
    }

    public sealed class Pacer : IDisposable
    {
        // A tick later than this is late, without a lateness budget.
        public const long OnTimeNs = HeaderConstants.OnTimeNs;
        // The library this file is written for: 1.8, which has the simulated clock.
        public const uint RequiredVersion = 0x010800;

        // A Wait that sleeps on the readiness handle looks at the dispose this often, should it
        // miss the readiness that the dispose's cancel gives.
        private const int ReadySliceMs = 100;

        private readonly PacerHandle handle;
        // The clock the grid runs on, or null: the creator's SimClock, collected, would free a
        // named clock's name.
        private readonly SimClock clock;
        // Set first in Dispose: a wait that its cancel ends reports the dispose.
        private volatile bool disposing;

        public Pacer(PacerConfig config) : this(config, null)
        {
        }

        // On a clock the host drives (null: on the counter). The mode does not apply there; a
        // lateness budget gives Status.InvalidMode, an aligned or following grid
        // Status.InvalidArgument.
        public Pacer(PacerConfig config, SimClock clock)
        {
            CheckLibraryVersion();
            config.Size = (uint)Marshal.SizeOf(typeof(PacerConfig));
            PacerHandle created;
            int status = clock == null ? Native.varnex_pacer_create(ref config, out created)
                                       : Native.varnex_pacer_create_on(ref config, clock.Handle, out created);
            if (status != 0)
                throw new VarnexException((Status)status);
            handle = created;
            this.clock = clock;
        }

        // An exact rate of rateNum / rateDen ticks per second on a clock the host drives.
        public Pacer(uint rateNum, uint rateDen, SimClock clock, Missed missed = Missed.Skip)
            : this(Config(rateNum, rateDen, 0.0, Mode.Hybrid, PacerFlags.None, missed), clock)
        {
        }

        // The clock the grid runs on; null on the counter.
        public SimClock Clock
        {
            get { return clock; }
        }

        internal static void CheckLibraryVersion()
        {
            uint version = Native.varnex_version();
            if (version < RequiredVersion)
                throw new NotSupportedException(string.Format(
                    "the Varnex library is version {0:x6}; this binding needs 1.8 or later", version));
        }

        public Pacer(double rateHz, Mode mode = Mode.Hybrid, PacerFlags flags = PacerFlags.None)
            : this(Config(0, 1, rateHz, mode, flags))
        {
        }

        // An exact rate of rateNum / rateDen ticks per second (30000, 1001 for NTSC video).
        public Pacer(uint rateNum, uint rateDen, Mode mode = Mode.Hybrid, PacerFlags flags = PacerFlags.None)
            : this(Config(rateNum, rateDen, 0.0, mode, flags))
        {
        }

        private static PacerConfig Config(uint rateNum, uint rateDen, double rateHz, Mode mode, PacerFlags flags,
                                          Missed missed = Missed.Skip)
        {
            PacerConfig config = PacerConfig.Defaults();
            config.RateNum = rateNum;
            config.RateDen = rateDen;
            config.RateHz = rateHz;
            config.Mode = mode;
            config.Flags = flags;
            config.Missed = missed;
            return config;
        }

        // The loaded library's version: (major << 16) | (minor << 8) | patch.
        public static uint LibraryVersion
        {
            get { return Native.varnex_version(); }
        }

        // Returns when the next tick is due. Cancel: a VarnexException of Status.Cancelled.
        // Once GetWaitHandle() has been called, it sleeps on the readiness handle, then takes
        // the tick.
        public Tick Wait()
        {
            Tick tick;
            if (TryWait(out tick))
                return tick;
            // The handle is out and the tick's wake-up is ahead. The sleep on the handle is
            // outside the library, so the pacer is held for its whole length: a Dispose from
            // another thread destroys it, and closes the handle, only once the sleep is over.
            // The dispose's cancel makes the handle ready at once.
            bool held = false;
            try
            {
                handle.DangerousAddRef(ref held);
                IntPtr ready;
                Check(Native.varnex_pacer_wait_handle(handle, out ready));
                do
                {
                    SleepOnReadyHandle(ready);
                    if (disposing)
                        throw DisposedDuringWait();
                } while (!TryWait(out tick));
                return tick;
            }
            finally
            {
                if (held)
                    handle.DangerousRelease();
            }
        }

        // Until the readiness handle is ready, or a slice has passed.
        private static void SleepOnReadyHandle(IntPtr ready)
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
            {
                if (SystemCalls.WaitForSingleObject(ready, ReadySliceMs) == SystemCalls.WaitFailed)
                    throw new Win32Exception(Marshal.GetLastWin32Error());
                return;
            }
            var poll = new SystemCalls.PollFd { Fd = (int)ready, Events = SystemCalls.PollIn };
            if (SystemCalls.poll(ref poll, (UIntPtr)1, ReadySliceMs) < 0)
            {
                int error = Marshal.GetLastWin32Error();
                if (error != SystemCalls.Eintr)
                    throw new Win32Exception(error);
            }
        }

        private static ObjectDisposedException DisposedDuringWait()
        {
            return new ObjectDisposedException("Varnex.Pacer", "the pacer was disposed during the wait");
        }

        // For a host that waits on GetWaitHandle(): false while the tick's wake-up is still
        // ahead (the handle is armed for it); otherwise as Wait.
        public bool TryWait(out Tick tick)
        {
            tick = new Tick();
            tick.Size = (uint)Marshal.SizeOf(typeof(Tick));
            int status;
            do
            {
                status = Native.varnex_pacer_wait(handle, ref tick);
                // A signal ended the sleep (ReturnOnSignal): the tick was not taken.
            } while (status == (int)Status.Interrupted);
            if (status == (int)Status.NotDue)
                return false;
            if (status == (int)Status.Cancelled && (disposing || handle.IsClosed))
                throw DisposedDuringWait();
            if (status != 0)
                throw new VarnexException((Status)status);
            return true;
        }

        // From any thread: the wait in progress, or else the next one, ends with
        // Status.Cancelled; the tick is not taken.
        public void Cancel()
        {
            Check(Native.varnex_pacer_cancel(handle));
        }

        public PacerStats Stats
        {
            get
            {
                var stats = new PacerStats();
                stats.Size = (uint)Marshal.SizeOf(typeof(PacerStats));
                Check(Native.varnex_pacer_get_stats(handle, ref stats));
                return stats;
            }
        }

        // Replaces the controls; between waits. Whether each took effect shows in
        // Stats.ControlsActive, ControlsDenied and ControlsUnsupported.
        public void SetControls(PacerControls controls)
        {
            controls.Size = (uint)Marshal.SizeOf(typeof(PacerControls));
            Check(Native.varnex_pacer_set_controls(handle, ref controls));
        }

        // The p99 lateness the host accepts, for a hybrid that learns its margin; 0: none.
        public void SetLatenessBudget(long p99Ns)
        {
            Check(Native.varnex_pacer_set_lateness_budget(handle, p99Ns));
        }

        // The readiness handle for an event loop: a timerfd descriptor on Linux, a
        // waitable timer HANDLE on Windows, ready when TryWait is about to return a tick.
        // The pacer owns it and closes it on Dispose: a loop that holds it calls Cancel,
        // which makes it ready, takes it out of its wait set (epoll_ctl's EPOLL_CTL_DEL),
        // and only then calls Dispose.
        // Since 1.7, for a pacer created with PacerFlags.FollowReference: the reference read
        // referenceNs when the library's clock (ClockNs) read localNs; -1 for now. A stamp
        // later than the clock as the next wait takes it (another clock's, another unit's)
        // is counted in ReferenceOutliers and not followed. Never blocks: one thread
        // observes at a time, beside the one that waits.
        public void Observe(long referenceNs, long localNs = -1)
        {
            Check(Native.varnex_pacer_observe(handle, referenceNs, localNs));
        }

        // Since 1.7: between waits.
        public void SetReferenceOptions(ReferenceOptions options)
        {
            options.Size = (uint)Marshal.SizeOf(typeof(ReferenceOptions));
            Check(Native.varnex_pacer_set_reference_options(handle, ref options));
        }

        // Since 1.7: the library's clock in nanoseconds, for timestamping observations.
        public static long ClockNs()
        {
            return Native.varnex_clock_ns();
        }

        public IntPtr GetWaitHandle()
        {
            IntPtr ready;
            Check(Native.varnex_pacer_wait_handle(handle, out ready));
            return ready;
        }

        public void GetRate(out uint rateNum, out uint rateDen)
        {
            Check(Native.varnex_pacer_rate(handle, out rateNum, out rateDen));
        }

        // From any thread, in the library's order: the cancel makes the readiness handle
        // ready; a Wait sleeping on it sees that and lets the pacer go; the pacer is destroyed
        // once no call holds it.
        public void Dispose()
        {
            disposing = true;
            try
            {
                Native.varnex_pacer_cancel(handle);
            }
            catch (ObjectDisposedException)
            {
                return;
            }
            handle.Dispose();
        }

        private static void Check(int status)
        {
            if (status != 0)
                throw new VarnexException((Status)status);
        }
    }

    // The system's own waits, for Wait's sleep on the readiness handle.
    internal static class SystemCalls
    {
        public const short PollIn = 1;
        public const int Eintr = 4;
        public const uint WaitFailed = 0xFFFFFFFF;

        [StructLayout(LayoutKind.Sequential)]
        public struct PollFd
        {
            public int Fd;
            public short Events;
            public short Revents;
        }

        // Mono's dllmap and .NET's loader both map "libc" to the C library (libc.so.6).
        [DllImport("libc", SetLastError = true)]
        public static extern int poll(ref PollFd fds, UIntPtr count, int timeoutMs);

        [DllImport("kernel32.dll", SetLastError = true)]
        public static extern uint WaitForSingleObject(IntPtr handle, uint timeoutMs);
    }

    public static class Native
    {
        private const string Library = "varnex";

        // The library's fixed text for any status; it owns the string.
        public static string Message(int status)
        {
            return Marshal.PtrToStringAnsi(varnex_strerror(status));
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint varnex_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr varnex_strerror(int status);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void varnex_pacer_config_init(ref PacerConfig config);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_create(ref PacerConfig config, out PacerHandle pacer);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void varnex_pacer_destroy(IntPtr pacer);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_wait(PacerHandle pacer, ref Tick tick);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_cancel(PacerHandle pacer);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_get_stats(PacerHandle pacer, ref PacerStats stats);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_set_controls(PacerHandle pacer, ref PacerControls controls);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_wait_handle(PacerHandle pacer, out IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_set_lateness_budget(PacerHandle pacer, long p99Ns);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_observe(PacerHandle pacer, long referenceNs, long localNs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_set_reference_options(PacerHandle pacer, ref ReferenceOptions options);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern long varnex_clock_ns();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_rate(PacerHandle pacer, out uint rateNum, out uint rateDen);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_sim_clock_create(ref SimClockConfig config, out SimClockHandle clock);

        // name: zero-terminated bytes.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_sim_clock_open(byte[] name, out SimClockHandle clock);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void varnex_sim_clock_destroy(IntPtr clock);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_sim_clock_now(SimClockHandle clock, out long nowNs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_sim_clock_advance(SimClockHandle clock, long toNs, long settleTimeoutNs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int varnex_pacer_create_on(ref PacerConfig config, SimClockHandle clock,
                                                        out PacerHandle pacer);
    }
}
