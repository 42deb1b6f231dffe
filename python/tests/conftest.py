"""Fixtures of the talvex05u tests: the `talvex` program as a C++ peer."""
import os
import re
import select
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
def cpp_server():
    """The address of `talvex serve` on a free loopback port, stopped with SIGTERM at the end."""
    with subprocess.Popen([talvex_program(), "serve", "--port", "0", "--bind", LOOPBACK],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as process:
        try:
            ready, _, _ = select.select([process.stdout], [], [], 10.0)
            first = process.stdout.readline() if ready else ""
            match = re.search(r"serving on [0-9.]+:(\d+)", first)
            assert match, f"talvex serve did not start: {first!r}"
            yield (LOOPBACK, int(match.group(1)))
        finally:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()


@pytest.fixture
def diagnostics():
    """The diagnostic lines reported while the test runs."""
    import talvex05u
    lines = []
    talvex05u.set_diagnostic_handler(lines.append)
    yield lines
    talvex05u.set_diagnostic_handler(None)
