//! Paces a loop at a fixed rate: tick k is due at `start + k / rate`,
//! computed from k in exact integer arithmetic by the Varnex library, so the
//! loop never drifts, however long it runs.
//!
//! ```no_run
//! let mut pacer = varnex::Pacer::new(500.0)?; // hybrid: sleeps, then spins the last stretch
//! for tick in pacer.ticks().take(250) {
//!     let tick = tick?;                       // tick.index, tick.lateness_ns, tick.missed, ...
//! }
//! println!("p99 lateness {} ns", pacer.stats()?.lateness_p99_ns);
//! # Ok::<(), varnex::Error>(())
//! ```
//!
//! Threads: one thread waits on a pacer at a time (`wait` takes `&mut self`);
//! a [`CancelHandle`] may be used from any thread, also while another waits,
//! and [`Pacer::stats`] from any thread between waits (a wait borrows the
//! `Pacer` whole); an [`Observer`] from one thread at a time, beside the
//! waiting one. The pacer's memory is owned by the `Pacer` and by every
//! handle made from it, and is destroyed when the last of them drops: a
//! cancel after the `Pacer` dropped touches a pacer that is still there.
//!
//! With the feature `tokio`, [`Pacer::into_stream`] gives a stream of ticks
//! that waits on the pacer's readiness handle in tokio's reactor.
//!
//! On a [`SimClock`] the host drives ([`Builder::clock`]), a test runs an
//! hour of ticks in moments, and a loop runs in lockstep with a simulator:
//!
//! ```no_run
//! let clock = varnex::SimClock::new(0, true)?;  // auto-advance: the next deadline at once
//! let mut pacer = varnex::Pacer::builder().rate(1000, 1).clock(&clock).build()?;
//! for tick in pacer.ticks().take(3_600_000) {
//!     assert_eq!(tick?.lateness_ns, 0);
//! }
//! # Ok::<(), varnex::Error>(())
//! ```
use std::ffi::CStr;
use std::fmt;
use std::os::raw::c_int;
use std::ptr::NonNull;
use std::sync::atomic::{AtomicBool, Ordering};
use std::sync::Arc;

use varnex_sys as sys;

mod kinds;
mod sim_clock;
// tokio watches a descriptor (AsyncFd): on Windows the handle is a waitable
// timer, which its reactor cannot watch.
#[cfg(all(feature = "tokio", unix))]
mod stream;

pub use kinds::{Cause, Control, Error, Missed, Mode, ReferenceState};
pub use sim_clock::SimClock;
#[cfg(all(feature = "tokio", unix))]
pub use stream::{IntoStreamError, TickStream};

impl fmt::Display for Error {
    /// The library's text for the status.
    fn fmt(&self, formatter: &mut fmt::Formatter<'_>) -> fmt::Result {
        let text = unsafe { CStr::from_ptr(sys::varnex_strerror(self.status())) };
        formatter.write_str(&text.to_string_lossy())
    }
}

impl std::error::Error for Error {}

fn check(status: c_int) -> Result<(), Error> {
    if status == sys::VARNEX_OK {
        Ok(())
    } else {
        Err(Error::from_status(status))
    }
}

/// The version of the library that is loaded: `(major << 16) | (minor << 8) | patch`.
pub fn version() -> u32 {
    unsafe { sys::varnex_version() }
}

/// The library's clock, the one every wait runs on, in nanoseconds (Linux: `CLOCK_MONOTONIC`).
pub fn clock_ns() -> i64 {
    unsafe { sys::varnex_clock_ns() }
}

/// A tick that a wait returned (`varnex_tick`).
#[derive(Clone, Copy, Debug, PartialEq)]
pub struct Tick {
    /// Tick k: the first is 0; aligned or following a reference, k counts from that clock's 0.
    pub index: u64,
    /// Ticks passed over since the previous return.
    pub missed: u64,
    /// The reading that ended the wait, minus the tick's deadline.
    pub lateness_ns: i64,
    /// Since the previous return (since the creation for the first).
    pub interval_ns: i64,
    /// `lateness_ns` in seconds.
    pub lateness_s: f64,
    /// `interval_ns` in seconds.
    pub interval_s: f64,
    /// Why the wait returned the tick when it did.
    pub cause: Cause,
}

/// A set of controls, as the statistics report them.
#[derive(Clone, Copy, Debug, Default, PartialEq, Eq)]
pub struct ControlSet(pub u32);

impl ControlSet {
    pub fn contains(self, control: Control) -> bool {
        self.0 & control as u32 != 0
    }

