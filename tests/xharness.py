#!/usr/bin/env python3
"""Runs one command inside a private X session: an Xvfb server, optionally a system-tray
host, and a fresh temporary HOME, so that GUI tests never touch the developer's desktop
or home directory.

    xharness.py [--no-tray | --desktop] [--wm] [--dpi N] [--second-screen DPI] [--keep-home]
                -- command...

--dpi sets Xft.dpi in the server's resources, which is how Qt learns of a scaled desktop.
--second-screen adds an X screen, a screen of its own to Qt, with Xft.dpi DPI in its resources.
--desktop replaces the X11 tray host with a desktop's parts on a private session bus: a panel
that hosts StatusNotifierItems (xfce4-panel's systray) and a notification daemon (dunst).
--wm runs a window manager (openbox), as every desktop has: Wine waits for one to take a
window before it hides it.

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


def start_xvfb(second_screen=False):
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
         *(["-screen", "1", "1280x800x24"] if second_screen else []),
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


_xlib = None


def xlib():
    """libX11, with the prototypes of the calls the harness and the tests make."""
    global _xlib
    if _xlib is None:
        x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
        display, window, atom = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong
        x.XOpenDisplay.restype = display
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XInternAtom.restype = atom
        x.XInternAtom.argtypes = [display, ctypes.c_char_p, ctypes.c_int]
        x.XGetSelectionOwner.restype = window
        x.XGetSelectionOwner.argtypes = [display, atom]
        x.XDefaultRootWindow.restype = window
        x.XDefaultRootWindow.argtypes = [display]
        x.XSelectInput.argtypes = [display, window, ctypes.c_long]
        x.XSendEvent.argtypes = [display, window, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x.XGetWMProtocols.argtypes = [display, window,
                                      ctypes.POINTER(ctypes.POINTER(atom)),
                                      ctypes.POINTER(ctypes.c_int)]
        for name in ("XFlush", "XPending", "XCloseDisplay"):
            getattr(x, name).argtypes = [display]
        x.XNextEvent.argtypes = [display, ctypes.c_void_p]
        _xlib = x
    return _xlib


def selection_owned(display_name, selection):
    """True once some client owns the selection: a tray host the system-tray selection of
    screen 0, a window manager WM_S0."""
    x = xlib()
    dpy = x.XOpenDisplay(display_name.encode())
    if not dpy:
        return False
    try:
        atom = x.XInternAtom(dpy, selection, 0)
        return x.XGetSelectionOwner(dpy, atom) != 0
    finally:
        x.XCloseDisplay(dpy)


def start_owner(command, env, display, selection, what):
    """Starts a program and waits until it owns its selection."""
    proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + TRAY_TIMEOUT_S
    while not selection_owned(display, selection):
        if proc.poll() is not None or time.monotonic() > deadline:
            stop(proc)
            raise RuntimeError(f"{what} did not come up")
        time.sleep(0.05)
    return proc


PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=8;x=640;y=784"/>
      <property name="length" type="uint" value="100"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
"""


def bus_says(env, service, path, interface, prop):
    """A property's value as dbus-send prints it, or None."""
    got = subprocess.run(["dbus-send", "--session", "--print-reply", f"--dest={service}", path,
                          "org.freedesktop.DBus.Properties.Get", f"string:{interface}",
                          f"string:{prop}"], env=env, capture_output=True, text=True)
    return got.stdout.split()[-1] if got.returncode == 0 else None


