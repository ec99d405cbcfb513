"""What the Wine tests share: the environment that runs a program in the test prefix, path
conversion, ending the prefix's processes, finding the launcher's window, and waiting for a
condition."""
import os
import subprocess
import time

PREFIX = None  # the Wine prefix; set by the test before it runs
WINE_RUN = None  # tests/tapstrike/wine-run.sh; likewise


def wine_env(**extra):
    return dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=", **extra)


def winepath(option, path):
    """winepath -w (to Windows) or -u (to Unix)."""
    return subprocess.run(["winepath", option, path], env=wine_env(), check=True,
                          capture_output=True, text=True).stdout.strip()


def windows():
    """The launcher's visible windows: Wine's windows are X windows."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Ludovane$"],
                          capture_output=True, text=True).stdout.split()


def stop():
    """Ends every Wine process of the prefix."""
    subprocess.run([WINE_RUN, PREFIX, "--stop"])


def wait_for(what, predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)
