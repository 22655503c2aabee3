"""Keeps a tool's manual page in step with its usage (--help): the same
commands, the same options for each command, an example for every command
and every option, and a page that man renders without a warning.

    man_page_test.py --tool <executable> --name <tool> --source <page.scd> [--rendered <page.gz>]
"""

import argparse
import os
import re
import shlex
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from usage import HELP_COMMAND, HELP_OPTIONS, OPTION, read_usage

ARGS = None


class ManPage:
    """The COMMANDS section of a scdoc page: each entry's term lines (at the
    margin) name a command and its options; examples are indented lines
    "$ <tool> <command> ..." in literal blocks."""

    def __init__(self, text, tool):
        self.text = text
        self.options = {}  # command -> set of options in its term lines
        self.examples = []  # (command, [arguments])
        section = None
        for line in text.splitlines():
            if line.startswith("# "):
                section = line[2:].strip()
                continue
            example = re.match(rf"^\s+\$ {re.escape(tool)}\s+(.*)$", line)
            if example:
                words = shlex.split(example.group(1))
                self.examples.append((HELP_COMMAND if words[0] in HELP_OPTIONS else words[0], words[1:]))
                continue
            if section != "COMMANDS" or not line.startswith("*"):
                continue
            bold = re.findall(r"\*([^*\s]+)\*", line)
            command = bold[0]
            options = {b for b in bold if OPTION.fullmatch(b)}
            if command == HELP_COMMAND:
                options -= HELP_OPTIONS
            self.options.setdefault(command, set()).update(options)


class ManPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.usage = read_usage(ARGS.tool, ARGS.name)
        with open(ARGS.source, encoding="utf-8") as f:
            cls.page = ManPage(f.read(), ARGS.name)

    def test_documents_the_commands_of_the_usage(self):
        self.assertEqual(set(self.page.options), set(self.usage.commands) | {HELP_COMMAND})
        self.assertRegex(self.page.text, r"\*help\*, \*--help\*, \*-h\*")

    def test_documents_each_command_with_the_options_of_the_usage(self):
        for name, command in self.usage.commands.items():
            with self.subTest(command=name):
                self.assertEqual(self.page.options.get(name), command.options)

    def test_shows_an_example_of_every_command_and_option(self):
        for name, command in self.usage.commands.items():
            examples = [arguments for c, arguments in self.page.examples if c == name]
            with self.subTest(command=name):
                self.assertTrue(examples, f"no example of {ARGS.name} {name}")
            for option in command.options:
                with self.subTest(command=name, option=option):
                    self.assertTrue(any(option in arguments for arguments in examples),
                                    f"no example of {ARGS.name} {name} {option}")

    def test_examples_use_only_the_options_of_their_command(self):
        for name, arguments in self.page.examples:
            if name == HELP_COMMAND:
                continue
            with self.subTest(example=" ".join([name] + arguments)):
                self.assertIn(name, self.usage.commands)
                allowed = self.usage.commands[name].options
                for previous, word in zip([""] + arguments, arguments):
                    if word == "--":
                        break
                    # A word that looks like an option is one, unless it is
                    # the value of the option before it ("-string -bold").
                    if OPTION.fullmatch(word) and not OPTION.fullmatch(previous):
                        self.assertIn(word, allowed)

    def test_documents_the_values_the_usage_lists(self):
        for list_name, values in self.usage.values.items():
            for value in values:
                with self.subTest(list=list_name, value=value):
                    self.assertIn(f"*{value}*", self.page.text)

    def test_renders_without_warnings(self):
        if not ARGS.rendered:
            self.skipTest("the page was not rendered in this build (no scdoc)")
        done = subprocess.run(["man", "--warnings", "-l", ARGS.rendered], capture_output=True,
                              text=True, timeout=60,
                              env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", LC_ALL="C.UTF-8"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")
        self.assertIn(f"{ARGS.name} - ", done.stdout)
        for name in self.usage.commands:
            with self.subTest(command=name):
                self.assertIn(name, done.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--rendered")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
