#!/usr/bin/env python3
"""The Windows installer that CPack's NSIS generator makes, installed and uninstalled under
Wine as a user would, silently, into a folder with a space and a non-ASCII letter.

    installer_test.py WINDOWS_BUILD_DIR VERSION WINE_RUN PREFIX
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import wineenv
from wineenv import wait_for, windows, wine_env, winepath

BUILD = VERSION = PREFIX = None
FOLDER = r"C:\Program Files\Lu dovane ü"
KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ludovane"


def wine(*args, timeout=120):
    return subprocess.run(["wine", *args], env=wine_env(), capture_output=True, timeout=timeout)


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="installer ")
        cls.addClassCleanup(shutil.rmtree, cls.out, ignore_errors=True)
        subprocess.run(["cpack", "-G", "NSIS", "-B", cls.out], cwd=BUILD, check=True,
                       capture_output=True)
        (cls.installer,) = glob.glob(os.path.join(cls.out, "*.exe"))
        cls.folder = winepath("-u", FOLDER)

    @classmethod
    def tearDownClass(cls):
        wineenv.stop()

    # NSIS takes /D= and _?= up to the end of its command line, unquoted, as a user types
    # them; Wine would quote one argument that holds spaces, so the words go one by one.
    def install(self):
        result = wine(self.installer, "/S", *("/D=" + FOLDER).split(" "))
        self.assertEqual(result.returncode, 0, result.stderr)

    def uninstall(self):
        # In place (_?=), so that the run ends when the uninstaller has.
        return wine(os.path.join(self.folder, "Uninstall.exe"), "/S",
                    *("_?=" + FOLDER).split(" ")).returncode

    def shortcuts(self):
        return glob.glob(os.path.join(PREFIX, "drive_c", "**", "Ludovane.lnk"), recursive=True)

    def test_install_run_and_uninstall(self):
        self.install()
        bin_dir = os.path.join(self.folder, "bin")
        for name in ("launcher.exe", "Qt5Core.dll", "Qt5Widgets.dll", "libstdc++-6.dll",
                     "platforms/qwindows.dll", "styles/qwindowsvistastyle.dll", "tapstrike.dll"):
            self.assertTrue(os.path.isfile(os.path.join(bin_dir, name)), name)
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "include", "tapstrike.h")))
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "Uninstall.exe")))
        (shortcut,) = self.shortcuts()
        self.assertIn("Start Menu", shortcut)
        self.assertIn("launcher.exe".encode("utf-16-le"), open(shortcut, "rb").read())
        entry = wine("reg", "query", KEY).stdout.decode("utf-8", "replace")
        for expected in ("Ludovane", VERSION, "Uninstall.exe", "launcher.exe"):
            self.assertIn(expected, entry)

        # The user's own server beside the launcher, which the launcher starts.
        server = os.path.join(bin_dir, "ludovane.exe")
        shutil.copy(os.path.join(BUILD, "bin", "ludovane.exe"), server)
        launcher = subprocess.Popen(["wine", os.path.join(bin_dir, "launcher.exe")],
                                    env=wine_env(), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        wait_for("the window", windows, 60)

        # Installing the same version again over a running launcher, or uninstalling under
        # it, changes nothing and says so.
        self.assertNotEqual(self.uninstall(), 0)
        self.assertTrue(os.path.isfile(os.path.join(bin_dir, "launcher.exe")))
        self.assertTrue(os.path.isfile(os.path.join(bin_dir, "Qt5Core.dll")))
        launcher.kill()
        wineenv.stop()

        self.install()  # over the same version
        self.assertTrue(os.path.isfile(server))
        self.assertEqual(self.uninstall(), 0)
        # In place, the uninstaller cannot remove itself; a user's run copies it away first.
        leftover = sorted(os.path.relpath(os.path.join(d, f), self.folder)
                          for d, _, files in os.walk(self.folder) for f in files)
        self.assertEqual(leftover, ["Uninstall.exe", os.path.join("bin", "ludovane.exe")])
        self.assertEqual(self.shortcuts(), [])
        self.assertNotEqual(wine("reg", "query", KEY).returncode, 0)


if __name__ == "__main__":
    BUILD, VERSION, wineenv.WINE_RUN, PREFIX = sys.argv[1:5]
    wineenv.PREFIX = PREFIX
    unittest.main(argv=sys.argv[:1], verbosity=2)
