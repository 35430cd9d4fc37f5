"""Install attribution and deferred deep links for Python hosts, over libplovendale's C interface.

Everything here calls the C functions of include/plovendale/plovendale_c.h through ctypes. The
C callbacks are a fixed set of module-level trampolines that live as long as the process; what a
caller hands in is looked up by a number passed as the C context. So no callback the library may
still call is ever collected, however the caller wrote it (an inline lambda included).

Threads: call everything from one thread, the one that runs the main queue (run_main_queue,
run_until, or install_trace, which runs it itself). Only the log callback may be called on another
thread.
"""
from __future__ import annotations

import ctypes
import enum
import itertools
import json
import os
import threading
from dataclasses import dataclass
from typing import Callable, Dict, Mapping, Optional, Tuple

__all__ = [
    "Plovendale", "PlovendaleError", "StateError", "Attribution", "TraceState", "FlushResult",
    "load_library",
]

OK = 0
ERROR_INVALID_ARGUMENT = -1
ERROR_INTERNAL = -2
ERROR_STATE = -3
KINDS = {0: "unknown", 1: "in flight", 2: "attributed", 3: "organic", 4: "failed"}


class PlovendaleError(Exception):
    """A failure the library answered with a code: an install-trace code (-10000, -10004, an HTTP
    status, ...) or a negative status of a call."""

    def __init__(self, code: int, message: Optional[str] = None):
        super().__init__(f"{code}: {message}" if message else str(code))
        self.code = code
        self.message = message


class StateError(PlovendaleError):
    """A call made at the wrong time: a configure while the library runs, a start with another
    key while it runs with one. Call shutdown first."""


@dataclass(frozen=True)
class Attribution:
    """The link that brought the installation; both None when the service answered organic."""
    params: Optional[str]
    channel: Optional[str]

    @property
    def organic(self) -> bool:
        return self.params is None and self.channel is None


@dataclass(frozen=True)
class TraceState:
    """Where the installation stands: kind is one of unknown, in flight, attributed, organic,
    failed; code and message are set when it failed."""
    kind: str
    params: Optional[str] = None
    channel: Optional[str] = None
    code: int = 0
    message: Optional[str] = None


class _Configuration(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("data_directory", ctypes.c_char_p),
        ("bundle_directory", ctypes.c_char_p),
        ("ca_file", ctypes.c_char_p),
        ("device_model", ctypes.c_char_p),
        ("os_version", ctypes.c_char_p),
        ("screen_width", ctypes.c_double),
        ("screen_height", ctypes.c_double),
        ("screen_scale", ctypes.c_double),
        ("screen_native_scale", ctypes.c_double),
        ("language", ctypes.c_char_p),
        ("time_zone", ctypes.c_char_p),
    ]


_SUCCESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
_FAILURE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int64, ctypes.c_char_p)
_LINK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
_DONE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
_LOG = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
_STATE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
                          ctypes.c_int64, ctypes.c_char_p)
_EVENT = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)

_SIGNATURES = {
    "plovendale_version": (ctypes.c_char_p, []),
    "plovendale_configure_with": (ctypes.c_int, [ctypes.POINTER(_Configuration)]),
    "plovendale_set_pasteboard": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    "plovendale_start": (ctypes.c_int, []),
    "plovendale_start_with_key": (ctypes.c_int, [ctypes.c_char_p]),
    "plovendale_set_server_domain": (ctypes.c_int, [ctypes.c_char_p]),
    "plovendale_is_first_open": (ctypes.c_int, []),
    "plovendale_get_install_trace": (ctypes.c_int, [ctypes.c_double, _SUCCESS, _FAILURE,
                                                    ctypes.c_void_p]),
    "plovendale_set_wake_up_callback": (ctypes.c_int, [_LINK, ctypes.c_void_p]),
    "plovendale_handle_scheme_link": (ctypes.c_int, [ctypes.c_char_p]),
    "plovendale_handle_universal_link": (ctypes.c_int, [ctypes.c_char_p]),
    "plovendale_drain_main_queue": (ctypes.c_int, []),
    "plovendale_run_main_queue_until": (ctypes.c_int, [_DONE, ctypes.c_void_p, ctypes.c_int64]),
    "plovendale_set_log_callback": (ctypes.c_int, [_LOG, ctypes.c_void_p]),
    "plovendale_set_tracking_disabled": (ctypes.c_int, [ctypes.c_int]),
    "plovendale_is_tracking_disabled": (ctypes.c_int, []),
    "plovendale_forget_installation": (ctypes.c_int, []),
    "plovendale_install_trace_state": (ctypes.c_int, [_STATE, ctypes.c_void_p]),
    "plovendale_add_install_trace_observer": (ctypes.c_int64, [_STATE, ctypes.c_void_p]),
    "plovendale_remove_install_trace_observer": (ctypes.c_int, [ctypes.c_int64]),
    "plovendale_set_event_observer": (ctypes.c_int, [_EVENT, ctypes.c_void_p]),
    "plovendale_set_link_verification_key": (ctypes.c_int, [ctypes.c_char_p]),
    "plovendale_queued_report_count": (ctypes.c_int, []),
    "plovendale_track_event": (ctypes.c_int, [ctypes.c_char_p] * 5),
    "plovendale_flush": (ctypes.c_int, [ctypes.c_double]),
    "plovendale_queued_event_count": (ctypes.c_int, []),
    "plovendale_shutdown": (ctypes.c_int, [ctypes.c_int64]),
}


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """The shared library: `path`, else $PLOVENDALE_LIBRARY, else libplovendale.so on the
    loader's path."""
    path = path or os.environ.get("PLOVENDALE_LIBRARY") or "libplovendale.so"
    try:
        lib = ctypes.CDLL(path)
    except OSError as error:
        raise OSError(f"cannot load {path} (set PLOVENDALE_LIBRARY to the built "
                      f"libplovendale.so): {error}") from error
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


