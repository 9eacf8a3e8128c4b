//! The Varnex pacer's C interface, `include/varnex/pacer.h`, as it is: its
//! constants, its structs (`#[repr(C)]`, checked field by field against the
//! C compiler's layout by this crate's tests) and its functions. The safe
//! API is the `varnex` crate; the header says who may call what from which
//! thread.
#![allow(non_camel_case_types)]

use std::os::raw::{c_char, c_int};

// generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
pub const VARNEX_OK: c_int = 0;
pub const VARNEX_E_INVALID_ARGUMENT: c_int = -1;
pub const VARNEX_E_INVALID_RATE: c_int = -2;
pub const VARNEX_E_INVALID_MODE: c_int = -3;
pub const VARNEX_E_INVALID_MISSED: c_int = -4;
pub const VARNEX_E_INVALID_PHASE: c_int = -5;
pub const VARNEX_E_NO_MEMORY: c_int = -6;
pub const VARNEX_E_NO_COUNTER: c_int = -7;
pub const VARNEX_E_CANCELLED: c_int = -8;
pub const VARNEX_E_INTERRUPTED: c_int = -9;
pub const VARNEX_E_INVALID_CONTROL: c_int = -10;
pub const VARNEX_E_NOT_DUE: c_int = -11;
pub const VARNEX_E_TIMEOUT: c_int = -12;
pub const VARNEX_E_NAME_IN_USE: c_int = -13;
pub const VARNEX_E_NOT_FOUND: c_int = -14;
pub const VARNEX_E_CLOCK_GONE: c_int = -15;
pub const VARNEX_E_INCOMPATIBLE: c_int = -16;
pub const VARNEX_E_ACCESS_DENIED: c_int = -17;
pub const VARNEX_MODE_SPIN: u32 = 0;
pub const VARNEX_MODE_SLEEP: u32 = 1;
pub const VARNEX_MODE_HYBRID: u32 = 2;
pub const VARNEX_MISSED_SKIP: u32 = 0;
pub const VARNEX_MISSED_BURST: u32 = 1;
pub const VARNEX_MISSED_DELAY: u32 = 2;
pub const VARNEX_CAUSE_UNKNOWN: u32 = 0;
pub const VARNEX_CAUSE_ON_TIME: u32 = 1;
pub const VARNEX_CAUSE_OVERSLEPT: u32 = 2;
pub const VARNEX_CAUSE_PREEMPTED: u32 = 3;
pub const VARNEX_CAUSE_HOST_LATE: u32 = 4;
pub const VARNEX_REFERENCE_NONE: u32 = 0;
pub const VARNEX_REFERENCE_ACQUIRING: u32 = 1;
pub const VARNEX_REFERENCE_LOCKED: u32 = 2;
pub const VARNEX_REFERENCE_HOLDOVER: u32 = 3;
pub const VARNEX_PACER_NO_STATS: u32 = 0x1;
pub const VARNEX_PACER_RETURN_ON_SIGNAL: u32 = 0x2;
pub const VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK: u32 = 0x4;
pub const VARNEX_PACER_TAI: u32 = 0x8;
pub const VARNEX_PACER_FOLLOW_REFERENCE: u32 = 0x10;
pub const VARNEX_CONTROL_BOOST: u32 = 0x1;
pub const VARNEX_CONTROL_AFFINITY: u32 = 0x2;
pub const VARNEX_CONTROL_REALTIME: u32 = 0x4;
pub const VARNEX_CONTROL_LOCK_MEMORY: u32 = 0x8;
pub const VARNEX_CONTROL_DMA_LATENCY: u32 = 0x10;
pub const VARNEX_CONTROL_NO_THROTTLING: u32 = 0x20;
pub const VARNEX_CONTROL_MMCSS: u32 = 0x40;
pub const VARNEX_SIM_AUTO_ADVANCE: u32 = 0x1;
pub const VARNEX_ON_TIME_NS: i64 = 10000;
pub const VARNEX_VERSION: u32 = 67584;
// end of generated constants

#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct varnex_pacer_config {
    pub size: u32,
    pub mode: u32,
    pub rate_num: u32,
    pub rate_den: u32,
    pub rate_hz: f64,
    pub phase_ns: i64,
    pub missed: u32,
    pub burst_cap: u32,
    pub flags: u32,
    pub margin_ns: u32,
}

#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct varnex_tick {
    pub size: u32,
    pub cause: u32,
    pub index: u64,
    pub missed: u64,
    pub lateness_ns: i64,
    pub interval_ns: i64,
    pub lateness_s: f64,
    pub interval_s: f64,
}

