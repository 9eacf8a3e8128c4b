"""Closes a pacer while another thread waits on it, as a host shuts down:
the worker's wait ends with Closed and the pacer is destroyed only after it
left the library. Run alone (python3 close_while_waiting.py CYCLES), it is the
address sanitizer's check that nothing touches the freed pacer."""
import sys
import threading

import varnex


def close_while_waiting(use_with_block):
    pacer = varnex.Pacer(100, "sleep")
    ticked = threading.Event()
    ended = []

    def worker():
        try:
            for _ in pacer:
                ticked.set()
        except varnex.Closed as error:
            ended.append(error)

    thread = threading.Thread(target=worker)
    if use_with_block:
        with pacer:
            thread.start()
            ticked.wait(5)
    else:
        thread.start()
        ticked.wait(5)
        pacer.cancel()
        pacer.close()
    thread.join(5)
    assert not thread.is_alive(), "the worker's wait did not end"
    assert len(ended) == 1, "the worker's wait did not raise Closed"


if __name__ == "__main__":
    for cycle in range(int(sys.argv[1])):
        close_while_waiting(cycle % 2 == 1)
    print("closed while waiting:", sys.argv[1], "cycles")
