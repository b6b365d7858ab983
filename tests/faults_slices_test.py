#!/usr/bin/python3
"""A fault campaign split into slices: every point in exactly one slice, for
any number of slices, with the verdicts of the whole campaign; the slice taken
from GoogleTest's and a Kubernetes indexed Job's variables as from --shard;
and the slices' JUnit files merged as the README shows.

usage: faults_slices_test.py TORVEX SCRIPT"""
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

TORVEX, SCRIPT = sys.argv[1], sys.argv[2]
# The README's merge: the <testsuite> elements of every slice's file, in one
# <testsuites>.
MERGE = "{ echo '<testsuites>'; sed -n '/<testsuite /,/<\\/testsuite>/p' \"$@\"; echo '</testsuites>'; }"


def campaign(directory, name, *options, env=None):
    """Runs `torvex faults SCRIPT` with the options; its JUnit file's path."""
    path = os.path.join(directory, name + ".xml")
    environment = dict(os.environ, **(env or {}))
    for variable in ("GTEST_SHARD_INDEX", "GTEST_TOTAL_SHARDS", "JOB_COMPLETION_INDEX"):
        if env is None or variable not in env:
            environment.pop(variable, None)
    run = subprocess.run([TORVEX, "faults", SCRIPT, "--junit", path, *options], capture_output=True, text=True,
                         env=environment)
    if run.returncode != 0:
        raise AssertionError("torvex faults %s failed:\n%s%s" % (" ".join(options), run.stdout, run.stderr))
    return path


def cases(path):
    """(point, name, failure message or None) of every test case of a file."""
    found = []
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        failure = case.find("failure")
        point = int(case.get("name").split()[1])
        found.append((point, case.get("name"), None if failure is None else failure.get("message")))
    return found


class Slices(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp()
        cls.whole = cases(campaign(cls.directory, "whole"))

    def test_every_point_is_in_exactly_one_slice(self):
        points = sorted(point for point, _, _ in self.whole)
        self.assertEqual(points, list(range(1, len(points) + 1)))
        for shards in (1, 2, 7):
            files = [campaign(self.directory, "%d-of-%d" % (k, shards), "--shard", "%d/%d" % (k, shards))
                     for k in range(1, shards + 1)]
            for k, path in enumerate(files, 1):
                self.assertTrue(all((point - 1) % shards + 1 == k for point, _, _ in cases(path)), path)
            merged = os.path.join(self.directory, "merged-%d.xml" % shards)
            with open(merged, "w") as out:
                subprocess.run(["sh", "-c", MERGE, "merge"] + files, stdout=out, check=True)
            self.assertEqual(sorted(cases(merged)), self.whole, "%d slices" % shards)

    def test_the_engines_variables_name_the_slice(self):
        given = cases(campaign(self.directory, "given", "--shard", "2/3"))
        status = os.path.join(self.directory, "shard-status")
        gtest = cases(campaign(self.directory, "gtest", env={"GTEST_SHARD_INDEX": "1", "GTEST_TOTAL_SHARDS": "3",
                                                             "GTEST_SHARD_STATUS_FILE": status}))
        job = cases(campaign(self.directory, "job", "--shards", "3", env={"JOB_COMPLETION_INDEX": "1"}))
        self.assertEqual(gtest, given)
        self.assertEqual(job, given)
        self.assertTrue(os.path.exists(status), "GoogleTest's sharding protocol: the status file is touched")
        refused = subprocess.run([TORVEX, "faults", SCRIPT, "--shards", "3"], capture_output=True, text=True,
                                 env=dict(os.environ, JOB_COMPLETION_INDEX="3"))
        self.assertEqual(refused.returncode, 2)
        self.assertIn("JOB_COMPLETION_INDEX is not a slice from 0 to 2", refused.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
