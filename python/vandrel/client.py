"""One link to a broker: opening it, the requests, closing it.

Each method makes one blocking call of the C library, which sends the command
and waits for its reply; the interpreter's other threads run meanwhile. A
client is used by one thread at a time: a lock makes a second thread wait for
the first one's call to end.
"""

from __future__ import annotations

import ctypes
import operator
import secrets
import threading
import warnings
from dataclasses import dataclass
from types import TracebackType
from typing import Callable, Dict, Mapping, Optional, Type

from . import _native
from ._errors import Error
from ._native import FIRST_TICKET_TIMEOUT_MS

# How long connect() waits for the broker to accept, as vandrel-ticket does.
CONNECT_TIMEOUT_MS = 10000

_INT32_MAX = 2**31 - 1
_UINT32_MAX = 2**32 - 1
_UINT64_MAX = 2**64 - 1
_SERVER_FORM = "server {!r}: four dotted decimal octets, ':' and a port"


@dataclass(frozen=True)
class Ticket:
    """A game-connection ticket: the logged-in user's Steam ID, the ticket's
    bytes, and the challenge it was asked with (end_ticket names it)."""

    steamid: int
    data: bytes
    challenge: int


@dataclass(frozen=True)
class AuthTicket:
    """A session, web API or encrypted app ticket: the user's Steam ID, the
    handle cancel_ticket takes (0 for an app ticket) and the ticket's bytes."""

    steamid: int
    handle: int
    data: bytes


def _argument(detail: str) -> Error:
    return _native.failure(_native.ERR_ARGUMENT, detail=detail)


