"""The talvex05u module against real callers on loopback: Python with Python, short
calls each way with the C++ `talvex` program (bulk values included), failing handlers,
time-outs, several threads calling through one caller at once, broadcasts (inside a
private network namespace) and the trace stream. A Python server and client in one
process also prove that calls release the GIL: the server's handler could not run while
the waiting client held it."""
import array
import os
import queue
import select
import socket
import struct
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import talvex05u
from conftest import LOOPBACK, run_talvex, talvex_program

REVERSE, DOUBLE, ECHO, EVENT, SCALE, RAISES, WRONG_TYPE = 1, 2, 3, 4, 5, 9, 10


def raises(call):
    raise ValueError(f"refused {call.get_long()}")


def scale(call):
    """n, then n floats, n doubles and n longs, read in bulk; answers each doubled, bare."""
    n = call.get_long()
    floats, doubles, longs = call.get_floats(n), call.get_doubles(n), call.get_longs(n)
    answer = talvex05u.Block()
    answer.append_floats(array.array("f", [2 * x for x in floats]))
    answer.append_doubles(tuple(2 * x for x in doubles))
    answer.append_longs(2 * x for x in longs)
    return answer


@pytest.fixture
def py_server():
    """A Python server: REVERSE reverses the words, ECHO answers them, SCALE doubles values read
    in bulk, RAISES raises, WRONG_TYPE returns 42."""
    with talvex05u.CallerEx(own_address=LOOPBACK) as server:
        server.serve(REVERSE, lambda call: talvex05u.Block.of_words(call.words()[::-1]))
        server.serve(ECHO, lambda call: call)
        server.serve(SCALE, scale)
        server.serve(RAISES, raises)
        server.serve(WRONG_TYPE, lambda call: 42)
        yield server


def call_block(procedure, *words):
    return talvex05u.Block.of_words(words, procedure=procedure)


def test_block_values_round_trip_and_bad_input_is_refused():
    # (kind, value appended, value read back): an unsigned word comes back as -1; bytes are read by count.
    rows = [("long", -7, -7), ("long", 0xFFFFFFFF, -1), ("float", 1.5, 1.5), ("double", -2.25, -2.25),
            ("int64", -(2 ** 40), -(2 ** 40)), ("uint64", 2 ** 64 - 1, 2 ** 64 - 1), ("string", "grüße", "grüße"),
            ("bytes", b"\x01\x02\x03\x04\x05", b"\x01\x02\x03\x04\x05"),
            ("words", [3, -1, 2 ** 31 - 1], [3, -1, 2 ** 31 - 1]), ("string", "", "")]
    block = talvex05u.Block(procedure=4)
    for kind, value, _ in rows:
        getattr(block, "append_" + kind)(value)
    assert (block.procedure, block.type, len(block)) == (4, 1, 18)
    for kind, _, wanted in rows:
        assert (block.get_bytes(5) if kind == "bytes" else getattr(block, "get_" + kind)()) == wanted, kind
    with pytest.raises(IndexError, match="get_long: needs 1 word"):
        block.get_long()
    block.rewind()
    assert block.get_long() == -7

    raw = struct.pack("<3i", 1, -2, 0x01020304)
    converted = talvex05u.Block.from_bytes(raw, procedure=6)
    assert converted.words() == [1, -2, 0x01020304] and converted.to_bytes() == raw
    assert converted == talvex05u.Block.of_words([1, -2, 0x01020304], procedure=6)
    assert talvex05u.Block().procedure is None and talvex05u.Block().type == -1

    refused = [
        (ValueError, lambda: block.append_long(2 ** 32)),
        (ValueError, lambda: block.append_long(-(2 ** 31) - 1)),
        (TypeError, lambda: block.append_long("7")),
        (TypeError, lambda: block.append_long(True)),
        (ValueError, lambda: block.append_string("a\0b")),
        (TypeError, lambda: block.append_string(5)),
        (ValueError, lambda: talvex05u.Block.from_bytes(b"12345")),
        (TypeError, lambda: talvex05u.Block.of_words("123")),
        (ValueError, lambda: talvex05u.Block.of_words([1, 2 ** 40])),
        (ValueError, lambda: talvex05u.Block.of_words([5, 1]).get_words()),     # count past the data
        (ValueError, lambda: talvex05u.Block.of_words([0x41414141]).get_string()),  # no terminating zero
        (IndexError, lambda: talvex05u.Block.of_words([1]).get_double()),
        (IndexError, lambda: talvex05u.Block.of_words([1]).get_bytes(4)),
        (ValueError, lambda: talvex05u.Block.of_words([1]).get_bytes(-1)),
        (ValueError, lambda: talvex05u.Block.of_words([0] * 32767).append_string("x")),   # 16-bit string cursor
    ]
    for kind, action in refused:
        with pytest.raises(kind):
            action()