def start_desktop(env):
    """A private session bus with the panel and dunst on it, all in one process group that
    stop_group ends; the bus's address goes into ENV."""
    config = os.path.join(env["HOME"], ".config")
    os.makedirs(os.path.join(config, "xfce4", "xfconf", "xfce-perchannel-xml"))
    with open(os.path.join(config, "xfce4", "xfconf", "xfce-perchannel-xml",
                           "xfce4-panel.xml"), "w") as f:
        f.write(PANEL_CONFIG)
    env["XDG_CONFIG_HOME"] = config
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                            f"--address=unix:path={env['HOME']}/bus"],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                           process_group=0)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
    bus.members = [subprocess.Popen(program, env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, process_group=bus.pid)
                   for program in (["xfce4-panel", "--disable-wm-check"], ["dunst"])]
    deadline = time.monotonic() + TRAY_TIMEOUT_S
    while not (bus_says(env, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                        "org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered")
               == "true" and subprocess.run(["dunstctl", "is-paused"], env=env,
                                            capture_output=True).returncode == 0):
        if time.monotonic() > deadline:
            stop_group(bus)
            raise RuntimeError("the panel or dunst did not come up")
        time.sleep(0.1)
    return bus


def stop_group(leader):
    """Ends the bus and everything in its process group: the panel, dunst and what the bus
    started for them."""
    if not leader:
        return
    deadline = time.monotonic() + 5
    try:
        os.killpg(leader.pid, signal.SIGTERM)
        for proc in [leader, *leader.members]:
            proc.wait()
        while True:  # what the bus started is no child of ours: gone once the group is empty
            os.killpg(leader.pid, signal.SIGKILL if time.monotonic() > deadline else 0)
            time.sleep(0.05)
    except ProcessLookupError:
        pass


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
    desktop = wm = False
    keep_home = False
    dpi = second_dpi = None
    while argv and argv[0] != "--":
        flag = argv.pop(0)
        if flag == "--no-tray":
            tray = False
        elif flag == "--desktop":
            desktop, tray = True, False
        elif flag == "--wm":
            wm = True
        elif flag == "--keep-home":
            keep_home = True
        elif flag == "--dpi" and argv:
            dpi = argv.pop(0)
        elif flag == "--second-screen" and argv:
            second_dpi = argv.pop(0)
        else:
            print(f"xharness: unknown option {flag}", file=sys.stderr)
            return 2
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[1:]

    home = tempfile.mkdtemp(prefix="xharness-home-")
    xvfb = tray_host = bus = window_manager = None
    try:
        xvfb, display = start_xvfb(bool(second_dpi))
        env = dict(os.environ)
        env.update(DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=home,
                   QT_QPA_PLATFORM="xcb")
        # No session bus: Qt then uses the X11 tray protocol, which is what the tray host speaks.
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.pop("AT_SPI_BUS_ADDRESS", None)
        env.pop("WAYLAND_DISPLAY", None)
        if dpi:
            subprocess.run(["xrdb", "-nocpp", "-merge"], input=f"Xft.dpi: {dpi}\n", text=True,
                           env=env, check=True)
        if second_dpi:  # xrdb writes only screen 0's RESOURCE_MANAGER, which Qt reads per screen
            subprocess.run(["xprop", "-display", display + ".1", "-root", "-f", "RESOURCE_MANAGER",
                            "8s", "-set", "RESOURCE_MANAGER", f"Xft.dpi:\t{second_dpi}\n"],
                           check=True)
        if desktop:
            bus = start_desktop(env)
        try:
            if wm:
                window_manager = start_owner(["openbox", "--sm-disable"], env, display,
                                             b"WM_S0", "the window manager")
            if tray:
                tray_host = start_owner(
                    ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                     "--height", "32", "--SetDockType", "true", "--transparent", "false"],
                    env, display, b"_NET_SYSTEM_TRAY_S0", "the tray host")
        except RuntimeError as error:
            print(f"xharness: {error}", file=sys.stderr)
            return 3
        child = subprocess.Popen(command, env=env)
        try:
            return child.wait()
        except KeyboardInterrupt:
            child.send_signal(signal.SIGINT)
            return child.wait()
    finally:
        stop(tray_host)
        stop(window_manager)
        stop_group(bus)
        stop(xvfb)
        if keep_home:
            print(f"xharness: HOME kept at {home}", file=sys.stderr)
        else:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
