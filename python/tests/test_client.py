"""The vandrel package against the built broker on the stand-in runtime.

Run from CTest, which sets VANDREL_TEST_BUILD_DIR (the build tree: bin/vandrel,
bin/vandrel-ticket), VANDREL_CLIENT_LIBRARY (the built shared library),
PYTHONPATH (this tree's python/) and TMPDIR (the suite's, to be left empty).
"""

from __future__ import annotations

import errno
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from typing import Dict, List

import vandrel
from vandrel import _native

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("VANDREL_TEST_BUILD_DIR", SOURCE_DIR / "build" / "ci"))
BROKER = str(BUILD_DIR / "bin" / "vandrel")
TICKET_TOOL = str(BUILD_DIR / "bin" / "vandrel-ticket")
# The user the stand-in reports.
STEAM_ID = 76561198012345678
SERVER = "1.2.3.4:27015"
WAIT_S = 10.0


def clean_environment(**extra: str) -> Dict[str, str]:
    """This process's environment without the variables that script the
    stand-in or name a broker, with `extra` added."""
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(("VANDREL_STANDIN_", "VANDREL_STEAMCLIENT_", "VANDREL_BROKER"))
    }
    env["VANDREL_STANDIN_STEAM_ID"] = str(STEAM_ID)
    env.update(extra)
    return env


class Broker:
    """The built broker on a Unix socket in a fresh directory under TMPDIR,
    which is also its children's TMPDIR; its standard error goes to a file
    there. stop() ends it and removes the directory."""

    def __init__(self) -> None:
        self._dir = tempfile.TemporaryDirectory(prefix="python-broker-")
        self.dir = self._dir.name
        self.address = f"unix:{self.dir}/socket"
        self.log_path = os.path.join(self.dir, "broker.log")
        with open(self.log_path, "wb") as log:
            self._process = subprocess.Popen(
                [BROKER, self.address],
                stdin=subprocess.DEVNULL,
                stderr=log,
                env=clean_environment(TMPDIR=self.dir),
            )
        if not self.wait_for(f"[vandrel] listening on {self.address}"):
            self.stop()
            raise AssertionError("the broker did not listen")

    def lines(self) -> List[str]:
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read().splitlines()

    def wait_for(self, line: str) -> bool:
        """Waits up to WAIT_S for `line` in the broker's log."""
        deadline = time.monotonic() + WAIT_S
        while line not in self.lines():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def stop(self) -> None:
        self._process.terminate()
        self._process.wait(WAIT_S)
        self._dir.cleanup()


class BrokerTest(unittest.TestCase):
    def setUp(self) -> None:
        self.broker = Broker()
        self.addCleanup(self.broker.stop)

    def assertLogged(self, line: str) -> None:
        self.assertTrue(self.broker.wait_for(line), f"{line!r} not in {self.broker.lines()}")


class Tickets(BrokerTest):
    def test_connect_ticket_is_the_one_vandrel_ticket_gets(self) -> None:
        with vandrel.connect(self.broker.address) as broker:
            broker.activate(gamedir="cstrike")
            t = broker.request_ticket(SERVER, server_steamid=90123, secure=True, challenge=77)
            broker.end_ticket(SERVER, challenge=t.challenge)
            fresh = broker.request_ticket(SERVER)
        self.assertEqual((t.steamid, t.challenge), (STEAM_ID, 77))
        self.assertNotEqual(fresh.challenge, 77)
        self.assertLogged(f"[vandrel] accepted pid {os.getpid()} uid {os.getuid()}")
        self.assertLogged("[vandrel] child: terminate_game_connection 1.2.3.4:27015")
        self.assertLogged("[vandrel] child for appid 10 reaped")

        tool = subprocess.run(
            [TICKET_TOOL, "--broker", self.broker.address, "--gamedir", "cstrike"]
            + ["--server", SERVER, "--server-steamid", "90123", "--secure", "1"]
            + ["--challenge", "77"],
            capture_output=True,
            text=True,
            timeout=60,
        )
        self.assertEqual(tool.returncode, 0, tool.stderr)
        self.assertEqual(
            tool.stdout, f"steamid {STEAM_ID}\nticket {t.data.hex()}\n", "the same bytes as C"
        )

    def test_auth_tickets_carry_their_handles(self) -> None:
        with vandrel.connect(self.broker.address) as broker:
            broker.activate(appid=480)
            session = broker.request_auth_ticket("session", identity=None, challenge=7)
            webapi = broker.request_auth_ticket("webapi", identity="vandrel-test")
            app = broker.request_auth_ticket("app", data=b"\x00\xffdata")
            broker.cancel_ticket(session.handle)
        self.assertEqual({session.steamid, webapi.steamid, app.steamid}, {STEAM_ID})
        self.assertNotIn(0, (session.handle, webapi.handle))
        self.assertNotEqual(session.handle, webapi.handle)
        self.assertEqual(app.handle, 0)
        self.assertTrue(session.data and webapi.data and app.data)
        self.assertLogged("[vandrel] child: get_auth_ticket_for_web_api identity=vandrel-test")
        # Only the ticket not cancelled is left for the broker to cancel.
        self.assertLogged(f"[vandrel] cancelling dangling auth ticket {webapi.handle}")
        self.assertLogged("[vandrel] child for appid 480 reaped")
        self.assertNotIn(
            f"[vandrel] cancelling dangling auth ticket {session.handle}", self.broker.lines()
        )

    def test_status_is_a_dict_of_its_lines(self) -> None:
        with vandrel.connect(self.broker.address) as broker:
            before = broker.status(challenge=1)
            broker.activate(appid=480)
            broker.request_auth_ticket("app")
            after = broker.status()
        self.assertEqual(
            before,
            {"version": vandrel.library_version(), "uid": str(os.getuid()), "appid": "none"},
        )
        self.assertEqual(
            list(after),
            ["version", "uid", "appid", "steamid", "logged_on", "runtime", "runtime_kind"],
        )
        self.assertEqual(after["appid"], "480")
        self.assertEqual(after["steamid"], str(STEAM_ID))
        self.assertEqual(after["runtime_kind"], "standin")
        self.assertTrue(os.path.isabs(after["runtime"]))


