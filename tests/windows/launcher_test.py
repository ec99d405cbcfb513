#!/usr/bin/env python3
"""The installed launcher.exe as a user starts it, under Wine on the X harness (Xvfb and a
tray host), with the Windows stand-in server beside it.

    launcher_test.py INSTALL_ROOT WINE_RUN PREFIX SQUATTER

Wine's windows are X windows, so xdotool and xwininfo see and drive them; Wine's processes
are Linux processes whose command lines name the Windows program, and whose environment names
the prefix: only this test's prefix counts. SQUATTER is win_squatter.exe, another program at
the launcher's single-instance names.
"""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import wineenv
from wineenv import wait_for, windows, wine_env, winepath

ROOT = PREFIX = SQUATTER = None


def geometry(window):
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    return tuple(int(re.search(key + r":\s+(\d+)", info).group(1)) for key in ("Width", "Height"))


def processes(pattern):
    """Live processes of this test's prefix whose command line matches, as (pid, first group):
    Wine shows a Windows process's command line in its Linux one."""
    found = []
    for proc in glob.glob("/proc/[0-9]*"):
        try:
            environ = open(proc + "/environ", "rb").read().split(b"\0")
            line = open(proc + "/cmdline", "rb").read().decode("utf-8", "replace").replace("\0", " ")
            state = open(proc + "/stat").read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        match = re.search(pattern, line)
        if match and state != "Z" and ("WINEPREFIX=" + PREFIX).encode() in environ:
            found.append((int(proc.split("/")[2]), match.group(1)))
    return found


def servers():
    """Live stand-in servers, as (pid, console argument)."""
    return processes(r"\\ludovane\.exe .*(-console=\w+)")


def helpers():
    return processes(r"\\ludovane\.exe --standin-helper (\w+)")


def launchers():
    return processes(r"([\\/]launcher\.exe)")


