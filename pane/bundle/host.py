#!/usr/bin/env python3
"""Drives GNUstep's System Preferences (the host) with the Quillmate pane.

  host.py session -- COMMAND...
      runs COMMAND with a private GNUstep user domain and preference folder
      (GNUSTEP_CONFIG_FILE, QUILLMATE_PREFERENCES_DIR), removed afterwards
  host.py show [--screenshot PATH] [--quit]
      opens System Preferences, selects the Quillmate pane, optionally saves
      a screenshot of it, then quits (--quit) or waits for the user to

The end-to-end test imports it for Domain, Helpers and Host.  Everything
here talks to the host the way a user does: through the X display, with
xdotool for the mouse and ImageMagick for the pictures.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HOST = "SystemPreferences"
HOST_WINDOW = "^System Preferences$"

# The pane's icon (QuillmatePane.png) is filled with this colour, which no
# other icon of the host uses: the icon is found on screen by it.
ICON_RGB = (0x1F, 0x6F, 0x8B)
ICON_MIN_PIXELS = 200

# Where the host puts things, from the host window's top-left corner, once
# the pane is shown (measured with System Preferences 1.2 on GNUstep 0.29;
# they follow from the nib's layout).
SHOW_ALL = (40, 21)
BOXES = {"IncludeLineFeed": (40, 118), "OpenFile": (40, 150)}


class HostError(RuntimeError):
    pass


def _run(*command, env=None, check=True, timeout=30):
    # X tools can block for good on a window that changes under them (import
    # does, while the host resizes its window); a bound turns that into a
    # failed attempt that the caller may repeat.
    try:
        return subprocess.run(command, env=env, check=check, text=True, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except subprocess.TimeoutExpired:
        if check:
            raise HostError("%s did not finish" % command[0])
        return subprocess.CompletedProcess(command, -1, "", "")


def wait_until(predicate, seconds, step=0.2):
    """Polls predicate until it gives a true value (returned) or time is up
    (None).  A guard against a host that never answers, not a speed test."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


