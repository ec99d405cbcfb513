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
VENDOR_KEY = r"HKLM\Software\Ludovane developers"
DEFAULT_FOLDER = r"C:\Program Files\Ludovane"
X86_FOLDER = r"C:\Program Files (x86)\Ludovane"
SECOND_FOLDER = r"C:\Program Files\Ludovane B"
STALE_FOLDER = r"C:\Program Files\Ludovane stale"


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
        cls.reset()

    @staticmethod
    def reset():
        """Removes what a run that failed half-way left in the shared prefix."""
        wineenv.stop()
        for key in (KEY, VENDOR_KEY):
            wine("reg", "delete", key, "/f")
        for folder in (FOLDER, DEFAULT_FOLDER, X86_FOLDER, SECOND_FOLDER, STALE_FOLDER):
            shutil.rmtree(winepath("-u", folder), ignore_errors=True)

    @classmethod
    def tearDownClass(cls):
        wineenv.stop()

    # NSIS takes /D= and _?= up to the end of its command line, unquoted, as a user types
    # them; Wine would quote one argument that holds spaces, so the words go one by one.
    def install(self, folder=FOLDER):
        return wine(self.installer, "/S", *(("/D=" + folder).split(" ") if folder else ()))

    def uninstall(self, in_place=True, folder=FOLDER):
        """As Windows runs it (QuietUninstallString), or in place (_?=) as NSIS's own
        uninstaller is run: either way the code comes once the work is done."""
        place = ("_?=" + folder).split(" ") if in_place else ()
        return wine(os.path.join(winepath("-u", folder), "Uninstall.exe"), "/S", *place).returncode

    def shortcuts(self):
        # Only the Start menus: the prefix's user folders lead into the real home.
        menus = (("ProgramData",), ("users", "*", "AppData", "Roaming"))
        return [link for menu in menus for link in glob.glob(os.path.join(
            PREFIX, "drive_c", *menu, "Microsoft", "Windows", "Start Menu", "**", "Ludovane.lnk"),
            recursive=True)]

    def files(self, folder=None):
        folder = folder or self.folder
        return sorted((os.path.relpath(os.path.join(d, f), folder),
                       os.stat(os.path.join(d, f)).st_mtime_ns)
                      for d, _, files in os.walk(folder) for f in files)

    def registry_holds_nothing_of_ours(self):
        for key in (KEY, VENDOR_KEY):
            self.assertNotEqual(wine("reg", "query", key).returncode, 0, key)

    def test_default_folder(self):
        self.registry_holds_nothing_of_ours()
        self.assertEqual(self.install(folder=None).returncode, 0)
        self.addCleanup(self.reset)
        default = winepath("-u", DEFAULT_FOLDER)
        self.assertTrue(os.path.isfile(os.path.join(default, "bin", "launcher.exe")))
        self.assertFalse(os.path.exists(winepath("-u", X86_FOLDER)))
        self.assertEqual(self.uninstall(folder=DEFAULT_FOLDER), 0)
        self.assertFalse(os.path.exists(default))  # the uninstallers too
        self.registry_holds_nothing_of_ours()

    def test_install_run_and_uninstall(self):
        self.registry_holds_nothing_of_ours()
        self.assertEqual(self.install().returncode, 0)
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
        for expected in ("Ludovane", VERSION, "Uninstall.exe", "launcher.exe", "InstallLocation"):
            self.assertIn(expected, entry)

        # The user's own server beside the launcher, which the launcher starts.
        server = os.path.join(bin_dir, "ludovane.exe")
        shutil.copy(os.path.join(BUILD, "bin", "ludovane.exe"), server)
        launcher = subprocess.Popen(["wine", os.path.join(bin_dir, "launcher.exe")],
                                    env=wine_env(), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        wait_for("the window", windows, 60)

        # Installing again over a running launcher, or uninstalling under it, either way
        # Windows or a user runs it, changes nothing and says so.
        before = self.files()
        self.assertNotEqual(self.install().returncode, 0)
        self.assertEqual(self.uninstall(in_place=False), 2)
        self.assertEqual(self.uninstall(), 2)
        self.assertEqual(self.files(), before)
        launcher.kill()
        wineenv.stop()

        # A repair or upgrade without /D= goes where the installed version is.
        self.assertEqual(self.install(folder=None).returncode, 0)
        self.assertFalse(os.path.exists(winepath("-u", DEFAULT_FOLDER)))
        self.assertNotEqual(self.files(), before)
        self.assertTrue(os.path.isfile(server))
        entry = wine("reg", "query", KEY, "/v", "UninstallString").stdout
        self.assertIn(r"\Lu dovane ", entry.decode("utf-8", "replace"))  # reg's code page

        # Over a newer version, silently: nothing changes, and the code says so.
        wine("reg", "add", KEY, "/v", "DisplayVersion", "/d", "99.0.0", "/f")
        before = self.files()
        self.assertNotEqual(self.install().returncode, 0)
        self.assertEqual(self.files(), before)

        # Removed as Windows runs it, all of it by the time the code comes.
        self.assertEqual(self.uninstall(in_place=False), 0)
        self.assertEqual([f for f, _ in self.files()], [os.path.join("bin", "ludovane.exe")])
        self.assertEqual(self.shortcuts(), [])
        self.registry_holds_nothing_of_ours()

    def test_second_folder(self):
        # Installing into another folder moves the installation, the user's server with it;
        # a leftover copy of the old folder's uninstaller leaves the new one's entries alone.
        self.assertEqual(self.install().returncode, 0)
        self.addCleanup(self.reset)
        shutil.copy(os.path.join(BUILD, "bin", "ludovane.exe"),
                    os.path.join(self.folder, "bin", "ludovane.exe"))
        shutil.copytree(self.folder, winepath("-u", STALE_FOLDER))
        self.assertEqual(self.install(folder=SECOND_FOLDER).returncode, 0)
        self.assertFalse(os.path.exists(self.folder))
        second = winepath("-u", SECOND_FOLDER)
        self.assertTrue(os.path.isfile(os.path.join(second, "bin", "ludovane.exe")))
        for run_stale in (False, True):
            if run_stale:
                self.assertEqual(self.uninstall(in_place=False, folder=STALE_FOLDER), 0)
                self.assertEqual([f for f, _ in self.files(winepath("-u", STALE_FOLDER))],
                                 [os.path.join("bin", "ludovane.exe")])
            entry = wine("reg", "query", KEY, "/v", "InstallLocation").stdout
            self.assertIn(SECOND_FOLDER, entry.decode("utf-8", "replace"))
            (shortcut,) = self.shortcuts()
            self.assertIn(SECOND_FOLDER.encode("utf-16-le"), open(shortcut, "rb").read())
            self.assertTrue(os.path.isfile(os.path.join(second, "bin", "launcher.exe")))


if __name__ == "__main__":
    BUILD, VERSION, wineenv.WINE_RUN, PREFIX = sys.argv[1:5]
    wineenv.PREFIX = PREFIX
    unittest.main(argv=sys.argv[:1], verbosity=2)
