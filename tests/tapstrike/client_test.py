#!/usr/bin/env python3
"""tapstrike as an outside client sees it: loaded with ctypes, called with whatever a client
may pass, and outliving the X server it talks to.

    client_test.py path/to/libtapstrike.so
"""
import ctypes
import os
import subprocess
import sys
import unittest

LIBRARY = None
NARROW_KEYMAP = ('xkb_keymap { xkb_keycodes { include "evdev" }; xkb_types { include "complete" };'
                 ' xkb_compat { include "complete" }; xkb_symbols { key <AC01> { [ a, A ] };'
                 ' key <AC02> { [ s, s ] }; }; };')


def load():
    lib = ctypes.CDLL(LIBRARY)
    for name in ("keypress", "keyrelease"):
        getattr(lib, name).argtypes = [ctypes.c_char_p]
        getattr(lib, name).restype = ctypes.c_int
    return lib


def xlib():
    """libX11, typed for the calls made here: a Display * and an XID take 64 bits."""
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    ptr, xid, i, s = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_char_p
    for name, restype, args in [
            ("XOpenDisplay", ptr, [s]), ("XDefaultRootWindow", xid, [ptr]),
            ("XInternAtom", xid, [ptr, s, i]), ("XStringToKeysym", xid, [s]),
            ("XChangeProperty", i, [ptr, xid, xid, xid, i, i, ptr, i]),
            ("XDeleteProperty", i, [ptr, xid, xid]), ("XSync", i, [ptr, i]),
            ("XGetKeyboardMapping", ctypes.POINTER(xid), [ptr, ctypes.c_ubyte, i, ctypes.POINTER(i)]),
            ("XQueryKeymap", i, [ptr, s])]:
        getattr(x, name).restype, getattr(x, name).argtypes = restype, args
    return x


def private_xvfb(*extra, display=None):
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", *extra]
                            + ([display] if display else []),
                            pass_fds=(write_fd,), stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    return proc, ":" + number


def run_isolated(code, env):
    """Runs `code` in a fresh interpreter, so that each case gets its own connection; it may
    use this file's helpers."""
    here = os.path.dirname(os.path.abspath(__file__))
    script = (f"import ctypes,sys\nsys.path.insert(0, {here!r})\n"
              f"from client_test import xlib, private_xvfb\nlib=ctypes.CDLL({LIBRARY!r})\n{code}")
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=60)


