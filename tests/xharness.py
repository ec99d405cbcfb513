#!/usr/bin/env python3
"""Runs one command inside a private X session: an Xvfb server, optionally a system-tray
host, and a fresh temporary HOME, so that GUI tests never touch the developer's desktop
or home directory.

    xharness.py [--no-tray] [--dpi N] [--keep-home] -- command [args...]

--dpi sets Xft.dpi in the server's resources, which is how Qt learns of a scaled desktop.

The command's exit code is returned; the X server, the tray host and HOME are removed
afterwards whatever happens.
"""
import ctypes
import ctypes.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TRAY_TIMEOUT_S = 15


def start_xvfb():
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    with os.fdopen(read_fd, "rb") as pipe:
        while not number.endswith(b"\n"):
            chunk = pipe.read(1)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
    return proc, ":" + number.decode().strip()


def tray_owner_present(display_name):
    """True once some client owns the freedesktop system-tray selection of screen 0."""
    xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XGetSelectionOwner.restype = ctypes.c_ulong
    xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = xlib.XOpenDisplay(display_name.encode())
    if not dpy:
        return False
    try:
        atom = xlib.XInternAtom(dpy, b"_NET_SYSTEM_TRAY_S0", 0)
        return xlib.XGetSelectionOwner(dpy, atom) != 0
    finally:
        xlib.XCloseDisplay(dpy)


def stop(proc):
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main(argv):
    tray = True
    keep_home = False
    dpi = None
    while argv and argv[0] != "--":
        flag = argv.pop(0)
        if flag == "--no-tray":
            tray = False
        elif flag == "--keep-home":
            keep_home = True
        elif flag == "--dpi" and argv:
            dpi = argv.pop(0)
        else:
            print(f"xharness: unknown option {flag}", file=sys.stderr)
            return 2
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[1:]

    home = tempfile.mkdtemp(prefix="xharness-home-")
    xvfb = tray_host = None
    try:
        xvfb, display = start_xvfb()
        env = dict(os.environ)
        env.update(DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=home,
                   QT_QPA_PLATFORM="xcb")
        # No session bus: Qt then uses the X11 tray protocol, which is what the tray host speaks.
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.pop("WAYLAND_DISPLAY", None)
        if dpi:
            subprocess.run(["xrdb", "-nocpp", "-merge"], input=f"Xft.dpi: {dpi}\n", text=True,
                           env=env, check=True)
        if tray:
            tray_host = subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                 "--height", "32", "--SetDockType", "true", "--transparent", "false"],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + TRAY_TIMEOUT_S
            while not tray_owner_present(display):
                if tray_host.poll() is not None or time.monotonic() > deadline:
                    print("xharness: the tray host did not come up", file=sys.stderr)
                    return 3
                time.sleep(0.05)
        child = subprocess.Popen(command, env=env)
        try:
            return child.wait()
        except KeyboardInterrupt:
            child.send_signal(signal.SIGINT)
            return child.wait()
    finally:
        stop(tray_host)
        stop(xvfb)
        if keep_home:
            print(f"xharness: HOME kept at {home}", file=sys.stderr)
        else:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
