"""Serial programs on the emulated port through `torvex pty`: Python's serial
library and a terminal program in a detached terminal session.

usage: serial_programs_test.py TORVEX PRELOAD_LIBRARY
Fails (never skips) when the serial library, tmux or picocom is missing."""
import os
import subprocess
import sys
import termios
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
        for rate, size in ((9600, 400), (115200, 20000), (921600, 100000)):
            with serial.Serial(self.pty.link, rate, timeout=1) as port:
                line = self.pty.wait_for(r"settings: %d 8N1; the chip's UART runs at \d+ 8N1" % rate)
                chip_rate = int(line.split("runs at ")[1].split()[0])
                self.assertLess(abs(chip_rate - rate) / rate, 0.01, line)  # the divisor's nearest rate
                data = pattern(size)
                started = time.monotonic()
                port.write(data)
                got = read_exactly(port, size, 3 + size * 10 / rate * 2)
                took = time.monotonic() - started
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
            "    end = time.monotonic() + 2\n"
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
    def test_two_programs_talk_through_the_adapter(self):
        pty = TorvexPty(TORVEX, line="pty")
        with serial.Serial(pty.link, 57600, timeout=1) as port, serial.Serial(pty.far, 57600, timeout=1) as far:
            pty.wait_for(r"the far end's program opened")
            port.write(b"ping from the port\n")
            self.assertEqual(far.readline(), b"ping from the port\n")
            far.write(b"pong from the far end\n")
            self.assertEqual(port.readline(), b"pong from the far end\n")
        pty.wait_for(r"the port is closed")
        self.assertEqual(pty.stop(), 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
