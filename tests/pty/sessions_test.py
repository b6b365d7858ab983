"""Sessions on `torvex pty` that end while the port is held, and the sessions
of other programs after them; the modem lines' changes and the error counts
through the preload library (TIOCMIWAIT, TIOCGICOUNT).

usage: sessions_test.py TORVEX PRELOAD_LIBRARY
The wall-clock bounds are generous: they catch a hang, not a slow machine."""
import os
import signal
import subprocess
import sys
import time
import unittest

import serial  # python3-serial

from torvex_pty import TorvexPty

TORVEX, PRELOAD = sys.argv[1], sys.argv[2]
ICOUNT_FIELDS = ("cts", "dsr", "rng", "dcd", "rx", "tx", "frame", "overrun", "parity", "brk", "buf_overrun")

# A session the line holds: the program opens the port with the flow control
# named, lets the test hold the line (it prints "ready" and waits for a line
# on its input), writes more than the line takes in a second with a 1 s
# write time-out, prints how long the write took, and closes.
HELD_SESSION = """
import serial, sys, time
flow, rate, size = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
port = serial.Serial(sys.argv[1], rate, xonxoff=flow == "xon", rtscts=flow == "hardware", write_timeout=1)
if flow == "xon-loopback":
    port.xonxoff = True
    port.write(b"\\x13")  # the loopback plug brings it back: the transmitter stops
print("ready", flush=True)
sys.stdin.readline()
started = time.monotonic()
try:
    port.write(bytes(size))
except serial.SerialTimeoutException:
    pass
print(time.monotonic() - started, port.cts, flush=True)
port.close()
"""

# A short session: open at a rate with a flow control, write a text, read
# what comes back (the loopback plug's echo, or the far end's answer), close.
SHORT_SESSION = """
import serial, sys
path, rate, flow, text, answer = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
with serial.Serial(path, rate, xonxoff=flow == "xon", rtscts=flow == "hardware", timeout=5, write_timeout=2) as port:
    port.write(text.encode())
    got = port.read(len(answer))
    assert got == answer.encode(), (got, answer)
"""

# The write time-out and cancel_write as a fresh bridge shows them.
TIMEOUTS = """
import serial, sys, threading, time
port = serial.Serial(sys.argv[1], 300, write_timeout=1)
started = time.monotonic()
try:
    port.write(bytes(1024))  # 34 s of line
    raise AssertionError("no write time-out")
except serial.SerialTimeoutException:
    pass
took = time.monotonic() - started
assert 0.8 < took < 2, took
port.write_timeout = None
threading.Timer(0.3, port.cancel_write).start()
started = time.monotonic()
port.write(bytes(1024))
took = time.monotonic() - started
assert 0.2 < took < 2, took
# What waits goes; what the chip has taken goes out before the close ends,
# faster at 9,600.
port.reset_output_buffer()
port.baudrate = 9600
port.close()
"""


