#!/usr/bin/env python3
"""Prints a stored preference domain as JSON, read by a process of its own:
{"key": ["bool", true], "other": ["int", 0]}, or {} when the file is absent.
Only the plist library of Python reads the file, so a test sees what any
other reader would see."""
import json
import os
import plistlib
import sys


def read(path):
    if not os.path.exists(path):
        return {}
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        return {}
    domain = plistlib.loads(data)
    return {key: [type(value).__name__, value if isinstance(value, (bool, int, float, str)) else repr(value)]
            for key, value in domain.items()}


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: read_domain.py <plist file>")
    print(json.dumps(read(sys.argv[1]), sort_keys=True))
