//! The peer of auto-advance: tokio's own `interval` under paused time
//! (`time::pause()`, which auto-advances while the runtime is idle) in a
//! current-thread runtime, at 1 kHz; prints its ticks a second of wall time.
//!
//! usage: tokio_paused_bench [TICKS]
//! (cargo run --release --features tokio --example tokio_paused_bench, from bindings/rust)
use std::time::{Duration, Instant};

use tokio::time::MissedTickBehavior;

fn main() {
    let ticks: u64 = std::env::args().nth(1).map(|value| value.parse().expect("TICKS")).unwrap_or(3_600_000);
    let runtime = tokio::runtime::Builder::new_current_thread().enable_all().build().unwrap();
    let seconds = runtime.block_on(async {
        tokio::time::pause();
        let mut interval = tokio::time::interval(Duration::from_millis(1));
        interval.set_missed_tick_behavior(MissedTickBehavior::Skip);
        let start = Instant::now();
        for _ in 0..ticks {
            interval.tick().await;
        }
        start.elapsed().as_secs_f64()
    });
    println!("tokio interval under time::pause(), 1 kHz: {:.2} M ticks/s", ticks as f64 / seconds * 1e-6);
}
