"""The device at the far end of `torvex pty --line pty` for comm_test.exe's
far steps: it echoes what it receives, and obeys the commands the program
sends it ("#" and a letter, then a carriage return), which are not echoed:

  c / C   drop / raise its RTS (the port's CTS)
  d / D   drop / raise its DTR (the port's DSR and DCD)
  r       ring the port once
  b       send a break
  f       send four characters in 7E1 (the port runs 8N1: framing errors)
  x       send XOFF, and XON a second later
  h       drop its RTS for a second
  q       leave (close the terminal) for two seconds

Runs with the preload library, which carries its lines and breaks, until it
is terminated.

usage: far_end.py PATH"""
import fcntl
import signal
import struct
import sys
import termios
import threading
import time

import serial  # python3-serial

PATH = sys.argv[1]
lock = threading.Lock()  # the port against the timers' changes
port = serial.Serial(PATH, 9600, timeout=0.02)


def lines(request, which):
    with lock:
        fcntl.ioctl(port.fd, request, struct.pack("i", which))


def later(seconds, action):
    threading.Timer(seconds, action).start()


def command(letter):
    global port
    if letter in "cC":
        lines(termios.TIOCMBIC if letter == "c" else termios.TIOCMBIS, termios.TIOCM_RTS)
    elif letter in "dD":
        lines(termios.TIOCMBIC if letter == "d" else termios.TIOCMBIS, termios.TIOCM_DTR)
    elif letter == "r":
        lines(termios.TIOCMBIS, termios.TIOCM_RI)
        time.sleep(0.1)
        lines(termios.TIOCMBIC, termios.TIOCM_RI)
    elif letter == "b":
        port.send_break(0.1)
    elif letter == "f":
        port.bytesize, port.parity = 7, serial.PARITY_EVEN
        time.sleep(0.05)
        port.write(b"UUUU")
        port.flush()
        time.sleep(0.05)
        port.bytesize, port.parity = 8, serial.PARITY_NONE
    elif letter == "x":
        port.write(b"\x13")
        later(1.0, lambda: port.write(b"\x11"))
    elif letter == "h":
        lines(termios.TIOCMBIC, termios.TIOCM_RTS)
        later(1.0, lambda: lines(termios.TIOCMBIS, termios.TIOCM_RTS))
    elif letter == "q":
        with lock:
            port.close()
            time.sleep(2.0)
            port = serial.Serial(PATH, 9600, timeout=0.02)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    pending = b""
    while True:
        with lock:
            data = port.read(256)
        pending += data
        echo = b""
        while pending:
            at = pending.find(b"#")
            if at < 0:
                echo, pending = echo + pending, b""
            elif at > 0:
                echo, pending = echo + pending[:at], pending[at:]
            elif b"\r" in pending:
                text, pending = pending.split(b"\r", 1)
                if echo:
                    port.write(echo)
                    echo = b""
                command(text[1:].decode(errors="replace"))
            else:
                break  # the rest of the command is on its way
        if echo:
            port.write(echo)


if __name__ == "__main__":
    main()
