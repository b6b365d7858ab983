"""Hardware flow control end to end through `torvex pty` at 921,600 baud: a
writer as fast as it can go and a reader that takes 2 KB every 100 ms, toward
the far end, toward the port, and through the loopback plug. Each buffer on
the way fills and holds the one before it (the port driver's receive buffer
drops RTS, the chip stops on CTS, the tool stops the writer's terminal): the
writer stays within 64 KB of the reader, nothing is lost, and the tool stays
small.

usage: flow_test.py TORVEX [BYTES]   (BYTES per run, default 131072; `make
programs` runs 1 MB)"""
import os
import subprocess
import sys
import threading
import time
import unittest

from torvex_pty import TorvexPty, resident_peak_kb

TORVEX = sys.argv[1]
SIZE = int(sys.argv[2]) if len(sys.argv) > 2 else 128 * 1024
RATE = 921600
READ_STEP, READ_EVERY = 2048, 0.1
MAX_AHEAD = 64 * 1024
MAX_RESIDENT_KB = 32 * 1024


class FlowTest(unittest.TestCase):
    def run_flow(self, line, writer_end, reader_end):
        pty = TorvexPty(TORVEX, line=line)
        try:
            for end in (pty.link, pty.far):
                if end:
                    subprocess.run(["stty", "-F", end, str(RATE), "raw", "-echo", "crtscts"], check=True)
            pty.wait_for(r"the program closed")  # stty's own session on the port
            data = bytes((i * 11 + i // 509) & 0xFF for i in range(SIZE))
            paths = {"port": pty.link, "far": pty.far}
            writer_fd = os.open(paths[writer_end], os.O_RDWR | os.O_NOCTTY)
            # Opened apart, so that the reader's non-blocking reads leave the
            # writer's writes blocking on the same terminal.
            reader_fd = os.open(paths[reader_end], os.O_RDWR | os.O_NOCTTY)
            written = [0]

            def write_all():
                while written[0] < SIZE:
                    written[0] += os.write(writer_fd, data[written[0]:written[0] + 4096])

            pty.wait_for(r"settings: %d 8N1, flow hardware" % RATE)
            time.sleep(0.1)
            writer = threading.Thread(target=write_all, daemon=True)
            writer.start()
            got = bytearray()
            most_ahead = 0
            end = time.monotonic() + SIZE / (READ_STEP / READ_EVERY) * 1.5 + 10
            os.set_blocking(reader_fd, False)
            while len(got) < SIZE and time.monotonic() < end:
                time.sleep(READ_EVERY)
                most_ahead = max(most_ahead, written[0] - len(got))
                try:
                    got += os.read(reader_fd, READ_STEP)
                except BlockingIOError:
                    pass
            writer.join(timeout=5)
            os.close(writer_fd)
            os.close(reader_fd)
            self.assertEqual(len(got), SIZE)
            self.assertEqual(bytes(got), data)
            self.assertLess(most_ahead, MAX_AHEAD, "the writer ran ahead of the reader")
            self.assertLess(resident_peak_kb(pty.process.pid), MAX_RESIDENT_KB)
        finally:
            self.assertEqual(pty.stop(), 0)

    def test_a_slow_reader_holds_the_writer_back_each_way(self):
        for line, writer_end, reader_end in (("pty", "port", "far"), ("pty", "far", "port"),
                                             ("loopback", "port", "port")):
            with self.subTest(line=line, writer=writer_end, reader=reader_end):
                self.run_flow(line, writer_end, reader_end)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
