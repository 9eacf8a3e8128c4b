//! The blocking API over the library: ticks, errors, and cancels from
//! another thread, also once the pacer's owner has dropped.
use std::sync::mpsc;
use std::thread;
use std::time::{SystemTime, UNIX_EPOCH};

use varnex::{Align, Cause, Controls, Error, Mode, Pacer, ReferenceOptions};

#[test]
fn ticks_come_in_order_and_are_counted() {
    let mut pacer = Pacer::new(1000.0).unwrap();
    let mut last: Option<u64> = None;
    for tick in pacer.ticks().take(50) {
        let tick = tick.unwrap();
        let expected = last.map_or(tick.missed, |index| index + 1 + tick.missed);
        assert_eq!(tick.index, expected, "consecutive indices, less the missed");
        assert!(tick.lateness_ns >= 0, "never early: {:?}", tick);
        assert_ne!(tick.cause, Cause::Unknown);
        last = Some(tick.index);
    }
    let stats = pacer.stats().unwrap();
    assert_eq!(stats.ticks, 50);
    assert!(stats.margin_ns > 0, "a hybrid learns a margin");
    assert_eq!(stats.late_ticks, stats.late_overslept + stats.late_preempted + stats.late_host_late);
    assert_eq!(pacer.rate().unwrap(), (1000, 1));
    assert_eq!(Pacer::builder().rate(30000, 1001).build().unwrap().rate().unwrap(), (30000, 1001));
}

#[test]
fn errors_carry_the_library_status_and_text() {
    let error = Pacer::new(0.0).err().unwrap();
    assert_eq!(error, Error::InvalidRate);
    assert_eq!(error.status(), varnex_sys::VARNEX_E_INVALID_RATE);
    assert!(!error.to_string().is_empty() && !error.to_string().contains("unknown"), "{}", error);
    assert_ne!(error.to_string(), Error::Cancelled.to_string());
    let spin = || Pacer::builder().rate_hz(100.0).mode(Mode::Spin);
    assert_eq!(spin().build().unwrap().wait_handle().err(), Some(Error::InvalidMode));
    assert_eq!(spin().lateness_budget_ns(20_000).build().err(), Some(Error::InvalidMode));
    let realtime = Controls { realtime_priority: Some(10), ..Controls::default() };
    assert_eq!(spin().controls(realtime).build().err(), Some(Error::InvalidControl));
    let pacer = Pacer::new(100.0).unwrap();
    let mut observer = pacer.observer().unwrap();
    assert!(pacer.observer().is_none(), "one observer at a time");
    assert_eq!(observer.observe(0, None).err(), Some(Error::InvalidArgument), "a pacer that follows nothing");
    let bad_slew = ReferenceOptions { slew_ppm: 100_001, ..ReferenceOptions::default() };
    assert_eq!(Pacer::builder().rate_hz(100.0).follow_reference(bad_slew).build().err(), Some(Error::InvalidArgument));
}

#[test]
fn a_builder_setting_changed_takes_the_last_choice_alone() {
    let zero = Pacer::builder().rate_hz(100.0).rate(0, 1).build();
    assert_eq!(zero.err(), Some(Error::InvalidRate), "a numerator of 0, not the rate_hz set before");
    let mut pacer = Pacer::builder().rate(100, 1).align(Align::Tai).align(Align::SystemClock).build().unwrap();
    let tick_ms = pacer.wait().unwrap().index * 10;
    let now_ms = SystemTime::now().duration_since(UNIX_EPOCH).unwrap().as_millis() as u64;
    // A grid left on CLOCK_TAI is refused while the kernel's TAI offset is 0, or else runs ahead
    // of the system clock by the leap seconds.
    assert!(tick_ms <= now_ms && now_ms - tick_ms < 60_000, "tick at {} ms, now {} ms", tick_ms, now_ms);
}

#[test]
fn a_cancel_from_another_thread_stops_the_wait_and_leaves_the_tick() {
    let mut pacer = Pacer::builder().rate_hz(5.0).mode(Mode::Sleep).build().unwrap();
    let cancel = pacer.cancel_handle();
    let (waiting, about_to_wait) = mpsc::channel();
    let canceller = thread::spawn(move || {
        about_to_wait.recv().unwrap();
        cancel.cancel();
    });
    waiting.send(()).unwrap();
    assert_eq!(pacer.wait().err(), Some(Error::Cancelled));
    canceller.join().unwrap();
    let tick = pacer.wait().unwrap();
    assert_eq!((tick.index, tick.missed), (0, 0), "the cancelled wait took no tick");
}

#[test]
fn a_cancel_handle_keeps_the_pacer_until_it_drops() {
    fn is_open(descriptor: isize) -> bool {
        unsafe { libc::fcntl(descriptor as i32, libc::F_GETFD) != -1 }
    }
    let mut pacer = Pacer::builder().rate_hz(1.0).mode(Mode::Sleep).build().unwrap();
    let descriptor = pacer.wait_handle().unwrap();
    let cancel = pacer.cancel_handle();
    drop(pacer);
    assert!(is_open(descriptor), "the handle's owner keeps the pacer");
    let clone = cancel.clone();
    thread::spawn(move || clone.cancel()).join().unwrap();
    drop(cancel);
    assert!(!is_open(descriptor), "the last owner destroyed the pacer");
}
