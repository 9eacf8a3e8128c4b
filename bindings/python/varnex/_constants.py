"""The pacer header's constants: its status codes, causes and reference states as
enums, and the values its names of modes, policies, flags and controls stand for."""
import enum

# generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
class Status(enum.IntEnum):
    """The library's status codes (varnex_status)."""
    OK = 0
    INVALID_ARGUMENT = -1
    INVALID_RATE = -2
    INVALID_MODE = -3
    INVALID_MISSED = -4
    INVALID_PHASE = -5
    NO_MEMORY = -6
    NO_COUNTER = -7
    CANCELLED = -8
    INTERRUPTED = -9
    INVALID_CONTROL = -10
    NOT_DUE = -11
    TIMEOUT = -12
    NAME_IN_USE = -13
    NOT_FOUND = -14
    CLOCK_GONE = -15
    INCOMPATIBLE = -16
    ACCESS_DENIED = -17


class Cause(enum.IntEnum):
    """Why a wait returned its tick when it did (varnex_cause)."""
    UNKNOWN = 0
    ON_TIME = 1
    OVERSLEPT = 2
    PREEMPTED = 3
    HOST_LATE = 4


class ReferenceState(enum.IntEnum):
    """A following pacer's reference (varnex_reference_state)."""
    NONE = 0
    ACQUIRING = 1
    LOCKED = 2
    HOLDOVER = 3


_MODES = {"spin": 0,
          "sleep": 1,
          "hybrid": 2}
_POLICIES = {"skip": 0,
             "burst": 1,
             "delay": 2}
_PACER_FLAGS = {"no_stats": 0x1,
                "return_on_signal": 0x2,
                "align_to_system_clock": 0x4,
                "tai": 0x8,
                "follow_reference": 0x10}
_CONTROL_BITS = {"boost": 0x1,
                 "affinity": 0x2,
                 "realtime": 0x4,
                 "lock_memory": 0x8,
                 "dma_latency": 0x10,
                 "no_throttling": 0x20,
                 "mmcss": 0x40}
_SIM_FLAGS = {"auto_advance": 0x1}
# end of generated constants
