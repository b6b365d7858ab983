#!/usr/bin/python3
"""The 32-bit host's loader refuses what the platform's loader refuses, naming
it, and a fault inside the image names the driver routine it happened in.
Each case is a copy of the image with one thing changed: an import misspelt,
an import Windows 98 SE does not export (among them atol and an undecorated
USB driver library routine), an import it exports but the host does not
emulate, a section without file data, another machine type, a file cut short,
a file that is no image, and code that reads address 0.

usage: loader_test.py IMAGE_TORVEX IMAGE"""
import os
from pathlib import Path
import shutil
import subprocess
import sys
import tempfile
import unittest

import pefile

TORVEX, IMAGE = sys.argv[1:3]
MAP = os.path.splitext(IMAGE)[0] + ".map"

SESSION = """open
baud 115200
write "hello"
expect "hello"
kick
close
"""


def rename_import(data, old, new):
    """The image with the name of one import replaced (no longer than it)."""
    at = data.index(old + b"\0")
    return data[:at] + new + b"\0" * (len(old) - len(new) + 1) + data[at + len(old) + 1:]


def strip_section_data(data, name):
    """The image with one section's file data taken away (uninitialised data)."""
    pe = pefile.PE(data=data)
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == name)
    section.SizeOfRawData = 0
    section.PointerToRawData = 0
    return bytes(pe.write())


def set_machine(data, machine):
    pe = data[0x3C] | data[0x3D] << 8
    return data[:pe + 4] + machine.to_bytes(2, "little") + data[pe + 6:]


def break_export(data, name):
    """The image with the first instruction of an exported routine replaced by
    a read of address 0 (mov eax, [0])."""
    pe = pefile.PE(data=data)
    rva = next(e.address for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name == name.encode())
    offset = pe.get_offset_from_rva(rva)
    return data[:offset] + b"\xA1\0\0\0\0" + data[offset + 5:]


class Loader(unittest.TestCase):
    def run_image(self, data, keep_map=True):
        with tempfile.TemporaryDirectory() as work:
            image = os.path.join(work, "TORVEX.SYS")
            Path(image).write_bytes(data)
            if keep_map:
                shutil.copy(MAP, os.path.join(work, "TORVEX.map"))
            script = os.path.join(work, "session.script")
            Path(script).write_text(SESSION)
            run = subprocess.run([TORVEX, "run", script, "--image", image, "--seed", "4"],
                                 capture_output=True, text=True)
            return run.returncode, run.stdout + run.stderr

    def refused(self, data, message):
        status, output = self.run_image(data)
        self.assertEqual(status, 1, output)
        self.assertIn("the loader refuses", output)
        self.assertIn(message, output)

    def test_the_image_as_built_runs(self):
        status, output = self.run_image(Path(IMAGE).read_bytes())
        self.assertEqual(status, 0, output)
        self.assertIn("nothing left behind", output)

    def test_imports_that_do_not_bind_are_named(self):
        image = Path(IMAGE).read_bytes()
        cases = [
            (rename_import(image, b"KeSetEvent", b"KeSetEvemt"),
             "imports KeSetEvemt from ntoskrnl.exe, which Windows 98 SE does not export"),
            (rename_import(image, b"KeSetPriorityThread", b"MmMapIoSpace"),
             "imports MmMapIoSpace from ntoskrnl.exe, which Windows 98 SE does not export"),
            (rename_import(image, b"KeSetPriorityThread", b"atol"),
             "imports atol from ntoskrnl.exe, which Windows 98 SE does not export"),
            (rename_import(image, b"_USBD_CreateConfigurationRequestEx@8", b"USBD_CreateConfigurationRequestEx"),
             "imports USBD_CreateConfigurationRequestEx from USBD.SYS, which Windows 98 SE does not export"),
            (rename_import(image, b"ExAllocatePoolWithTag", b"ExAllocatePool"),
             "imports ExAllocatePool from ntoskrnl.exe, which this host does not emulate"),
            (rename_import(image, b"USBD.SYS", b"USBD.DLL"),
             "from USBD.DLL, a module Windows 98 SE does not give drivers"),
        ]
        for data, message in cases:
            with self.subTest(message=message):
                self.refused(data, message)

    def test_files_that_are_no_image_for_this_machine_are_refused(self):
        image = Path(IMAGE).read_bytes()
        cases = [
            (set_machine(image, 0x8664), "built for machine x86-64, not i386"),
            (set_machine(image, 0x01C4), "built for machine ARM, not i386"),
            (image[:1024], "lies outside the image or the file"),
            (strip_section_data(image, b".data"), "section .data has 1184 bytes without file data (uninitialised data)"),
            (image[:200], "its optional header is cut short"),
            (b"#!/bin/sh\necho not a driver\n", "not an executable image"),
        ]
        for data, message in cases:
            with self.subTest(message=message):
                self.refused(data, message)
        run = subprocess.run([TORVEX, "registers", "--image", "/nonexistent/TORVEX.SYS"], capture_output=True, text=True)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("/nonexistent/TORVEX.SYS: cannot open it: No such file or directory", run.stderr)

    def test_a_fault_in_the_image_names_its_routine_and_the_seed(self):
        broken = break_export(Path(IMAGE).read_bytes(), "KickTxForSerport")
        for keep_map in (True, False):
            with self.subTest(map=keep_map):
                status, output = self.run_image(broken, keep_map)
                self.assertNotEqual(status, 0, output)
                self.assertIn("BUG CHECK KMODE_EXCEPTION_NOT_HANDLED", output)
                self.assertIn("an access violation at 0x00000000 in TORVEX.SYS!KickTxForSerport+0x0", output)
                self.assertIn("seed: 4", output)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
