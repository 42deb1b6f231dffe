"""Fixtures of the talvex05u tests: the `talvex` program as a C++ peer, and the diagnostics."""
import os
import subprocess

import pytest

LOOPBACK = "127.0.0.1"


def talvex_program():
    path = os.environ.get("TALVEX_PROGRAM", "")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("TALVEX_PROGRAM does not name the built talvex program (run through ctest)")
    return path


def run_talvex(*args, timeout=30):
    """Runs `talvex ARGS...` to its end and returns the CompletedProcess."""
    return subprocess.run([talvex_program(), *args], capture_output=True, text=True, timeout=timeout, check=False)


@pytest.fixture
def diagnostics():
    """The diagnostic lines reported while the test runs."""
    import talvex05u
    lines = []
    talvex05u.set_diagnostic_handler(lines.append)
    yield lines
    talvex05u.set_diagnostic_handler(None)