def python(program, *args, preload=True, stdin=None):
    environment = dict(os.environ, LD_PRELOAD=PRELOAD) if preload else dict(os.environ)
    return subprocess.Popen([sys.executable, "-c", program] + [str(a) for a in args], env=environment, text=True,
                            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finished(child, timeout=30):
    out, err = child.communicate(timeout=timeout)
    if child.returncode != 0:
        raise AssertionError("the program failed:\n" + err)
    return out


def hang(signum, frame):
    signal.alarm(5)  # and each wait after it, until the test ends
    raise AssertionError("no answer within the test's two minutes: a hang")


class HeldSessions:
    """The sessions each test runs: one held, twenty short ones after it.
    Every test ends within two minutes, or fails as a hang."""

    def setUp(self):
        signal.signal(signal.SIGALRM, hang)
        signal.alarm(120)

    def tearDown(self):
        signal.alarm(0)

    def held_session(self, flow, rate, size, hold, release=lambda: None):
        child = python(HELD_SESSION, self.pty.link, flow, rate, size, stdin=subprocess.PIPE)
        self.assertEqual(child.stdout.readline().strip(), "ready")
        hold()
        child.stdin.write("\n")
        child.stdin.flush()
        took, cts = child.stdout.readline().split()
        finished(child)
        release()
        self.assertLess(float(took), 2.0, "a write with a 1 s time-out under a hold")
        return cts == "True"

    def short_sessions(self):
        """Twenty programs of different kinds after it, the first at once,
        each with its own rate and flow control: each writes, and reads what
        it should, its write not held (a 2 s time-out)."""
        for i in range(20):
            rate = (9600, 19200, 115200)[i % 3]
            flow = ("none", "xon", "hardware")[i % 3]
            text = "session %02d" % i
            kind = "picocom" if i == 4 else ("python", "python without the library", "printf", "python")[i % 4]
            with self.subTest(session=i, program=kind):
                child = None
                if kind == "printf":
                    subprocess.run(["sh", "-c", "printf '%s' > %s" % (text, self.pty.link)], check=True, timeout=10)
                elif kind == "picocom":
                    out = subprocess.run(["picocom", "-q", "-b", str(rate), "-t", text, "-x", "1000", self.pty.link],
                                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
                    self.assertEqual(out.returncode, 0, out.stderr)
                    self.assertEqual(out.stdout, self.answer(text, picocom=True))
                else:
                    child = python(SHORT_SESSION, self.pty.link, rate, flow, text, self.answer(text),
                                   preload=kind != "python without the library")
                self.arrived(text, child)
                if child:
                    finished(child)
                self.pty.wait_for(r"the program closed .* after writing %d bytes" % len(text))
        held = [line for line in self.pty.seen if "held back by the line and dropped" in line]
        self.assertEqual(len(held), 1, "the held session's close:\n" + "\n".join(self.pty.seen[:8]))


class LoopbackTest(HeldSessions, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.pty = TorvexPty(TORVEX)

    def tearDown(self):
        super().tearDown()
        self.assertEqual(self.pty.stop(), 0)

    def answer(self, text, picocom=False):
        return text  # the loopback plug's echo

    def arrived(self, text, child):
        pass  # what came back is the proof

    def test_a_session_held_by_its_own_xoff_leaves_the_next_ones_free(self):
        self.held_session("xon-loopback", 9600, 2800, hold=lambda: time.sleep(0.3))
        self.short_sessions()

    def test_write_timeouts_and_cancels_after_fifty_sessions_as_in_a_fresh_bridge(self):
        finished(python(TIMEOUTS, self.pty.link))
        sessions = """
import serial, sys
for i in range(50):
    rate = (1200, 9600, 57600, 115200, 921600)[i % 5]
    framing = ((8, "N", 1), (7, "E", 1), (8, "O", 2), (7, "N", 2))[i % 4]
    flow = i % 3
    with serial.Serial(sys.argv[1], rate, bytesize=framing[0], parity=framing[1], stopbits=framing[2],
                       xonxoff=flow == 1, rtscts=flow == 2, timeout=5, write_timeout=5) as port:
        text = bytes(range(32, 32 + 20 + i)) if framing[0] == 8 else b"seven bits %d" % i
        port.write(text)
        got = port.read(len(text))
        assert got == text, (i, got, text)
        if i % 10 == 9:
            port.write(b"\\x13" if flow == 1 else bytes(40))  # left held, or unsent, at the close
"""
        finished(python(sessions, self.pty.link), timeout=120)
        finished(python(TIMEOUTS, self.pty.link))


class FarEndTest(HeldSessions, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.pty = TorvexPty(TORVEX, line="pty")
        self.far = serial.Serial(self.pty.far, 115200, timeout=0)
        self.pty.wait_for(r"the far end's program opened")

    def tearDown(self):
        super().tearDown()
        self.far.close()
        self.assertEqual(self.pty.stop(), 0)

    def far_read(self, n, timeout=10):
        got = b""
        end = time.monotonic() + timeout
        while len(got) < n and time.monotonic() < end:
            got += self.far.read(n - len(got))
            time.sleep(0.002)
        return got

    def answer(self, text, picocom=False):
        return "" if picocom else text.upper()  # picocom leaves before it could come

    def arrived(self, text, child):
        """The far end reads the text, and answers a program that waits.
        The far end starts reading only once the port dropped what the held
        session left (as the next program opened): until then the hold
        stays. Ahead of the first text, what the chip had taken of the held
        session may come (it goes out once the hold ends); nothing else."""
        if text == "session 00":
            self.pty.wait_for(r"held back by the line and dropped")
        got = b""
        end = time.monotonic() + 10
        while not got.endswith(text.encode()) and time.monotonic() < end:
            got += self.far.read(65536)
            time.sleep(0.002)
        self.assertTrue(got.endswith(text.encode()), got[-40:])
        ahead = got[:-len(text)]
        self.assertEqual(ahead, bytes(len(ahead)) if text == "session 00" else b"")
        if child:
            self.far.write(text.upper().encode())

    def test_a_session_held_by_the_far_ends_xoff_leaves_the_next_ones_free(self):
        self.held_session("xon", 9600, 2800, hold=lambda: self.far.write(b"\x13"))
        self.far_read(2800, timeout=0.2)  # what went out before the XOFF came
        self.short_sessions()

    def test_a_session_held_by_a_far_end_that_does_not_read_leaves_the_next_ones_free(self):
        # 200 KB take 2.2 s at 921,600 baud: the far end's buffers fill within
        # the write's second and its RTS (the port's CTS) drops.
        cts = self.held_session("hardware", 921600, 200000, hold=lambda: None)
        self.assertFalse(cts, "the far end did not hold the port back")
        self.short_sessions()

    def test_line_changes_wake_a_waiting_program_and_line_errors_are_counted(self):
        """A program waits in TIOCMIWAIT for each line the far end changes,
        and reads a break and framing errors from the far end in
        TIOCGICOUNT, all through the preload library."""
        watcher = """
import fcntl, struct, sys, termios
TIOCGICOUNT, TIOCMIWAIT = 0x545D, 0x545C
with open(sys.argv[1], "rb+", buffering=0) as port:
    def counts():
        print(*struct.unpack("20i", fcntl.ioctl(port.fileno(), TIOCGICOUNT, bytes(80)))[:11], flush=True)
    counts()
    for line in sys.argv[2:]:
        print("waiting", flush=True)
        fcntl.ioctl(port.fileno(), TIOCMIWAIT, getattr(termios, "TIOCM_" + line))
        print("woken", line, flush=True)
    sys.stdin.readline()
    counts()
"""
        # The far end's program drives the port's lines: its RTS is the
        # port's CTS, its DTR the port's DSR and DCD, and it rings.
        far_program = """
import fcntl, struct, sys, termios
far = open(sys.argv[1], "rb+", buffering=0)
for line in sys.stdin:
    word, on = line.split()
    request = termios.TIOCMBIS if on == "on" else termios.TIOCMBIC
    fcntl.ioctl(far.fileno(), request, struct.pack("i", getattr(termios, "TIOCM_" + word)))
    print("done", flush=True)
"""
        # A break, then characters in 7E1 against the port's 8N1.
        sender = """
import serial, sys, time
with serial.Serial(sys.argv[1], 9600) as far:
    far.send_break(0.1)
    time.sleep(0.4)
    far.bytesize, far.parity = 7, "E"
    time.sleep(0.1)
    far.write(b"UUUU")
    far.flush()
    time.sleep(0.3)
"""
        steps = (("RTS", "off", "CTS"), ("DTR", "off", "DSR"), ("DTR", "on", "CD"), ("RI", "on", "RNG"))
        far = python(far_program, self.pty.far, stdin=subprocess.PIPE)
        child = python(watcher, self.pty.link, *(wanted for _, _, wanted in steps), stdin=subprocess.PIPE)
        counts = lambda: dict(zip(ICOUNT_FIELDS, map(int, child.stdout.readline().split())))
        before = counts()
        for line, level, wanted in steps:
            self.assertEqual(child.stdout.readline().strip(), "waiting")
            time.sleep(0.2)  # the program is in its wait
            far.stdin.write("%s %s\n" % (line, level))
            far.stdin.flush()
            self.assertEqual(far.stdout.readline().strip(), "done")
            self.assertEqual(child.stdout.readline().strip(), "woken " + wanted)
        far.stdin.close()
        self.assertEqual(far.wait(timeout=10), 0)
        finished(python(sender, self.pty.far))
        self.pty.wait_for(r"the far end sent a break")
        self.pty.wait_for(r"the far end sends 7E1")
        time.sleep(0.3)
        child.stdin.write("\n")
        child.stdin.flush()
        after = counts()
        finished(child)
        self.assertEqual(after["brk"] - before["brk"], 1)
        self.assertEqual(after["frame"] - before["frame"], 4)
        for field in ("cts", "dsr", "dcd", "rng"):
            self.assertGreaterEqual(after[field] - before[field], 1, field)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