def test_bulk_values_are_the_words_of_single_values(py_server):
    values = {"float": [1.5, -0.0, float("inf"), float("nan"), 1e300, 2 ** 70, 3, True, 1 / 3],   # 1e300: inf as a float
              "double": [0.1, -2.5e-310, float("-inf"), 7], "long": [0, -1, 2 ** 31 - 1, -(2 ** 31), 2 ** 32 - 1]}
    single = talvex05u.Block()
    for kind, items in values.items():
        for value in items:
            getattr(single, "append_" + kind)(value)
    code = {"float": "d", "double": "d", "long": "q"}
    for make in (lambda items, _: list(items), lambda items, _: tuple(items), lambda items, _: (x for x in items),
                 lambda items, c: array.array(c, items), lambda items, c: memoryview(array.array(c, items).tobytes()).cast(c)):
        bulk = talvex05u.Block()
        for kind, items in values.items():
            getattr(bulk, f"append_{kind}s")(make(items, code[kind]))
        assert bulk.words() == single.words()
    # Bulk gets read what single appends wrote and the other way round (repr: nan == nan).
    bulk.rewind()
    assert repr(single.get_floats(9)) == repr([bulk.get_float() for _ in range(9)])
    assert single.get_doubles(4) == [bulk.get_double() for _ in range(4)] == [0.1, -2.5e-310, -float("inf"), 7]
    assert single.get_longs(5) == [bulk.get_long() for _ in range(5)] == [0, -1, 2 ** 31 - 1, -(2 ** 31), -1]
    assert single.get_floats(0) == [] and len(single) == single.read_position == 22

    counted, bare = talvex05u.Block(), talvex05u.Block()
    counted.append_words([7, 8])
    bare.append_longs(array.array("i", [7, 8]))
    bare.append_floats(array.array("f", [0.5]))
    assert counted.words() == [2, 7, 8] and bare.words()[:2] == [7, 8] and bare.get_longs(2) == [7, 8]
    for kind, action in [(IndexError, lambda: bare.get_doubles(1)), (IndexError, lambda: bare.get_longs(2)),
                         (ValueError, lambda: bare.get_floats(-1)), (TypeError, lambda: bare.append_floats([1.0, "2"])),
                         (TypeError, lambda: bare.append_floats(b"\0\0\0\0")), (TypeError, lambda: bare.append_doubles(5)),
                         (TypeError, lambda: bare.append_longs([1, 2.0])), (TypeError, lambda: bare.append_longs([True])),
                         (TypeError, lambda: bare.append_longs(array.array("d", [1]))),
                         (ValueError, lambda: bare.append_longs(array.array("q", [1, 2 ** 32]))),
                         (ValueError, lambda: bare.append_longs([1, -(2 ** 31) - 1]))]:
        with pytest.raises(kind):
            action()
        assert (len(bare), bare.read_position) == (3, 2), "a refused bulk append or get changes nothing"
    assert bare.get_floats(1) == [0.5]

    # Through real calls: the C++ program's typed values read in bulk by a Python handler, and
    # chunked bulk values both ways between Python callers.
    scaled = run_talvex("call", f"{LOOPBACK}:{py_server.port}", str(SCALE), "l:2", "f:1.5", "f:-2", "d:0.1", "d:3",
                        "l:7", "l:-8", "--read", "f,f,d,d,l,l")
    assert scaled.returncode == 0, scaled.stderr
    assert [line.split()[1] for line in scaled.stdout.splitlines()[1:]] == ["3", "-4", "0.20000000000000001", "6", "14", "-16"]
    n = 600
    call = talvex05u.Block(procedure=SCALE)
    call.append_long(n)
    call.append_floats(x / 4 for x in range(n))
    call.append_doubles(array.array("d", (x / 3 for x in range(n))))
    call.append_longs(range(-n, 0))
    with talvex05u.CallerEx(own_address=LOOPBACK) as client:
        answer = client.call((LOOPBACK, py_server.port), call)
    assert answer.get_floats(n) == [x / 2 for x in range(n)] and answer.get_doubles(n) == [2 * (x / 3) for x in range(n)]
    assert answer.get_longs(n) == list(range(-2 * n, 0, 2)) and answer.read_position == len(answer) == 4 * n


