"""Serves procedure 3 (answers the call's words reversed) on UDP port 46000 until Ctrl-C."""
import time
import talvex05u

with talvex05u.CallerEx(own_address="127.0.0.1", own_port=46000) as server:
    server.serve(3, lambda call: talvex05u.Block.of_words(call.words()[::-1]))
    print(f"serving procedure 3 on 127.0.0.1:{server.port}; Ctrl-C stops")
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        pass
