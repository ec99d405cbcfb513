#!/usr/bin/env python3
"""The packages CPack makes from a build folder.

    package_test.py deb BUILD_DIR
        the three Debian packages: lintian finds no errors, their control fields and
        contents, and dpkg installs them into an empty root
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
import zipfile

ARGS = []

LAUNCHER_FILES = {"./usr/libexec/ludovane/launcher", "./usr/bin/ludovane-launcher",
                  "./usr/share/applications/ludovane-launcher.desktop",
                  "./usr/share/icons/hicolor/48x48/apps/ludovane-launcher.png",
                  "./usr/share/doc/ludovane-launcher/copyright"}
LIBRARY_FILES = {"./usr/lib/libtapstrike.so.1", "./usr/lib/libtapstrike.so.1.0.0",
                 "./usr/share/doc/libtapstrike1/copyright"}
DEV_FILES = {"./usr/lib/libtapstrike.so", "./usr/include/tapstrike.h",
             "./usr/lib/pkgconfig/tapstrike.pc", "./usr/lib/cmake/tapstrike/tapstrikeConfig.cmake"}


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

    def test_lintian(self):
        result = run("lintian", "--tag-display-limit", "0", *self.debs.values(), check=False)
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [])

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
