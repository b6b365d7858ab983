#!/usr/bin/python3
"""Every script word has its line of help in torvex --help, and the command
tables of docs/SCRIPTS.md document exactly the words the language has.

usage: script_words_test.py TORVEX SCRIPTS_MD"""
import re
import subprocess
import sys
import unittest

TORVEX, SCRIPTS_MD = sys.argv[1], sys.argv[2]


def help_words():
    """(name, help) for each word of torvex --help's script section."""
    text = subprocess.run([TORVEX, "--help"], capture_output=True, text=True, check=True).stdout
    section = text.split("scenario scripts,", 1)[1].split("\noptions:", 1)[0]
    words, pending = [], None
    for line in section.splitlines()[1:]:
        if re.match(r"^    \S", line):
            usage, _, help_text = line[4:].partition("  ")
            name = usage.split()[0] + (" " + usage.split()[1] if usage.startswith("peer ") else "")
            pending = name
            words.append([name, help_text.strip()])
        elif re.match(r"^ {20,}\S", line) and pending is not None:
            words[-1][1] = line.strip()
            pending = None
    return words


def documented_words(names):
    """The words the command tables of docs/SCRIPTS.md name in their first column."""
    with open(SCRIPTS_MD) as f:
        text = f.read()
    tables = text.split("## The language", 1)[1].split("\n## ", 1)[0]
    found = set()
    for row in re.findall(r"^\| (`[^|]*(?:\\\|[^|]*)*) \|", tables, re.M):
        for span in re.findall(r"`([^`]+)`", row):
            matches = [n for n in names if span == n or span.startswith(n + " ")]
            found.add(max(matches, key=len) if matches else span)
    return found


class ScriptWords(unittest.TestCase):
    def test_every_word_has_its_help_line(self):
        words = help_words()
        self.assertGreater(len(words), 40)
        for name, help_text in words:
            with self.subTest(word=name):
                self.assertTrue(help_text, "%s has no line of help" % name)

    def test_the_reference_documents_the_words_the_language_has(self):
        names = {name for name, _ in help_words()}
        self.assertEqual(documented_words(names), names)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