def test_talvex_program_and_plain_python_caller_call_python_server(py_server):
    server = (LOOPBACK, py_server.port)
    short = run_talvex("call", f"{LOOPBACK}:{server[1]}", str(REVERSE), "l:1", "l:2", "l:3", "--read", "l,l,l")
    assert short.returncode == 0, short.stderr
    assert [line.split()[1] for line in short.stdout.splitlines()[1:]] == ["3", "2", "1"]
    with subprocess.Popen([talvex_program(), "serve", "--port", "0", "--bind", LOOPBACK, "--no-publish"],
                          stdout=subprocess.PIPE, text=True) as cpp_server, talvex05u.CallerEx() as client:
        first = cpp_server.stdout.readline() if select.select([cpp_server.stdout], [], [], 10.0)[0] else ""
        assert first.startswith("serving on"), f"talvex serve did not start: {first!r}"
        cpp_port = int(first.split()[2].split(":")[1])
        assert client.call((LOOPBACK, cpp_port), call_block(2, 400)).words() == list(range(400))   # count, chunked
        cpp_server.terminate()
    with talvex05u.Caller(own_address=LOOPBACK) as plain:
        echo = talvex05u.Block(procedure=ECHO)
        echo.append_long(7)
        echo.append_string("hi")
        answer = plain.call(("localhost", server[1]), echo, timeout_ms=2000)   # host names resolve
        assert repr(plain) == f"<talvex05u.Caller own_address='{LOOPBACK}' port={plain.port} peer={server}>"
        assert (answer.procedure, answer.type, answer.get_long(), answer.get_string()) == (ECHO, 2, 7, "hi")
        assert echo.read_position == 0 and echo.type == 1, "the caller's own block is left alone"

        with pytest.raises(ValueError, match="at most 350 words"):
            plain.call(server, talvex05u.Block.of_words(range(351), procedure=1))

        assert plain.ping(server) and plain.is_active()
        events = queue.Queue()
        py_server.serve(EVENT, lambda call: events.put((call.procedure, call.words())))
        plain.event(server, call_block(EVENT, 5, 6))
        assert events.get(timeout=5) == (EVENT, [5, 6])

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:    # bound, but answers nothing
            silent.bind((LOOPBACK, 0))
            port = silent.getsockname()[1]
            assert not plain.ping((LOOPBACK, port)) and not plain.is_active()
            with pytest.raises(TimeoutError, match=f"no answer to procedure 3 from {LOOPBACK}:{port} within 200 ms"):
                plain.call((LOOPBACK, port), echo, timeout_ms=200)
        wanted = {"calls": 2, "answered": 1, "timed_out": 1, "events_sent": 1, "pings_sent": 2, "pings_answered": 1}
        assert {name: plain.counters()[name] for name in wanted} == wanted
    assert len(plain.counters()) == 30 and plain.counters()["calls"] == 2   # kept after stop()


