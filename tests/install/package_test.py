#!/usr/bin/env python3
"""The packages CPack makes from a build folder.

    package_test.py deb BUILD_DIR
        the three Debian packages: lintian has nothing to say, their control fields and
        contents, their manual pages and AppStream metadata, and dpkg installs them into an
        empty root
    package_test.py zip WINDOWS_BUILD_DIR SOURCE_DIR WINE_RUN...
        the ZIP for MinGW clients: its contents, and a client built against it with CMake,
        run under Wine (WINE_RUN is the runner command, prefix included)
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

ARGS = []

LIBDIR = "./usr/lib/x86_64-linux-gnu"
LAUNCHER_FILES = {"./usr/libexec/ludovane/launcher", "./usr/bin/ludovane-launcher",
                  "./usr/share/applications/ludovane-launcher.desktop",
                  "./usr/share/metainfo/example.ludovane.launcher.metainfo.xml",
                  "./usr/share/icons/hicolor/48x48/apps/ludovane-launcher.png",
                  "./usr/share/man/man1/ludovane-launcher.1.gz",
                  "./usr/share/doc/ludovane-launcher/copyright"}
LIBRARY_FILES = {f"{LIBDIR}/libtapstrike.so.1", f"{LIBDIR}/libtapstrike.so.1.0.0",
                 "./usr/share/doc/libtapstrike1/copyright"}
DEV_FILES = {f"{LIBDIR}/libtapstrike.so", "./usr/include/tapstrike.h",
             f"{LIBDIR}/pkgconfig/tapstrike.pc", f"{LIBDIR}/cmake/tapstrike/tapstrikeConfig.cmake",
             *(f"./usr/share/man/man3/{name}.3.gz" for name in ("tapstrike", "keypress", "keyrelease"))}
# What `man` answers to, from the packages' tree.
MANUAL_PAGES = [("1", "ludovane-launcher"), ("3", "tapstrike"), ("3", "keypress"),
                ("3", "keyrelease")]

def run(*args, **kwargs):
    kwargs.setdefault("check", True)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def cpack(build, generator, out):
    run("cpack", "-G", generator, "-B", out, cwd=build)


class DebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="packages ")
        cpack(ARGS[0], "DEB", cls.out)
        cls.debs = {run("dpkg-deb", "-f", deb, "Package").stdout.strip(): deb
                    for deb in glob.glob(os.path.join(cls.out, "*.deb"))}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_control_and_contents(self):
        self.assertEqual(sorted(self.debs), ["libtapstrike-dev", "libtapstrike1",
                                             "ludovane-launcher"])
        cases = [
            ("ludovane-launcher", LAUNCHER_FILES, ["libqt5widgets5", "libqt5network5"]),
            ("libtapstrike1", LIBRARY_FILES, ["libxcb-xtest0"]),
            ("libtapstrike-dev", DEV_FILES, ["libtapstrike1 (= 1.0.0)"]),
        ]
        for package, files, depends in cases:
            with self.subTest(package):
                deb = self.debs[package]
                contents = {line.split()[5] for line in
                            run("dpkg-deb", "-c", deb).stdout.splitlines()}
                self.assertLessEqual(files, contents)
                self.assertFalse([f for f in contents if "ludovane.exe" in f],
                                 "the stand-in server is never packaged")
                fields = run("dpkg-deb", "-f", deb, "Depends").stdout
                for dependency in depends:
                    self.assertIn(dependency, fields)
        shlibs = run("dpkg-deb", "--ctrl-tarfile", self.debs["libtapstrike1"]).stdout
        self.assertIn("shlibs", shlibs)
        self.assertIn("triggers", shlibs)

    def test_lintian_has_nothing_to_say(self):
        # Errors and warnings alike; what it must let pass is overridden in the packages, with
        # the reason.
        # lintian leaves temporary files behind: in a folder of the test's, not in /tmp.
        scratch = tempfile.mkdtemp(prefix="lintian ")
        self.addCleanup(shutil.rmtree, scratch, ignore_errors=True)
        result = run("lintian", "--tag-display-limit", "0", *self.debs.values(), check=False,
                     env=dict(os.environ, TMPDIR=scratch))
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    def test_manual_pages_and_metainfo(self):
        root = tempfile.mkdtemp(prefix="package tree ")
        try:
            for deb in self.debs.values():
                run("dpkg-deb", "-x", deb, root)
            manpath = os.path.join(root, "usr/share/man")
            for section, name in MANUAL_PAGES:
                with self.subTest(name):
                    shown = run("man", "--warnings", "-E", "UTF-8", "-M", manpath, section, name,
                                env=dict(os.environ, MANWIDTH="80"), check=False)
                    self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                    self.assertIn(name, shown.stdout.split("DESCRIPTION")[0])
                    page = os.path.join(manpath, f"man{section}/{name}.{section}.gz")
                    lint = run("mandoc", "-T", "lint", page, check=False)
                    self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
            # The metadata, and that it names a desktop entry of the tree.
            valid = run("appstreamcli", "validate-tree", "--no-net", "--pedantic", root,
                        check=False)
            self.assertEqual(valid.returncode, 0, valid.stdout)
            self.assertFalse([line for line in valid.stdout.splitlines()
                              if line.strip()[:2] in ("E:", "W:")], valid.stdout)
            # Software centres show the newest release as the version installed.
            metainfo = ET.parse(os.path.join(
                root, "usr/share/metainfo/example.ludovane.launcher.metainfo.xml"))
            version = run("dpkg-deb", "-f", self.debs["ludovane-launcher"], "Version").stdout
            self.assertEqual(metainfo.find("releases/release").get("version"),
                             version.strip().split("-")[0])
        finally:
            shutil.rmtree(root, ignore_errors=True)

    @unittest.skipUnless(os.geteuid() == 0, "dpkg --root needs root")
    def test_dpkg_installs_into_an_empty_root(self):
        root = tempfile.mkdtemp(prefix="dpkg root ")
        try:
            for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"):
                os.makedirs(os.path.join(root, folder))
            open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
            # Qt and libc are not in the empty root: their absence is not what is tested.
            run("dpkg", f"--root={root}", "--force-depends", "--force-script-chrootless",
                "--log=/dev/null", "-i", *self.debs.values())
            status = run("dpkg-query", f"--root={root}", "-W", "-f", "${Package} ${Status}\n")
            self.assertEqual(sorted(status.stdout.splitlines()), [
                "libtapstrike-dev install ok installed", "libtapstrike1 install ok installed",
                "ludovane-launcher install ok installed"])
            self.assertEqual(os.readlink(os.path.join(root, "usr/bin/ludovane-launcher")),
                             "../libexec/ludovane/launcher")
            self.assertTrue(os.access(os.path.join(root, "usr/libexec/ludovane/launcher"), os.X_OK))
        finally:
            shutil.rmtree(root, ignore_errors=True)


class ZipTest(unittest.TestCase):
    def test_mingw_client(self):
        build, source, *wine_run = ARGS
        source = os.path.abspath(source)
        out = tempfile.mkdtemp(prefix="zip ")
        try:
            cpack(build, "ZIP", out)
            (archive,) = glob.glob(os.path.join(out, "*.zip"))
            with zipfile.ZipFile(archive) as z:
                names = {n.split("/", 1)[1] for n in z.namelist()}
                z.extractall(out)
            self.assertLessEqual({"bin/tapstrike.dll", "lib/libtapstrike.dll.a",
                                  "include/tapstrike.h", "lib/cmake/tapstrike/tapstrikeConfig.cmake",
                                  "lib/cmake/tapstrike/tapstrikeConfigVersion.cmake"}, names)
            if "bin/launcher.exe" in names:
                # The launcher's folder runs on a bare Windows; the stand-in and tests stay out.
                self.assertLessEqual({"bin/Qt5Core.dll", "bin/Qt5Widgets.dll", "bin/Qt5Network.dll",
                                      "bin/platforms/qwindows.dll",
                                      "bin/styles/qwindowsvistastyle.dll", "bin/libstdc++-6.dll",
                                      "bin/libgcc_s_seh-1.dll", "bin/libwinpthread-1.dll",
                                      "licenses/Qt/LICENSE.LGPL3"}, names)
                self.assertFalse([n for n in names if n.endswith("ludovane.exe") or "tst_" in n
                                  or n.endswith("Qt5Test.dll")])
            tree = os.path.join(out, os.path.basename(archive)[:-len(".zip")])
            client = os.path.join(out, "client")
            run("cmake", "-S", os.path.join(source, "tests/install"), "-B", client,
                f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/mingw-w64-x86_64.cmake",
                f"-Dtapstrike_DIR={tree}/lib/cmake/tapstrike")
            run("cmake", "--build", client)
            shutil.copy(os.path.join(tree, "bin/tapstrike.dll"), client)
            result = run(*wine_run, "60", os.path.join(client, "client.exe"), check=False)
            self.assertEqual((result.returncode, result.stdout.strip()), (0, "0 0"), result.stderr)
        finally:
            shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    mode = sys.argv.pop(1)
    ARGS = sys.argv[1:]
    del sys.argv[1:]
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(DebTest if mode == "deb" else ZipTest)
    sys.exit(not unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful())
