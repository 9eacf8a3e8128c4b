//! Every struct's size and every field's offset, against the C compiler's:
//! the program VARNEX_STRUCT_LAYOUT names (struct_layout, built beside the
//! library) prints them.
use std::collections::BTreeMap;
use std::mem::{size_of, MaybeUninit};
use std::process::Command;
use varnex_sys::*;

macro_rules! layout {
    ($($name:ident { $($field:ident),* })*) => {{
        let mut found = BTreeMap::new();
        $(
            // An exhaustive pattern: a field of the Rust struct left out of this list fails to compile.
            let _every_field = |whole: $name| {
                let $name { $($field: _),* } = whole;
            };
            found.insert(format!("{} sizeof", stringify!($name)), size_of::<$name>());
            let value = MaybeUninit::<$name>::uninit();
            let base = value.as_ptr();
            $(
                // addr_of! takes the field's address without reading the uninitialised value.
                let field = unsafe { std::ptr::addr_of!((*base).$field) };
                found.insert(format!("{} {}", stringify!($name), stringify!($field)), field as usize - base as usize);
            )*
        )*
        found
    }};
}

#[test]
fn every_struct_matches_the_c_layout_field_by_field() {
    let program = std::env::var("VARNEX_STRUCT_LAYOUT")
        .expect("VARNEX_STRUCT_LAYOUT names the struct_layout program of a build of the library");
    let output = Command::new(&program).output().expect("struct_layout runs");
    assert!(output.status.success());
    let c_layout: BTreeMap<String, usize> = String::from_utf8(output.stdout)
        .unwrap()
        .lines()
        .map(|line| {
            let (key, value) = line.rsplit_once(' ').expect("a line: struct field offset");
            (key.to_string(), value.parse().expect("an offset"))
        })
        .collect();
    let rust_layout = layout! {
        varnex_pacer_config { size, mode, rate_num, rate_den, rate_hz, phase_ns, missed, burst_cap, flags, margin_ns }
        varnex_reference_options { size, slew_ppm, step_threshold_ns, rebase_threshold_ns, holdover_ns }
        varnex_tick { size, cause, index, missed, lateness_ns, interval_ns, lateness_s, interval_s }
        varnex_pacer_stats {
            size, reserved, ticks, missed, lateness_p50_ns, lateness_p99_ns, lateness_p999_ns, lateness_max_ns,
            drift_ns, spin_ns, sleep_ns, cpu_ns, margin_ns, controls_active, controls_denied, controls_unsupported,
            clock_steps, clock_step_ns, clock_synchronized, clock_error_us, late_ticks, late_overslept,
            late_preempted, late_host_late, reference_state, reference_rebases, reference_phase_error_ns,
            reference_rate_offset_ppb, reference_jitter_ns, reference_steps, reference_observations,
            reference_dropped, reference_outliers
        }
        varnex_pacer_controls { size, flags, affinity_mask, realtime_priority, dma_latency_us }
        varnex_sim_clock_config { size, flags, start_ns, name }
    };
    assert_eq!(rust_layout, c_layout);
}

#[test]
fn the_loaded_library_is_as_new_as_these_declarations() {
    assert!(unsafe { varnex_version() } >= VARNEX_VERSION);
}
