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


# What the host passed: these raise ValueError.
_INVALID = {Status.INVALID_ARGUMENT, Status.INVALID_RATE, Status.INVALID_MODE, Status.INVALID_MISSED,
            Status.INVALID_PHASE, Status.INVALID_CONTROL}


def _error_for(status, message):
    """The exception for a status other than OK, with the library's message for it."""
    if status in _INVALID:
        return ValueError(message)
    if status == Status.CANCELLED:
        return Cancelled(message, status)
    return VarnexError(message, status)
