"""What the package raises for a status the library returned."""
from ._constants import Status


class VarnexError(Exception):
    """A failure the library reported, other than an invalid argument."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


class Cancelled(VarnexError):
    """Pacer.cancel() ended the wait."""


class Closed(VarnexError):
    """The pacer was closed; close() from another thread also ends its wait with this."""


class LibraryNotFound(VarnexError):
    """No Varnex library where the module looked."""


class SettleTimeout(VarnexError, TimeoutError):
    """An advance's settle ran out of time: the clock reads the new time, and a later advance
    settles the pacers still pending."""


class NameInUse(VarnexError, FileExistsError):
    """A live clock holds the name."""


class ClockNotFound(VarnexError, FileNotFoundError):
    """No clock by that name."""


class ClockGone(VarnexError):
    """The process that created the named clock ended: the clock moves no more."""


class AccessDenied(VarnexError, PermissionError):
    """The name is another user's clock, or its file has other permissions."""


# What the host passed: these raise ValueError.
_INVALID = {Status.INVALID_ARGUMENT, Status.INVALID_RATE, Status.INVALID_MODE, Status.INVALID_MISSED,
            Status.INVALID_PHASE, Status.INVALID_CONTROL}


def _error_for(status, message):
    """The exception for a status other than OK, with the library's message for it."""
    if status in _INVALID:
        return ValueError(message)
    return _CLASSES.get(status, VarnexError)(message, status)


_CLASSES = {Status.CANCELLED: Cancelled, Status.TIMEOUT: SettleTimeout, Status.NAME_IN_USE: NameInUse,
            Status.NOT_FOUND: ClockNotFound, Status.CLOCK_GONE: ClockGone, Status.ACCESS_DENIED: AccessDenied}
