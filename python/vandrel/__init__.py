"""Steam auth tickets from a vandrel broker, through its C client library.

    import vandrel
    with vandrel.connect() as broker:
        broker.activate(gamedir="cstrike")
        t = broker.request_ticket("1.2.3.4:27015", server_steamid=90123, secure=True)
        t.steamid, t.data

The package wraps libvandrel-client.so.0 (or the file $VANDREL_CLIENT_LIBRARY
names), loaded at the first connect() or spawn(); the wire format and the
checks of whom the broker runs as are the library's. Every failure raises
vandrel.Error.
"""

from __future__ import annotations

from ._errors import Error
from ._native import (
    BROKER_CONFIRM_MS,
    BROKER_REQUEST_MS,
    BROKER_START_MS,
    CLOSE_GRACE_MS,
    DEFAULT_BROKER_ADDR,
    FIRST_TICKET_TIMEOUT_MS,
    MAX_APP_DATA_LEN,
    MAX_AUTH_TICKET_LEN,
    MAX_GAMEDIR_LEN,
    MAX_IDENTITY_LEN,
    MAX_TICKET_LEN,
)
from .client import CONNECT_TIMEOUT_MS, AuthTicket, Client, Ticket, connect, spawn

__version__ = "0.1.0"


def library_version() -> str:
    """The loaded client library's version, "MAJOR.MINOR.PATCH"."""
    from . import _native

    return _native.library().vandrel_version().decode("ascii", "replace")


__all__ = [
    "AuthTicket",
    "BROKER_CONFIRM_MS",
    "BROKER_REQUEST_MS",
    "BROKER_START_MS",
    "CLOSE_GRACE_MS",
    "CONNECT_TIMEOUT_MS",
    "Client",
    "DEFAULT_BROKER_ADDR",
    "Error",
    "FIRST_TICKET_TIMEOUT_MS",
    "MAX_APP_DATA_LEN",
    "MAX_AUTH_TICKET_LEN",
    "MAX_GAMEDIR_LEN",
    "MAX_IDENTITY_LEN",
    "MAX_TICKET_LEN",
    "Ticket",
    "connect",
    "library_version",
    "spawn",
]