def test_failing_handlers_are_reported_and_the_dispatcher_keeps_serving(py_server, diagnostics):
    with talvex05u.CallerEx(own_address=LOOPBACK) as client, talvex05u.Caller(own_address=LOOPBACK) as plain_server:
        # Procedure 77 is served by nobody; the plain server's answer is too long for its 16-bit packet positions.
        plain_server.serve(None, lambda call: talvex05u.Block.of_words(range(40000)))
        for port, block in [(py_server.port, call_block(RAISES, 31)), (py_server.port, call_block(WRONG_TYPE)),
                            (py_server.port, call_block(77)), (plain_server.port, call_block(3))]:
            with pytest.raises(TimeoutError):
                client.call((LOOPBACK, port), block, timeout_ms=300)
        assert client.call((LOOPBACK, py_server.port), call_block(REVERSE, 1, 2)).words() == [2, 1]
    reports = "\n".join(diagnostics)
    assert f"procedure {RAISES} not answered: the handler raised ValueError: refused 31" in reports
    assert f"procedure {WRONG_TYPE} not answered: the handler returned int, not a Block or None" in reports
    assert "procedure 3 not answered: the answer has 40000 words; this caller sends at most 32767" in reports


def slow_echo(peer, calls, log, delay=0.2, limit=10.0):
    """A raw UDP peer: echoes each one-packet call as its answer (type word 1 -> 2) `delay` s after
    it came, logging "call" and "answer" in the order they happen, until `calls` are answered."""
    pending, end = [], time.monotonic() + limit
    while log.count("answer") < calls and time.monotonic() < end:
        wait = min((due for due, _, _ in pending), default=end) - time.monotonic()
        if select.select([peer], [], [], max(wait, 0))[0]:
            data, sender = peer.recvfrom(2048)
            if data[:4] == struct.pack("<i", 1):
                log.append("call")
                pending.append((time.monotonic() + delay, data, sender))
        for item in [item for item in pending if item[0] <= time.monotonic()]:
            pending.remove(item)
            peer.sendto(struct.pack("<i", 2) + item[1][4:], item[2])
            log.append("answer")


def test_threads_call_through_one_caller_side_by_side(py_server):
    # Two threads call a peer that answers each call 200 ms after it came: the second call
    # reaches it before the first is answered, and each thread gets its own answer.
    for kind in (talvex05u.Caller, talvex05u.CallerEx):
        with kind(own_address=LOOPBACK) as client, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer, \
                ThreadPoolExecutor(max_workers=3) as pool:
            peer.bind((LOOPBACK, 0))
            log = []
            served = pool.submit(slow_echo, peer, 2, log)
            answers = pool.map(lambda n: client.call(peer.getsockname(), call_block(ECHO, n, n)).words(), (1, 2))
            assert list(answers) == [[1, 1], [2, 2]]
            served.result(timeout=10)
            assert log == ["call", "call", "answer", "answer"], kind

    # Short and chunked calls from two threads to two servers while a third sends events to a third
    # address as fast as it can (chunks and events take turns on the caller's one remote address):
    # every answer comes from the server called, and nothing waits for good.
    with talvex05u.CallerEx(own_address=LOOPBACK) as client, talvex05u.CallerEx(own_address=LOOPBACK) as other, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink, ThreadPoolExecutor(max_workers=3) as pool:
        sink.bind((LOOPBACK, 0))
        other.serve(REVERSE, lambda call: talvex05u.Block.of_words([-word for word in call.words()]))
        answer_of = {py_server.port: lambda words: words[::-1], other.port: lambda words: [-w for w in words]}
        calling = threading.Event()

        def events():
            sent = 0
            while not calling.is_set() and sent < 20000:
                client.event(sink.getsockname(), call_block(EVENT))
                sent += 1
            return sent

        def calls(index):
            for turn, length in enumerate((400, 3, 900, 5, 700, 2000)):   # all but 3 and 5 go as chunks
                port = (py_server.port, other.port)[(index + turn) % 2]
                words = [index * 10000 + n for n in range(length)]
                answer = client.call((LOOPBACK, port), call_block(REVERSE, *words), timeout_ms=2000)
                assert answer.words() == answer_of[port](words)
            return index
        sending = pool.submit(events)
        try:
            assert list(pool.map(calls, range(2), timeout=60)) == [0, 1]
        finally:
            calling.set()
        assert sending.result(timeout=10) > 0
        assert client.chunk_target in {(LOOPBACK, py_server.port), (LOOPBACK, other.port), sink.getsockname()}

        # stop() ends a call that waits for an answer that never comes.
        made = client.counters()["calls"]
        waiting = pool.submit(client.call, sink.getsockname(), call_block(ECHO, 1), timeout_ms=20000)
        deadline = time.monotonic() + 10
        while client.counters()["calls"] == made and time.monotonic() < deadline:
            time.sleep(0.005)
        client.stop()
        with pytest.raises(ConnectionAbortedError, match="stopped while the call waited"):
            waiting.result(timeout=5)


