"""Drives a tool's bash completion from bash: sources the completion file,
sets COMP_WORDS and COMP_CWORD, calls the function that `complete` names
for the tool, and reads COMPREPLY.  Commands and options are checked against
the tool's usage (--help); qmprefs' domains and keys against a preferences
folder written with qmprefs itself.

    completion_test.py --tool <executable> --name <tool> --completion <file>
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from usage import HELP_COMMAND, read_usage

ARGS = None

DRIVER = r"""
source "$1" || exit 1
tool=$2; shift 2
spec=$(complete -p "$tool") || exit 1
function=${spec#*-F }; function=${function%% *}
COMP_WORDS=("$tool" "$@")
COMP_CWORD=$#
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
"$function"
printf '%s\0' "${COMPREPLY[@]}"
"""


class CompletionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.usage = read_usage(ARGS.tool, ARGS.name)
        cls.work = tempfile.TemporaryDirectory(prefix="completion-")
        cls.addClassCleanup(cls.work.cleanup)
        cls.home = os.path.join(cls.work.name, "home")
        cls.cwd = os.path.join(cls.work.name, "cwd")
        os.makedirs(cls.home)
        os.makedirs(cls.cwd)

    def environment(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if k not in ("QUILLMATE_PREFERENCES_DIR", "XDG_CONFIG_HOME")}
        env["HOME"] = self.home
        env["PATH"] = os.path.dirname(os.path.abspath(ARGS.tool)) + os.pathsep + env["PATH"]
        env.update(extra)
        return env

    def complete(self, *words, env=None, cwd=None):
        """The completions of the last word of `<tool> words...`."""
        done = subprocess.run(
            ["bash", "--norc", "--noprofile", "-c", DRIVER, "bash", ARGS.completion, ARGS.name,
             *words],
            capture_output=True, timeout=60, env=env or self.environment(), cwd=cwd or self.cwd)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        replies = done.stdout.decode().split("\0")[:-1]
        return set(r for r in replies if r)

    def test_completes_the_commands_of_the_usage(self):
        self.assertEqual(self.complete(""), set(self.usage.commands) | {HELP_COMMAND, "--help"})
        for name in self.usage.commands:
            with self.subTest(command=name):
                self.assertIn(name, self.complete(name[:2]))

    def test_completes_each_command_with_the_options_of_the_usage(self):
        for name, command in self.usage.commands.items():
            # Arguments before the options ("write <domain> <key> -bool"):
            # names that match nothing here.
            words = [name] + ["none"] * command.arguments_before_options
            with self.subTest(command=name):
                self.assertEqual(self.complete(*words, "-"), command.options)
            for option in command.options:
                with self.subTest(command=name, option=option):
                    self.assertIn(option, self.complete(*words, option[:3]))


class QmfilesCompletionTest(CompletionTest):
    def test_completes_option_values(self):
        for option in ("--from", "--to"):
            with self.subTest(option=option):
                self.assertEqual(self.complete("cp", "--fork", option, ""), {"data", "rsrc"})
        flags = self.usage.values["FLAGS"]
        for option in ("--set", "--clear"):
            with self.subTest(option=option):
                self.assertEqual(self.complete("finder", option, ""), flags)
                # The last name of a comma-separated list.
                self.assertEqual(self.complete("finder", option, "invisible,na"),
                                 {"invisible,name-locked"})
        for option in ("--depth", "--buffer", "--name", "--creator", "--type"):
            with self.subTest(option=option):
                self.assertEqual(self.complete("walk", option, ""), set())

    def test_completes_folders_or_paths_as_the_command_wants(self):
        base = os.path.join(self.work.name, "paths")
        os.makedirs(os.path.join(base, "folder one"))
        for name in ("file one", "-dash"):
            open(os.path.join(base, name), "w").close()
        for command in ("ls", "walk", "rm"):
            with self.subTest(command=command):
                self.assertEqual(self.complete(command, base + "/"), {base + "/folder one"})
                self.assertEqual(self.complete(command, "", cwd=base), {"folder one"})
        for command in ("info", "cp", "mv", "exchange", "finder", "lock", "sizes"):
            with self.subTest(command=command):
                self.assertEqual(self.complete(command, base + "/"),
                                 {base + "/folder one", base + "/file one", base + "/-dash"})
        # A dash starts an option, but after "--" a path.
        self.assertEqual(self.complete("info", "-d", cwd=base), set())
        self.assertEqual(self.complete("info", "--json", "--", "-d", cwd=base), {"-dash"})
        self.assertEqual(self.complete("volumes", "", cwd=base), set())
        self.assertEqual(self.complete("no-such-command", "", cwd=base), set())


class QmprefsCompletionTest(CompletionTest):
    def folders(self):
        """The three ways qmprefs finds the preferences folder, as
        (description, folder, environment)."""
        root = self.work.name
        explicit = os.path.join(root, "explicit")
        xdg = os.path.join(root, "xdg")
        return [
            ("QUILLMATE_PREFERENCES_DIR", explicit,
             self.environment(QUILLMATE_PREFERENCES_DIR=explicit, XDG_CONFIG_HOME=xdg)),
            ("XDG_CONFIG_HOME", os.path.join(xdg, "quillmate", "preferences"),
             self.environment(QUILLMATE_PREFERENCES_DIR="", XDG_CONFIG_HOME=xdg)),
            ("HOME", os.path.join(self.home, ".config", "quillmate", "preferences"),
             self.environment(XDG_CONFIG_HOME="relative/config")),
        ]

    def write(self, env, *arguments):
        done = subprocess.run([ARGS.tool, "write", *arguments], capture_output=True, env=env,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode())

    def test_completes_domains_and_their_keys(self):
        for where, folder, env in self.folders():
            with self.subTest(folder=where):
                domain = f"com.example.{where.lower()}"
                self.write(env, domain, "IncludeLineFeed", "-bool", "yes")
                self.write(env, domain, "Open File", "-string", "x")
                self.write(env, "spaced domain", "Key", "-int", "1")
                self.assertTrue(os.path.isfile(os.path.join(folder, domain + ".plist")))
                # What lies beside the domains is not one.
                for name in (domain + ".plist.lock", "old.plist.unreadable"):
                    open(os.path.join(folder, name), "w").close()
                os.makedirs(os.path.join(folder, "folder.plist"), exist_ok=True)

                self.assertEqual(self.complete("read", "", env=env),
                                 {domain, "spaced\\ domain"})
                self.assertEqual(self.complete("keys", "com.", env=env), {domain})
                self.assertEqual(self.complete("delete", "spaced\\ d", env=env),
                                 {"spaced\\ domain"})
                for command in ("read", "write", "delete"):
                    self.assertEqual(self.complete(command, domain, "", env=env),
                                     {"IncludeLineFeed", "Open\\ File"})
                self.assertEqual(self.complete("read", domain, "Op", env=env), {"Open\\ File"})
                self.assertEqual(self.complete("read", "spaced\\ domain", "", env=env), {"Key"})
                self.assertEqual(self.complete("keys", domain, "", env=env), set())
                self.assertEqual(self.complete("read", "no.such.domain", "", env=env), set())

    def test_completes_write_types_and_booleans(self):
        self.assertEqual(self.complete("write", "d", "k", "-bool", ""), {"yes", "no"})
        self.assertEqual(self.complete("write", "d", "k", "-int", ""), set())
        self.assertEqual(self.complete("watch", ""), set())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--completion", required=True)
    ARGS, rest = parser.parse_known_args()
    # The common cases, in the class of the tool that adds its own.
    tests = {"qmfiles": QmfilesCompletionTest, "qmprefs": QmprefsCompletionTest}
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(tests.get(ARGS.name, CompletionTest))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
