"""The C client library through ctypes: finding it, its types and functions.

The wire format and the checks of whom the broker runs as live in the C
library alone; this module only declares its functions and structures as
<vandrel/client.h> has them.
"""

from __future__ import annotations

import ctypes
import os
import threading
from typing import Optional

from ._errors import Error

SONAME = "libvandrel-client.so.0"
LIBRARY_VARIABLE = "VANDREL_CLIENT_LIBRARY"

# The numbers of <vandrel/client.h> that the package uses or offers.
DEFAULT_BROKER_ADDR = "127.0.0.1:27420"
MAX_GAMEDIR_LEN = 64
MAX_TICKET_LEN = 2048
MAX_AUTH_TICKET_LEN = 2560
MAX_IDENTITY_LEN = 255
MAX_APP_DATA_LEN = 1024
BROKER_CONFIRM_MS = 5000
BROKER_START_MS = 20000
BROKER_REQUEST_MS = 8000
FIRST_TICKET_TIMEOUT_MS = 30000
CLOSE_GRACE_MS = 10000
BROKER_ERROR_SIZE = 512
# VANDREL_MAX_FRAME_PAYLOAD - VANDREL_STATUS_REPLY_TEXT_AT + 1, from <vandrel/wire.h>.
STATUS_TEXT_SIZE = 4096 - 14 + 1

# vandrel_status, in the enum's order: the name of code N is STATUS_NAMES[N].
STATUS_NAMES = (
    "VANDREL_OK",
    "VANDREL_ERR_ARGUMENT",
    "VANDREL_ERR_NOT_OPEN",
    "VANDREL_ERR_CONNECT",
    "VANDREL_ERR_SPAWN",
    "VANDREL_ERR_IO",
    "VANDREL_ERR_CLOSED",
    "VANDREL_ERR_TIMEOUT",
    "VANDREL_ERR_PROTOCOL",
    "VANDREL_ERR_TICKET_TOO_LARGE",
    "VANDREL_ERR_BROKER_FAILED",
    "VANDREL_ERR_UNTRUSTED",
    "VANDREL_ERR_BROKER",
    "VANDREL_ERR_UNCHECKED",
    "VANDREL_ERR_NO_MEMORY",
    "VANDREL_ERR_BUSY",
)
OK = 0
ERR_ARGUMENT = STATUS_NAMES.index("VANDREL_ERR_ARGUMENT")
ERR_NOT_OPEN = STATUS_NAMES.index("VANDREL_ERR_NOT_OPEN")
ERR_BROKER = STATUS_NAMES.index("VANDREL_ERR_BROKER")

# vandrel_ticket_kind.
TICKET_KINDS = {"session": 1, "webapi": 2, "app": 3}


class TicketRequest(ctypes.Structure):
    _fields_ = [
        ("server", ctypes.c_char_p),
        ("server_steam_id", ctypes.c_uint64),
        ("secure", ctypes.c_int32),
        ("challenge", ctypes.c_int32),
    ]


class TicketBuffer(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_ubyte)),
        ("capacity", ctypes.c_size_t),
        ("len", ctypes.c_size_t),
        ("steam_id", ctypes.c_uint64),
    ]


class AuthRequest(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("identity", ctypes.c_char_p),
        ("data", ctypes.POINTER(ctypes.c_ubyte)),
        ("data_len", ctypes.c_size_t),
        ("challenge", ctypes.c_int32),
    ]


_client_p = ctypes.c_void_p
_status = ctypes.c_int