    pub fn is_empty(self) -> bool {
        self.0 == 0
    }
}

/// A pacer's statistics (`varnex_pacer_stats`; the header documents each field).
#[derive(Clone, Copy, Debug)]
pub struct Stats {
    pub ticks: u64,
    pub missed: u64,
    pub lateness_p50_ns: i64,
    pub lateness_p99_ns: i64,
    pub lateness_p999_ns: i64,
    pub lateness_max_ns: i64,
    pub drift_ns: i64,
    pub spin_ns: i64,
    pub sleep_ns: i64,
    /// CPU time of the thread that first waited; `None` if unknown, or once that thread has ended.
    pub cpu_ns: Option<i64>,
    pub margin_ns: i64,
    pub controls_active: ControlSet,
    pub controls_denied: ControlSet,
    pub controls_unsupported: ControlSet,
    pub clock_steps: u32,
    pub clock_step_ns: i64,
    /// The kernel's view of the system clock; `None` where it is unknown.
    pub clock_synchronized: Option<bool>,
    pub clock_error_us: Option<i32>,
    pub late_ticks: u64,
    pub late_overslept: u64,
    pub late_preempted: u64,
    pub late_host_late: u64,
    pub reference_state: ReferenceState,
    pub reference_rebases: u32,
    pub reference_phase_error_ns: i64,
    pub reference_rate_offset_ppb: i64,
    pub reference_jitter_ns: i64,
    pub reference_steps: u64,
    pub reference_observations: u64,
    pub reference_dropped: u64,
    pub reference_outliers: u64,
}

/// Scheduling and power controls (`varnex_pacer_controls`): each applies to the waiting thread
/// only while the pacer needs it, and what was there is put back. docs/controls.md.
#[derive(Clone, Copy, Debug, Default)]
pub struct Controls {
    pub boost: bool,
    /// Bit n for CPU n.
    pub affinity_mask: Option<u64>,
    /// SCHED_FIFO at this priority (1 to 99) while it sleeps.
    pub realtime_priority: Option<u32>,
    pub lock_memory: bool,
    pub dma_latency_us: Option<u32>,
    pub no_throttling: bool,
    pub mmcss: bool,
}

impl Controls {
    fn raw(&self) -> sys::varnex_pacer_controls {
        let flag = |on: bool, control: Control| if on { control as u32 } else { 0 };
        sys::varnex_pacer_controls {
            size: std::mem::size_of::<sys::varnex_pacer_controls>() as u32,
            flags: flag(self.boost, Control::Boost)
                | flag(self.affinity_mask.is_some(), Control::Affinity)
                | flag(self.realtime_priority.is_some(), Control::Realtime)
                | flag(self.lock_memory, Control::LockMemory)
                | flag(self.dma_latency_us.is_some(), Control::DmaLatency)
                | flag(self.no_throttling, Control::NoThrottling)
                | flag(self.mmcss, Control::Mmcss),
            affinity_mask: self.affinity_mask.unwrap_or(0),
            realtime_priority: self.realtime_priority.unwrap_or(0),
            dma_latency_us: self.dma_latency_us.unwrap_or(0),
        }
    }
}

/// How a following pacer steers its grid (`varnex_reference_options`); a field left 0 takes
/// the library's default.
#[derive(Clone, Copy, Debug, Default)]
pub struct ReferenceOptions {
    pub slew_ppm: u32,
    pub step_threshold_ns: i64,
    pub rebase_threshold_ns: i64,
    pub holdover_ns: i64,
}

/// Where a grid is (see [`Builder::align`]).
#[derive(Clone, Copy, Debug, PartialEq, Eq)]
pub enum Align {
    /// Tick k is due where the system clock reads k periods (plus the phase) since 1970.
    SystemClock,
    /// The same on CLOCK_TAI, which has no leap seconds (Linux); [`Error::NoCounter`] while the
    /// kernel's TAI offset is 0.
    Tai,
}

/// The library's pacer, destroyed when the last of its owners drops.
struct Shared {
    pacer: NonNull<sys::varnex_pacer>,
    observer_out: AtomicBool,
    // The clock a pacer on a SimClock ticks on, released after the pacer is destroyed: the
    // creator's last SimClock frees a named clock's name.
    _clock: Option<SimClock>,
}

// Through a shared reference only the calls the header allows from any thread are made
// (cancel, statistics, rate), and observe by the one Observer; a wait needs the Pacer itself.
unsafe impl Send for Shared {}
unsafe impl Sync for Shared {}

impl Drop for Shared {
    fn drop(&mut self) {
        unsafe { sys::varnex_pacer_destroy(self.pacer.as_ptr()) }
    }
}

