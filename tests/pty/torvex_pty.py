"""Runs `torvex pty` for a test or a benchmark and follows what it reports."""
import atexit
import os
import queue
import re
import signal
import subprocess
import tempfile
import threading
import time


def resident_peak_kb(pid):
    """The most a process has had resident, in KB."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM for %d" % pid)


class TorvexPty:
    """`torvex pty` in the background: the port's path (a link), the far
    end's path with --line pty, and the events it prints, waited for by
    pattern. With several adapters, `links` holds each port's path."""

    def __init__(self, torvex, line="loopback", adapters=1):
        self.directory = tempfile.mkdtemp(prefix="torvex-pty-")
        self.link = os.path.join(self.directory, "ttyCOM")
        self.links = [self.link] if adapters == 1 else ["%s%d" % (self.link, k) for k in range(1, adapters + 1)]
        self.process = subprocess.Popen([torvex, "pty", "--line", line, "--link", self.link,
                                         "--adapters", str(adapters)],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # A test that ends early leaves no tool running behind it.
        atexit.register(lambda: self.process.poll() is None and self.process.kill())
        self.lines = queue.Queue()
        self.seen = []
        self.follower = threading.Thread(target=self._follow, daemon=True)
        self.follower.start()
        self.far = None
        self.wait_for(r"^the world runs in real time")
        if line == "pty":
            self.far = re.search(r"^the far end of the line is (\S+)$", "\n".join(self.seen), re.M).group(1)

    def _follow(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, pattern, timeout=20.0):
        """The first line from now on that matches, or AssertionError."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.01))
            except queue.Empty:
                line = ""
            if line is None:
                raise AssertionError("torvex pty ended before %r:\n%s" % (pattern, "\n".join(self.seen)))
            if line:
                self.seen.append(line)
                if re.search(pattern, line):
                    return line
            if time.monotonic() > end:
                raise AssertionError("no %r within %.1f s:\n%s" % (pattern, timeout, "\n".join(self.seen)))

    def stop(self):
        """Ctrl-C; returns the exit status after checking the clean teardown."""
        self.process.send_signal(signal.SIGINT)
        self.wait_for(r"nothing left behind", timeout=10)
        status = self.process.wait(timeout=10)
        self.follower.join(timeout=10)
        self.process.stdout.close()
        os.rmdir(self.directory)
        return status
