"""python3 -m vandrel --check [--appid N] [--json] [--broker ADDR | --spawn PATH]

Runs vandrel-ticket with the same arguments, so that the checks, their hints
and their exit statuses (0 all passed, 9 a step failed) are that program's
own and cannot drift from it. vandrel-ticket is looked for in PATH, then in
the bin directory of the prefix the client library was loaded from.
"""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from . import _native
from ._errors import Error

PROGRAM = "vandrel-ticket"
USAGE = (
    "usage: python3 -m vandrel --check [--appid N] [--json] [--broker ADDR | --spawn PATH]\n"
    f"       (any arguments of {PROGRAM}, which it runs)\n"
)
EXIT_USAGE = 2
EXIT_NOT_FOUND = 127


def candidates() -> Tuple[List[str], str]:
    """Where vandrel-ticket may be, in order, and a description of the
    places for the message when it is in none of them."""
    places: List[str] = []
    found = shutil.which(PROGRAM)
    if found:
        places.append(found)
    searched = [f"PATH ({os.environ.get('PATH', '')})"]
    try:
        _native.library()
        library: Optional[str] = _native.loaded_path()
    except Error as e:
        library = None
        searched.append(f"beside the client library, which cannot be loaded: {e}")
    if library:
        # <prefix>/lib/libvandrel-client.so.0, <prefix>/lib/<multiarch>/...,
        # and a build tree's <build>/client/...: the programs are in <prefix>/bin.
        libdir = Path(library).parent
        beside = [str(libdir.parent / "bin" / PROGRAM), str(libdir.parent.parent / "bin" / PROGRAM)]
        places += beside
        searched.append(f"beside the client library {library}: {', '.join(beside)}")
    return places, "; ".join(searched)


def main(argv: Sequence[str]) -> int:
    if not argv:
        sys.stderr.write(USAGE)
        return EXIT_USAGE
    places, searched = candidates()
    for place in places:
        if os.path.isfile(place) and os.access(place, os.X_OK):
            sys.stdout.flush()
            sys.stderr.flush()
            os.execv(place, [place, *argv])
    sys.stderr.write(f"python3 -m vandrel: {PROGRAM} not found; looked in {searched}\n")
    return EXIT_NOT_FOUND


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