/// A pacer: ticks on a grid of deadlines that never drifts.
pub struct Pacer {
    shared: Arc<Shared>,
}

/// Makes a [`Pacer`] with more than a rate: [`Pacer::builder`].
#[derive(Clone, Debug)]
pub struct Builder {
    config: sys::varnex_pacer_config,
    budget_ns: Option<i64>,
    controls: Option<Controls>,
    reference_options: Option<ReferenceOptions>,
    clock: Option<SimClock>,
}

impl Builder {
    /// The rate as a double, converted once to the last convergent of its continued fraction
    /// whose terms fit in 32 bits (relative error below 2.3e-10), which [`Pacer::rate`] reports.
    pub fn rate_hz(mut self, rate_hz: f64) -> Builder {
        self.config.rate_num = 0;
        self.config.rate_hz = rate_hz;
        self
    }

    /// The rate as the exact fraction `num / den` ticks per second (30000/1001 for NTSC video).
    pub fn rate(mut self, num: u32, den: u32) -> Builder {
        self.config.rate_num = num;
        self.config.rate_den = den;
        // The library reads rate_hz when rate_num is 0: a rate_hz set before would turn a
        // numerator of 0 into that rate instead of Error::InvalidRate.
        self.config.rate_hz = 0.0;
        self
    }

    pub fn mode(mut self, mode: Mode) -> Builder {
        self.config.mode = mode as u32;
        self
    }

    /// What a wait does after later deadlines passed; [`Missed::Skip`] by default.
    pub fn missed(mut self, missed: Missed) -> Builder {
        self.config.missed = missed as u32;
        self
    }

    /// [`Missed::Burst`]: at most this many immediate returns in a row (4 by default).
    pub fn burst_cap(mut self, burst_cap: u32) -> Builder {
        self.config.burst_cap = burst_cap;
        self
    }

    /// The first deadline, in ns after the creation (one period by default); aligned or
    /// following a reference, the grid's phase.
    pub fn phase_ns(mut self, phase_ns: i64) -> Builder {
        self.config.phase_ns = phase_ns;
        self
    }

    /// Hybrid mode: a fixed margin instead of the learned one.
    pub fn margin_ns(mut self, margin_ns: u32) -> Builder {
        self.config.margin_ns = margin_ns;
        self
    }

    /// The p99 lateness the host accepts, for a hybrid that learns its margin.
    pub fn lateness_budget_ns(mut self, p99_ns: i64) -> Builder {
        self.budget_ns = Some(p99_ns);
        self
    }

    /// The grid on the system clock: synchronized machines tick together. docs/aligned-fleets.md.
    pub fn align(mut self, align: Align) -> Builder {
        self.config.flags |= sys::VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK;
        if align == Align::Tai {
            self.config.flags |= sys::VARNEX_PACER_TAI;
        } else {
            self.config.flags &= !sys::VARNEX_PACER_TAI;
        }
        self
    }

    /// The grid follows a reference clock that an [`Observer`] reports. docs/reference-clock.md.
    pub fn follow_reference(mut self, options: ReferenceOptions) -> Builder {
        self.config.flags |= sys::VARNEX_PACER_FOLLOW_REFERENCE;
        self.reference_options = Some(options);
        self
    }

    /// The grid on a clock the host drives: tick k is due at the clock's reading at the build,
    /// plus the phase, plus k periods. The mode does not apply there; a lateness budget gives
    /// [`Error::InvalidMode`], an aligned or following grid [`Error::InvalidArgument`]. The
    /// pacer keeps the clock. docs/virtual-time.md.
    pub fn clock(mut self, clock: &SimClock) -> Builder {
        self.clock = Some(clock.clone());
        self
    }

    pub fn controls(mut self, controls: Controls) -> Builder {
        self.controls = Some(controls);
        self
    }

    /// Keeps no statistics: [`Pacer::stats`] reports ticks and missed only.
    pub fn no_stats(mut self) -> Builder {
        self.config.flags |= sys::VARNEX_PACER_NO_STATS;
        self
    }

    /// A signal whose handler interrupts a sleeping wait ends it with [`Error::Interrupted`],
    /// the tick not taken. Without it the sleep goes on to the deadline.
    pub fn return_on_signal(mut self) -> Builder {
        self.config.flags |= sys::VARNEX_PACER_RETURN_ON_SIGNAL;
        self
    }