#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct varnex_pacer_stats {
    pub size: u32,
    pub reserved: u32,
    pub ticks: u64,
    pub missed: u64,
    pub lateness_p50_ns: i64,
    pub lateness_p99_ns: i64,
    pub lateness_p999_ns: i64,
    pub lateness_max_ns: i64,
    pub drift_ns: i64,
    pub spin_ns: i64,
    pub sleep_ns: i64,
    pub cpu_ns: i64,
    pub margin_ns: i64,
    pub controls_active: u32,
    pub controls_denied: u32,
    pub controls_unsupported: u32,
    pub clock_steps: u32,
    pub clock_step_ns: i64,
    pub clock_synchronized: i32,
    pub clock_error_us: i32,
    pub late_ticks: u64,
    pub late_overslept: u64,
    pub late_preempted: u64,
    pub late_host_late: u64,
    pub reference_state: u32,
    pub reference_rebases: u32,
    pub reference_phase_error_ns: i64,
    pub reference_rate_offset_ppb: i64,
    pub reference_jitter_ns: i64,
    pub reference_steps: u64,
    pub reference_observations: u64,
    pub reference_dropped: u64,
    pub reference_outliers: u64,
}

#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct varnex_reference_options {
    pub size: u32,
    pub slew_ppm: u32,
    pub step_threshold_ns: i64,
    pub rebase_threshold_ns: i64,
    pub holdover_ns: i64,
}

#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct varnex_pacer_controls {
    pub size: u32,
    pub flags: u32,
    pub affinity_mask: u64,
    pub realtime_priority: u32,
    pub dma_latency_us: u32,
}

#[repr(C)]
#[derive(Clone, Copy, Debug)]
pub struct varnex_sim_clock_config {
    pub size: u32,
    pub flags: u32,
    pub start_ns: i64,
    pub name: [c_char; 64],
}

impl Default for varnex_sim_clock_config {
    fn default() -> Self {
        varnex_sim_clock_config { size: 0, flags: 0, start_ns: 0, name: [0; 64] }
    }
}

/// A pacer, opaque.
#[repr(C)]
pub struct varnex_pacer {
    _private: [u8; 0],
}

/// A simulated clock, opaque.
#[repr(C)]
pub struct varnex_sim_clock {
    _private: [u8; 0],
}

extern "C" {
    pub fn varnex_version() -> u32;
    pub fn varnex_strerror(status: c_int) -> *const c_char;
    pub fn varnex_pacer_config_init(config: *mut varnex_pacer_config);
    pub fn varnex_pacer_create(config: *const varnex_pacer_config, pacer: *mut *mut varnex_pacer) -> c_int;
    pub fn varnex_pacer_destroy(pacer: *mut varnex_pacer);
    pub fn varnex_pacer_wait(pacer: *mut varnex_pacer, tick: *mut varnex_tick) -> c_int;
    pub fn varnex_pacer_cancel(pacer: *mut varnex_pacer) -> c_int;
    pub fn varnex_pacer_get_stats(pacer: *mut varnex_pacer, stats: *mut varnex_pacer_stats) -> c_int;
    pub fn varnex_pacer_set_controls(pacer: *mut varnex_pacer, controls: *const varnex_pacer_controls) -> c_int;
    pub fn varnex_pacer_wait_handle(pacer: *mut varnex_pacer, handle: *mut isize) -> c_int;
    pub fn varnex_pacer_set_lateness_budget(pacer: *mut varnex_pacer, p99_ns: i64) -> c_int;
    pub fn varnex_pacer_observe(pacer: *mut varnex_pacer, reference_ns: i64, local_ns: i64) -> c_int;
    pub fn varnex_pacer_set_reference_options(
        pacer: *mut varnex_pacer,
        options: *const varnex_reference_options,
    ) -> c_int;
    pub fn varnex_clock_ns() -> i64;
    pub fn varnex_pacer_rate(pacer: *const varnex_pacer, rate_num: *mut u32, rate_den: *mut u32) -> c_int;
    pub fn varnex_sim_clock_create(config: *const varnex_sim_clock_config, clock: *mut *mut varnex_sim_clock) -> c_int;
    pub fn varnex_sim_clock_open(name: *const c_char, clock: *mut *mut varnex_sim_clock) -> c_int;
    pub fn varnex_sim_clock_destroy(clock: *mut varnex_sim_clock);
    pub fn varnex_sim_clock_now(clock: *const varnex_sim_clock, now_ns: *mut i64) -> c_int;
    pub fn varnex_sim_clock_advance(clock: *mut varnex_sim_clock, to_ns: i64, settle_timeout_ns: i64) -> c_int;
    pub fn varnex_pacer_create_on(
        config: *const varnex_pacer_config,
        clock: *mut varnex_sim_clock,
        pacer: *mut *mut varnex_pacer,
    ) -> c_int;
}