def _text(value: Optional[bytes]) -> Optional[str]:
    return None if value is None else value.decode("utf-8", "replace")


def _bytes(value: Optional[str]) -> Optional[bytes]:
    return None if value is None else value.encode("utf-8")


class FlushResult(enum.IntEnum):
    """What flush() achieved; only DELIVERED is true."""
    TIMED_OUT = 0
    DELIVERED = 1
    STORED_NOT_SENT = 2

    def __bool__(self) -> bool:
        return self is FlushResult.DELIVERED


def _checked(status: int) -> int:
    if status >= 0:
        return status
    if status == ERROR_INVALID_ARGUMENT:
        raise ValueError("the library refused an argument (see its log)")
    if status == ERROR_STATE:
        raise StateError(status, "not at this time: call shutdown first (see the log)")
    raise PlovendaleError(status, "the library failed inside (see its log)")


# What the trampolines reach: callables by number. Module-level, as the trampolines are.
_lock = threading.Lock()
_numbers = itertools.count(1)
_handlers: Dict[int, object] = {}


def _keep(handler: object) -> int:
    with _lock:
        number = next(_numbers)
        _handlers[number] = handler
        return number


def _find(context: Optional[int], release: bool = False):
    with _lock:
        return _handlers.pop(context, None) if release else _handlers.get(context)


def _release(number: Optional[int]) -> None:
    if number is not None:
        _find(number, release=True)


def _run(handler, *args) -> None:
    # An exception must not unwind into C; it is kept and raised again on the caller's side.
    try:
        handler(*args)
    except BaseException as error:  # noqa: BLE001 - re-raised by the waiting call
        _errors.append(error)


_errors: list = []


@_SUCCESS
def _on_success(context, params, channel):
    pair = _find(context, release=True)
    if pair:
        _run(pair[0], Attribution(_text(params), _text(channel)))


@_FAILURE
def _on_failure(context, code, message):
    pair = _find(context, release=True)
    if pair:
        _run(pair[1], PlovendaleError(code, _text(message)))


def _state(kind, params, channel, code, message) -> TraceState:
    return TraceState(KINDS.get(kind, "unknown"), _text(params), _text(channel), code,
                      _text(message))


@_STATE
def _on_state(context, kind, params, channel, code, message):
    handler = _find(context)
    if handler:
        _run(handler, _state(kind, params, channel, code, message))


@_STATE
def _on_observed(context, kind, params, channel, code, message):
    handler = _find(context, release=True)  # an observer is called once
    if handler:
        _run(handler, _state(kind, params, channel, code, message))


@_LINK
def _on_wake_up(context, params, channel):
    handler = _find(context)
    if handler:
        _run(handler, Attribution(_text(params), _text(channel)))


@_EVENT
def _on_event(context, name, values):
    handler = _find(context)
    if handler:
        _run(handler, _text(name), json.loads(_text(values) or "{}"))


@_LOG
def _on_log(context, line):
    handler = _find(context)
    if handler:
        try:
            handler(_text(line))
        except BaseException:  # noqa: BLE001 - a log sink that fails loses its line only
            pass


@_DONE
def _on_done(context):
    handler = _find(context)
    try:
        return int(bool(handler and handler()))
    except BaseException as error:  # noqa: BLE001
        _errors.append(error)
        return 1


