"""Wall-clock figures of `torvex pty` with Python's serial library through the
loopback plug: a 100 KB stream at 115,200 and at 921,600 baud, and the round
trip of a one-byte echo at 115,200 baud (median of 100).

usage: pty_bench.py TORVEX"""
import os
import statistics
import sys
import threading
import time

import serial  # python3-serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "pty"))
from torvex_pty import TorvexPty  # noqa: E402

SIZE = 100 * 1024


def stream(pty, rate):
    with serial.Serial(pty.link, rate, timeout=1) as port:
        pty.wait_for(r"settings: %d 8N1" % rate)
        data = bytes(i * 7 & 0xFF for i in range(SIZE))
        got = bytearray()
        started = time.monotonic()
        # Written while it is read: a port nobody reads loses what its
        # buffers cannot hold.
        writer = threading.Thread(target=port.write, args=(data,))
        writer.start()
        while len(got) < SIZE and time.monotonic() - started < 60:
            got += port.read(SIZE - len(got))
        took = time.monotonic() - started
        writer.join()
    line_time = SIZE * 10 / rate
    assert bytes(got) == data, "the stream at %d baud came back different" % rate
    print("100 KB at %7d baud: %6.3f s (the line's limit %6.3f s): %5.1f %% of the line's rate"
          % (rate, took, line_time, 100 * line_time / took))


def echo(pty):
    with serial.Serial(pty.link, 115200, timeout=1) as port:
        pty.wait_for(r"settings: 115200 8N1")
        trips = []
        for i in range(100):
            started = time.monotonic()
            port.write(bytes([i]))
            assert port.read(1) == bytes([i])
            trips.append(time.monotonic() - started)
    print("one-byte echo at  115200 baud: median %.2f ms, fastest %.2f ms, slowest %.2f ms"
          % (1000 * statistics.median(trips), 1000 * min(trips), 1000 * max(trips)))


def main():
    pty = TorvexPty(sys.argv[1])
    try:
        stream(pty, 115200)
        stream(pty, 921600)
        echo(pty)
    finally:
        pty.stop()


if __name__ == "__main__":
    main()
