"""The library through ctypes: where it is found, the types of its functions, and
mirrors of the header's structs (the tests compare them with the C layout)."""
import ctypes
import ctypes.util
import os
import sys
import threading

from ._errors import LibraryNotFound, VarnexError, _error_for


class _Config(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("mode", ctypes.c_uint32), ("rate_num", ctypes.c_uint32),
                ("rate_den", ctypes.c_uint32), ("rate_hz", ctypes.c_double), ("phase_ns", ctypes.c_int64),
                ("missed", ctypes.c_uint32), ("burst_cap", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("margin_ns", ctypes.c_uint32)]


class _Tick(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("cause", ctypes.c_uint32), ("index", ctypes.c_uint64),
                ("missed", ctypes.c_uint64), ("lateness_ns", ctypes.c_int64), ("interval_ns", ctypes.c_int64),
                ("lateness_s", ctypes.c_double), ("interval_s", ctypes.c_double)]


class _Stats(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("reserved", ctypes.c_uint32), ("ticks", ctypes.c_uint64),
                ("missed", ctypes.c_uint64)] + [
        (name, ctypes.c_int64) for name in ("lateness_p50_ns", "lateness_p99_ns", "lateness_p999_ns",
                                            "lateness_max_ns", "drift_ns", "spin_ns", "sleep_ns", "cpu_ns",
                                            "margin_ns")] + [
        (name, ctypes.c_uint32) for name in ("controls_active", "controls_denied", "controls_unsupported",
                                             "clock_steps")] + [
        ("clock_step_ns", ctypes.c_int64), ("clock_synchronized", ctypes.c_int32), ("clock_error_us", ctypes.c_int32)] + [
        (name, ctypes.c_uint64) for name in ("late_ticks", "late_overslept", "late_preempted", "late_host_late")] + [
        ("reference_state", ctypes.c_uint32), ("reference_rebases", ctypes.c_uint32)] + [
        (name, ctypes.c_int64) for name in ("reference_phase_error_ns", "reference_rate_offset_ppb",
                                            "reference_jitter_ns")] + [
        (name, ctypes.c_uint64) for name in ("reference_steps", "reference_observations", "reference_dropped",
                                             "reference_outliers")]


class _ReferenceOptions(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("slew_ppm", ctypes.c_uint32), ("step_threshold_ns", ctypes.c_int64),
                ("rebase_threshold_ns", ctypes.c_int64), ("holdover_ns", ctypes.c_int64)]


class _Controls(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("affinity_mask", ctypes.c_uint64),
                ("realtime_priority", ctypes.c_uint32), ("dma_latency_us", ctypes.c_uint32)]


class _SimClockConfig(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("start_ns", ctypes.c_int64),
                ("name", ctypes.c_char * 64)]


def _library_names():
    if sys.platform == "win32":
        return ["Varnex.dll"]
    return ["libvarnex.so", "libvarnex.so.1"]


def _load():
    """Beside this module, then $VARNEX_LIBRARY, then the system's library path."""
    tried = []
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.join(here, name) for name in _library_names()]
    if os.environ.get("VARNEX_LIBRARY"):
        candidates.append(os.environ["VARNEX_LIBRARY"])
    candidates += _library_names()
    found = ctypes.util.find_library("varnex")
    if found:
        candidates.append(found)
    loader = ctypes.CDLL
    for candidate in candidates:
        if os.sep in candidate and not os.path.exists(candidate):
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            return loader(candidate), candidate
        except OSError as error:
            tried.append(f"{candidate} ({error})")
    raise LibraryNotFound("the Varnex library was not found; looked beside the module, in $VARNEX_LIBRARY "
                          "and on the system's library path: " + "; ".join(tried))


_library = None
_library_path = None
_load_lock = threading.Lock()


def _lib():
    global _library, _library_path
    with _load_lock:
        if _library is None:
            library, path = _load()
            library.varnex_version.restype = ctypes.c_uint32
            library.varnex_version.argtypes = []
            library.varnex_strerror.restype = ctypes.c_char_p
            library.varnex_strerror.argtypes = [ctypes.c_int]
            library.varnex_pacer_config_init.restype = None
            library.varnex_pacer_config_init.argtypes = [ctypes.POINTER(_Config)]
            library.varnex_pacer_create.argtypes = [ctypes.POINTER(_Config), ctypes.POINTER(ctypes.c_void_p)]
            library.varnex_pacer_destroy.restype = None
            library.varnex_pacer_destroy.argtypes = [ctypes.c_void_p]
            library.varnex_pacer_wait.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Tick)]
            library.varnex_pacer_cancel.argtypes = [ctypes.c_void_p]
            library.varnex_pacer_get_stats.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Stats)]
            library.varnex_pacer_set_controls.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Controls)]
            library.varnex_pacer_wait_handle.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_ssize_t)]
            library.varnex_pacer_set_lateness_budget.argtypes = [ctypes.c_void_p, ctypes.c_int64]
            library.varnex_pacer_rate.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32),
                                                  ctypes.POINTER(ctypes.c_uint32)]
            library.varnex_pacer_observe.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
            library.varnex_pacer_set_reference_options.argtypes = [ctypes.c_void_p,
                                                                   ctypes.POINTER(_ReferenceOptions)]
            library.varnex_clock_ns.restype = ctypes.c_int64
            library.varnex_clock_ns.argtypes = []
            # Before the simulated clock's functions are looked up: an older library has none.
            if library.varnex_version() < 0x010800:
                raise VarnexError(f"{path} is version {library.varnex_version():06x}; this module needs 1.8 or later")
            library.varnex_sim_clock_create.argtypes = [ctypes.POINTER(_SimClockConfig),
                                                        ctypes.POINTER(ctypes.c_void_p)]
            library.varnex_sim_clock_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
            library.varnex_sim_clock_destroy.restype = None
            library.varnex_sim_clock_destroy.argtypes = [ctypes.c_void_p]
            library.varnex_sim_clock_now.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int64)]
            library.varnex_sim_clock_advance.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
            library.varnex_pacer_create_on.argtypes = [ctypes.POINTER(_Config), ctypes.c_void_p,
                                                       ctypes.POINTER(ctypes.c_void_p)]
            for function in ("varnex_pacer_create", "varnex_pacer_wait", "varnex_pacer_cancel",
                             "varnex_pacer_get_stats", "varnex_pacer_set_controls", "varnex_pacer_rate",
                             "varnex_pacer_wait_handle", "varnex_pacer_set_lateness_budget",
                             "varnex_pacer_observe", "varnex_pacer_set_reference_options",
                             "varnex_sim_clock_create", "varnex_sim_clock_open", "varnex_sim_clock_now",
                             "varnex_sim_clock_advance", "varnex_pacer_create_on"):
                getattr(library, function).restype = ctypes.c_int
            _library, _library_path = library, path
    return _library


def _message(status):
    return _lib().varnex_strerror(status).decode()


def _fail(status):
    raise _error_for(status, _message(status))


def version():
    """The loaded library's version as "major.minor.patch"."""
    value = _lib().varnex_version()
    return f"{value >> 16}.{(value >> 8) & 0xFF}.{value & 0xFF}"


def clock_ns():
    """The library's clock in integer nanoseconds (Linux: CLOCK_MONOTONIC, as time.monotonic_ns();
    Windows: the performance counter), to timestamp observations of a reference with."""
    return _lib().varnex_clock_ns()


def library_path():
    """Where the library was loaded from."""
    _lib()
    return _library_path


def _after_fork_in_child():
    # A thread of the parent that was loading the library held the lock; the
    # child does not have that thread.
    global _load_lock
    _load_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
