//! The library's errors and the kinds its structs carry as integers.

// generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
/// An error of the library: a `varnex_status` other than `VARNEX_OK`.
#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]
#[non_exhaustive]
pub enum Error {
    InvalidArgument,
    InvalidRate,
    InvalidMode,
    InvalidMissed,
    InvalidPhase,
    NoMemory,
    NoCounter,
    Cancelled,
    Interrupted,
    InvalidControl,
    NotDue,
    Timeout,
    NameInUse,
    NotFound,
    ClockGone,
    Incompatible,
    AccessDenied,
    /// A status this crate does not know, from a newer library.
    Unknown(i32),
}

impl Error {
    /// The error for a status other than `VARNEX_OK`.
    pub fn from_status(status: i32) -> Error {
        match status {
            -1 => Error::InvalidArgument,
            -2 => Error::InvalidRate,
            -3 => Error::InvalidMode,
            -4 => Error::InvalidMissed,
            -5 => Error::InvalidPhase,
            -6 => Error::NoMemory,
            -7 => Error::NoCounter,
            -8 => Error::Cancelled,
            -9 => Error::Interrupted,
            -10 => Error::InvalidControl,
            -11 => Error::NotDue,
            -12 => Error::Timeout,
            -13 => Error::NameInUse,
            -14 => Error::NotFound,
            -15 => Error::ClockGone,
            -16 => Error::Incompatible,
            -17 => Error::AccessDenied,
            other => Error::Unknown(other),
        }
    }

    /// The library's status code.
    pub fn status(self) -> i32 {
        match self {
            Error::InvalidArgument => -1,
            Error::InvalidRate => -2,
            Error::InvalidMode => -3,
            Error::InvalidMissed => -4,
            Error::InvalidPhase => -5,
            Error::NoMemory => -6,
            Error::NoCounter => -7,
            Error::Cancelled => -8,
            Error::Interrupted => -9,
            Error::InvalidControl => -10,
            Error::NotDue => -11,
            Error::Timeout => -12,
            Error::NameInUse => -13,
            Error::NotFound => -14,
            Error::ClockGone => -15,
            Error::Incompatible => -16,
            Error::AccessDenied => -17,
            Error::Unknown(status) => status,
        }
    }
}

/// How a pacer waits (`varnex_mode`).
#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]
#[repr(u32)]
pub enum Mode {
    Spin = 0,
    Sleep = 1,
    Hybrid = 2,
}

/// What a wait does after later deadlines passed (`varnex_missed`).
#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]
#[repr(u32)]
pub enum Missed {
    Skip = 0,
    Burst = 1,
    Delay = 2,
}

/// Why a wait returned its tick when it did (`varnex_cause`).
#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]
#[repr(u32)]
pub enum Cause {
    Unknown = 0,
    OnTime = 1,
    Overslept = 2,
    Preempted = 3,
    HostLate = 4,
}

impl Cause {
    pub(crate) fn from_raw(value: u32) -> Option<Cause> {
        match value {
            0 => Some(Cause::Unknown),
            1 => Some(Cause::OnTime),
            2 => Some(Cause::Overslept),
            3 => Some(Cause::Preempted),
            4 => Some(Cause::HostLate),
            _ => None,
        }
    }
}

/// A following pacer's reference (`varnex_reference_state`).
#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]
#[repr(u32)]
pub enum ReferenceState {
    None = 0,
    Acquiring = 1,
    Locked = 2,
    Holdover = 3,
}

impl ReferenceState {
    pub(crate) fn from_raw(value: u32) -> Option<ReferenceState> {
        match value {
            0 => Some(ReferenceState::None),
            1 => Some(ReferenceState::Acquiring),
            2 => Some(ReferenceState::Locked),
            3 => Some(ReferenceState::Holdover),
            _ => None,
        }
    }
}

/// A scheduling or power control (the `VARNEX_CONTROL_*` bits).
#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]
#[repr(u32)]
pub enum Control {
    Boost = 0x1,
    Affinity = 0x2,
    Realtime = 0x4,
    LockMemory = 0x8,
    DmaLatency = 0x10,
    NoThrottling = 0x20,
    Mmcss = 0x40,
}
// end of generated constants
