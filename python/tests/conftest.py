"""Fixtures of the talvex05u tests: the `talvex` program as a C++ peer."""
import os
import re
import select
import signal
import subprocess
import time

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


class ServeProcess:
    """`talvex serve` on a free loopback port, stopped with SIGTERM at the end."""

    def __init__(self, *extra, bind=LOOPBACK):
        self.process = subprocess.Popen([talvex_program(), "serve", "--port", "0", "--bind", bind, *extra],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self._read_line(10.0)
        match = re.search(r"serving on [0-9.]+:(\d+)", first)
        if match is None:
            self.stop()
            raise AssertionError(f"talvex serve did not start: {first!r}")
        self.port = int(match.group(1))
        self.address = (LOOPBACK, self.port)

    def _read_line(self, seconds):
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        return self.process.stdout.readline() if ready else ""

    def wait_for_line(self, text, seconds=5.0):
        """The first printed line holding `text`, or "" when none comes in time."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            line = self._read_line(deadline - time.monotonic())
            if text in line:
                return line
            if not line and self.process.poll() is not None:
                break
        return ""

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.fixture
def cpp_server():
    server = ServeProcess()
    yield server
    server.stop()


@pytest.fixture
def diagnostics():
    """The diagnostic lines reported while the test runs."""
    import talvex05u
    lines = []
    talvex05u.set_diagnostic_handler(lines.append)
    yield lines
    talvex05u.set_diagnostic_handler(None)
