"""The one exception of the package."""

from __future__ import annotations

import os
from typing import Optional


class Error(Exception):
    """A failure: what the client library reported, or that the library
    itself could not be loaded.

    status        the library's status name, e.g. "VANDREL_ERR_BROKER"; None
                  when the library could not be loaded
    text          the library's text for the status (vandrel_status_text), or
                  why the library could not be loaded
    detail        what the package adds, e.g. which argument was refused; "" if
                  nothing
    broker_error  for VANDREL_ERR_BROKER the broker's reason
                  (vandrel_broker_error), else None
    os_error      the errno of the failed system call (vandrel_os_error), or
                  None
    """

    def __init__(
        self,
        status: Optional[str],
        text: str,
        *,
        detail: str = "",
        os_error: Optional[int] = None,
        broker_error: Optional[str] = None,
    ) -> None:
        self.status = status
        self.text = text
        self.detail = detail
        self.os_error = os_error
        self.broker_error = broker_error
        super().__init__(self._message())

    def _message(self) -> str:
        message = self.text
        if self.status is not None:
            message = f"{self.status}: {message}"
        if self.detail:
            message += f": {self.detail}"
        if self.broker_error:
            message += f": {self.broker_error}"
        if self.os_error:
            message += f" ({os.strerror(self.os_error)})"
        return message
