#!/usr/bin/env python3
"""End to end in the real host: System Preferences, with the built bundle in
a throwaway GNUstep user domain, is driven like a user would drive it (the
mouse through xdotool), and what the pane stored and posted is checked from
other processes.  Screenshots and the host's log stay in --artefacts.

Run inside a private session bus and display (dbus-run-session, xvfb-run)."""
import argparse
import faulthandler
import importlib.util
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

ARGS = None
STOP = "Quillmate Host Test Stop"


def load_driver(path):
    spec = importlib.util.spec_from_file_location("host", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Observer:
    """pane_observer watching the bus; lines are read by a thread so that a
    missing notification ends in a failure, not a hang."""

    def __init__(self, tool, env):
        self.tool, self.env, self.lines = tool, env, queue.Queue()
        self.process = subprocess.Popen([tool, "watch", STOP], env=env, text=True,
                                        stdout=subprocess.PIPE)
        threading.Thread(target=self._read, daemon=True).start()
        if self.next_line() != "ready":
            raise AssertionError("the observer did not subscribe")

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, seconds=60):
        try:
            return self.lines.get(timeout=seconds)
        except queue.Empty:
            return None

    def stop(self):
        """Ends the observer by its process ID, whatever state it is in."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()

    def finish(self):
        """Every notification seen before our own stop notification."""
        subprocess.run([self.tool, "post", STOP], env=self.env, check=True)
        seen = []
        while True:
            line = self.next_line()
            if line is None or line.startswith(STOP):
                break
            seen.append(line)
        self.process.wait(30)
        self.process.stdout.close()
        return seen


class HostEndToEndTest(unittest.TestCase):
    def setUp(self):
        self.driver = load_driver(ARGS.driver)
        self.artefacts = ARGS.artefacts
        shutil.rmtree(self.artefacts, ignore_errors=True)
        os.makedirs(self.artefacts)
        self.root = tempfile.mkdtemp(prefix="quillmate-host.")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.domain = self.driver.Domain(self.root)
        self.domain.install(ARGS.bundle)
        self.env = self.domain.env()
        ids = subprocess.run([ARGS.observer, "ids"], check=True, text=True,
                             stdout=subprocess.PIPE).stdout.split()
        self.app_id, self.object_id = ids
        self.plist = os.path.join(self.domain.preferences, self.app_id + ".plist")

    def stored(self):
        out = subprocess.run([sys.executable, ARGS.read_domain, self.plist], check=True,
                             text=True, stdout=subprocess.PIPE).stdout
        return json.loads(out)

    def box_pixels(self, shot, key):
        """The raw pixels of a box's square, to tell checked from unchecked."""
        width, _, raw = self.driver.read_rgb(shot)
        x0, y0 = self.driver.BOXES[key]
        rows = []
        for y in range(y0 - 6, y0 + 7):
            start = (y * width + x0 - 6) * 3
            rows.append(raw[start:start + 13 * 3])
        return b"".join(rows)

    def shot(self, host, name):
        return host.screenshot(os.path.join(self.artefacts, name))

    def test_a_visit_stores_clicks_and_announces_each_exit(self):
        # The host itself now and then crashes (SIGSEGV) or stops answering
        # the screenshot tool right after it starts; that is the host's
        # failure, not the pane's, and earns one fresh start.  A failed check
        # of ours is never repeated.
        try:
            self.visit()
        except self.driver.HostError as error:
            print("\nhost failure (%s); starting again" % error, file=sys.stderr)
            shutil.rmtree(self.domain.preferences)
            os.makedirs(self.domain.preferences)
            self.visit()

    def visit(self):
        driver = self.driver
        with driver.Helpers(self.env, self.artefacts):
            observer = Observer(ARGS.observer, self.env)
            try:
                self.visit_host(observer)
            except BaseException:
                observer.stop()
                raise
            seen = observer.finish()

        expected = "Preferences Changed\t%s\tno-user-info" % self.object_id
        self.assertEqual(seen, [expected, expected],
                         "one notification for Show All and one for quitting")
        self.assertEqual(self.stored(), {"OpenFile": ["bool", False]})

    def visit_host(self, observer):
        driver = self.driver
        host = driver.Host(self.env, os.path.join(self.artefacts, "SystemPreferences.log"))
        try:
            host.select_pane()
            first = self.shot(host, "1-pane-shown.png")
            self.assertEqual(self.stored(), {}, "showing the pane wrote to the domain")

            # One click on "OpenFile"; a lost click shows as nothing
            # stored, and only then is it repeated.
            for _ in range(3):
                host.click_box("OpenFile")
                if driver.wait_until(lambda: self.stored() != {}, 10):
                    break
            self.assertEqual(self.stored(), {"OpenFile": ["bool", False]})
            self.shot(host, "2-after-click.png")

            host.show_all()
            host.select_pane()
            second = self.shot(host, "3-second-visit.png")
            self.assertNotEqual(self.box_pixels(first, "OpenFile"),
                                self.box_pixels(second, "OpenFile"),
                                "the second visit does not show OpenFile off")
            self.assertEqual(self.box_pixels(first, "IncludeLineFeed"),
                             self.box_pixels(second, "IncludeLineFeed"))

            # Quitting with the pane shown is an exit from the pane too.
            host.quit()
        except BaseException:
            host.close()
            raise


def main():
    global ARGS
    # Should the host hang, say where before CTest kills us without a word.
    faulthandler.dump_traceback_later(220, exit=True)
    parser = argparse.ArgumentParser()
    for option in ("--driver", "--bundle", "--observer", "--read-domain", "--artefacts"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
