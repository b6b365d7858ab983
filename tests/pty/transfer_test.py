"""Files and streams across `torvex pty --line pty` at 115,200 baud: lrzsz's X-,
Y- and ZMODEM each way, and a far-end program held to the line's pace.

lrzsz ends each transfer with tcdrain() and then tcflush(TCIOFLUSH). On a
pseudo-terminal tcdrain() returns at once, and the flush throws away what the
kernel had not yet moved from the terminal's flip buffer to the reading side
(its worker runs a little later): often the last acknowledgement. The programs
therefore run with the preload library, whose tcdrain() waits for the line.

usage: transfer_test.py TORVEX PRELOAD_LIBRARY [BYTES]   (BYTES per transfer,
default 16384; `make programs` runs 1 MB). Fails (never skips) when lrzsz is
missing."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

from torvex_pty import TorvexPty, resident_peak_kb

TORVEX, PRELOAD = sys.argv[1], sys.argv[2]
SIZE = int(sys.argv[3]) if len(sys.argv) > 3 else 16384
RATE = 115200
PTY_BUFFERS = 24 * 1024  # what the pseudo-terminals and the bridge take before a writer is held
MAX_RESIDENT_KB = 32 * 1024

# (name, sender, receiver): the receiver runs in the directory the file goes to.
PROTOCOLS = (
    ("XMODEM", ["sx", "-b"], ["rx", "-b", "received"]),
    ("YMODEM", ["sb", "-b"], ["rb", "-b", "-y"]),
    ("ZMODEM", ["sz", "-b"], ["rz", "-b", "-y"]),
)


class TransferTest(unittest.TestCase):
    def setUp(self):
        self.pty = TorvexPty(TORVEX, line="pty")
        for path in (self.pty.link, self.pty.far):
            subprocess.run(["stty", "-F", path, str(RATE), "raw", "-echo"], check=True)
        # stty's own session on the port ends before a test opens it: the
        # tests wait for their own session's lines.
        self.pty.wait_for(r"the program closed")
        self.directory = tempfile.mkdtemp(prefix="torvex-transfer-")

    def tearDown(self):
        self.assertLess(resident_peak_kb(self.pty.process.pid), MAX_RESIDENT_KB)
        self.assertEqual(self.pty.stop(), 0)
        subprocess.run(["rm", "-rf", self.directory], check=True)

    def transfer(self, name, sender, receiver, source, target):
        """One file from the terminal `source` to the terminal `target`."""
        data = os.urandom(SIZE)
        sent = os.path.join(self.directory, "sent")
        inbox = tempfile.mkdtemp(dir=self.directory)
        with open(sent, "wb") as f:
            f.write(data)
        limit = 60 + SIZE * 10 / RATE * 3
        environment = dict(os.environ, LD_PRELOAD=PRELOAD)
        # Both ends open before either program starts: what reaches a
        # terminal nobody has open is lost, as on a line.
        # The receiver's progress goes to a file: a pipe nobody reads until
        # the sender is done fills up and stops it.
        with open(target, "rb+", buffering=0) as to, open(source, "rb+", buffering=0) as fro, \
                tempfile.TemporaryFile(dir=self.directory) as rx_log:
            time.sleep(0.1)
            rx = subprocess.Popen(receiver, cwd=inbox, stdin=to, stdout=to, stderr=rx_log, env=environment)
            tx = subprocess.run(sender + [sent], stdin=fro, stdout=fro, stderr=subprocess.PIPE, timeout=limit,
                                env=environment)
            rx.wait(timeout=limit)
            rx_log.seek(-min(300, rx_log.tell()), os.SEEK_END)
            rx_errors = rx_log.read()
        self.assertEqual(tx.returncode, 0, "%s sender: %s" % (name, tx.stderr[-300:]))
        self.assertEqual(rx.returncode, 0, "%s receiver: %s" % (name, rx_errors))
        received = os.path.join(inbox, "received" if name == "XMODEM" else "sent")
        with open(received, "rb") as f:
            self.assertEqual(f.read(), data, "%s: the file arrived changed" % name)

    def test_files_cross_whole_with_each_protocol_each_way(self):
        for name, sender, receiver in PROTOCOLS:
            with self.subTest(protocol=name, towards="far end"):
                self.transfer(name, sender, receiver, self.pty.link, self.pty.far)
            with self.subTest(protocol=name, towards="port"):
                self.transfer(name, sender, receiver, self.pty.far, self.pty.link)

    def test_the_far_end_writes_at_the_pace_of_the_line(self):
        data = bytes((i * 7 + i // 256) & 0xFF for i in range(SIZE))
        received = bytearray()
        with open(self.pty.link, "rb", buffering=0) as port, open(self.pty.far, "wb", buffering=0) as far:
            os.set_blocking(port.fileno(), False)
            self.pty.wait_for(r"a program opened")
            started = time.monotonic()
            written = 0
            while written < SIZE:  # the writer is held back; the port is read meanwhile
                written += far.write(data[written:written + 4096])
                try:
                    received += port.read(65536) or b""
                except BlockingIOError:
                    pass
            took = time.monotonic() - started
            end = time.monotonic() + 10 + SIZE * 10 / RATE
            while len(received) < SIZE and time.monotonic() < end:
                try:
                    received += port.read(65536) or b""
                except BlockingIOError:
                    time.sleep(0.005)
        line_time = SIZE * 10 / RATE
        self.assertGreater(took, (SIZE - PTY_BUFFERS) * 10 / RATE, "the far end's writes were not held back")
        self.assertLess(took, line_time * 2 + 2)  # a loaded machine may lag; pty_bench has the figure
        self.assertEqual(bytes(received), data)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