def test_bad_arguments_are_refused_with_clear_errors(py_server):
    caller = talvex05u.CallerEx(own_address=LOOPBACK)
    with pytest.raises(ValueError, match="not started"):
        caller.call((LOOPBACK, py_server.port), call_block(1))
    with caller:
        target = (LOOPBACK, py_server.port)
        for kind, action, text in [
            (ValueError, lambda: talvex05u.Caller(own_address="localhost"), "not a dotted IPv4 address"),
            (ValueError, lambda: talvex05u.Caller(own_port=65536), "65536"),
            (TypeError, lambda: caller.call(f"{LOOPBACK}:{py_server.port}", call_block(1)), "tuple"),
            (ValueError, lambda: caller.call(("nosuchhost.invalid", 5), call_block(1)), "unknown host 'nosuchhost.invalid'"),
            (ValueError, lambda: caller.call((LOOPBACK, 0), call_block(1)), "port 0"),
            (ValueError, lambda: caller.call(target, call_block(1), timeout_ms=0), "time-out"),
            (ValueError, lambda: caller.call(target, talvex05u.Block.of_words([1])), "names no procedure"),
            (ValueError, lambda: caller.broadcast(0, call_block(1)), "port 0"),
            (ValueError, lambda: caller.event(target, talvex05u.Block.of_words(range(351), procedure=1)), "one packet"),
            (TypeError, lambda: caller.serve(1, "not callable"), "callable"),
            (TypeError, lambda: caller.serve("1", print), "int or None"),
            (TypeError, lambda: talvex05u.set_diagnostic_handler(5), "callable"),
            (OSError, lambda: talvex05u.Caller(own_address=LOOPBACK, own_port=caller.port).start(), "could not"),
            (ValueError, lambda: talvex05u.CallerEx(allow="10.0.0.0/33"), "allow"),
        ]:
            with pytest.raises(kind, match=text):
                action()
    # A server that talks only to 127.0.0.2 answers nobody on 127.0.0.1, and counts it.
    with talvex05u.CallerEx(own_address=LOOPBACK, allow="127.0.0.2") as picky:
        picky.serve(ECHO, lambda call: call)
        with talvex05u.CallerEx(own_address=LOOPBACK) as outsider:
            with pytest.raises(TimeoutError):
                outsider.call((LOOPBACK, picky.port), call_block(ECHO, 1), timeout_ms=200)
        assert picky.counters()["refused_sources"] == 1


def test_debug_stream_sends_header_and_lines_to_a_viewer():
    with socket.create_server((LOOPBACK, 0)) as viewer:
        viewer.settimeout(10)
        with talvex05u.DebugStream(26, "alpha", "beta", viewer_port=viewer.getsockname()[1]) as stream:
            connection, _ = viewer.accept()
            connection.settimeout(10)
            with connection, connection.makefile("rb") as lines:
                assert lines.readline() == b"alpha\tbeta\t001A\r\n"
                deadline = time.monotonic() + 10
                while stream.state != talvex05u.DebugStream.State.CONNECTED and time.monotonic() < deadline:
                    time.sleep(0.01)
                stream.trace("calls", "hello viewer")
                assert lines.readline() == b"hello viewer\r\n"
            assert stream.traces == {"calls": 0}
            for n in range(1, 32):
                stream.trace(f"t{n}", "x")
            with pytest.raises(ValueError, match="all 32 traces"):
                stream.trace("one too many", "x")
            with pytest.raises(ValueError, match="line break"):
                stream.trace("calls", "two\nlines")


PARENT_NAMESPACE = "TALVEX_PY_PARENT_NETNS"


