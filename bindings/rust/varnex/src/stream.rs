//! The pacer's ticks as a tokio stream: the reactor watches the readiness
//! handle, and the wait, called once it is ready, spins the rest.
use std::os::unix::io::{AsRawFd, RawFd};
use std::pin::Pin;
use std::task::{Context, Poll};

use futures_core::Stream;
use tokio::io::unix::AsyncFd;
use tokio::io::Interest;

use crate::{Error, Pacer, Tick};

/// The readiness handle's descriptor, which the pacer owns and closes.
struct Descriptor(RawFd);

impl AsRawFd for Descriptor {
    fn as_raw_fd(&self) -> RawFd {
        self.0
    }
}

/// The ticks of a pacer on a tokio runtime: [`Pacer::into_stream`].
///
/// The runtime's thread is blocked only for the final spin of each tick (a hybrid's margin);
/// the rest of the wait is tokio's, and other tasks run. A `next()` future dropped before it
/// completes takes no tick: the tick is left for the next poll. A cancel
/// ([`crate::CancelHandle`]) yields one `Err(Error::Cancelled)`, and the stream goes on with
/// the tick that was pending. The stream never ends; once the runtime that made it has shut
/// down, each poll gives `Err(Error::NoCounter)`.
pub struct TickStream {
    // Declared first, so dropped first: tokio deregisters the descriptor before the pacer,
    // when its last owner drops, closes it (a closed number may be reused by another file).
    ready: AsyncFd<Descriptor>,
    pacer: Pacer,
}

impl Pacer {
    /// The pacer's ticks as a `Stream<Item = Result<Tick, Error>>` on the current tokio runtime.
    ///
    /// [`Error::InvalidMode`] in spin mode, which has no readiness handle; [`Error::NoCounter`]
    /// when the system gives no timer or the reactor refuses the descriptor.
    ///
    /// # Panics
    /// Outside a tokio runtime with its I/O driver enabled, as tokio's own I/O types do.
    pub fn into_stream(mut self) -> Result<TickStream, Error> {
        let handle = self.wait_handle()?;
        let ready = AsyncFd::with_interest(Descriptor(handle as RawFd), Interest::READABLE)
            .map_err(|_| Error::NoCounter)?;
        Ok(TickStream { ready, pacer: self })
    }
}

impl TickStream {
    /// The pacer, for its statistics, rate and cancel handle.
    pub fn pacer(&self) -> &Pacer {
        &self.pacer
    }
}

impl Stream for TickStream {
    type Item = Result<Tick, Error>;

    fn poll_next(self: Pin<&mut Self>, context: &mut Context<'_>) -> Poll<Option<Self::Item>> {
        let this = self.get_mut();
        loop {
            let mut guard = match this.ready.poll_read_ready(context) {
                Poll::Pending => return Poll::Pending,
                Poll::Ready(Ok(guard)) => guard,
                // The runtime is shutting down: it polls the handle no more.
                Poll::Ready(Err(_)) => return Poll::Ready(Some(Err(Error::NoCounter))),
            };
            let result = this.pacer.wait();
            // Whatever it returned, the wait re-armed the handle for the tick the next wait
            // returns: the readiness seen is spent. (A readiness that came after it, a cancel
            // from another thread, is kept: tokio clears only the event this guard saw.)
            guard.clear_ready();
            match result {
                Err(Error::NotDue) => continue,
                other => return Poll::Ready(Some(other)),
            }
        }
    }
}