def _integer(name: str, value: object, low: int, high: int) -> int:
    """`value` as an int within low..high: ctypes would wrap one outside the
    C type's range silently into another number."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise _argument(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise _argument(f"{name} must be {low} to {high}, not {number}")
    return number


def _text(name: str, value: object) -> bytes:
    """`value` as the C string the library takes; the library checks its
    characters, but a NUL would end it early unseen."""
    if not isinstance(value, str):
        raise _argument(f"{name} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise _argument(f"{name} contains a NUL character")
    return value.encode("utf-8")


def _timeout(value: Optional[int]) -> int:
    """Milliseconds for the library; None is no limit."""
    if value is None:
        return -1
    return _integer("timeout_ms", value, -1, _INT32_MAX)


class Client:
    """An open link to a broker; made by connect() or spawn(). Closed by
    close() or by leaving a `with` block; every call after that raises Error
    with VANDREL_ERR_NOT_OPEN."""

    def __init__(self, handle: int) -> None:
        self._handle: Optional[int] = handle
        self._lock = threading.Lock()
        self._next_challenge = secrets.randbelow(_INT32_MAX + 1)

    # --- Opening and closing -------------------------------------------------

    def close(self) -> None:
        """Closes the link; the broker ends what the session still holds. For a
        spawned broker, waits for it to exit (up to CLOSE_GRACE_MS, then it is
        killed): Error with VANDREL_ERR_BROKER_FAILED when it failed. Closing a
        closed client does nothing."""
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is not None:
                code = _native.library().vandrel_close(handle)
                if code != _native.OK:
                    raise _native.failure(code)

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> Client:
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        # A failure of the close must not hide the one that left the block.
        try:
            self.close()
        except Error:
            if exc is None:
                raise

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
            try:
                _native.library().vandrel_close(self._handle)
            except Exception:  # the interpreter may be shutting down
                pass

    def __repr__(self) -> str:
        return f"<vandrel.Client {'closed' if self.closed else 'open'}>"

    # --- The game --------------------------------------------------------------

    def activate(self, gamedir: Optional[str] = None, *, appid: Optional[int] = None) -> None:
        """Names the game, by its game directory (e.g. "cstrike") or by its
        AppID: the broker starts Steam for it. Returns once the command is
        sent; a failure shows at the next request as Error with
        VANDREL_ERR_BROKER."""
        if (gamedir is None) == (appid is None):
            raise _argument("name the game by gamedir or by appid, not both or neither")
        if gamedir is not None:
            name = _text("gamedir", gamedir)
            self._call(
                lambda lib, h: lib.vandrel_activate_gamedir(h, name),
                f"gamedir {gamedir!r}: 1 to {_native.MAX_GAMEDIR_LEN} printable ASCII "
                "characters without white space",
            )
        else:
            number = _integer("appid", appid, 1, _UINT32_MAX)
            self._call(lambda lib, h: lib.vandrel_activate_appid(h, number))

    # --- Tickets ---------------------------------------------------------------

    def request_ticket(
        self,
        server: str,
        *,
        server_steamid: int = 0,
        secure: bool = False,
        challenge: Optional[int] = None,
        timeout_ms: Optional[int] = FIRST_TICKET_TIMEOUT_MS,
    ) -> Ticket:
        """A game-connection ticket for the server at "a.b.c.d:port".
        `challenge` is the server's (a fresh one when None); `timeout_ms` the
        longest wait, None for no limit; the default allows for Steam starting
        after an activation."""
        request = _native.TicketRequest(
            _text("server", server),
            _integer("server_steamid", server_steamid, 0, _UINT64_MAX),
            1 if secure else 0,
            self._challenge(challenge),
        )
        limit = _timeout(timeout_ms)
        buffer = (ctypes.c_ubyte * _native.MAX_TICKET_LEN)()
        ticket = _native.TicketBuffer(buffer, len(buffer), 0, 0)
        self._call(
            lambda lib, h: lib.vandrel_request_ticket(
                h, ctypes.byref(request), limit, ctypes.byref(ticket)
            ),
            _SERVER_FORM.format(server),
        )
        return Ticket(ticket.steam_id, bytes(buffer[: ticket.len]), request.challenge)

    def request_auth_ticket(
        self,
        kind: str,
        *,
        identity: Optional[str] = None,
        data: Optional[bytes] = None,
        challenge: Optional[int] = None,
        timeout_ms: Optional[int] = FIRST_TICKET_TIMEOUT_MS,
    ) -> AuthTicket:
        """An auth ticket of `kind`: "session" (for `identity`, Steam's text of
        the recipient such as "steamid:7656..." or "ip:1.2.3.4:27015"),
        "webapi" (for the web service `identity`) or "app" (an encrypted app
        ticket carrying `data`). `identity` and `data` may be None for none."""
        number = _native.TICKET_KINDS.get(kind) if isinstance(kind, str) else None
        if number is None:
            raise _argument(f'kind must be "session", "webapi" or "app", not {kind!r}')
        if kind == "app" and identity is not None:
            raise _argument("an app ticket carries data, not an identity")
        if kind != "app" and data is not None:
            raise _argument(f"a {kind} ticket is for an identity and carries no data")
        if data is not None and not isinstance(data, (bytes, bytearray, memoryview)):
            raise _argument(f"data must be bytes, not {type(data).__name__}")
        payload = bytes(data or b"")
        carried = (ctypes.c_ubyte * len(payload)).from_buffer_copy(payload)
        request = _native.AuthRequest(
            number,
            None if identity is None else _text("identity", identity),
            carried,
            len(payload),
            self._challenge(challenge),
        )
        limit = _timeout(timeout_ms)
        buffer = (ctypes.c_ubyte * _native.MAX_AUTH_TICKET_LEN)()
        ticket = _native.TicketBuffer(buffer, len(buffer), 0, 0)
        handle = ctypes.c_uint32(0)
        self._call(
            lambda lib, h: lib.vandrel_request_auth_ticket(
                h, ctypes.byref(request), limit, ctypes.byref(ticket), ctypes.byref(handle)
            ),
            f"identity {identity!r}: 1 to {_native.MAX_IDENTITY_LEN} bytes of UTF-8 without "
            f"spaces or control characters, not \"-\"; data: at most "
            f"{_native.MAX_APP_DATA_LEN} bytes",
        )
        return AuthTicket(ticket.steam_id, handle.value, bytes(buffer[: ticket.len]))

    def cancel_ticket(self, handle: int) -> None:
        """Has the broker cancel a session or web API ticket by its handle.
        Waits for nothing; the broker cancels what is left when the link
        closes."""
        number = _integer("handle", handle, 0, _UINT32_MAX)
        self._call(lambda lib, h: lib.vandrel_cancel_ticket(h, number))

    def end_ticket(self, server: str, *, challenge: int) -> None:
        """Tells the broker that the connection to `server` made with the
        ticket of `challenge` (Ticket.challenge) has ended."""
        name = _text("server", server)
        number = _integer("challenge", challenge, -_INT32_MAX - 1, _INT32_MAX)
        self._call(
            lambda lib, h: lib.vandrel_end_ticket(h, name, number), _SERVER_FORM.format(server)
        )

    # --- The broker ------------------------------------------------------------

    def status(
        self,
        *,
        challenge: Optional[int] = None,
        timeout_ms: Optional[int] = FIRST_TICKET_TIMEOUT_MS,
    ) -> Dict[str, str]:
        """The broker's status lines as a dict: version, uid, appid ("none"
        before a game), and while a Steam child is ready steamid, logged_on,
        runtime and runtime_kind."""
        number = self._challenge(challenge)
        limit = _timeout(timeout_ms)
        text = ctypes.create_string_buffer(_native.STATUS_TEXT_SIZE)
        self._call(
            lambda lib, h: lib.vandrel_request_broker_status(h, number, limit, text, len(text))
        )
        lines = text.value.decode("utf-8", "replace").splitlines()
        return dict((line.split(" ", 1) + [""])[:2] for line in lines if line)

    def terminate(self) -> None:
        """Stops the broker (a TCP or Unix socket broker stops serving
        everyone)."""
        self._call(lambda lib, h: lib.vandrel_terminate(h))

    # --- Helpers ---------------------------------------------------------------

    def _challenge(self, challenge: Optional[int]) -> int:
        """`challenge` checked, or a fresh one: replies are matched by
        challenge, so each request gets its own."""
        if challenge is not None:
            return _integer("challenge", challenge, -_INT32_MAX - 1, _INT32_MAX)
        with self._lock:
            fresh = self._next_challenge
            self._next_challenge = (fresh + 1) & _INT32_MAX
        return fresh

    def _call(self, call: Callable[[ctypes.CDLL, int], int], refused: str = "") -> None:
        """Runs one library call on the open client; Error when the client is
        closed or the call fails, naming `refused` when the library refused an
        argument."""
        with self._lock:
            if self._handle is None:
                raise _native.failure(_native.ERR_NOT_OPEN)
            code = call(_native.library(), self._handle)
            if code != _native.OK:
                detail = refused if code == _native.ERR_ARGUMENT else ""
                raise _native.failure(code, self._handle, detail)


def _open(opener: Callable[[ctypes.CDLL, ctypes.c_void_p], int]) -> Client:
    """A Client from one of the library's open functions; Error (with the OS
    error the failed open left) when it fails."""
    lib = _native.library()
    handle = ctypes.c_void_p()
    code = opener(lib, handle)
    if code != _native.OK:
        error = _native.failure(code, handle.value)
        lib.vandrel_close(handle)
        raise error
    assert handle.value is not None
    return Client(handle.value)


def connect(
    addr: Optional[str] = None, *, timeout_ms: Optional[int] = CONNECT_TIMEOUT_MS
) -> Client:
    """Connects to a running broker: "unix:PATH", "a.b.c.d:port",
    "[v6addr]:port" or "host:port". None takes the library's default order:
    $VANDREL_BROKER if set, else $XDG_RUNTIME_DIR/vandrel/socket if it exists,
    else 127.0.0.1:27420. A broker of another user is refused
    (VANDREL_ERR_UNTRUSTED) before anything is sent."""
    name = None if addr is None else _text("addr", addr)
    limit = _timeout(timeout_ms)
    return _open(lambda lib, h: lib.vandrel_connect(ctypes.byref(h), name, limit))


def spawn(broker_path: str = "vandrel", *, env: Optional[Mapping[str, str]] = None) -> Client:
    """Starts a private broker, `broker_path --stdio` (a name without a slash
    is looked up in PATH), with `env` as its environment (None: this
    process's); its standard error is this process's. close() ends it."""
    path = _text("broker_path", broker_path)
    environment = None
    if env is not None:
        entries = []
        for key, value in env.items():
            if not isinstance(key, str) or not key or "=" in key:
                raise _argument(f"env: {key!r} is not a variable name")
            if not isinstance(value, str):
                raise _argument(f"env[{key!r}] must be a str, not {type(value).__name__}")
            entries.append(_text(f"env[{key!r}]", f"{key}={value}"))
        environment = (ctypes.c_char_p * (len(entries) + 1))(*entries, None)
    return _open(lambda lib, h: lib.vandrel_spawn(ctypes.byref(h), path, environment))

