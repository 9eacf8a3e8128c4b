//! A clock the host drives: readings in nanoseconds that only its advances move.
use std::ffi::CString;
use std::fmt;
use std::os::raw::c_char;
use std::ptr::NonNull;
use std::sync::Arc;
use std::time::Duration;

use varnex_sys as sys;

use crate::{check, Error};

/// The library's clock, released when the last [`SimClock`] and the last pacer built on it drop.
struct Shared {
    clock: NonNull<sys::varnex_sim_clock>,
}

// The header allows every call but the destroy from any thread; the destroy comes with the last
// owner's drop, when no other call can be in progress.
unsafe impl Send for Shared {}
unsafe impl Sync for Shared {}

impl Drop for Shared {
    fn drop(&mut self) {
        unsafe { sys::varnex_sim_clock_destroy(self.clock.as_ptr()) }
    }
}

/// A simulated clock: its reading, in nanoseconds, moves only by [`SimClock::advance_ns`]. A
/// pacer built on it ([`crate::Builder::clock`]) ticks on its readings, tick k due at the reading
/// at its creation plus its phase plus k periods. Clone it freely to advance it from another
/// thread; every clone, and every pacer on the clock, keeps the clock. docs/virtual-time.md.
#[derive(Clone)]
pub struct SimClock {
    shared: Arc<Shared>,
}

impl fmt::Debug for SimClock {
    fn fmt(&self, formatter: &mut fmt::Formatter<'_>) -> fmt::Result {
        formatter.debug_struct("SimClock").field("now_ns", &self.now_ns().ok()).finish_non_exhaustive()
    }
}

/// A duration as nanoseconds of the C interface; [`Error::InvalidArgument`] past `i64::MAX`.
fn duration_ns(duration: Duration) -> Result<i64, Error> {
    i64::try_from(duration.as_nanos()).map_err(|_| Error::InvalidArgument)
}

impl SimClock {
    /// A clock of this process that reads `start_ns` (0 to 2^62) until it is advanced. With
    /// `auto_advance`, whenever no pacer on it is pending it moves to the earliest deadline they
    /// wait for: a test runs through its ticks at once.
    pub fn new(start_ns: i64, auto_advance: bool) -> Result<SimClock, Error> {
        SimClock::create(start_ns, auto_advance, &[])
    }

    /// A clock that other processes of this user open by `name`: 1 to 63 characters of
    /// `A-Z a-z 0-9 . _ -`. [`Error::NameInUse`] while a live clock holds the name.
    pub fn named(name: &str, start_ns: i64, auto_advance: bool) -> Result<SimClock, Error> {
        SimClock::create(start_ns, auto_advance, name_bytes(name)?.as_bytes())
    }

    fn create(start_ns: i64, auto_advance: bool, name: &[u8]) -> Result<SimClock, Error> {
        let mut config = sys::varnex_sim_clock_config {
            size: std::mem::size_of::<sys::varnex_sim_clock_config>() as u32,
            flags: if auto_advance { sys::VARNEX_SIM_AUTO_ADVANCE } else { 0 },
            start_ns,
            ..Default::default()
        };
        for (field, &byte) in config.name.iter_mut().zip(name) {
            *field = byte as c_char;
        }
        let mut raw = std::ptr::null_mut();
        check(unsafe { sys::varnex_sim_clock_create(&config, &mut raw) })?;
        SimClock::owning(raw)
    }

    /// The named clock that another process of this user created: [`Error::NotFound`] when
    /// there is none, [`Error::ClockGone`] when its creator ended.
    pub fn open(name: &str) -> Result<SimClock, Error> {
        let name = name_bytes(name)?;
        let mut raw = std::ptr::null_mut();
        check(unsafe { sys::varnex_sim_clock_open(name.as_ptr(), &mut raw) })?;
        SimClock::owning(raw)
    }

    fn owning(raw: *mut sys::varnex_sim_clock) -> Result<SimClock, Error> {
        let clock = NonNull::new(raw).ok_or(Error::NoMemory)?;
        Ok(SimClock { shared: Arc::new(Shared { clock }) })
    }

    pub(crate) fn raw(&self) -> *mut sys::varnex_sim_clock {
        self.shared.clock.as_ptr()
    }

    /// The reading, in the clock's nanoseconds; [`Error::ClockGone`] for an opened clock whose
    /// creator ended.
    pub fn now_ns(&self) -> Result<i64, Error> {
        let mut now_ns = 0;
        check(unsafe { sys::varnex_sim_clock_now(self.raw(), &mut now_ns) })?;
        Ok(now_ns)
    }

    /// The reading as a duration from the clock's 0.
    pub fn now(&self) -> Result<Duration, Error> {
        self.now_ns().map(|now_ns| Duration::from_nanos(now_ns as u64))
    }

    /// Moves the clock to `to_ns` (0 to 2^62; earlier than now is a reset, each pacer's next tick
    /// then due at `to_ns` plus its phase). `settle`: `None` runs free; a time-out waits, up to
    /// that long in real time, until every pacer that the advance made due is back in its wait,
    /// or gives [`Error::Timeout`] with the clock at `to_ns`. The pacers that this thread waits
    /// on are not waited for: they take their ticks at its next wait.
    pub fn advance_ns(&self, to_ns: i64, settle: Option<Duration>) -> Result<(), Error> {
        // A time-out past 292 years is for ever.
        let settle_ns = settle.map_or(-1, |settle| duration_ns(settle).unwrap_or(i64::MAX));
        check(unsafe { sys::varnex_sim_clock_advance(self.raw(), to_ns, settle_ns) })
    }

    /// [`SimClock::advance_ns`] to a duration from the clock's 0.
    pub fn advance(&self, to: Duration, settle: Option<Duration>) -> Result<(), Error> {
        self.advance_ns(duration_ns(to)?, settle)
    }
}

/// A name as the C string that holds it; [`Error::InvalidArgument`] for one that a NUL would end
/// early, or that the configuration's 64 bytes cannot hold with its terminator: either would name
/// another clock.
fn name_bytes(name: &str) -> Result<CString, Error> {
    if name.is_empty() || name.len() > 63 {
        return Err(Error::InvalidArgument);
    }
    CString::new(name).map_err(|_| Error::InvalidArgument)
}
