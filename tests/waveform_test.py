"""The line's waveform as `torvex run --vcd` writes it, read back by sigrok's
UART decoder (Debian's sigrok-cli): the scenario of
tests/scripts/waveform.script in four stretches, each decoded with the
framing the line ran at then. Exactly the bytes that went over the line come
back, the break shows as one, and the far end at the wrong rate as framing
errors.

usage: waveform_test.py TORVEX SCRIPT [TORVEX OPTION...]
(the options, such as --image FILE, go to each run)
Fails (never skips) when sigrok-cli is missing."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

TORVEX, SCRIPT, OPTIONS = sys.argv[1], sys.argv[2], sys.argv[3:]


def run_scenario(vcd):
    """The run's output: each command with the virtual time it ended at."""
    out = subprocess.run([TORVEX, "run", "--vcd", vcd, SCRIPT] + OPTIONS, capture_output=True, text=True, check=True).stdout
    return [(float(m.group(1)), m.group(2)) for m in re.finditer(r"^\[\s*([\d.]+) ms\] (.*)$", out, re.M)]


def slice_vcd(text, start_ns, end_ns):
    """The dump between two times, starting with the levels at the first."""
    header, body = text.split("$enddefinitions $end\n", 1)
    levels, changes, now = {}, [], 0
    for line in body.splitlines():
        if line.startswith("#"):
            now = int(line[1:])
        elif line and line[0] in "01":
            if now <= start_ns:
                levels[line[1:]] = line[0]
            elif now < end_ns:
                changes.append((now, line))
    out = [header + "$enddefinitions $end", "#%d" % start_ns, "$dumpvars"]
    out += ["%s%s" % (level, code) for code, level in levels.items()] + ["$end"]
    stamp = start_ns
    for when, line in changes:
        if when != stamp:
            out.append("#%d" % when)
            stamp = when
        out.append(line)
    out.append("#%d" % end_ns)
    return "\n".join(out) + "\n"


def decode(path, wire, baud, data_bits, parity):
    """What the decoder reads on one wire: bytes, "Parity error", "Frame error",
    "Break condition" and the like, in order."""
    result = subprocess.run(
        ["sigrok-cli", "-I", "vcd:downsample=100", "-i", path,
         "-P", "uart:rx=%s:baudrate=%d:data_bits=%d:parity=%s" % (wire, baud, data_bits, parity),
         "-A", "uart=rx-data:rx-parity-err:rx-warnings:rx-break"], capture_output=True, text=True, check=True)
    return [line.split(": ", 1)[1] for line in result.stdout.splitlines()]


def text_of(items):
    return bytes(int(item, 16) for item in items).decode("ascii")


class WaveformTest(unittest.TestCase):
    def test_the_decoder_reads_back_what_went_over_the_line(self):
        directory = tempfile.mkdtemp(prefix="torvex-waveform-")
        vcd = os.path.join(directory, "line.vcd")
        commands = run_scenario(vcd)
        with open(vcd) as f:
            dump = f.read()

        def ended_before(command):
            """The time the command before `command` ended, in ns."""
            index = next(i for i, (_, text) in enumerate(commands) if text.startswith(command + ":"))
            return int(commands[index - 1][0] * 1e6)

        bounds = [0, ended_before("framing 7E1"), ended_before("break on"), ended_before("peer framing 57600 7E1"),
                  int(commands[-1][0] * 1e6) + 10**9]
        stretches = [(9600, 8, "none"), (115200, 7, "even"), (115200, 7, "even"), (115200, 7, "even")]
        seen = {}
        for n, (baud, data_bits, parity) in enumerate(stretches):
            part = os.path.join(directory, "part%d.vcd" % n)
            with open(part, "w") as f:
                f.write(slice_vcd(dump, bounds[n], bounds[n + 1]))
            for wire in ("TXD", "RXD"):
                seen[n, wire] = decode(part, wire, baud, data_bits, parity)
        subprocess.run(["rm", "-rf", directory], check=True)

        self.assertEqual(text_of(seen[0, "TXD"]), "AT\r\n")
        self.assertEqual(text_of(seen[0, "RXD"]), "OK\r\n")
        self.assertEqual(text_of(seen[1, "TXD"]), "hello, 7E1")
        self.assertEqual(text_of(seen[1, "RXD"]), "and back")
        # A break: the line held low, which a UART first takes for a zero
        # with a framing error.
        self.assertEqual(seen[2, "TXD"], ["00", "Frame error", "Break condition"])
        self.assertEqual(seen[2, "RXD"], [])
        self.assertEqual(seen[3, "TXD"], [])
        self.assertIn("Frame error", seen[3, "RXD"])
        self.assertNotIn("Break condition", seen[3, "RXD"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