class ClientTest(unittest.TestCase):
    def test_arguments(self):
        lib = load()
        cases = [
            (None, -1, "a null pointer sends nothing"),
            (b"", 0, "the empty string names no key"),
            (b"A", 0, "one byte"),
            (b"A" * 100000, 0, "a long string acts as its first byte"),
            (b"\x01", -1, "a mouse button has no key"),
            (b"\x07", -1, "an unassigned code has no key"),
            (b"\xa2", 0, "left Control, above 0x7F"),
        ]
        for key, expected, why in cases:
            with self.subTest(why):
                self.assertEqual(lib.keypress(key), expected)
                self.assertEqual(lib.keyrelease(key), expected)

    def test_no_display(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        result = run_isolated("print(lib.keypress(b'A'), lib.keyrelease(b'A'))", env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), ["-1", "-1"])

    def test_no_xtest(self):
        server, display = private_xvfb("-extension", "XTEST")
        try:
            result = run_isolated("print(lib.keypress(b'A'))", dict(os.environ, DISPLAY=display))
        finally:
            server.terminate()
            server.wait()
        self.assertEqual(result.stdout.split(), ["-1"], result.stderr)

    def test_forked_child_leaves_the_parents_connection(self):
        # A child that forks and exits normally runs the library's exit code on a copy of the
        # parent's connection: it must neither shut that down nor undo the parent's spares.
        code = (
            "import os,sys\n"
            "print(lib.keypress(b'\\x7c'), lib.keyrelease(b'\\x7c'), flush=True)\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    sys.exit(0)\n"
            "os.waitpid(pid, 0)\n"
            "print(lib.keypress(b'A'), lib.keyrelease(b'A'))\n"
        )
        result = run_isolated(code, dict(os.environ))
        self.assertEqual(result.stdout.split("\n")[:2], ["0 0", "0 0"], result.stderr)

    def test_registry_written_by_others(self):
        # Whatever another client lists, no key of the layout is unbound or rebound; a registry
        # that is not ours to read whole is left as it was, and calls neither crash nor hang.
        x = xlib()
        cardinal, string = 6, 31

        def spare(syms):
            return (len(syms) in (3, 4) and syms[0] == syms[1] == syms[2]
                    and (len(syms) == 3 or syms[3] != syms[0] == syms[3].lower()))

        def keymap(env):
            """The keys of the layout: every bound keycode but spares, by their first group
            (a spare bound on a narrow keymap makes the server show the second)."""
            rows = subprocess.run(["xmodmap", "-pke"], env=env, capture_output=True,
                                  text=True).stdout
            return {(r.split("=")[0], tuple(r.split("=")[1].split()[:2]))
                    for r in rows.splitlines()
                    if r.split("=")[1].strip() and not spare(r.split("=")[1].split())}

        def unbind_spares(env):
            """Spares a row left, listed or not: else the next row's keys need none."""
            rows = subprocess.run(["xmodmap", "-pke"], env=env, capture_output=True,
                                  text=True).stdout
            for r in rows.splitlines():
                if spare(r.split("=")[1].split()):
                    subprocess.run(["xmodmap", "-e", r.split("=")[0] + "="], env=env)

        def listed(env):
            return subprocess.run(["xprop", "-root", "-notype", "_TAPSTRIKE_SPARE_KEYCODES"],
                                  env=env, capture_output=True, text=True).stdout

        def sym_of(name):
            return x.XStringToKeysym(name.encode())

        def layout_entries(env, owner, stamp):
            entries = []
            for code, syms in keymap(env):
                entries += [owner, stamp, int(code.split()[1]), sym_of(syms[0])]
            return entries

        # Keys of the layout, and spares (Select, Execute) claimed `pause` seconds apart: past
        # the grace, the first finds the owners gone and the second may sweep what they left.
        # The first row runs on a keymap of two keysyms per keycode too, where a spare's shape
        # is the hardest to tell (a key with two equal columns among them); the registries that
        # are not ours to rewrite must stay as they were.
        cases = [
            ("real keys: owners that do not exist, the root window, orphaned long ago",
             cardinal, 32, lambda env, root: layout_entries(env, 0x3fffff0, 7)
             + layout_entries(env, root, 0) + layout_entries(env, 0, 1), 2.1, False, True),
            ("the wrong type", string, 8, lambda *_: list(b"not a registry"), 0, True, False),
            ("a length that is no whole entry", cardinal, 32, lambda *_: [1, 2, 3], 0, True,
             False),
            ("huge", cardinal, 32, lambda *_: [0, 1, 300, 0xffca] * 100000, 2.1, True, False),
            ("orphans with times to come", cardinal, 32,
             lambda *_: [0, 0x7fffffff, 200, 0xffca], 0, False, False),
        ]
        server, narrow = private_xvfb("-noreset")
        try:
            subprocess.run(["xkbcomp", "-w0", "-", narrow], input=NARROW_KEYMAP, text=True,
                           check=True)
            for why, kind, format, values, pause, kept, on_narrow in cases:
                for display in [os.environ["DISPLAY"]] + ([narrow] if on_narrow else []):
                    with self.subTest(why, display=display):
                        env = dict(os.environ, DISPLAY=display)
                        unbind_spares(env)
                        dpy = x.XOpenDisplay(display.encode())
                        root = x.XDefaultRootWindow(dpy)
                        registry = x.XInternAtom(dpy, b"_TAPSTRIKE_SPARE_KEYCODES", 0)
                        before = keymap(env)
                        data = values(env, root)
                        array = (ctypes.c_ulong if format == 32 else ctypes.c_ubyte) * len(data)
                        x.XChangeProperty(dpy, root, registry, kind, format, 0, array(*data),
                                          len(data))
                        x.XSync(dpy, 0)
                        was = listed(env)
                        result = run_isolated(
                            "import time\n"
                            "tap = lambda k: lib.keypress(k) + lib.keyrelease(k)\n"
                            "print(tap(b'A'), tap(b'\\x1b'), tap(b'\\x29'), end=' ')\n"
                            f"time.sleep({pause})\n"
                            "print(tap(b'\\x2b'))\n", env)
                        self.assertEqual(result.returncode, 0, result.stderr)
                        self.assertEqual(result.stdout.split()[:2], ["0", "0"])
                        self.assertEqual(before, keymap(env), "keys of the layout changed")
                        if kept:
                            self.assertEqual(was, listed(env), "the registry was rewritten")
                        x.XDeleteProperty(dpy, root, registry)
                        x.XSync(dpy, 0)
                        unbind_spares(env)
        finally:
            server.terminate()
            server.wait()

    def test_narrow_keymap(self):
        # One group of at most two levels: the server shows two keysyms per keycode, too few
        # to tell a spare from a key. Spares past their grace must still be undone at exit.
        server, display = private_xvfb("-noreset")
        env = dict(os.environ, DISPLAY=display)
        keymap = lambda: subprocess.run(["xmodmap", "-pke"], env=env, capture_output=True,
                                        text=True, check=True).stdout
        try:
            subprocess.run(["xkbcomp", "-w0", "-", display], input=NARROW_KEYMAP, text=True,
                           check=True)
            before = keymap()
            result = run_isolated("import time\n"
                                  "print(lib.keypress(b'\\x7c'), lib.keyrelease(b'\\x7c'))\n"
                                  "time.sleep(2.1)\n", env)
            after = keymap()
        finally:
            server.terminate()
            server.wait()
        self.assertEqual(result.stdout.split(), ["0", "0"], result.stderr)
        self.assertIn("= a A\n", before)
        self.assertEqual(before, after, "a spare past its grace stayed bound")

    def test_server_goes_away_and_comes_back(self):
        # The client owns the server here, so that it knows when the server is really gone.
        # The second server has another layout, and none of the first one's spare bindings:
        # what the library knew of the first must not be used on it.
        code = (
            "import os,subprocess,time\n"
            "def tap(key):\n"
            "    print(lib.keypress(key), lib.keyrelease(key))\n"
            "server, display = private_xvfb('-noreset')\n"
            "os.environ['DISPLAY'] = display\n"
            "tap(b'A'); tap(b'\\x7c')\n"
            "time.sleep(0.3)\n"
            "tap(b'A')\n"
            "server.terminate(); server.wait()\n"
            "tap(b'A')\n"
            "server, _ = private_xvfb('-noreset', display=display)\n"
            "subprocess.run(['setxkbmap', 'de'], check=True)\n"
            "x = xlib()\n"
            "dpy = x.XOpenDisplay(display.encode())\n"
            "def held(key):\n"
            "    lib.keypress(key)\n"
            "    keys = ctypes.create_string_buffer(32)\n"
            "    x.XQueryKeymap(dpy, keys)\n"
            "    lib.keyrelease(key)\n"
            "    down = [c for c in range(256) if keys.raw[c // 8] >> (c % 8) & 1]\n"
            "    n = ctypes.c_int()\n"
            "    syms = x.XGetKeyboardMapping(dpy, down[0], 1, ctypes.byref(n)) if down else None\n"
            "    print(len(down), hex(syms[0]) if syms else None)\n"
            "held(b'Z'); held(b'\\x7c')\n"
            "server.terminate(); server.wait()\n"
        )
        result = run_isolated(code, dict(os.environ))
        self.assertEqual(result.returncode, 0, "the host process must survive: " + result.stderr)
        self.assertEqual(result.stdout.split("\n")[:6],
                         ["0 0", "0 0", "0 0", "-1 -1",
                          "1 0x7a",      # z, from the new server's German keymap
                          "1 0xffca"])   # F13, bound afresh on the new server


if __name__ == "__main__":
    LIBRARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
