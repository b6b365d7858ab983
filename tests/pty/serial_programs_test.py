"""Serial programs on the emulated port through `torvex pty`: Python's serial
library, and terminal programs (picocom, minicom, screen) in detached terminal
sessions.

usage: serial_programs_test.py TORVEX PRELOAD_LIBRARY
Fails (never skips) when the serial library, tmux, picocom, minicom or screen
is missing."""
import os
import re
import subprocess
import sys
import termios
import threading
import time
import unittest

import serial  # python3-serial

from torvex_pty import TorvexPty

TORVEX, PRELOAD = sys.argv[1], sys.argv[2]


def pattern(n):
    return bytes((i * 31 + i // 251) & 0xFF for i in range(n))


def read_exactly(port, n, timeout):
    data = b""
    end = time.monotonic() + timeout
    while len(data) < n and time.monotonic() < end:
        data += port.read(n - len(data))
    return data


class LoopbackTest(unittest.TestCase):
    def setUp(self):
        self.pty = TorvexPty(TORVEX)

    def tearDown(self):
        self.assertEqual(self.pty.stop(), 0)

    def test_bytes_come_back_exactly_at_several_rates(self):
        # At 921,600 baud with hardware flow control: without it, a read the
        # host controller reaches a frame or two late finds more than the
        # chip's FIFO held, and the chip counts what it lost.
        for rate, size, rtscts in ((9600, 400, False), (115200, 20000, False), (921600, 100000, True)):
            with serial.Serial(self.pty.link, rate, timeout=1, rtscts=rtscts) as port:
                line = self.pty.wait_for(r"settings: %d 8N1(, flow hardware)?; the chip's UART runs at \d+ 8N1" % rate)
                chip_rate = int(line.split("runs at ")[1].split()[0])
                self.assertLess(abs(chip_rate - rate) / rate, 0.01, line)  # the divisor's nearest rate
                data = pattern(size)
                started = time.monotonic()
                # Written while it is read, as a port that is not read loses
                # what its buffers cannot hold.
                writer = threading.Thread(target=port.write, args=(data,))
                writer.start()
                got = read_exactly(port, size, 3 + size * 10 / rate * 2)
                took = time.monotonic() - started
                writer.join()
                self.assertEqual(len(got), size, "at %d baud" % rate)
                self.assertEqual(got, data, "at %d baud" % rate)
                # Not faster than the line: the world runs in real time.
                self.assertGreater(took, size * 10 / rate * 0.95, "at %d baud" % rate)
            self.pty.wait_for(r"the port is closed, DTR and RTS off")

    def test_settings_breaks_lines_and_rates_termios_cannot_name_reach_the_chip(self):
        environment = dict(os.environ, LD_PRELOAD=PRELOAD)
        program = (
            "import serial, termios, time, sys\n"
            "for _ in range(3):\n"  # the C library's read-back must find what it set, each time
            "    serial.Serial(sys.argv[1], 19200, bytesize=7, parity='E', timeout=1).close()\n"
            "port = serial.Serial(sys.argv[1], 19200, bytesize=7, parity='E', timeout=1)\n"
            "assert termios.tcgetattr(port.fd)[2] & termios.CSIZE == termios.CS7\n"
            "def settle(line, value):\n"
            "    end = time.monotonic() + 5\n"
            "    while getattr(port, line) != value and time.monotonic() < end: time.sleep(0.01)\n"
            "    assert getattr(port, line) == value, line\n"
            "settle('dsr', True); settle('cd', True); settle('cts', True)\n"
            "port.dtr = False\n"  # the loopback plug: DTR comes back as DSR and DCD
            "settle('dsr', False); settle('cd', False); settle('cts', True)\n"
            "port.dtr = True\n"
            "settle('dsr', True)\n"
            "sys.stdin.readline()\n"
            "termios.tcsendbreak(port.fd, 0)\n"
            "sys.stdin.readline()\n"
            "port.baudrate = 250000\n"
            "port.rtscts = True\n"
            "sys.stdin.readline()\n"
            "port.rtscts = False\n"
            "port.xonxoff = True\n"
            "sys.stdin.readline()\n")
        # A program without the library sets its rate at once after its open,
        # while the tool tells the terminal that the port is open and which
        # lines came in: that word does not undo the program's termios.
        plain = ("import os, sys, termios, time\n"
                 "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                 "t = termios.tcgetattr(fd)\n"
                 "t[4] = t[5] = termios.B57600\n"
                 "termios.tcsetattr(fd, termios.TCSANOW, t)\n"
                 "time.sleep(0.3)\n")
        subprocess.run([sys.executable, "-c", plain, self.pty.link], check=True)
        self.pty.wait_for(r"settings: 57600 8N1")
        self.pty.wait_for(r"the port is closed")
        with subprocess.Popen([sys.executable, "-c", program, self.pty.link], env=environment,
                              stdin=subprocess.PIPE, text=True) as child:
            self.pty.wait_for(r"settings: 19200 7E1; the chip's UART runs at 19200 7E1, flow none, DTR on, RTS on")
            self.pty.wait_for(r"DTR off")
            self.pty.wait_for(r"DTR on")
            child.stdin.write("\n")
            child.stdin.flush()
            self.pty.wait_for(r"a break of 250 ms")
            child.stdin.write("\n")
            child.stdin.flush()
            # 250,000 is not in the driver's table: it picks its nearest rate.
            self.pty.wait_for(r"settings: 250000 7E1, flow hardware; the chip's UART runs at \d+ 7E1, flow hardware")
            child.stdin.write("\n")
            child.stdin.flush()
            # The line printed is the chip's after the switch, not before it.
            self.pty.wait_for(r"settings: 250000 7E1, flow xon; the chip's UART runs at \d+ 7E1, flow xon")
            child.stdin.write("\n")
            child.stdin.flush()
        self.assertEqual(child.returncode, 0)
        self.pty.wait_for(r"the port is closed, DTR and RTS off")

    def test_writes_wait_for_the_line_and_purges_drop_what_waits(self):
        """Python's serial library (through the preload library) sees a port
        whose writes wait for the line: a write time-out fires, a cancelled
        write returns, an XOFF from the far end holds writes; its purges drop
        what waits in either direction."""
        program = (
            "import serial, sys, threading, time\n"
            "path = sys.argv[1]\n"
            "def timed(call):\n"
            "    started = time.monotonic()\n"
            "    try:\n"
            "        call()\n"
            "    except serial.SerialTimeoutException:\n"
            "        return time.monotonic() - started\n"
            "    raise AssertionError('no write time-out')\n"
            "port = serial.Serial(path, 300, timeout=0.2, write_timeout=1)\n"
            # 1 KB takes 34 s at 300 baud: the write times out after its second.
            "took = timed(lambda: port.write(bytes(1024)))\n"
            "assert 0.8 < took < 5, took\n"  # a generous bound: only a hang is slower
            "port.write_timeout = None\n"
            "threading.Timer(0.3, port.cancel_write).start()\n"
            "started = time.monotonic()\n"
            "port.write(bytes(1024))\n"
            "assert time.monotonic() - started < 10, time.monotonic() - started\n"  # uncancelled: 34 s
            # What waits goes; the chip sends what it holds before the close
            # ends (faster at 9,600), and the next open finds nothing.
            "port.reset_output_buffer()\n"
            "port.baudrate = 9600\n"
            "port.close()\n"
            "port.open()\n"
            "assert port.read(64) == b'', 'an old write came back'\n"
            "port.write(b'x' * 100)\n"
            "time.sleep(0.3)\n"
            "port.reset_input_buffer()\n"
            "assert port.read(64) == b'', 'a purged byte came back'\n"
            "port.write(b'fresh')\n"
            "assert port.read(5) == b'fresh'\n"
            # The loopback plug sends the XOFF back: the port's transmitter
            # stops and writes wait.
            "port.xonxoff = True\n"
            "port.write(b'\\x13')\n"
            "time.sleep(0.1)\n"
            "port.write_timeout = 1\n"
            "took = timed(lambda: port.write(bytes(2800)))\n"
            "assert 0.8 < took < 5, took\n")  # a generous bound: only a hang is slower
        result = subprocess.run([sys.executable, "-c", program, self.pty.link], capture_output=True, text=True,
                                timeout=60, env=dict(os.environ, LD_PRELOAD=PRELOAD))
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_a_terminal_program_echoes_through_the_loopback_plug(self):
        session = "torvex-pty-%d" % os.getpid()
        subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "80", "-y", "10",
                        "picocom --quiet -b 38400 %s" % self.pty.link], check=True)
        try:
            self.pty.wait_for(r"settings: 38400 8N1; the chip's UART runs at 38400 8N1")
            subprocess.run(["tmux", "send-keys", "-t", session, "-l", "hello, bridge"], check=True)
            screen = ""
            for _ in range(50):
                time.sleep(0.1)
                screen = subprocess.run(["tmux", "capture-pane", "-p", "-t", session], check=True,
                                        capture_output=True, text=True).stdout
                if "hello, bridge" in screen:
                    break
            self.assertIn("hello, bridge", screen)
            subprocess.run(["tmux", "send-keys", "-t", session, "C-a", "C-x"], check=True)
            self.pty.wait_for(r"the port is closed, DTR and RTS off")
        finally:
            subprocess.run(["tmux", "kill-session", "-t", session], capture_output=True)


