use tokio_stream::StreamExt;

#[tokio::main(flavor = "current_thread")]
async fn main() -> Result<(), varnex::Error> {
    let mut ticks = varnex::Pacer::new(1000.0)?.into_stream()?; // hybrid; tokio watches its handle
    let beside = tokio::spawn(async {
        let mut beats = 0; // another task of the loop: it runs between the ticks
        for _ in 0..100 {
            tokio::time::sleep(std::time::Duration::from_millis(1)).await;
            beats += 1;
        }
        beats
    });
    while let Some(tick) = ticks.next().await {
        if tick?.index >= 499 {
            break; // tick.index, .lateness_ns, .missed, .cause, ...
        }
    }
    let stats = ticks.pacer().stats()?;
    println!("tokio: {} ticks, p99 lateness {:.1} us; the other task ran {} times", stats.ticks,
             stats.lateness_p99_ns as f64 / 1e3, beside.await.unwrap_or(0));
    Ok(())
}
