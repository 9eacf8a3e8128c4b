//! The tokio stream: it leaves the runtime to other tasks, a dropped
//! `next()` takes no tick, and a cancel is one error.
use std::os::unix::io::{AsRawFd, RawFd};
use std::sync::atomic::{AtomicU64, Ordering};
use std::sync::Arc;
use std::time::Duration;

use tokio::io::unix::AsyncFd;
use tokio_stream::StreamExt;
use varnex::{Error, Mode, Pacer, SimClock};

#[tokio::test(flavor = "current_thread")]
async fn a_hundred_ticks_while_another_task_runs_on_the_same_thread() {
    let beats = Arc::new(AtomicU64::new(0));
    let counter = Arc::clone(&beats);
    let other = tokio::spawn(async move {
        loop {
            tokio::time::sleep(Duration::from_millis(1)).await;
            counter.fetch_add(1, Ordering::Relaxed);
        }
    });
    let mut ticks = Pacer::new(50.0).unwrap().into_stream().unwrap();
    let mut last = None;
    // A stream that blocked the thread through each 20 ms period would let the other task run
    // at most once a tick. The stream blocks it for the final spin only, at most half the
    // period (a hybrid's margin on the handle), so most ticks see it run twice or more.
    let mut turning = 0;
    for _ in 0..100 {
        let tick = ticks.next().await.unwrap().unwrap();
        assert_eq!(tick.index, last.map_or(tick.missed, |index: u64| index + 1 + tick.missed));
        assert!(tick.lateness_ns >= 0, "never early: {:?}", tick);
        last = Some(tick.index);
        if beats.swap(0, Ordering::Relaxed) >= 2 {
            turning += 1;
        }
    }
    other.abort();
    assert!(turning > 10, "only {} of 100 ticks saw the other task run twice", turning);
    assert_eq!(ticks.pacer().stats().unwrap().ticks, 100);
}

#[tokio::test(flavor = "current_thread")]
async fn a_dropped_next_leaves_its_tick_for_the_next_poll() {
    let mut ticks = Pacer::new(5.0).unwrap().into_stream().unwrap();
    let first = ticks.next().await.unwrap().unwrap();
    assert!(tokio::time::timeout(Duration::from_millis(5), ticks.next()).await.is_err());
    let second = ticks.next().await.unwrap().unwrap();
    assert_eq!((second.index, second.missed), (first.index + 1, 0));
}

#[tokio::test(flavor = "multi_thread", worker_threads = 2)]
async fn a_cancel_yields_one_error_and_the_stream_goes_on() {
    let mut ticks = Pacer::builder().rate_hz(5.0).mode(Mode::Sleep).build().unwrap().into_stream().unwrap();
    let cancel = ticks.pacer().cancel_handle();
    std::thread::spawn(move || cancel.cancel()).join().unwrap();
    assert_eq!(ticks.next().await.unwrap().err(), Some(Error::Cancelled));
    let tick = ticks.next().await.unwrap().unwrap();
    assert_eq!((tick.index, tick.missed), (0, 0), "the cancel took no tick");
}

#[tokio::test(flavor = "current_thread")]
async fn a_failed_stream_hands_its_pacer_back() {
    let spin = Pacer::builder().rate_hz(100.0).mode(Mode::Spin).build().unwrap();
    let (error, mut spin) = spin.into_stream().err().unwrap().into_parts();
    assert_eq!(error, Error::InvalidMode);
    assert_eq!(spin.wait().unwrap().index, 0);

    // A descriptor already in the reactor: tokio refuses a second registration.
    struct Fd(RawFd);
    impl AsRawFd for Fd {
        fn as_raw_fd(&self) -> RawFd {
            self.0
        }
    }
    let mut pacer = Pacer::new(100.0).unwrap();
    let watched = AsyncFd::new(Fd(pacer.wait_handle().unwrap() as RawFd)).unwrap();
    let refused = pacer.into_stream().err().unwrap();
    assert_eq!(refused.error(), Error::NoCounter);
    drop(watched);
    let mut ticks = refused.into_pacer().into_stream().unwrap();
    assert_eq!(ticks.next().await.unwrap().unwrap().index, 0);
}

#[tokio::test(flavor = "current_thread")]
async fn a_stream_on_a_clock_that_another_thread_advances_takes_each_tick_as_the_advance_settles() {
    let clock = SimClock::new(0, false).unwrap();
    let mut ticks = Pacer::builder().rate(100, 1).clock(&clock).build().unwrap().into_stream().unwrap();
    let taken = Arc::new(AtomicU64::new(0));
    let seen = Arc::clone(&taken);
    let cancel = ticks.pacer().cancel_handle();
    let simulator = std::thread::spawn(move || {
        let mut settled = Vec::new();
        for step in 1..=5 {
            let result = clock.advance_ns(step * 10_000_000, Some(Duration::from_secs(30)));
            settled.push(result.map(|()| seen.load(Ordering::SeqCst)));
            if result.is_err() {
                // Else the stream would wait for a step that never comes.
                cancel.cancel();
                break;
            }
        }
        settled
    });
    for index in 0..5 {
        let tick = ticks.next().await.unwrap().unwrap();
        assert_eq!((tick.index, tick.lateness_ns), (index, 0));
        taken.fetch_add(1, Ordering::SeqCst);
    }
    // One more poll: its wait, with no tick due, puts the stream back, and the last settle ends.
    assert!(tokio::time::timeout(Duration::ZERO, ticks.next()).await.is_err());
    // Each settle ends once the stream took the step's tick and waits again.
    assert_eq!(simulator.join().unwrap(), (1..=5).map(Ok).collect::<Vec<_>>());
}
