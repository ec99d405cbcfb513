#!/usr/bin/env python3
"""tapstrike into an SDL2 window (pygame), a receiver that reads a key by its position (the
scancode) and by what the layout makes of it (the key): a row per class of codes on us, de, fr
and us,ru with the Cyrillic group locked, each read as a Windows program would.

    sdl_test.py path/to/libtapstrike.so
"""
import ctypes
import os
import subprocess
import sys
import time

os.environ["SDL_VIDEODRIVER"] = "x11"
os.environ["PYGAME_HIDE_SUPPORT_PROMPT"] = "1"
import pygame  # noqa: E402

K = pygame
ROWS = [  # layout, group, code, SDL scancode (USB usage), SDL key
    ("us", 0, b"A", 4, K.K_a),
    ("us", 0, b"1", 30, K.K_1),
    ("us", 0, b"\x61", 89, K.K_KP1),         # NumLock off
    ("us", 0, b"\x7c", 104, K.K_F13),        # the layout's F13 key types XF86Tools
    ("us", 0, b"&", 82, K.K_UP),
    ("us", 0, b"\xba", 51, K.K_SEMICOLON),
    ("de", 0, b"Z", 28, K.K_z),              # the key labelled Z, where us has Y
    ("de", 0, b"Y", 29, K.K_y),
    ("fr", 0, b"A", 20, K.K_a),
    ("fr", 0, b"1", 30, K.K_1),           # SDL names the number row by its digits
    ("us,ru", 1, b"A", 4, ord("ф")),
    ("us,ru", 1, b"Z", 29, ord("я")),
]


def main(library):
    lib = ctypes.CDLL(library)
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XkbLockGroup.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    dpy = x.XOpenDisplay(None)
    pygame.display.init()
    pygame.display.set_mode((200, 200))
    window = pygame.display.get_wm_info()["window"]
    subprocess.run(["xdotool", "windowfocus", "--sync", str(window)], check=True)
    failures, layout = 0, None
    for row, (name, group, code, scancode, key) in enumerate(ROWS):
        if name != layout:
            subprocess.run(["setxkbmap", name], check=True)
            layout = name
        x.XkbLockGroup(dpy, 0x100, group)
        x.XSync(dpy, 0)
        time.sleep(0.1)
        pygame.event.get()
        got = []
        if lib.keypress(code) == 0 and lib.keyrelease(code) == 0:
            end = time.monotonic() + 2
            while len(got) < 2 and time.monotonic() < end:
                got += [(e.type, e.scancode, e.key) for e in pygame.event.get()
                        if e.type in (pygame.KEYDOWN, pygame.KEYUP)]
                time.sleep(0.005)
        want = [(pygame.KEYDOWN, scancode, key), (pygame.KEYUP, scancode, key)]
        if got != want:
            print(f"FAIL row {row} ({name} {code!r}): {got}, not {want}")
            failures += 1
    subprocess.run(["setxkbmap", "us"], check=True)
    print(f"sdl_test: {failures} rows failed" if failures else "sdl_test: all rows passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
