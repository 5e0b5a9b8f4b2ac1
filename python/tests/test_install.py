"""pip installs the package from a copy of this tree with no package index
(--no-build-isolation: the build uses the interpreter's own setuptools and
wheel), and the installed package loads the built library."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import vandrel

PACKAGE_DIR = Path(__file__).resolve().parents[1]
NEEDED = ("pip", "setuptools", "wheel")
# Where the installed package was imported from, and its library's version.
SHOW = "import vandrel\nprint(vandrel.__file__)\nprint(vandrel.library_version())"


class Install(unittest.TestCase):
    def test_pip_installs_without_an_index(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            # A copy: the build writes build/ and vandrel.egg-info beside
            # pyproject.toml.
            source = Path(tmp) / "source"
            shutil.copytree(PACKAGE_DIR / "vandrel", source / "vandrel")
            shutil.copy(PACKAGE_DIR / "pyproject.toml", source)
            target = Path(tmp) / "site"
            pip = subprocess.run(
                [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index"]
                + ["--no-deps", "--no-cache-dir", "--disable-pip-version-check"]
                + ["--target", str(target), str(source)],
                capture_output=True,
                text=True,
                timeout=300,
                env=dict(os.environ, PIP_ROOT_USER_ACTION="ignore"),
            )
            self.assertEqual(pip.returncode, 0, pip.stdout + pip.stderr)
            self.assertTrue((target / "vandrel" / "py.typed").is_file())

            env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
            env["PYTHONPATH"] = str(target)
            run = subprocess.run(
                [sys.executable, "-c", SHOW],
                capture_output=True,
                text=True,
                env=env,
                timeout=60,
            )
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(
                run.stdout.splitlines(),
                [str(target / "vandrel" / "__init__.py"), vandrel.library_version()],
            )


if __name__ == "__main__":
    missing = [m for m in NEEDED if importlib.util.find_spec(m) is None]
    if missing:
        # The last line is what the suite's summary shows as the reason.
        print(f"skipped: {sys.executable} lacks {', '.join(missing)} (Debian's python3-pip, "
              "python3-setuptools and python3-wheel; scripts/ensure-deps installs them)")
        sys.exit(0)
    unittest.main()
