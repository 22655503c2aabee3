"""What a tool's usage text (its --help) says: its commands, each command's
options, and the arguments a command takes before its options.  The manual
page and completion tests compare their files with it."""

import re
import subprocess
from dataclasses import dataclass, field

# An option: a dash or two and a letter, not inside a word ("name-locked").
OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")


@dataclass
class Command:
    options: set = field(default_factory=set)
    # How many <arguments> come before the first option (qmprefs write takes
    # its type after the domain and the key).
    arguments_before_options: int = 0


@dataclass
class Usage:
    tool: str
    text: str
    commands: dict  # name -> Command
    # Named value lists, as "FLAGS: a comma-separated list of a, b, c."
    values: dict


def read_usage(tool_path, tool):
    """Runs `tool --help`, which must succeed, and parses what it prints."""
    done = subprocess.run([tool_path, "--help"], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError(f"{tool} --help exited {done.returncode}: {done.stderr}")
    return parse_usage(done.stdout, tool)


def parse_usage(text, tool):
    commands, values = {}, {}
    for line in text.splitlines():
        match = re.match(rf"^\s*(?:usage:\s*)?{re.escape(tool)}\s+(\S+)(.*)$", line)
        if match:
            rest = match.group(2)
            first_option = OPTION.search(rest)
            before = rest[: first_option.start()] if first_option else ""
            for name in match.group(1).split("|"):
                command = commands.setdefault(name, Command())
                command.options |= set(OPTION.findall(rest))
                command.arguments_before_options = max(command.arguments_before_options,
                                                       len(re.findall(r"<[^>]+>", before)))
            continue
        match = re.match(r"^([A-Z]+): .* of (.*?)\.?$", line)
        if match:
            values[match.group(1)] = {v.strip() for v in match.group(2).split(",")}
    if not commands:
        raise AssertionError(f"no command found in the usage of {tool}:\n{text}")
    return Usage(tool, text, commands, values)


# What shows the usage itself: documented, though the usage does not list it.
HELP_COMMAND = "help"
HELP_OPTIONS = {"--help", "-h"}