class Domain:
    """A throwaway GNUstep user domain and preference folder under root.

    HOME does not move GNUstep's user folders (they come from the passwd
    entry); a copy of the system configuration with absolute user paths,
    named by GNUSTEP_CONFIG_FILE, does."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.library = os.path.join(self.root, "GNUstep", "Library")
        self.bundles = os.path.join(self.library, "Bundles")
        self.defaults = os.path.join(self.root, "GNUstep", "Defaults")
        self.preferences = os.path.join(self.root, "preferences")
        self.config = os.path.join(self.root, "GNUstep.conf")
        for folder in (self.bundles, self.defaults, self.preferences):
            os.makedirs(folder, exist_ok=True)
        system = os.environ.get("GNUSTEP_CONFIG_FILE", "/etc/GNUstep/GNUstep.conf")
        lines = []
        with open(system) as f:
            for line in f:
                key = line.split("=", 1)[0].strip()
                if key == "GNUSTEP_USER_CONFIG_FILE":
                    line = "GNUSTEP_USER_CONFIG_FILE=\n"
                elif key == "GNUSTEP_USER_DEFAULTS_DIR":
                    line = "GNUSTEP_USER_DEFAULTS_DIR=%s\n" % self.defaults
                elif key.startswith("GNUSTEP_USER_DIR_"):
                    relative = line.split("=", 1)[1].strip()
                    line = "%s=%s\n" % (key, os.path.join(self.root, relative))
                lines.append(line)
        with open(self.config, "w") as f:
            f.writelines(lines)

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["GNUSTEP_CONFIG_FILE"] = self.config
        env["QUILLMATE_PREFERENCES_DIR"] = self.preferences
        return env

    def install(self, bundle):
        target = os.path.join(self.bundles, os.path.basename(bundle.rstrip("/")))
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(bundle, target, symlinks=True)
        return target


class Helpers:
    """gdnc and gpbs as our own children, stopped by their process IDs.  The
    host would otherwise start a gdnc of its own that outlives it."""

    def __init__(self, env, log_dir):
        self.env, self.log_dir, self.children = env, log_dir, []

    def __enter__(self):
        for tool in ("gdnc", "gpbs"):
            log = open(os.path.join(self.log_dir, tool + ".log"), "w")
            self.children.append(subprocess.Popen([tool, "--no-fork"], env=self.env,
                                                  stdout=log, stderr=subprocess.STDOUT))
            log.close()
        return self

    def __exit__(self, *exc):
        for child in self.children:
            stop(child)


def stop(process, grace=5):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def read_rgb(png):
    """Width, height and the raw 8-bit RGB bytes of an image file."""
    size = _run("identify", "-format", "%w %h", png).stdout.split()
    width, height = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], check=True,
                         stdout=subprocess.PIPE).stdout
    return width, height, raw


def find_colour(png, rgb, min_pixels):
    """Centre of the pixels of exactly this colour, or None if too few."""
    width, _, raw = read_rgb(png)
    target = bytes(rgb)
    xs = ys = count = 0
    index = raw.find(target)
    while index >= 0:
        if index % 3 == 0:
            pixel = index // 3
            xs += pixel % width
            ys += pixel // width
            count += 1
        index = raw.find(target, index + 1)
    if count < min_pixels:
        return None
    return xs // count, ys // count


class Host:
    """One running System Preferences."""

    def __init__(self, env, log_path):
        self.env = env
        self.log = open(log_path, "w")
        self.process = subprocess.Popen([HOST], env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT)
        try:
            self.window = wait_until(self._find_window, 60)
            if self.window is None:
                raise HostError("System Preferences showed no window")
            # The window exists before it has drawn its icons.
            if wait_until(lambda: self._icon_position(), 30) is None:
                raise HostError("System Preferences does not show the Quillmate icon")
        except BaseException:
            self.close()
            raise

    def _find_window(self):
        if self.process.poll() is not None:
            raise HostError("System Preferences exited with status %d" % self.process.returncode)
        # Only a mapped window: import blocks on one that is not shown yet.
        found = _run("xdotool", "search", "--onlyvisible", "--name", HOST_WINDOW,
                     env=self.env, check=False)
        ids = found.stdout.split()
        return ids[0] if found.returncode == 0 and ids else None

    def screenshot(self, path, attempts=5):
        # import fails now and then while the window is being mapped or
        # redrawn; that says nothing about the pane, so try again.
        for _ in range(attempts):
            if _run("import", "-window", self.window, path, env=self.env,
                    check=False, timeout=5).returncode == 0:
                return path
            time.sleep(0.3)
            self.window = self._find_window() or self.window
        raise HostError("cannot take a screenshot of the host window")

    def _icon_position(self):
        with tempfile.NamedTemporaryFile(suffix=".png") as shot:
            self.screenshot(shot.name)
            return find_colour(shot.name, ICON_RGB, ICON_MIN_PIXELS)

    def click(self, position):
        # Press and release apart: a click right after the host starts is
        # sometimes lost when both come at once.
        x, y = position
        _run("xdotool", "mousemove", "--window", self.window, str(x), str(y), env=self.env)
        _run("xdotool", "mousedown", "1", env=self.env)
        time.sleep(0.15)
        _run("xdotool", "mouseup", "1", env=self.env)

    def select_pane(self, attempts=4):
        """Clicks the Quillmate icon until the icon view gives way to the pane."""
        for _ in range(attempts):
            position = self._icon_position()
            if position is None:
                return
            self.click(position)
            if wait_until(lambda: self._icon_position() is None, 5):
                return
        raise HostError("the Quillmate pane did not open")

    def click_box(self, key):
        self.click(BOXES[key])

    def show_all(self, attempts=4):
        """Leaves the pane for the icon view (the host calls didUnselect)."""
        for _ in range(attempts):
            self.click(SHOW_ALL)
            if wait_until(self._icon_position, 5):
                return
        raise HostError("Show All did not bring the icons back")

    def quit(self):
        """Quits the way a user does, with Command-Q (Alt-Q by default)."""
        _run("xdotool", "windowfocus", self.window, env=self.env, check=False)
        _run("xdotool", "key", "alt+q", env=self.env, check=False)
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.close()
            raise HostError("System Preferences did not quit on Alt-Q")
        self.log.close()
        return self.process.returncode

    def close(self):
        stop(self.process)
        self.log.close()


def session(command):
    """Runs command with a private domain; returns its exit status."""
    root = tempfile.mkdtemp(prefix="quillmate-pane.")
    try:
        domain = Domain(root)
        return subprocess.call(command, env=domain.env())
    finally:
        shutil.rmtree(root, ignore_errors=True)


def show(screenshot, quit_after, log_dir):
    os.makedirs(log_dir, exist_ok=True)
    env = dict(os.environ)
    helpers = Helpers(env, log_dir) if quit_after else None
    if helpers:
        helpers.__enter__()
    try:
        host = Host(env, os.path.join(log_dir, "SystemPreferences.log"))
        try:
            host.select_pane()
            time.sleep(0.5)  # let the pane finish drawing before the picture
            if screenshot:
                host.screenshot(screenshot)
                print("Screenshot of the Quillmate pane: %s" % screenshot)
            if quit_after:
                host.quit()
            else:
                print("System Preferences shows the Quillmate pane; quit it to finish.")
                host.process.wait()
        except BaseException:
            host.close()
            raise
    finally:
        if helpers:
            helpers.__exit__(None, None, None)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("session", help="run a command with a private domain")
    run.add_argument("argv", nargs=argparse.REMAINDER)
    open_ = commands.add_parser("show", help="open System Preferences on the pane")
    open_.add_argument("--screenshot", help="save a picture of the pane here")
    open_.add_argument("--quit", action="store_true", help="quit the host afterwards")
    open_.add_argument("--logs", default=tempfile.gettempdir(), help="folder for the host's logs")
    args = parser.parse_args(argv)
    if args.command == "session":
        command = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
        if not command:
            parser.error("session needs a command")
        return session(command)
    try:
        show(args.screenshot, args.quit, args.logs)
    except HostError as error:
        print("host.py: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
