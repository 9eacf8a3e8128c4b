//! A tokio runtime paced two ways at each rate, the ways taking turns in
//! rounds: tokio's own `interval` (MissedTickBehavior::Skip, the pacer's
//! policy) and the pacer's `TickStream` in hybrid mode (tokio waits on its
//! readiness handle). One current-thread runtime runs every row, so the
//! process's CPU is the loop's. Appends each tick's lateness (the reading
//! after the wake-up minus the deadline) and each row's CPU-seconds per
//! second to the pacing benchmark's CSV, as bench/asyncio_bench.py does.
//!
//! usage: tokio_bench CSV [--rounds N] [--ticks N] [--rates R,R]
//! (cargo run --release --features tokio --example tokio_bench -- CSV ..., from bindings/rust)
use std::fs::OpenOptions;
use std::io::Write;
use std::time::{Duration, Instant};

use tokio::time::MissedTickBehavior;
use tokio_stream::StreamExt;

fn process_cpu_ns() -> i64 {
    let mut now = libc::timespec { tv_sec: 0, tv_nsec: 0 };
    unsafe { libc::clock_gettime(libc::CLOCK_PROCESS_CPUTIME_ID, &mut now) };
    now.tv_sec as i64 * 1_000_000_000 + now.tv_nsec as i64
}

fn signed_ns(reading: Instant, deadline: Instant) -> f64 {
    match reading.checked_duration_since(deadline) {
        Some(late) => late.as_nanos() as f64,
        None => -(deadline.duration_since(reading).as_nanos() as f64),
    }
}

async fn tokio_interval(rate: u32, ticks: usize) -> Vec<f64> {
    let period = Duration::from_nanos(1_000_000_000 / rate as u64);
    let mut interval = tokio::time::interval_at(tokio::time::Instant::now() + period, period);
    interval.set_missed_tick_behavior(MissedTickBehavior::Skip);
    let mut lateness = Vec::with_capacity(ticks);
    for _ in 0..ticks {
        // The deadline that fired; tokio's Instant is the same clock as std's.
        let deadline = interval.tick().await.into_std();
        lateness.push(signed_ns(Instant::now(), deadline));
    }
    lateness
}

async fn pacer_stream(rate: u32, ticks: usize) -> Vec<f64> {
    // The deadlines come from the ticks, as asyncio_bench.py finds them: a deadline is the
    // library's final reading minus the lateness it reported, at or before the host's reading,
    // so the grid's start is the least of (reading - lateness - k's offset).
    let period_ns = 1e9 / rate as f64;
    let mut stream = varnex::Pacer::new(rate as f64).unwrap().into_stream().unwrap();
    stream.next().await.unwrap().unwrap();
    let mut samples = Vec::with_capacity(ticks);
    while samples.len() < ticks {
        let tick = stream.next().await.unwrap().unwrap();
        samples.push((varnex::clock_ns() as f64, tick.lateness_ns as f64, tick.index as f64));
    }
    let start_ns = samples
        .iter()
        .map(|&(reading, lateness, index)| reading - lateness - index * period_ns)
        .fold(f64::INFINITY, f64::min);
    samples.iter().map(|&(reading, _, index)| reading - start_ns - index * period_ns).collect()
}

fn main() {
    let arguments: Vec<String> = std::env::args().skip(1).collect();
    let usage = "usage: tokio_bench CSV [--rounds N] [--ticks N] [--rates R,R]";
    let csv = arguments.first().filter(|path| !path.starts_with("--")).expect(usage).clone();
    let (mut rounds, mut ticks, mut rates) = (4usize, 3000usize, vec![100u32, 1000]);
    for pair in arguments[1..].chunks(2) {
        let value = pair.get(1).expect(usage);
        match pair[0].as_str() {
            "--rounds" => rounds = value.parse().expect(usage),
            "--ticks" => ticks = value.parse().expect(usage),
            "--rates" => rates = value.split(',').map(|rate| rate.parse().expect(usage)).collect(),
            _ => panic!("{}", usage),
        }
    }
    let runtime = tokio::runtime::Builder::new_current_thread().enable_all().build().unwrap();
    let mut out = OpenOptions::new().append(true).create(true).open(&csv).unwrap();
    let methods: [(&str, &str); 2] = [
        ("tokio_interval", "tokio interval (MissedTickBehavior::Skip)"),
        ("pacer_tokio", "varnex hybrid TickStream on tokio"),
    ];
    for round in 0..rounds {
        for &rate in &rates {
            for (method_id, name) in methods {
                let row_ticks = ticks / rounds;
                let (cpu_start_ns, wall_start) = (process_cpu_ns(), Instant::now());
                let lateness = runtime.block_on(async {
                    match method_id {
                        "tokio_interval" => tokio_interval(rate, row_ticks).await,
                        _ => pacer_stream(rate, row_ticks).await,
                    }
                });
                let cpu_per_second =
                    (process_cpu_ns() - cpu_start_ns) as f64 / wall_start.elapsed().as_nanos() as f64;
                let mut rows = String::new();
                for value in lateness {
                    rows += &format!("linux,{},{},{},error,{:.4}\n", method_id, name, rate, value);
                }
                rows += &format!("linux,{},{},{},cpu,{:.4}\n", method_id, name, rate, cpu_per_second);
                out.write_all(rows.as_bytes()).unwrap();
            }
        }
        println!("tokio round {} of {} done", round + 1, rounds);
    }
}
