"""Calls procedure 3 on the server of server.py and prints the answer."""
import talvex05u

with talvex05u.CallerEx(own_address="127.0.0.1") as client:
    server = ("127.0.0.1", 46000)
    print("server answers pings:", client.ping(server))
    call = talvex05u.Block(procedure=3)
    for value in (1, 2, 3):
        call.append_long(value)
    answer = client.call(server, call, timeout_ms=1000)   # TimeoutError when nobody answers
    print(f"procedure {answer.procedure} answered {len(answer)} words: {answer.words()}")
