#!/usr/bin/python3
"""The same seed gives the same run: a scenario run twice under one seed, with
each scheduling strategy, prints the same lines (the trace's digest among
them) and writes a byte-identical capture; another seed schedules the
threads otherwise and ends with another digest. And a waveform probe, which
makes the chip move every character on its own, changes nothing of a stream
it would otherwise move in runs.

usage: determinism_test.py TORVEX SCRIPT STREAM_SCRIPT [TORVEX OPTION...]"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

TORVEX, SCRIPT, STREAM, OPTIONS = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]


class SameSeedSameRun(unittest.TestCase):
    def run_once(self, seed, strategy):
        with tempfile.TemporaryDirectory() as work:
            pcap = os.path.join(work, "wire.pcap")
            script = os.path.join(work, "scenario.script")
            with open(SCRIPT) as source, open(script, "w") as copy:
                copy.write(source.read() + "\npcap %s\n" % pcap)
            run = subprocess.run([TORVEX, "run", script, "--seed", str(seed), "--strategy", strategy] + OPTIONS,
                                 capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            with open(pcap, "rb") as capture:
                return run.stdout.replace(pcap, "PCAP"), capture.read()

    def digest(self, output):
        return re.search(r"trace digest ([0-9a-f]{16})", output).group(1)

    def test_each_strategy(self):
        for strategy in ("random", "pct"):
            with self.subTest(strategy=strategy):
                first, first_capture = self.run_once(11, strategy)
                second, second_capture = self.run_once(11, strategy)
                self.assertEqual(first, second)
                self.assertEqual(first_capture, second_capture)
                other, _ = self.run_once(12, strategy)
                self.assertNotEqual(self.digest(first), self.digest(other))


    def test_a_waveform_probe_changes_nothing(self):
        for seed in (1, 2, 3):
            with self.subTest(seed=seed):
                plain = subprocess.run([TORVEX, "run", STREAM, "--seed", str(seed)] + OPTIONS,
                                       capture_output=True, text=True)
                probed = subprocess.run([TORVEX, "run", STREAM, "--seed", str(seed), "--vcd", os.devnull] + OPTIONS,
                                        capture_output=True, text=True)
                self.assertEqual(plain.returncode, 0, plain.stdout + plain.stderr)
                self.assertEqual(plain.stdout, probed.stdout.replace("waveform written to %s\n" % os.devnull, ""))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