class FarEndTest(unittest.TestCase):
    def setUp(self):
        self.pty = TorvexPty(TORVEX, line="pty")

    def tearDown(self):
        self.assertEqual(self.pty.stop(), 0)

    def test_two_programs_talk_through_the_adapter(self):
        with serial.Serial(self.pty.link, 57600, timeout=1) as port, serial.Serial(self.pty.far, 57600, timeout=1) as far:
            self.pty.wait_for(r"the far end's program opened")
            port.write(b"ping from the port\n")
            self.assertEqual(far.readline(), b"ping from the port\n")
            far.write(b"pong from the far end\n")
            self.assertEqual(port.readline(), b"pong from the far end\n")
        self.pty.wait_for(r"the port is closed")

    def test_a_port_reopened_after_the_far_end_left_shows_no_stale_lines(self):
        program = ("import serial, sys, time\n"
                   "def lines(port): return (port.cts, port.dsr, port.cd)\n"
                   "with serial.Serial(sys.argv[1], 9600) as port:\n"
                   "    end = time.monotonic() + 5\n"
                   "    while lines(port) != (True,) * 3 and time.monotonic() < end: time.sleep(0.01)\n"
                   "    assert lines(port) == (True,) * 3, lines(port)\n"
                   "sys.stdin.readline()\n"  # the far end leaves while the port is closed
                   "with serial.Serial(sys.argv[1], 9600) as port:\n"
                   "    time.sleep(0.3)\n"
                   "    assert lines(port) == (False,) * 3, lines(port)\n")
        far = serial.Serial(self.pty.far, 9600)
        self.pty.wait_for(r"the far end's program opened")
        with subprocess.Popen([sys.executable, "-c", program, self.pty.link], env=dict(os.environ, LD_PRELOAD=PRELOAD),
                              stdin=subprocess.PIPE, text=True) as child:
            self.pty.wait_for(r"the port is closed")
            far.close()
            self.pty.wait_for(r"the far end's program closed")
            time.sleep(0.5)  # the adapter sees the far end's lines drop while the port is closed
            child.stdin.write("\n")
            child.stdin.flush()
        self.assertEqual(child.returncode, 0)

    def far_read_timed(self, far, n, started):
        """n bytes at the far end, and the time from `started` to the last.
        A late start of this reader makes that time longer, never shorter."""
        got, last = b"", None
        end = time.monotonic() + 10
        while len(got) < n and time.monotonic() < end:
            part = far.read(n - len(got))
            if part:
                last = time.monotonic()
                got += part
            time.sleep(0.002)
        self.assertEqual(len(got), n)
        return got, last - started

    def test_every_program_changes_the_rate_and_sends_breaks(self):
        """minicom's rate menu, a program in raw mode (c_lflag = 0) and
        screen's break, each in a detached terminal session or in-process:
        the chip follows each change, and 480 bytes reach the far end no
        sooner than 9,600 baud's half a second after their write (115,200
        would take 42 ms)."""
        session = "torvex-programs-%d" % os.getpid()

        def keys(*words):
            subprocess.run(["tmux", "send-keys", "-t", session] + list(words), check=True)

        with serial.Serial(self.pty.far, 9600, timeout=0) as far:
            with self.subTest(program="minicom"):
                subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "80", "-y", "24",
                                "minicom -o -D %s -b 115200" % self.pty.link], check=True)
                try:
                    self.pty.wait_for(r"settings: 115200 8N1.*; the chip's UART runs at 115200 8N1")
                    time.sleep(0.3)
                    for step in (("C-a", "p"), ("c",), ("Enter",)):  # 9600 from the menu of rates
                        keys(*step)
                        time.sleep(0.3)
                    self.pty.wait_for(r"settings: 9600 8N1.*; the chip's UART runs at 9600 8N1")
                    started = time.monotonic()
                    keys("-l", "m" * 480)
                    got, took = self.far_read_timed(far, 480, started)
                    self.assertEqual(got, b"m" * 480)
                    self.assertGreater(took, 0.45)
                finally:
                    subprocess.run(["tmux", "kill-session", "-t", session], check=True)
                self.pty.wait_for(r"the port is closed")
            with self.subTest(program="raw mode"):
                fd = os.open(self.pty.link, os.O_RDWR | os.O_NOCTTY)
                try:
                    attributes = termios.tcgetattr(fd)
                    attributes[0] = 0  # c_iflag: no XON/XOFF
                    attributes[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
                    attributes[3] = 0  # c_lflag: no EXTPROC, nothing
                    attributes[4] = attributes[5] = termios.B115200
                    termios.tcsetattr(fd, termios.TCSANOW, attributes)
                    self.pty.wait_for(r"settings: 115200 8N1; the chip's UART runs at 115200 8N1")
                    attributes[4] = attributes[5] = termios.B9600
                    termios.tcsetattr(fd, termios.TCSANOW, attributes)
                    self.pty.wait_for(r"settings: 9600 8N1; the chip's UART runs at 9600 8N1")
                    started = time.monotonic()
                    os.write(fd, b"r" * 480)
                    got, took = self.far_read_timed(far, 480, started)
                    self.assertEqual(got, b"r" * 480)
                    self.assertGreater(took, 0.45)
                finally:
                    os.close(fd)
                self.pty.wait_for(r"the port is closed")
            with self.subTest(program="screen"):
                subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "80", "-y", "24",
                                "LD_PRELOAD=%s screen %s 9600" % (PRELOAD, self.pty.link)], check=True)
                try:
                    self.pty.wait_for(r"settings: 9600 8N1")
                    time.sleep(0.3)
                    keys("C-a", "b")
                    self.pty.wait_for(r"a break of 250 ms")
                    self.pty.wait_for(r"a break reached the far end")
                    got, _ = self.far_read_timed(far, 1, time.monotonic())
                    self.assertEqual(got, b"\0")  # as a Linux port reads a break
                finally:
                    subprocess.run(["tmux", "kill-session", "-t", session], check=True)

    def test_every_short_session_goes_out_whole_and_in_order(self):
        with serial.Serial(self.pty.far, 115200, timeout=0) as far:
            self.pty.wait_for(r"the far end's program opened")
            for _ in range(20):  # the shell's way to poke a port; its latency is bench/pty_bench.py's
                started = time.monotonic()
                subprocess.run(["sh", "-c", "printf 'AT\\r' > %s" % self.pty.link], check=True)
                got = b""
                while len(got) < 3 and time.monotonic() - started < 10:  # only a hang is this slow
                    got += far.read(3)
                self.assertEqual(got, b"AT\r")
            serial.Serial(self.pty.link, 115200).close()  # the rate stays for the next programs
            sessions = 250
            sent = b"".join(bytes([i >> 8, i & 0xFF]) * 32 for i in range(sessions))
            for i in range(sessions):  # as fast as Python can go
                with open(self.pty.link, "wb", buffering=0) as port:
                    port.write(sent[i * 64:(i + 1) * 64])
            got = b""
            end = time.monotonic() + 60
            while len(got) < len(sent) and time.monotonic() < end:
                got += far.read(4096) or b""
                time.sleep(0.005)
            self.assertEqual(got, sent)
        closes = [self.pty.wait_for(r"the program closed .* after writing", timeout=60) for _ in range(21 + sessions)]
        opens = [line for line in self.pty.seen if "a program opened" in line]
        self.assertEqual(len(opens), 21 + sessions)
        # What a program wrote goes out in its own session, or in an earlier
        # one when it opened before the bridge saw the last close; never later.
        written = [int(re.search(r"after writing (\d+) bytes", line).group(1)) for line in closes[21:]]
        self.assertEqual(sum(written), len(sent))
        at = 0
        for session, count in enumerate(written):
            chunk = got[at:at + count]
            at += count
            writers = {chunk[k] << 8 | chunk[k + 1] for k in range(0, count, 2)}
            self.assertTrue(all(writer >= session for writer in writers), "session %d sent %s" % (session, writers))

    def test_tcdrain_waits_for_the_line_and_a_flush_after_it_loses_nothing(self):
        program = (
            "import serial, termios, time, sys\n"
            "port = serial.Serial(sys.argv[1], 9600)\n"
            "time.sleep(0.2)\n"
            "started = time.monotonic()\n"
            "port.write(bytes(range(48)) * 10)\n"
            "termios.tcdrain(port.fd)\n"
            "print(time.monotonic() - started, flush=True)\n"
            "termios.tcflush(port.fd, termios.TCIOFLUSH)\n"
            "port.close()\n"
            "import os\n"
            "far = os.open(sys.argv[2], os.O_RDWR | os.O_NOCTTY)\n"
            "started = time.monotonic()\n"
            "termios.tcdrain(far)\n"  # nothing written there: at once
            "print(time.monotonic() - started, flush=True)\n")
        with serial.Serial(self.pty.far, 9600, timeout=2) as far:
            self.pty.wait_for(r"the far end's program opened")
            child = subprocess.run([sys.executable, "-c", program, self.pty.link, self.pty.far], capture_output=True,
                                   text=True, env=dict(os.environ, LD_PRELOAD=PRELOAD), timeout=20)
            self.assertEqual(child.returncode, 0, child.stderr)
            drained, idle = (float(x) for x in child.stdout.split())
            self.assertGreater(drained, 480 * 10 / 9600 * 0.95)  # the line's time for 480 bytes
            self.assertLess(idle, 0.4)  # below the 0.5 s the 480 bytes take
            self.assertEqual(far.read(480), bytes(range(48)) * 10)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
