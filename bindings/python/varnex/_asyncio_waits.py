"""A pacer's waits in asyncio: on the readiness handle (Linux), or in the loop's
executor (Windows, whose proactor loop takes no reader). asyncio is imported at
the first such wait, so that a host that never awaits does not load it."""
import sys

from ._constants import Status
from ._errors import Closed, VarnexError
from ._library import _lib


class _AsyncioWaits:
    """Pacer's wait_async and async iteration, over the state and the one-waiter rule of
    Pacer's blocking wait."""

    async def wait_async(self):
        """Returns the next tick when it is due, without blocking the event loop (see the module's
        docs). Cancelling the task leaves the tick for the next wait. RuntimeError while another
        coroutine or thread waits on the pacer."""
        if sys.platform == "win32":
            return await self._wait_in_executor()
        import asyncio
        loop = asyncio.get_running_loop()
        handle = self._begin_wait()
        try:
            descriptor = self.fileno()
            # The wait before the reader: a pacer on a SimClock is back, for a settle and for
            # auto-advance, only once its wait has said NOT_DUE; until then the clock holds
            # still, and the handle would never be ready.
            status = self._wait(handle, self._tick_pointer)
            while status in (Status.NOT_DUE, Status.INTERRUPTED):
                ready = loop.create_future()
                loop.add_reader(descriptor, lambda: ready.done() or ready.set_result(None))
                try:
                    await ready
                finally:
                    loop.remove_reader(descriptor)
                if self._handle is None:
                    raise Closed("the pacer was closed during the wait")
                status = self._wait(handle, self._tick_pointer)
        finally:
            self._leave_wait()
        return self._returned(status)

    async def _wait_in_executor(self):
        # Windows: the proactor loop cannot wait on the handle. A cancelled task cancels the
        # wait only while it runs; a tick that the wait returned all the same leaves the cancel
        # pending in the library, and one more wait, which returns at once, takes it.
        import asyncio
        future = asyncio.get_running_loop().run_in_executor(None, self._executor_wait)
        try:
            return await asyncio.shield(future)
        except asyncio.CancelledError:
            with self._lock:
                if self._executor_waiting and self._handle is not None:
                    self._cancelled_by_task = True
                    _lib().varnex_pacer_cancel(self._handle)
            try:
                await future
            except VarnexError:
                pass
            raise

    def _executor_wait(self):
        handle = self._begin_wait()
        status = None
        try:
            with self._lock:
                self._executor_waiting = True
            status = self._wait(handle, self._tick_pointer)
            if status:
                status = self._wait_blocking(handle, status)
        finally:
            with self._lock:
                self._executor_waiting = False
                if self._cancelled_by_task and status == Status.OK and self._handle is not None:
                    self._wait(self._handle, None)
                self._cancelled_by_task = False
            self._leave_wait()
        return self._returned(status)

    def __aiter__(self):
        return self._ticks_async()

    async def _ticks_async(self):
        while True:
            yield await self.wait_async()
