"""Runs comm_test.exe, a Windows program of the project's own, under Wine on
the emulated port: once through the loopback plug, once with
tests/windows/far_end.py at the far end (`--line pty`), both with the
preload library. Wine's serial layer calls the C library's terminal
functions, which the library carries to the port. Prints every step and the
bridge's own account, checks that the chip followed each setting, and fails
on any failed step.

usage: run.py BUILD_DIR   (BUILD_DIR holds torvex, libtorvex_tty.so and comm_test.exe)"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pty"))
from torvex_pty import TorvexPty  # noqa: E402

BUILD = os.path.abspath(sys.argv[1])
PRELOAD = os.path.join(BUILD, "libtorvex_tty.so")
PROGRAM = os.path.join(BUILD, "comm_test.exe")
FAR_END = os.path.join(os.path.dirname(os.path.abspath(__file__)), "far_end.py")
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"

# What the bridge must have printed: the chip following each setting.
CHIP_FOLLOWS = (r"settings: 115200 8N1; the chip's UART runs at 115\d{3} 8N1",
                r"settings: 9600 7E1; the chip's UART runs at 9600 7E1",
                r"settings: 19200 8N2; the chip's UART runs at 19200 8N2",
                r"settings: 250000 8N1; the chip's UART runs at \d+ 8N1",
                r"settings: 57600 8O1, flow hardware; the chip's UART runs at 57600 8O1, flow hardware",
                r"settings: 38400 8N1, flow xon; the chip's UART runs at 38400 8N1, flow xon")


def run(prefix, mode):
    print("== comm_test.exe through %s" % ("the loopback plug" if mode == "loopback" else "a far end (--line pty)"),
          flush=True)
    pty = TorvexPty(os.path.join(BUILD, "torvex"), line="loopback" if mode == "loopback" else "pty")
    com = os.path.join(prefix, "dosdevices", "com5")
    if os.path.lexists(com):
        os.unlink(com)
    os.symlink(pty.link, com)
    environment = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LD_PRELOAD=PRELOAD)
    far = None
    if mode == "far":
        far = subprocess.Popen([sys.executable, FAR_END, pty.far], env=dict(os.environ, LD_PRELOAD=PRELOAD))
        pty.wait_for(r"the far end's program opened")
    started = time.monotonic()
    try:
        result = subprocess.run([WINE, PROGRAM, "COM5", mode], env=environment, capture_output=True, text=True,
                                timeout=300)
        output, status = result.stdout, result.returncode
    except subprocess.TimeoutExpired as e:
        output, status = (e.stdout or b"").decode(errors="replace") + "\nFAIL the program did not end within 300 s", 1
    took = time.monotonic() - started
    print(output, end="", flush=True)
    if far:
        far.terminate()
        far.wait(timeout=10)
    pty.stop()
    account = "\n".join(pty.seen)
    missing = [p for p in CHIP_FOLLOWS if not re.search(p, account)]
    for p in missing:
        print("FAIL the bridge never printed /%s/" % p)
    print("   (%.1f s; the bridge's account has %d lines)" % (took, len(pty.seen)), flush=True)
    return status == 0 and not missing, account


def main():
    prefix = tempfile.mkdtemp(prefix="torvex-wine-")
    try:
        started = time.monotonic()
        subprocess.run([WINE, "wineboot", "--init"], env=dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all"),
                       check=True, capture_output=True, timeout=300)
        print("a throwaway Wine prefix in %.1f s" % (time.monotonic() - started), flush=True)
        results = []
        accounts = []
        for mode in ("loopback", "far"):
            ok, account = run(prefix, mode)
            results.append(ok)
            accounts.append(account)
        if not all(results):
            for account in accounts:
                print("-- the bridge's account:\n" + account)
        print("windows programs: %s" % ("all steps passed" if all(results) else "FAILED"))
        return 0 if all(results) else 1
    finally:
        subprocess.run([shutil.which("wineserver") or "/usr/lib/wine/wineserver", "-k"],
                       env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)
        shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