class Failures(unittest.TestCase):
    def test_a_broker_error_names_status_text_and_reason(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            with vandrel.spawn(BROKER, env=clean_environment(TMPDIR=tmp)) as broker:
                broker.activate(gamedir="nosuchgame")
                with self.assertRaises(vandrel.Error) as raised:
                    broker.request_ticket(SERVER)
        e = raised.exception
        self.assertEqual(e.status, "VANDREL_ERR_BROKER")
        self.assertEqual(e.text, "the broker reported an error")
        self.assertEqual(e.broker_error, "vd_gamedir: no Steam AppID known for this gamedir")
        self.assertEqual(
            str(e),
            "VANDREL_ERR_BROKER: the broker reported an error: "
            "vd_gamedir: no Steam AppID known for this gamedir",
        )

    def test_local_failures_are_errors_with_status_and_os_error(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            with self.assertRaises(vandrel.Error) as raised:
                vandrel.connect(f"unix:{tmp}/nothing-here")
            self.assertEqual(raised.exception.status, "VANDREL_ERR_CONNECT")
            self.assertEqual(raised.exception.os_error, errno.ENOENT)

            broker = vandrel.spawn(BROKER, env=clean_environment(TMPDIR=tmp))
            # Numbers that ctypes would wrap into valid ones, a NUL that would
            # cut a name short, and what the library refuses itself.
            for refused in (
                lambda: broker.activate(appid=2**32 + 480),
                lambda: broker.activate(gamedir="cstrike\0x"),
                lambda: broker.activate(gamedir="two words"),
                lambda: broker.request_ticket(SERVER, challenge=2**31),
                lambda: broker.request_auth_ticket("session", data=b"x"),
                lambda: broker.cancel_ticket(-1),
            ):
                with self.assertRaises(vandrel.Error) as raised:
                    refused()
                self.assertEqual(raised.exception.status, "VANDREL_ERR_ARGUMENT")
            broker.close()
            broker.close()
            with self.assertRaises(vandrel.Error) as raised:
                broker.status()
            self.assertEqual(raised.exception.status, "VANDREL_ERR_NOT_OPEN")
            self.assertEqual(raised.exception.text, "the client is not open")


def run_python(code: str, env: Dict[str, str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )


class Library(unittest.TestCase):
    """Where the library is looked for; each case in a fresh interpreter,
    since a process loads it once."""

    CONNECT = (
        "import vandrel\n"
        "try:\n"
        "    vandrel.connect('unix:/nonexistent')\n"
        "except vandrel.Error as e:\n"
        "    print(e.status, e, sep='\\n')\n"
    )

    def environment(self, **extra: str) -> Dict[str, str]:
        unset = ("LD_LIBRARY_PATH", _native.LIBRARY_VARIABLE)
        return {**{k: v for k, v in os.environ.items() if k not in unset}, **extra}

    def test_found_by_soname_or_variable_and_named_when_not(self) -> None:
        library = os.environ[_native.LIBRARY_VARIABLE]
        found = run_python(
            "import vandrel; print(vandrel.library_version())",
            self.environment(LD_LIBRARY_PATH=os.path.dirname(library)),
        )
        self.assertEqual(found.stdout, f"{vandrel.library_version()}\n", found.stderr)

        missing = run_python(
            self.CONNECT, self.environment(VANDREL_CLIENT_LIBRARY="/nonexistent/libx.so")
        )
        self.assertRegex(
            missing.stdout,
            r"^None\ncannot load the vandrel client library from "
            r"VANDREL_CLIENT_LIBRARY=/nonexistent/libx\.so: /nonexistent/libx\.so: cannot open",
        )

        by_soname = run_python(self.CONNECT, self.environment())
        if by_soname.stdout.startswith("VANDREL_ERR_CONNECT"):
            self.skipTest(f"{_native.SONAME} is installed on this system")
        self.assertRegex(
            by_soname.stdout,
            r"^None\ncannot load the vandrel client library libvandrel-client\.so\.0 \(looked up "
            r"by the dynamic loader .* set VANDREL_CLIENT_LIBRARY to the library's path",
        )


class Check(BrokerTest):
    def test_runs_vandrel_ticket_check_or_says_where_it_looked(self) -> None:
        env = clean_environment(HOME=self.broker.dir)
        check = subprocess.run(
            [sys.executable, "-m", "vandrel", "--check", "--broker", self.broker.address],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
        )
        # The stand-in is not Steam, and this HOME has no Steam: those steps fail.
        self.assertEqual(check.returncode, 9, check.stderr)
        self.assertIn(f"ok   broker: {self.broker.address} answers", check.stdout)
        self.assertIn("FAIL runtime_kind: standin", check.stdout)

        env.update(PATH="/nonexistent", VANDREL_CLIENT_LIBRARY="/nonexistent/libx.so")
        lost = subprocess.run(
            [sys.executable, "-m", "vandrel", "--check"],
            capture_output=True,
            text=True,
            env=env,
            timeout=60,
        )
        self.assertEqual(lost.returncode, 127)
        self.assertTrue(
            lost.stderr.startswith(
                "python3 -m vandrel: vandrel-ticket not found; looked in PATH (/nonexistent); "
                "beside the client library, which cannot be loaded: cannot load"
            ),
            lost.stderr,
        )


class Headers(unittest.TestCase):
    """The package's copy of the C header's numbers and names."""

    def test_package_matches_the_headers_and_the_project(self) -> None:
        include = SOURCE_DIR / "include" / "vandrel"
        client_h = (include / "client.h").read_text()
        defines = dict(
            re.findall(r"^#define VANDREL_(\w+) (\d+|\"[^\"]*\")$", client_h, re.M)
            + re.findall(
                r"^#define VANDREL_(\w+) (\d+|\"[^\"]*\")$", (include / "wire.h").read_text(), re.M
            )
        )
        for name in (
            "DEFAULT_BROKER_ADDR MAX_GAMEDIR_LEN MAX_TICKET_LEN MAX_AUTH_TICKET_LEN "
            "MAX_IDENTITY_LEN MAX_APP_DATA_LEN BROKER_CONFIRM_MS BROKER_START_MS "
            "BROKER_REQUEST_MS FIRST_TICKET_TIMEOUT_MS CLOSE_GRACE_MS BROKER_ERROR_SIZE"
        ).split():
            self.assertEqual(str(getattr(_native, name)), defines[name].strip('"'), name)
        self.assertEqual(
            _native.STATUS_TEXT_SIZE,
            int(defines["MAX_FRAME_PAYLOAD"]) - int(defines["STATUS_REPLY_TEXT_AT"]) + 1,
        )
        enum = re.search(r"typedef enum vandrel_status \{(.*?)\}", client_h, re.S)
        assert enum is not None
        self.assertEqual(
            re.findall(r"^\s*(VANDREL_\w+)", enum.group(1), re.M), list(_native.STATUS_NAMES)
        )
        kinds = re.search(r"typedef enum vandrel_ticket_kind \{(.*?)\}", client_h, re.S)
        assert kinds is not None
        self.assertEqual(
            [k.lower() for k in re.findall(r"VANDREL_TICKET_(\w+)", kinds.group(1))],
            list(_native.TICKET_KINDS),
        )
        cmake = (SOURCE_DIR / "CMakeLists.txt").read_text()
        project = re.search(r"project\(vandrel VERSION ([\d.]+)", cmake)
        assert project is not None
        self.assertEqual(vandrel.__version__, project.group(1))
        pyproject = (SOURCE_DIR / "python" / "pyproject.toml").read_text()
        self.assertIn(f'version = "{project.group(1)}"', pyproject)


if __name__ == "__main__":
    unittest.main()
