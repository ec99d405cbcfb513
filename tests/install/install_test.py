#!/usr/bin/env python3
"""`cmake --install` as users run it: the tree it makes, installing twice and under DESTDIR,
clients built against the installed library (pkg-config and CMake), and the installed
launcher started through its command in bin.

    install_test.py BUILD_DIR SOURCE_DIR STANDIN_SERVER      (under xharness.py)
"""
import os
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = SOURCE = STANDIN = None
ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256, 512]
EXPECTED = {
    "bin/ludovane-launcher",
    "libexec/ludovane/launcher",
    "include/tapstrike.h",
    "lib/libtapstrike.so",
    "lib/libtapstrike.so.1",
    "lib/libtapstrike.so.1.0.0",
    "lib/pkgconfig/tapstrike.pc",
    "lib/cmake/tapstrike/tapstrikeConfig.cmake",
    "lib/cmake/tapstrike/tapstrikeConfigVersion.cmake",
    "lib/cmake/tapstrike/tapstrikeTargets.cmake",
    "share/applications/ludovane-launcher.desktop",
    "share/metainfo/example.ludovane.launcher.metainfo.xml",
    "share/man/man1/ludovane-launcher.1.gz",
    *(f"share/man/man3/{name}.3.gz" for name in ("tapstrike", "keypress", "keyrelease")),
    *(f"share/doc/{p}/{f}" for p in ("ludovane-launcher", "libtapstrike1", "libtapstrike-dev")
      for f in ("copyright", "changelog.gz")),
    *(f"share/icons/hicolor/{n}x{n}/apps/ludovane-launcher.png" for n in ICON_SIZES),
}


def run(*args, **kwargs):
    kwargs.setdefault("check", True)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def install(prefix, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir:
        env["DESTDIR"] = destdir
    run("cmake", "--install", BUILD, "--prefix", prefix, env=env)


def tree(root):
    found = set()
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.relpath(os.path.join(folder, name), root)
            # The per-configuration half of the exported targets.
            if path.startswith("lib/cmake/tapstrike/tapstrikeTargets-"):
                path = "lib/cmake/tapstrike/tapstrikeTargets.cmake"
            found.add(path)
    return found


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="install test ü ")
        cls.prefix = os.path.join(cls.root, "pre fix")
        install(cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_tree(self):
        self.assertEqual(tree(self.prefix), EXPECTED)
        link = os.path.join(self.prefix, "bin/ludovane-launcher")
        self.assertEqual(os.readlink(link), "../libexec/ludovane/launcher")
        self.assertEqual(os.readlink(os.path.join(self.prefix, "lib/libtapstrike.so")),
                         "libtapstrike.so.1")
        for n in ICON_SIZES:
            self.assertEqual(png_size(os.path.join(
                self.prefix, f"share/icons/hicolor/{n}x{n}/apps/ludovane-launcher.png")), (n, n))
        run("desktop-file-validate",
            os.path.join(self.prefix, "share/applications/ludovane-launcher.desktop"))
        # The entry's icon is one the tree installs, at every size.
        with open(os.path.join(self.prefix, "share/applications/ludovane-launcher.desktop")) as f:
            icon, = [line.split("=", 1)[1].strip() for line in f if line.startswith("Icon=")]
        for n in ICON_SIZES:
            self.assertTrue(os.path.isfile(os.path.join(
                self.prefix, f"share/icons/hicolor/{n}x{n}/apps/{icon}.png")), icon)

    def test_library(self):
        library = os.path.join(self.prefix, "lib/libtapstrike.so.1.0.0")
        self.assertIn("Library soname: [libtapstrike.so.1]", run("readelf", "-d", library).stdout)
        exports = [line.split()[-1] for line in
                   run("nm", "-D", "--defined-only", library).stdout.splitlines()]
        self.assertEqual(sorted(exports), ["keypress", "keyrelease"])

    def test_again_and_under_destdir(self):
        before = tree(self.prefix)
        install(self.prefix)
        self.assertEqual(tree(self.prefix), before)
        dest = os.path.join(self.root, "dest dir")
        install("/opt/ludovane-install-test", destdir=dest)
        self.assertFalse(os.path.exists("/opt/ludovane-install-test"))
        self.assertEqual(os.listdir(dest), ["opt"])
        self.assertEqual(tree(os.path.join(dest, "opt/ludovane-install-test")), EXPECTED)

    def check_client(self, program):
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(self.prefix, "lib"))
        self.assertIn(os.path.join(self.prefix, "lib/libtapstrike.so.1"),
                      run("ldd", program, env=env).stdout)
        result = run(program, env=env, check=False)
        self.assertEqual((result.returncode, result.stdout), (0, "0 0\n"), result.stderr)

    def test_client_with_pkg_config(self):
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.prefix, "lib/pkgconfig"))
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "tapstrike"], env=env,
                               capture_output=True, check=True).stdout
        program = os.path.join(self.root, "client-pkg-config")
        # pkg-config escapes the spaces (and the non-ASCII bytes) of the prefix with
        # backslashes, for a shell to read: read them as a shell would.
        words = [os.fsdecode(w.encode("latin-1")) for w in shlex.split(flags.decode("latin-1"))]
        run("cc", os.path.join(SOURCE, "tests/install/client.c"), "-o", program, *words)
        self.check_client(program)

    def test_client_with_cmake(self):
        build = os.path.join(self.root, "client build")
        run("cmake", "-S", os.path.join(SOURCE, "tests/install"), "-B", build,
            f"-DCMAKE_PREFIX_PATH={self.prefix}")
        run("cmake", "--build", build)
        self.check_client(os.path.join(build, "client"))

    def start_launcher(self, home):
        # Through a relative link to the command, from another working directory.
        links = os.path.join(self.root, "links")
        os.makedirs(links, exist_ok=True)
        link = os.path.join(links, "launch")
        if not os.path.lexists(link):
            os.symlink("../pre fix/bin/ludovane-launcher", link)
        record = os.path.join(home, "starts.txt")
        env = dict(os.environ, HOME=home, LUDOVANE_STANDIN_RECORD=record)
        return subprocess.Popen([link], cwd="/", env=env), record

    def stop(self, launcher):
        launcher.send_signal(signal.SIGTERM)
        self.assertEqual(launcher.wait(10), 0)

    def test_installed_launcher(self):
        folder = os.path.join(self.prefix, "libexec/ludovane")
        shutil.copy(STANDIN, os.path.join(folder, "ludovane.exe"))
        home = tempfile.mkdtemp(dir=self.root)
        launcher, record = self.start_launcher(home)
        try:
            end = time.monotonic() + 10
            while not os.path.exists(record) and time.monotonic() < end:
                time.sleep(0.05)
            with open(record) as f:
                program = f.readline().split("\t")[1]
            self.assertEqual(program, os.path.join(folder, "ludovane.exe"))
        finally:
            self.stop(launcher)

        # With no server beside it, it keeps running all the same.
        os.remove(os.path.join(folder, "ludovane.exe"))
        launcher, record = self.start_launcher(tempfile.mkdtemp(dir=self.root))
        time.sleep(2)
        self.assertIsNone(launcher.poll())
        self.assertFalse(os.path.exists(record))
        self.stop(launcher)


if __name__ == "__main__":
    BUILD, SOURCE, STANDIN = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
