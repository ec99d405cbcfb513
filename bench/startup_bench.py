#!/usr/bin/env python3
"""Start-up and idle cost of the launcher beside a bare Qt program (a QMainWindow and a
QSystemTrayIcon), run in turns on one X server with a tray host (run it under xharness.py).

    startup_bench.py LAUNCHER BARE [--runs N] [--idle S] [--settle S]

Exec-to-mapped: from the fork of the program to the MapNotify of its 400 x 300 window on the
root window. Idle CPU: the main thread's time on a CPU over S seconds, starting --settle seconds
after the window mapped (past the first poll and its 5 s balloon). The bare program runs twice:
as it is, and without Qt's X11 OpenGL integration, as the launcher runs. Each figure is the
median of N runs; the ratios are launcher / bare.
"""
import argparse
import ctypes
import ctypes.util
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x.XPending.argtypes = [ctypes.c_void_p]
x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
x.XConnectionNumber.argtypes = [ctypes.c_void_p]
x.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7

MAP_NOTIFY = 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class XMapEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong),
                ("window", ctypes.c_ulong), ("override_redirect", ctypes.c_int)]


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xmap", XMapEvent), ("pad", ctypes.c_long * 24)]


def width(dpy, window):
    root, vals = ctypes.c_ulong(), [ctypes.c_int() for _ in range(2)]
    dims = [ctypes.c_uint() for _ in range(4)]
    x.XGetGeometry(dpy, window, ctypes.byref(root), *(ctypes.byref(v) for v in vals),
                   *(ctypes.byref(d) for d in dims))
    return dims[0].value


def cpu_seconds(pid):
    """The main thread's time on a CPU, in nanoseconds where the kernel keeps them."""
    try:
        with open(f"/proc/{pid}/task/{pid}/schedstat") as stat:
            return int(stat.read().split()[0]) / 1e9
    except OSError:
        with open(f"/proc/{pid}/task/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_once(dpy, program, settle_s, idle_s, extra_env):
    """Seconds from exec to the window mapped, and the main thread's idle CPU seconds."""
    home = tempfile.TemporaryDirectory(prefix="startup-bench-")
    env = dict(os.environ, HOME=home.name, LUDOVANE_STANDIN_RECORD="", **extra_env)
    while x.XPending(dpy):
        x.XNextEvent(dpy, ctypes.byref(XEvent()))
    started = time.monotonic()
    proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    event = XEvent()
    mapped = None
    while mapped is None:
        if not x.XPending(dpy):
            # Waits on the connection, so that a program that never maps a window ends the run.
            left = started + 20 - time.monotonic()
            if left <= 0 or not select.select([x.XConnectionNumber(dpy)], [], [], left)[0]:
                proc.kill()
                sys.exit(f"{program} mapped no window within 20 s")
            continue
        x.XNextEvent(dpy, ctypes.byref(event))
        if event.type == MAP_NOTIFY and width(dpy, event.xmap.window) >= 400:
            mapped = time.monotonic() - started
    time.sleep(settle_s)
    before = cpu_seconds(proc.pid)
    time.sleep(idle_s)
    idle = cpu_seconds(proc.pid) - before
    proc.terminate()
    proc.wait()
    home.cleanup()
    return mapped, idle


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("launcher")
    parser.add_argument("bare")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--idle", type=float, default=8)
    parser.add_argument("--settle", type=float, default=10,
                        help="seconds after mapping before the idle time is measured")
    args = parser.parse_args()

    dpy = x.XOpenDisplay(None)
    x.XSelectInput(dpy, x.XDefaultRootWindow(dpy), SUBSTRUCTURE_NOTIFY_MASK)
    # The launcher loads no OpenGL integration; the second baseline leaves it out too, so that
    # the ratio to it is what the launcher adds to such a window.
    programs = {"launcher": (args.launcher, {}), "bare": (args.bare, {}),
                "bare, no GL": (args.bare, {"QT_XCB_GL_INTEGRATION": "none"})}
    figures = {name: [] for name in programs}
    for _ in range(args.runs):
        for name, (program, extra_env) in programs.items():
            figures[name].append(run_once(dpy, program, args.settle, args.idle, extra_env))
    median = {name: (statistics.median(m for m, _ in runs), statistics.median(c for _, c in runs))
              for name, runs in figures.items()}
    print(f"{'program':<14} | {'exec to mapped ms':>17} | {'idle CPU ms / ' + str(args.idle) + ' s':>20}")
    for name, (mapped, idle) in median.items():
        print(f"{name:<14} | {mapped * 1e3:17.1f} | {idle * 1e3:20.1f}")
    lm, lc = median["launcher"]
    for name in ("bare", "bare, no GL"):
        bm, bc = median[name]
        print(f"{'vs ' + name:<14} | {lm / bm:16.2f}x | "
              f"{(f'{lc / bc:.2f}x' if bc else 'n/a (0 ms)'):>20}")
    print(f"(median of {args.runs} runs each, in turns)")

if __name__ == "__main__":
    main()