class LauncherUnderWine(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="launcher under wine ")
        self.record = os.path.join(self.scratch, "server-starts.txt")
        (self.home,) = [d for d in glob.glob(os.path.join(PREFIX, "drive_c/users/*"))
                        if os.path.basename(d) != "Public"]
        self.log = os.path.join(self.home, ".ludovanelog")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.env = wine_env(LUDOVANE_STANDIN_RECORD=winepath("-w", self.record),
                            LUDOVANE_STANDIN_DELAY_MS="300")
        self.exe = os.path.join(ROOT, "bin", "launcher.exe")

    def tearDown(self):
        wineenv.stop()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def start(self):
        return subprocess.Popen(["wine", self.exe], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def starts(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            return [line.rstrip("\n").split("\t") for line in f if line.strip()]

    def close_and_start_again(self, window):
        """Close hides the window; a second start brings it back and exits 0. (Alt+F4 as a
        user closes it; xdotool's windowclose would destroy the X window.)"""
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
        subprocess.run(["xdotool", "key", "alt+F4"], check=True)
        wait_for("the window hidden", lambda: not windows())
        second = subprocess.run(["wine", self.exe], env=self.env, timeout=60)
        self.assertEqual(second.returncode, 0)
        wait_for("the window back", windows)

    def test_as_a_user_runs_it(self):
        launcher = self.start()
        (window,) = wait_for("the window", windows, 60)
        self.assertEqual(geometry(window), (400, 300))

        # The server from the launcher's folder, with exactly the five arguments.
        (start,) = wait_for("the server's start", self.starts)
        self.assertEqual(start[1].replace("\\", "/").lower(),
                         os.path.join(winepath("-w", ROOT), "bin").replace("\\", "/").lower()
                         + "/ludovane.exe")
        home = "C:/users/%s" % os.path.basename(self.home)
        self.assertEqual(start[2:], ["-batchmode", "-nographics", "-logFile",
                                     home + "/.ludovanelog", "-console=sms"])
        self.assertTrue(os.path.isfile(self.log))

        # The server writes its code to the log. LUDOVANE_SCREENSHOT=<file.png> keeps a picture
        # of the desktop one poll later, for a person to look at the window and the tray icon.
        wait_for("the code in the log", lambda: "Code:" in open(self.log).read())
        shot = os.environ.get("LUDOVANE_SCREENSHOT")
        if shot:
            time.sleep(4.5)  # one poll
            subprocess.run(["import", "-window", "root", shot], check=True)

        # A console change from the keyboard: one server, of the new console.
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
        subprocess.run(["xdotool", "key", "--window", window, "Down"], check=True)
        wait_for("the Mega Drive server", lambda: len(self.starts()) == 2)
        self.assertEqual(self.starts()[1][-1], "-console=genesis")
        wait_for("one server of the new console",
                 lambda: [c for _, c in servers()] == ["-console=genesis"])

        self.close_and_start_again(window)
        self.assertEqual(len(self.starts()), 2, "a second start starts no server")

        # The launcher killed from outside takes the server with it (the job object).
        launcher.kill()
        for pid, _ in launchers():
            os.kill(pid, 9)
        wait_for("no server left", lambda: not servers())

    def squatter(self, *args):
        process = subprocess.Popen(["wine", SQUATTER, *args], env=self.env,
                                   stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.kill)
        self.assertEqual(process.stdout.readline(), "ready\n")
        return process

    def instance_key(self):
        """The name the launcher derives from the home and the user's SID: once its pipe's."""
        sid = subprocess.run(["wine", SQUATTER, "sid"], env=self.env, capture_output=True,
                             text=True).stdout.strip()
        home = "C:/users/" + os.path.basename(self.home)
        return "ludovane-launcher-" + hashlib.sha256((home + "\n" + sid).encode()).hexdigest()[:20]

    def test_others_at_the_single_instance_names(self):
        # A program serving the pipe name anyone could work out, or one holding the lock file
        # (as an indexer, a backup tool or a virus scanner does) in each way Windows allows,
        # or writing into it once the launcher runs: none keeps the launcher from starting,
        # nor swallows a second start's request to show the window.
        key = self.instance_key()
        lock = os.path.join(self.home, "AppData", "Local", "Ludovane", key + ".lock")
        os.makedirs(os.path.dirname(lock), exist_ok=True)
        squatters = [("pipe", key)] + [("hold", winepath("-w", lock), how) for how in
                                       ("shared", "delete", "read", "none", "lock", "garbage")]
        # Another account's mutex at the launcher's name, where the system has no private
        # namespace (Wine): the launcher starts, without the single instance.
        squatters.append(("mutex", "Local\\" + key))
        for squatter in squatters:
            with self.subTest(squatter[0] if squatter[0] == "mutex" else squatter[-1]):
                if squatter[-1] != "garbage":
                    self.squatter(*squatter)
                self.start()
                (window,) = wait_for("the window", windows, 60)
                if squatter[-1] == "garbage":
                    self.squatter(*squatter)
                if squatter[0] != "mutex":
                    self.close_and_start_again(window)
                    self.assertEqual(len(launchers()), 1)
            wineenv.stop()

    def test_console_changes_end_the_servers_helpers(self):
        self.env["LUDOVANE_STANDIN_CHILD"] = "1"
        self.start()
        (window,) = wait_for("the window", windows, 60)
        wait_for("the first helper", helpers)
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
        for console in ("genesis", "nes", "snes"):
            subprocess.run(["xdotool", "key", "--window", window, "Down"], check=True)
            wait_for("the %s helper alone" % console,
                     lambda: [c for _, c in helpers()] == [console])


if __name__ == "__main__":
    ROOT, wineenv.WINE_RUN, PREFIX, SQUATTER = sys.argv[1:5]
    wineenv.PREFIX = PREFIX
    unittest.main(argv=sys.argv[:1], verbosity=2)