class Plovendale:
    """The library, configured. One per process is meant: the library's state is the process's.

    Use it as a context manager: leaving the block shuts the library down."""

    def __init__(self, library: Optional[str] = None, *, data_directory: Optional[str] = None,
                 bundle_directory: Optional[str] = None, ca_file: Optional[str] = None,
                 device_model: Optional[str] = None, os_version: Optional[str] = None,
                 screen: Optional[Tuple[float, float, float, float]] = None,
                 language: Optional[str] = None, time_zone: Optional[str] = None,
                 log: Optional[Callable[[str], None]] = None):
        self._lib = load_library(library)
        self._log = None
        self._wake_up = None
        self._events = None
        self._observers: Dict[int, int] = {}
        if log is not None:
            self.set_log_callback(log)
        configuration = _Configuration(size=ctypes.sizeof(_Configuration))
        configuration.data_directory = _bytes(data_directory)
        configuration.bundle_directory = _bytes(bundle_directory)
        configuration.ca_file = _bytes(ca_file)
        configuration.device_model = _bytes(device_model)
        configuration.os_version = _bytes(os_version)
        # A BCP 47 tag ("de-CH") and an IANA zone ("Europe/Zurich"); ValueError otherwise.
        configuration.language = _bytes(language)
        configuration.time_zone = _bytes(time_zone)
        if screen:
            (configuration.screen_width, configuration.screen_height,
             configuration.screen_scale, configuration.screen_native_scale) = screen
        _checked(self._lib.plovendale_configure_with(ctypes.byref(configuration)))

    # Lifecycle -----------------------------------------------------------------------------

    @property
    def version(self) -> str:
        return _text(self._lib.plovendale_version())

    def start(self, app_key: Optional[str] = None) -> None:
        """Starts with `app_key` (else the bundle's com.plovendale.APP_KEY). ValueError for a key
        the service would refuse; StateError while running with another key."""
        if app_key is None:
            _checked(self._lib.plovendale_start())
        else:
            _checked(self._lib.plovendale_start_with_key(_bytes(app_key)))

    def set_server_domain(self, url: str) -> None:
        """The service base URL: scheme, host and port, such as http://127.0.0.1:8787."""
        _checked(self._lib.plovendale_set_server_domain(_bytes(url)))

    def set_pasteboard(self, plain_text: Optional[str] = None, html: Optional[str] = None) -> None:
        """What the system pasteboard holds, before start (a landing page's trace may be there)."""
        _checked(self._lib.plovendale_set_pasteboard(_bytes(plain_text), _bytes(html)))

    def shutdown(self, timeout_ms: int = 2000) -> bool:
        """Stops the library's threads; True when no query on the wire was dropped."""
        done = _checked(self._lib.plovendale_shutdown(timeout_ms)) == 1
        # The library holds none of these any more.
        self.set_wake_up_callback(None)
        self.set_event_observer(None)
        return done

    def __enter__(self) -> "Plovendale":
        return self

    def __exit__(self, *exc) -> None:
        self.shutdown()

    # The main queue ------------------------------------------------------------------------

    def run_main_queue(self) -> int:
        """Runs the work queued for the main thread; the number of tasks run."""
        count = _checked(self._lib.plovendale_drain_main_queue())
        self._raise_kept()
        return count

    def run_until(self, done: Callable[[], bool], timeout_ms: int = 10000) -> bool:
        number = _keep(done)
        try:
            held = _checked(self._lib.plovendale_run_main_queue_until(_on_done, number,
                                                                      timeout_ms)) == 1
        finally:
            _release(number)
        self._raise_kept()
        return held

    @staticmethod
    def _raise_kept() -> None:
        if _errors:
            error = _errors.pop(0)
            _errors.clear()
            raise error

    # Install trace -------------------------------------------------------------------------

    def get_install_trace(self, on_success: Callable[[Attribution], None],
                          on_failure: Callable[[PlovendaleError], None],
                          timeout_ms: float = 0) -> None:
        """Asks which link brought the installation; one of the two runs once, from the main
        queue (or before this returns for answers that need no network)."""
        number = _keep((on_success, on_failure))
        try:
            _checked(self._lib.plovendale_get_install_trace(timeout_ms, _on_success, _on_failure,
                                                            number))
        except BaseException:
            _release(number)
            raise
        self._raise_kept()

    def install_trace(self, timeout_ms: float = 0, wait_ms: int = 20000) -> Attribution:
        """get_install_trace, running the main queue until the answer is in: the attribution,
        or PlovendaleError with the library's code; TimeoutError when none came in wait_ms."""
        outcome: list = []
        self.get_install_trace(outcome.append, outcome.append, timeout_ms)
        if not outcome and not self.run_until(lambda: bool(outcome), wait_ms):
            raise TimeoutError("no install-trace outcome: is the main queue run?")
        if isinstance(outcome[0], PlovendaleError):
            raise outcome[0]
        return outcome[0]

    def is_first_open(self) -> bool:
        return _checked(self._lib.plovendale_is_first_open()) == 1

    def install_trace_state(self) -> TraceState:
        seen: list = []
        number = _keep(seen.append)
        try:
            _checked(self._lib.plovendale_install_trace_state(_on_state, number))
        finally:
            _release(number)
        return seen[0]

    def add_install_trace_observer(self, observer: Callable[[TraceState], None]) -> int:
        """Calls `observer` once, on the main queue, with the final state; a token."""
        number = _keep(observer)
        token = self._lib.plovendale_add_install_trace_observer(_on_observed, number)
        if token <= 0:
            _release(number)
            _checked(int(token))
        self._observers[token] = number
        return token

    def remove_install_trace_observer(self, token: int) -> None:
        _checked(self._lib.plovendale_remove_install_trace_observer(token))
        _release(self._observers.pop(token, None))

    # Links ---------------------------------------------------------------------------------

    def set_wake_up_callback(self, callback: Optional[Callable[[Attribution], None]]) -> None:
        number = _keep(callback) if callback else None
        _checked(self._lib.plovendale_set_wake_up_callback(
            _on_wake_up if callback else _LINK(), number))
        _release(self._wake_up)
        self._wake_up = number

    def handle_scheme_link(self, url: str) -> bool:
        return _checked(self._lib.plovendale_handle_scheme_link(_bytes(url))) == 1

    def handle_universal_link(self, url: str) -> bool:
        return _checked(self._lib.plovendale_handle_universal_link(_bytes(url))) == 1

    def set_link_verification_key(self, pem: str) -> bool:
        return _checked(self._lib.plovendale_set_link_verification_key(_bytes(pem))) == 1

    # Consent -------------------------------------------------------------------------------

    def set_tracking_disabled(self, disabled: bool) -> bool:
        return _checked(self._lib.plovendale_set_tracking_disabled(int(disabled))) == 1

    def is_tracking_disabled(self) -> bool:
        return _checked(self._lib.plovendale_is_tracking_disabled()) == 1

    def forget_installation(self) -> bool:
        return _checked(self._lib.plovendale_forget_installation()) == 1

    # Events --------------------------------------------------------------------------------

    def track_event(self, name: str, params: Optional[Mapping[str, str]] = None,
                    revenue: Optional[Tuple[str, str]] = None,
                    event_id: Optional[str] = None) -> bool:
        """Records an in-app event; revenue is (amount text, ISO 4217 currency), such as
        ("9.99", "EUR"). False when the library refused it (it logged why)."""
        amount, currency = revenue if revenue else (None, None)
        return _checked(self._lib.plovendale_track_event(
            _bytes(name), _bytes(json.dumps(dict(params)) if params is not None else None),
            _bytes(amount), _bytes(currency), _bytes(event_id))) == 1

    def flush(self, timeout_ms: float = 3000) -> FlushResult:
        """Writes recorded events at once and runs the main queue until no batch waits, at most
        timeout_ms. DELIVERED when none waits; STORED_NOT_SENT when all are written but some wait
        in the store (the service failed, or no query or key lets them go yet); TIMED_OUT.
        Only DELIVERED is true."""
        return FlushResult(_checked(self._lib.plovendale_flush(timeout_ms)))

    def queued_event_count(self) -> int:
        return _checked(self._lib.plovendale_queued_event_count())

    def queued_report_count(self) -> int:
        return _checked(self._lib.plovendale_queued_report_count())

    def set_event_observer(self, observer: Optional[Callable[[str, dict], None]]) -> None:
        number = _keep(observer) if observer else None
        _checked(self._lib.plovendale_set_event_observer(
            _on_event if observer else _EVENT(), number))
        _release(self._events)
        self._events = number

    # Log -----------------------------------------------------------------------------------

    def set_log_callback(self, callback: Optional[Callable[[str], None]]) -> None:
        """Sends the library's log lines to `callback` (None: stderr); any thread."""
        number = _keep(callback) if callback else None
        _checked(self._lib.plovendale_set_log_callback(_on_log if callback else _LOG(), number))
        _release(self._log)
        self._log = number