def network_namespace_id():
    return os.stat("/proc/self/ns/net").st_ino


def interfaces_of_this_namespace():
    with open("/proc/self/net/dev", encoding="ascii") as table:
        return [line.split(":")[0].strip() for line in table.readlines()[2:]]


def test_broadcast_is_answered_by_both_python_caller_classes():
    """Broadcasts go to 255.255.255.255, so the work is done by a second pytest run
    under `unshare -n`, which first makes sure it really is in a fresh namespace."""
    parent = os.environ.get(PARENT_NAMESPACE)
    if parent is None:
        if subprocess.run(["unshare", "-n", "true"], capture_output=True, check=False).returncode != 0:
            pytest.skip("no private network namespace can be made here (unshare -n fails): broadcast not tested")
        env = dict(os.environ, **{PARENT_NAMESPACE: str(network_namespace_id())})
        inner = subprocess.run(["unshare", "-n", "--", sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                __file__, "-k", "test_broadcast_is_answered"],
                               env=env, capture_output=True, text=True, timeout=120, check=False)
        assert inner.returncode == 0 and "1 passed" in inner.stdout, inner.stdout + inner.stderr
        return

    # Inside: refuse to touch anything unless this is a namespace of its own holding only loopback.
    assert str(network_namespace_id()) != parent, "not in a private network namespace: refusing to change it"
    assert interfaces_of_this_namespace() == ["lo"], "not a fresh network namespace: refusing to change it"
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "route", "add", "broadcast", "255.255.255.255", "dev", "lo", "table", "local",
                    "scope", "link", "src", LOOPBACK], check=True)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind((LOOPBACK, 0))
        port = probe.getsockname()[1]

    # A server of each Python class answers (tests/cli_test.cpp has `talvex serve` answer broadcasts).
    with talvex05u.CallerEx(broadcast_port=port) as extended, talvex05u.Caller(broadcast_port=port) as plain, \
            talvex05u.CallerEx() as broadcaster:
        for server in (extended, plain):
            server.serve(DOUBLE, lambda call: talvex05u.Block.of_words([call.get_long() * 2]))
        answers = broadcaster.broadcast(port, call_block(DOUBLE, 4), wait_ms=500)
        by_port = {address[1]: block.words() for address, block in answers}
        assert by_port == {extended.port: [8], plain.port: [8]}, answers
        assert all(address[0] == LOOPBACK and block.type == 8 for address, block in answers)
        assert broadcaster.broadcast(port + 1 if port < 65535 else port - 1, call_block(DOUBLE, 4), wait_ms=100) == []


def documented(owner, name):
    """The docstring of owner.name without pybind11's signature line: what help() says of it."""
    doc = getattr(owner, name).__doc__ or ""
    return doc.split("\n", 1)[-1].strip() if doc.startswith(name + "(") else doc.strip()


def test_stubs_name_what_the_module_offers():
    """talvex05u.pyi and the module agree on functions, classes and their public members,
    and help() has a text for each of them."""
    assert talvex05u.__version__ == run_talvex("--version").stdout.split()[1]   # both from the CMake project
    import ast
    path = os.path.join(os.path.dirname(__file__), "..", "talvex05u.pyi")
    with open(path, encoding="utf-8") as stub_file:
        stub = ast.parse(stub_file.read())
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            assert callable(getattr(talvex05u, node.name)) and documented(talvex05u, node.name), node.name
        elif isinstance(node, ast.ClassDef):
            runtime = getattr(talvex05u, node.name)
            if issubclass(runtime, BaseException):
                continue                                    # its members are set per instance
            stubbed = {item.name for item in node.body if isinstance(item, (ast.FunctionDef, ast.ClassDef))}
            stubbed |= {item.target.id for item in node.body if isinstance(item, ast.AnnAssign)}
            public = {name for name in dir(runtime) if not name.startswith("_")}
            assert {name for name in stubbed if not name.startswith("_")} == public, node.name
            assert all(hasattr(runtime, name) for name in stubbed), node.name
            assert [name for name in sorted(public) if not documented(runtime, name)] == [], node.name
