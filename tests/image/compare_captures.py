#!/usr/bin/python3
"""The driver image and the driver linked into the host put the same requests
on the wire: the same scenario under the same seed, run by the 64-bit torvex
(the linked driver) and by the 32-bit one (the image), gives two USBPcap
captures that agree record by record — time, function, status, endpoint,
transfer type, setup packet, length and data — all but the request's IRP
identifier, which is a host address. Checked for the start and a session on
each kind of chip and interface layout, and for a whole serial session.

usage: compare_captures.py LINKED_TORVEX IMAGE_TORVEX IMAGE SESSION_SCRIPT"""
import os
from pathlib import Path
import struct
import subprocess
import sys
import tempfile
import unittest

LINKED, IMAGE_TORVEX, IMAGE, SESSION = sys.argv[1:5]

START = """chip {kind}
interfaces {layout}
open
baud 115200
write "hello"
expect "hello"
close
pcap {pcap}
"""


def records(path):
    """Each record of a capture: its time and its USBPcap packet with the IRP
    identifier (bytes 2 to 9 of the packet header) taken out."""
    data = Path(path).read_bytes()
    out, at = [], 24
    while at < len(data):
        seconds, micros, length, _ = struct.unpack_from("<IIII", data, at)
        packet = data[at + 16:at + 16 + length]
        out.append((seconds, micros, packet[:2] + packet[10:]))
        at += 16 + length
    return out


def describe(record):
    seconds, micros, packet = record
    header = struct.unpack_from("<H", packet)[0] - 8
    function, info, bus, device, endpoint, transfer, length = struct.unpack_from("<HBHHBBI", packet, 6)
    return "%d.%06d s function 0x%04X endpoint 0x%02X transfer %d length %d header %s data %s" % (
        seconds, micros, function, endpoint, transfer, length, packet[19:header].hex(), packet[header:].hex())


class SameRequestsOnTheWire(unittest.TestCase):
    def capture(self, torvex, script, seed, extra):
        with tempfile.TemporaryDirectory() as work:
            pcap = os.path.join(work, "wire.pcap")
            path = os.path.join(work, "scenario.script")
            Path(path).write_text(script.replace("{pcap}", pcap))
            run = subprocess.run([torvex, "run", path, "--seed", str(seed)] + extra, capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            return records(pcap)

    def same(self, script, seed):
        linked = self.capture(LINKED, script, seed, [])
        image = self.capture(IMAGE_TORVEX, script, seed, ["--image", IMAGE])
        self.assertGreater(len(linked), 20)
        for i, (a, b) in enumerate(zip(linked, image)):
            if a != b:
                self.fail("record %d differs:\n  linked: %s\n  image:  %s" % (i + 1, describe(a), describe(b)))
        self.assertEqual(len(linked), len(image), "the captures differ in length")

    def test_the_start_and_a_session_on_each_chip_and_layout(self):
        for kind in ("comm", "vendor", "extended"):
            for layout in (1, 2):
                with self.subTest(chip=kind, interfaces=layout):
                    self.same(START.format(kind=kind, layout=layout, pcap="{pcap}"), 7)

    def test_a_whole_serial_session(self):
        self.same(Path(SESSION).read_text() + "\npcap {pcap}\n", 3)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
