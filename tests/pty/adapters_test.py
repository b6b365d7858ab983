"""Two adapters through `torvex pty --adapters 2`: two Python serial programs
at once, each on its own COM port at 921,600 baud with hardware flow control,
each writing two seconds of the line through its loopback plug while it reads
them back. Every byte comes back exactly, on its own port, and neither port
is starved by the other on the bus they share.

usage: adapters_test.py TORVEX [BYTES]   (BYTES per port, default two seconds of line)"""
import re
import subprocess
import sys
import time
import unittest

from torvex_pty import TorvexPty

TORVEX = sys.argv[1]
RATE = 921600
SIZE = int(sys.argv[2]) if len(sys.argv) > 2 else RATE // 10 * 2

# One program: opens its port, writes the bytes from a thread while it reads
# them back, and prints how many came back exactly and how long it took.
PROGRAM = r"""
import serial, sys, threading, time
path, seed, size, rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
data = bytes((i * (2 * seed + 1) + seed + i // 251) & 0xFF for i in range(size))
with serial.Serial(path, rate, timeout=1, rtscts=True) as port:
    time.sleep(0.2)  # the settings reach the chip
    started = time.monotonic()
    writer = threading.Thread(target=port.write, args=(data,))
    writer.start()
    got = b""
    end = started + 5 + size * 10 / rate * 2
    while len(got) < size and time.monotonic() < end:
        got += port.read(size - len(got))
    took = time.monotonic() - started
    writer.join()
print(len(got), got == data, "%.3f" % took)
"""


class AdaptersTest(unittest.TestCase):
    def test_two_programs_at_921600_each_get_their_own_bytes_back(self):
        pty = TorvexPty(TORVEX, adapters=2)
        try:
            programs = [subprocess.Popen([sys.executable, "-c", PROGRAM, link, str(k), str(SIZE), str(RATE)],
                                         cwd=pty.directory,  # not the source tree, whose serial/ is no module
                                         stdout=subprocess.PIPE, text=True)
                        for k, link in enumerate(pty.links, start=1)]
            results = [p.communicate(timeout=60)[0].split() for p in programs]
            line_time = SIZE * 10 / RATE
            for k, (count, exact, took) in enumerate(results, start=1):
                self.assertEqual(int(count), SIZE, "port %d" % k)
                self.assertEqual(exact, "True", "port %d" % k)
                # The line's time, and not much more: the bus serves both.
                self.assertLess(float(took), line_time * 1.5 + 0.5, "port %d" % k)
                print("port %d: %d bytes back in %.2f s (the line's time %.2f s)" % (k, SIZE, float(took), line_time))
            # Each port's close, in whichever order they come.
            closed = {re.search(r"(COM\d): the program closed", pty.wait_for(r"COM\d: the program closed")).group(1)
                      for _ in range(2)}
            self.assertEqual(closed, {"COM3", "COM4"})
        finally:
            self.assertEqual(pty.stop(), 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
