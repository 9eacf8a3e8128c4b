//! The pacer's ticks as a tokio stream: each poll calls the wait, and while
//! it says NotDue the reactor watches the readiness handle; the wait, called
//! again once that is ready, spins the rest.
use std::fmt;
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

/// [`Pacer::into_stream`]'s failure: the error, with the pacer handed back.
///
/// `?` turns it into its [`Error`], dropping the pacer.
pub struct IntoStreamError {
    error: Error,
    pacer: Pacer,
}

impl IntoStreamError {
    pub fn error(&self) -> Error {
        self.error
    }

    pub fn into_pacer(self) -> Pacer {
        self.pacer
    }

    pub fn into_parts(self) -> (Error, Pacer) {
        (self.error, self.pacer)
    }
}

impl fmt::Debug for IntoStreamError {
    fn fmt(&self, formatter: &mut fmt::Formatter<'_>) -> fmt::Result {
        formatter.debug_struct("IntoStreamError").field("error", &self.error).finish_non_exhaustive()
    }
}

impl fmt::Display for IntoStreamError {
    fn fmt(&self, formatter: &mut fmt::Formatter<'_>) -> fmt::Result {
        fmt::Display::fmt(&self.error, formatter)
    }
}

impl std::error::Error for IntoStreamError {}

impl From<IntoStreamError> for Error {
    fn from(failure: IntoStreamError) -> Error {
        failure.error
    }
}

impl Pacer {
    /// The pacer's ticks as a `Stream<Item = Result<Tick, Error>>` on the current tokio runtime.
    ///
    /// On failure the error hands the pacer back: [`Error::InvalidMode`] in spin mode, which has
    /// no readiness handle; [`Error::NoCounter`] when the system gives no timer or the reactor
    /// refuses the descriptor. A pacer handed back after the reactor refused its handle keeps
    /// the handle out, so its blocking wait returns [`Error::NotDue`] before each wake-up.
    ///
    /// # Panics
    /// Outside a tokio runtime with its I/O driver enabled, as tokio's own I/O types do.
    pub fn into_stream(mut self) -> Result<TickStream, IntoStreamError> {
        let handle = match self.wait_handle() {
            Ok(handle) => handle,
            Err(error) => return Err(IntoStreamError { error, pacer: self }),
        };
        match AsyncFd::with_interest(Descriptor(handle as RawFd), Interest::READABLE) {
            Ok(ready) => Ok(TickStream { ready, pacer: self }),
            Err(_) => Err(IntoStreamError { error: Error::NoCounter, pacer: self }),
        }
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
            // The wait before the reactor: a pacer on a SimClock is back, for a settle and for
            // auto-advance, only once its wait has said NotDue; until then the clock holds still,
            // and the handle would never be ready.
            match this.pacer.wait() {
                Err(Error::NotDue) => {}
                other => return Poll::Ready(Some(other)),
            }
            let mut guard = match this.ready.poll_read_ready(context) {
                Poll::Pending => return Poll::Pending,
                Poll::Ready(Ok(guard)) => guard,
                // The runtime is shutting down: it polls the handle no more.
                Poll::Ready(Err(_)) => return Poll::Ready(Some(Err(Error::NoCounter))),
            };
            // The wait re-armed the handle for the tick the next wait returns: a readiness seen
            // from before it is spent, and the wait above comes again to see whether this one is
            // the tick's. (A readiness that came after the guard, a cancel from another thread,
            // is kept: tokio clears only the event this guard saw.)
            guard.clear_ready();
        }
    }
}
