//! Pacers on a clock the host drives: auto-advance through exact ticks, and
//! the clock's errors.
use std::time::{Duration, Instant};

use varnex::{Error, Pacer, SimClock};

#[test]
fn an_auto_advancing_clock_runs_its_pacer_through_exact_ticks_at_once() {
    let clock = SimClock::new(5, true).unwrap();
    let mut pacer = Pacer::builder().rate(60, 1).clock(&clock).build().unwrap();
    let started = Instant::now();
    for index in 0..6000 {
        let tick = pacer.wait().unwrap();
        assert_eq!((tick.index, tick.missed, tick.lateness_ns), (index, 0, 0));
    }
    // Tick 5999 is due the phase (a period, in whole ns) and 5999 periods after the creation's
    // reading: 100 s of clock time, which the real clock's pace would take.
    assert_eq!(clock.now_ns().unwrap(), 5 + 1_000_000_000 / 60 + 5999 * 1_000_000_000 / 60);
    assert!(started.elapsed() < Duration::from_secs(20), "{:?}", started.elapsed());
}

#[test]
fn a_clock_refuses_what_it_cannot_hold_with_the_librarys_status() {
    for name in ["", "a\0b", "a".repeat(64).as_str()] {
        assert_eq!(SimClock::named(name, 0, false).err(), Some(Error::InvalidArgument), "{:?}", name);
    }
    assert_eq!(SimClock::open("varnex-test-no-such-clock").err(), Some(Error::NotFound));
    let clock = SimClock::new(0, false).unwrap();
    assert_eq!(clock.advance(Duration::from_secs(u64::MAX), None), Err(Error::InvalidArgument));
    clock.advance(Duration::from_millis(1500), None).unwrap();
    assert_eq!(clock.now().unwrap(), Duration::from_millis(1500));
    let budget = Pacer::builder().rate(60, 1).clock(&clock).lateness_budget_ns(1000).build();
    assert_eq!(budget.err(), Some(Error::InvalidMode), "no lateness budget on a clock");
}