# Each function's result and argument types, as <vandrel/client.h> declares them.
_PROTOTYPES = {
    "vandrel_connect": (_status, [ctypes.POINTER(_client_p), ctypes.c_char_p, ctypes.c_int]),
    "vandrel_spawn": (
        _status,
        [ctypes.POINTER(_client_p), ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)],
    ),
    "vandrel_activate_gamedir": (_status, [_client_p, ctypes.c_char_p]),
    "vandrel_activate_appid": (_status, [_client_p, ctypes.c_uint32]),
    "vandrel_request_ticket": (
        _status,
        [_client_p, ctypes.POINTER(TicketRequest), ctypes.c_int, ctypes.POINTER(TicketBuffer)],
    ),
    "vandrel_request_auth_ticket": (
        _status,
        [
            _client_p,
            ctypes.POINTER(AuthRequest),
            ctypes.c_int,
            ctypes.POINTER(TicketBuffer),
            ctypes.POINTER(ctypes.c_uint32),
        ],
    ),
    "vandrel_request_broker_status": (
        _status,
        [_client_p, ctypes.c_int32, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t],
    ),
    "vandrel_cancel_ticket": (_status, [_client_p, ctypes.c_uint32]),
    "vandrel_end_ticket": (_status, [_client_p, ctypes.c_char_p, ctypes.c_int32]),
    "vandrel_terminate": (_status, [_client_p]),
    "vandrel_close": (_status, [_client_p]),
    "vandrel_os_error": (ctypes.c_int, [_client_p]),
    "vandrel_broker_error": (ctypes.c_char_p, [_client_p]),
    "vandrel_status_text": (ctypes.c_char_p, [_status]),
    "vandrel_version": (ctypes.c_char_p, []),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _open(name: str, how: str) -> ctypes.CDLL:
    try:
        library = ctypes.CDLL(name)
    except OSError as e:
        raise Error(None, f"cannot load the vandrel client library {how}: {e}") from None
    for function, (result, arguments) in _PROTOTYPES.items():
        try:
            f = getattr(library, function)
        except AttributeError:
            raise Error(
                None,
                f"the vandrel client library {how} has no {function}: it is older than this "
                "package",
            ) from None
        f.restype = result
        f.argtypes = arguments
    return library


def library() -> ctypes.CDLL:
    """The client library, loaded at the first call: the file that
    $VANDREL_CLIENT_LIBRARY names when it is set and not empty, else
    libvandrel-client.so.0 wherever the dynamic loader finds it. Raises Error
    naming what was tried when it cannot be loaded."""
    global _library
    with _lock:
        if _library is None:
            path = os.environ.get(LIBRARY_VARIABLE, "")
            if path:
                _library = _open(path, f"from {LIBRARY_VARIABLE}={path}")
            else:
                _library = _open(
                    SONAME,
                    f"{SONAME} (looked up by the dynamic loader in LD_LIBRARY_PATH, the "
                    f"ld.so cache and the system's library directories; set "
                    f"{LIBRARY_VARIABLE} to the library's path to use another)",
                )
        return _library


def loaded_path() -> Optional[str]:
    """The file the client library was loaded from, or None when it is not
    loaded."""
    if _library is None:
        return None
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6 and os.path.basename(fields[5].strip()).startswith(
                    "libvandrel-client.so"
                ):
                    return fields[5].strip()
    except OSError:
        pass
    path = os.environ.get(LIBRARY_VARIABLE, "")
    return os.path.realpath(path) if path else None


def status_name(code: int) -> str:
    """The enum name of a vandrel_status, or "vandrel_status N" for a code this
    package does not know (a newer library's)."""
    return STATUS_NAMES[code] if 0 <= code < len(STATUS_NAMES) else f"vandrel_status {code}"


def status_text(code: int) -> str:
    return library().vandrel_status_text(code).decode("utf-8", "replace")


def failure(code: int, client: Optional[int] = None, detail: str = "") -> Error:
    """The Error for status `code`: its name and text, and from `client` the
    OS error and the broker's text."""
    lib = library()
    os_error = lib.vandrel_os_error(client) if client else 0
    broker = None
    if code == ERR_BROKER and client:
        broker = lib.vandrel_broker_error(client).decode("utf-8", "replace")
    return Error(
        status_name(code),
        status_text(code),
        detail=detail,
        os_error=os_error or None,
        broker_error=broker,
    )