    pub fn build(self) -> Result<Pacer, Error> {
        let mut raw = std::ptr::null_mut();
        check(unsafe {
            match &self.clock {
                None => sys::varnex_pacer_create(&self.config, &mut raw),
                Some(clock) => sys::varnex_pacer_create_on(&self.config, clock.raw(), &mut raw),
            }
        })?;
        let pacer = NonNull::new(raw).ok_or(Error::NoMemory)?;
        let shared = Shared { pacer, observer_out: AtomicBool::new(false), _clock: self.clock };
        let mut pacer = Pacer { shared: Arc::new(shared) };
        if let Some(options) = self.reference_options {
            pacer.set_reference_options(&options)?;
        }
        if let Some(controls) = self.controls {
            pacer.set_controls(&controls)?;
        }
        if let Some(budget_ns) = self.budget_ns {
            pacer.set_lateness_budget_ns(budget_ns)?;
        }
        Ok(pacer)
    }
}

impl Pacer {
    /// A hybrid pacer at `rate_hz` ticks per second that skips missed ticks.
    pub fn new(rate_hz: f64) -> Result<Pacer, Error> {
        Pacer::builder().rate_hz(rate_hz).build()
    }

    /// The library's defaults (a phase of one period, burst cap 4, missed ticks skipped), in
    /// hybrid mode; a rate must be set.
    pub fn builder() -> Builder {
        let mut config = sys::varnex_pacer_config::default();
        unsafe { sys::varnex_pacer_config_init(&mut config) };
        config.mode = Mode::Hybrid as u32;
        Builder { config, budget_ns: None, controls: None, reference_options: None, clock: None }
    }

    fn raw(&self) -> *mut sys::varnex_pacer {
        self.shared.pacer.as_ptr()
    }

    /// Returns when the next tick is due. Once [`Pacer::wait_handle`] is out it never blocks:
    /// before the handle's wake-up it returns [`Error::NotDue`].
    pub fn wait(&mut self) -> Result<Tick, Error> {
        let mut tick = sys::varnex_tick { size: std::mem::size_of::<sys::varnex_tick>() as u32, ..Default::default() };
        check(unsafe { sys::varnex_pacer_wait(self.raw(), &mut tick) })?;
        Ok(Tick {
            index: tick.index,
            missed: tick.missed,
            lateness_ns: tick.lateness_ns,
            interval_ns: tick.interval_ns,
            lateness_s: tick.lateness_s,
            interval_s: tick.interval_s,
            cause: Cause::from_raw(tick.cause).unwrap_or(Cause::Unknown),
        })
    }

    /// The ticks, one wait each, without end: a cancel gives one `Err(Error::Cancelled)`.
    pub fn ticks(&mut self) -> Ticks<'_> {
        Ticks { pacer: self }
    }

    /// A handle that cancels the wait in progress, or else the next one, from any thread.
    pub fn cancel_handle(&self) -> CancelHandle {
        CancelHandle { shared: Arc::clone(&self.shared) }
    }

    /// The one [`Observer`] of a following pacer, while no other is out.
    pub fn observer(&self) -> Option<Observer> {
        if self.shared.observer_out.swap(true, Ordering::AcqRel) {
            return None;
        }
        Some(Observer { shared: Arc::clone(&self.shared) })
    }

    pub fn stats(&self) -> Result<Stats, Error> {
        let mut raw = sys::varnex_pacer_stats {
            size: std::mem::size_of::<sys::varnex_pacer_stats>() as u32,
            ..Default::default()
        };
        check(unsafe { sys::varnex_pacer_get_stats(self.raw(), &mut raw) })?;
        Ok(Stats {
            ticks: raw.ticks,
            missed: raw.missed,
            lateness_p50_ns: raw.lateness_p50_ns,
            lateness_p99_ns: raw.lateness_p99_ns,
            lateness_p999_ns: raw.lateness_p999_ns,
            lateness_max_ns: raw.lateness_max_ns,
            drift_ns: raw.drift_ns,
            spin_ns: raw.spin_ns,
            sleep_ns: raw.sleep_ns,
            cpu_ns: Some(raw.cpu_ns).filter(|&cpu_ns| cpu_ns >= 0),
            margin_ns: raw.margin_ns,
            controls_active: ControlSet(raw.controls_active),
            controls_denied: ControlSet(raw.controls_denied),
            controls_unsupported: ControlSet(raw.controls_unsupported),
            clock_steps: raw.clock_steps,
            clock_step_ns: raw.clock_step_ns,
            clock_synchronized: if raw.clock_synchronized < 0 { None } else { Some(raw.clock_synchronized == 1) },
            clock_error_us: Some(raw.clock_error_us).filter(|&error_us| error_us >= 0),
            late_ticks: raw.late_ticks,
            late_overslept: raw.late_overslept,
            late_preempted: raw.late_preempted,
            late_host_late: raw.late_host_late,
            reference_state: ReferenceState::from_raw(raw.reference_state).unwrap_or(ReferenceState::None),
            reference_rebases: raw.reference_rebases,
            reference_phase_error_ns: raw.reference_phase_error_ns,
            reference_rate_offset_ppb: raw.reference_rate_offset_ppb,
            reference_jitter_ns: raw.reference_jitter_ns,
            reference_steps: raw.reference_steps,
            reference_observations: raw.reference_observations,
            reference_dropped: raw.reference_dropped,
            reference_outliers: raw.reference_outliers,
        })
    }

    /// The rate in use, as the exact fraction `(num, den)` ticks per second.
    pub fn rate(&self) -> Result<(u32, u32), Error> {
        let (mut num, mut den) = (0, 0);
        check(unsafe { sys::varnex_pacer_rate(self.raw(), &mut num, &mut den) })?;
        Ok((num, den))
    }

    /// Replaces the controls; whether each took effect shows in [`Stats::controls_active`].
    pub fn set_controls(&mut self, controls: &Controls) -> Result<(), Error> {
        check(unsafe { sys::varnex_pacer_set_controls(self.raw(), &controls.raw()) })
    }

    /// The p99 lateness the host accepts (0: none); hybrid mode with a learned margin only.
    pub fn set_lateness_budget_ns(&mut self, p99_ns: i64) -> Result<(), Error> {
        check(unsafe { sys::varnex_pacer_set_lateness_budget(self.raw(), p99_ns) })
    }

    pub fn set_reference_options(&mut self, options: &ReferenceOptions) -> Result<(), Error> {
        let raw = sys::varnex_reference_options {
            size: std::mem::size_of::<sys::varnex_reference_options>() as u32,
            slew_ppm: options.slew_ppm,
            step_threshold_ns: options.step_threshold_ns,
            rebase_threshold_ns: options.rebase_threshold_ns,
            holdover_ns: options.holdover_ns,
        };
        check(unsafe { sys::varnex_pacer_set_reference_options(self.raw(), &raw) })
    }

    /// The readiness handle, for a loop of the host's own (Linux: a timerfd descriptor; Windows:
    /// a HANDLE's value): ready at the wake-up of the next tick, when [`Pacer::wait`] spins the
    /// rest. The pacer owns it: never read, reset or close it. docs/event-loops.md.
    pub fn wait_handle(&mut self) -> Result<isize, Error> {
        let mut handle = 0;
        check(unsafe { sys::varnex_pacer_wait_handle(self.raw(), &mut handle) })?;
        Ok(handle)
    }
}

/// The ticks of a pacer: [`Pacer::ticks`].
pub struct Ticks<'a> {
    pacer: &'a mut Pacer,
}

impl Iterator for Ticks<'_> {
    type Item = Result<Tick, Error>;

    fn next(&mut self) -> Option<Self::Item> {
        Some(self.pacer.wait())
    }
}

/// Cancels a pacer's waits from any thread; clone it freely. It owns the pacer with the
/// [`Pacer`], so it stays safe to use after the `Pacer` dropped.
#[derive(Clone)]
pub struct CancelHandle {
    shared: Arc<Shared>,
}

impl CancelHandle {
    /// Makes the wait in progress, or else the next one, return [`Error::Cancelled`] promptly
    /// (a sleep within 10 ms), and the readiness handle ready. The tick is not consumed.
    pub fn cancel(&self) {
        unsafe { sys::varnex_pacer_cancel(self.shared.pacer.as_ptr()) };
    }
}

/// Reports a following pacer's reference: [`Pacer::observer`]. One at a time per pacer; it may
/// move to another thread (an audio callback's) and observe beside the waiting one.
pub struct Observer {
    shared: Arc<Shared>,
}

impl Observer {
    /// The reference read `reference_ns` when [`clock_ns`] read `local_ns` (`None`: now).
    /// Never blocks or allocates. [`Error::InvalidArgument`] for a pacer that follows no
    /// reference, or a reading out of range.
    pub fn observe(&mut self, reference_ns: i64, local_ns: Option<i64>) -> Result<(), Error> {
        check(unsafe { sys::varnex_pacer_observe(self.shared.pacer.as_ptr(), reference_ns, local_ns.unwrap_or(-1)) })
    }
}

impl Drop for Observer {
    fn drop(&mut self) {
        self.shared.observer_out.store(false, Ordering::Release);
    }
}
