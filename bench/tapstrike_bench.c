/* Key injection throughput on an X server: N press/release pairs through tapstrike into a
 * focused window, against Debian's `xdotool key --delay 0` typing the same number of keys into
 * the same window, in the same run. Prints events delivered per second, events lost, and
 * tapstrike's per-call latency (median and 99th percentile), against a bare round trip; then
 * what each kind of call costs in bare round trips (keys of the layout, keypad digits, named
 * keys bound for the event, spares bound, spares in use, calls after another client changed or
 * loaded the keymap). Then RUNS short-lived clients, each
 * pressing and releasing one key and exiting at once, and counts what arrived.
 *
 *   tapstrike_bench [pairs [runs]]   (default 20000 and 1000; needs DISPLAY and xdotool)
 */
#define _GNU_SOURCE
#include "tapstrike.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int compare(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

struct run {
    int pairs;
    double *latency; /* per call, seconds */
};

static void *inject(void *arg)
{
    struct run *run = arg;
    for (int i = 0; i < run->pairs; ++i) {
        double t = now();
        keypress("A");
        run->latency[2 * i] = now() - t;
        t = now();
        keyrelease("A");
        run->latency[2 * i + 1] = now() - t;
    }
    return NULL;
}

/* Counts key events until `want` came or none came for two seconds; returns the count and
 * the time of the last one. */
static int receive(Display *dpy, int want, double *last)
{
    int count = 0;
    double quiet_since = now();
    *last = now();
    while (count < want && now() - quiet_since < 2.0) {
        if (!XPending(dpy)) {
            struct timespec nap = {0, 200000};
            nanosleep(&nap, NULL);
            continue;
        }
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == KeyPress || ev.type == KeyRelease) {
            ++count;
            *last = quiet_since = now();
        }
    }
    return count;
}

static double median_of(double *values, int n)
{
    qsort(values, (size_t)n, sizeof *values, compare);
    return values[n / 2];
}

static double timed(int (*call)(const char *), const char *key)
{
    const double t = now();
    call(key);
    return now() - t;
}

/* One bare round trip on our own connection, the floor for a call that waits for the server. */
static double trip_time(Display *dpy)
{
    Window focus;
    int revert;
    const double t = now();
    XGetInputFocus(dpy, &focus, &revert);
    return now() - t;
}

static void drain(Display *dpy)
{
    XSync(dpy, False);
    while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
    }
}

struct figure {
    const char *what;
    int n;
    double call[400], trip[400]; /* each call beside a bare round trip timed just before it */
};

static void sample(Display *dpy, struct figure *f, int (*call)(const char *), const char *key)
{
    if (f->n < 400) {
        f->trip[f->n] = trip_time(dpy);
        f->call[f->n++] = timed(call, key);
    }
}

/* The cost of each kind of call in bare round trips, each timed beside its own round trips so
 * that the ratio holds on a machine whose load moves: a call on a key of the layout; a keypad
 * digit with NumLock latched for it; a named key bound for the event (F13); a press that binds
 * a spare (on keycodes without F13-F24 keys, in rounds 2 s apart, each round on keysyms the
 * last one did not use, so that every press rebinds an idle spare); the release on a bound
 * spare; and calls right after another client changed the keymap: a row of it (on a key of the
 * layout, and on a spare the change wiped) and the whole of it (setxkbmap). */
static void call_costs(Display *dpy)
{
    static struct figure f[] = {
        {"key of the layout", 0, {0}, {0}},
        {"keypad digit, NumLock latched", 0, {0}, {0}},
        {"named key bound for the event (F13)", 0, {0}, {0}},
        {"press that binds a spare", 0, {0}, {0}},
        {"release on a bound spare", 0, {0}, {0}},
        {"key of the layout, a row changed", 0, {0}, {0}},
        {"spare wiped by a keymap change", 0, {0}, {0}},
        {"(a bare keymap change, synced)", 0, {0}, {0}},
        {"key of the layout, keymap loaded", 0, {0}, {0}},
        {"(a bare keymap load)", 0, {0}, {0}},
    };
    for (int i = 0; i < 200; ++i) {
        sample(dpy, &f[0], keypress, "A");
        sample(dpy, &f[0], keyrelease, "A");
        sample(dpy, &f[1], keypress, "a");
        sample(dpy, &f[1], keyrelease, "a");
        sample(dpy, &f[2], keypress, "\x7C");
        sample(dpy, &f[2], keyrelease, "\x7C");
    }
    drain(dpy);
    if (system("xkbcomp -w0 \"$DISPLAY\" - | sed -E '/<FK(1[3-9]|2[0-4])>.*[{][^}]*$/,/[}];/d;"
               " /<FK(1[3-9]|2[0-4])>/d' | xkbcomp -w0 - \"$DISPLAY\"") != 0)
        fprintf(stderr, "could not load a keymap without F13-F24 keys\n");
    for (int round = 0; round < 6; ++round) {
        for (int k = 0; k < 6; ++k) { /* F13-F18, then F19-F24 */
            const char key[2] = {(char)((round % 2 ? 0x82 : 0x7C) + k), 0};
            sample(dpy, &f[3], keypress, key);
            sample(dpy, &f[4], keyrelease, key);
        }
        drain(dpy);
        nanosleep(&(struct timespec){2, 100000000}, NULL);
    }
    /* Another client rewrites a row of the keymap: every client must read the keymap anew.
     * Every fourth time it wipes our F13 spare instead, which the next press binds again. */
    const KeyCode b = XKeysymToKeycode(dpy, XK_b);
    int per, min, max;
    XDisplayKeycodes(dpy, &min, &max);
    KeySym *row = XGetKeyboardMapping(dpy, b, 1, &per), none[8] = {0};
    for (int i = 0; i < 200; ++i) {
        const double t = now();
        XChangeKeyboardMapping(dpy, b, per, row, 1);
        XSync(dpy, False);
        f[7].trip[f[7].n] = trip_time(dpy);
        f[7].call[f[7].n++] = now() - t;
        sample(dpy, &f[5], keypress, "A");
        keyrelease("A");
        if (i % 4 == 0) {
            keypress("\x7C"), keyrelease("\x7C");
            int width;
            KeySym *all = XGetKeyboardMapping(dpy, (KeyCode)min, max - min + 1, &width);
            for (int c = min; c <= max; ++c)
                if (all[(c - min) * width] == XK_F13)
                    XChangeKeyboardMapping(dpy, c, per < 8 ? per : 8, none, 1);
            XFree(all);
            XSync(dpy, False);
            sample(dpy, &f[6], keypress, "\x7C");
            keyrelease("\x7C");
        }
        drain(dpy);
    }
    XFree(row);
    /* Another client loads a whole keymap, as setxkbmap does. */
    XkbComponentNamesRec us = {NULL, "evdev+aliases(qwerty)", "complete", "complete",
                               "pc+us+inet(evdev)", NULL};
    for (int i = 0; i < 50; ++i) {
        const double t = now();
        XkbFreeKeyboard(XkbGetKeyboardByName(dpy, XkbUseCoreKbd, &us, XkbGBN_AllComponentsMask,
                                             XkbGBN_AllComponentsMask, True), 0, True);
        f[9].trip[f[9].n] = trip_time(dpy);
        f[9].call[f[9].n++] = now() - t;
        sample(dpy, &f[8], keypress, "A");
        keyrelease("A");
        drain(dpy);
    }
    printf("%-36s %6s %12s %16s %12s\n", "call", "calls", "median us", "round trip us",
           "round trips");
    for (size_t i = 0; i < sizeof f / sizeof f[0]; ++i) {
        const int n = f[i].n;
        const double call = median_of(f[i].call, n), trip = median_of(f[i].trip, n);
        printf("%-36s %6d %12.1f %16.1f %12.2f\n", f[i].what, n, call * 1e6, trip * 1e6,
               call / trip);
    }
}

/* Short-lived clients: each taps A and leaves with _exit, so that nothing at exit can help. */
static void short_lived(Display *dpy, int runs)
{
    int presses = 0, releases = 0, failed = 0;
    char *args[] = {"/proc/self/exe", "tap", NULL};
    const double start = now();
    for (int i = 0; i < runs; ++i) {
        pid_t pid;
        int status = -1;
        if (posix_spawn(&pid, args[0], NULL, NULL, args, environ) == 0)
            waitpid(pid, &status, 0);
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    const double elapsed = now() - start;
    XSync(dpy, False);
    for (double quiet = now(); now() - quiet < 0.5;) {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            presses += ev.type == KeyPress;
            releases += ev.type == KeyRelease;
            quiet = now();
        }
        struct timespec nap = {0, 1000000};
        nanosleep(&nap, NULL);
    }
    printf("short-lived clients: %d runs, %d failed, %d presses, %d releases, %d releases lost, "
           "%.2f ms per run\n", runs, failed, presses, releases, runs - releases,
           elapsed / runs * 1e3);
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "tap") == 0)
        _exit(keypress("A") == 0 && keyrelease("A") == 0 ? 0 : 1);
    const int pairs = argc > 1 ? atoi(argv[1]) : 20000;
    const int runs = argc > 2 ? atoi(argv[2]) : 1000;
    Display *dpy = XOpenDisplay(NULL);
    if (!dpy || pairs <= 0) {
        fprintf(stderr, "usage: tapstrike_bench [pairs], with an X display\n");
        return 2;
    }
    Window win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 100, 100, 0, 0, 0);
    XSelectInput(dpy, win, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(dpy, win);
    for (XEvent ev;;) {
        XNextEvent(dpy, &ev);
        if (ev.type == MapNotify)
            break;
    }
    XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
    XAutoRepeatOff(dpy);
    XSync(dpy, False);
    keypress("A"); /* connect and load the keymap outside the timing */
    keyrelease("A");
    double last;
    receive(dpy, 2, &last);

    struct run run = {pairs, calloc((size_t)pairs * 2, sizeof(double))};
    pthread_t thread;
    const double start = now();
    pthread_create(&thread, NULL, inject, &run);
    const int got = receive(dpy, 2 * pairs, &last);
    pthread_join(thread, NULL);
    const double ours = got / (last - start);
    qsort(run.latency, (size_t)pairs * 2, sizeof(double), compare);
    const double median = run.latency[pairs], p99 = run.latency[(size_t)(pairs * 2 * 0.99)];

    /* xdotool types `pairs` keys: one press and one release each. */
    char **args = calloc((size_t)pairs + 5, sizeof(char *));
    args[0] = "xdotool";
    args[1] = "key";
    args[2] = "--delay";
    args[3] = "0";
    for (int i = 0; i < pairs; ++i)
        args[4 + i] = "a";
    pid_t pid;
    const double xstart = now();
    int xgot = 0;
    double xlast = xstart;
    if (posix_spawnp(&pid, "xdotool", NULL, NULL, args, environ) == 0) {
        xgot = receive(dpy, 2 * pairs, &xlast);
        waitpid(pid, NULL, 0);
    }
    const double theirs = xgot / (xlast - xstart);

    printf("%-10s %10s %10s %10s %14s %12s %12s\n", "injector", "events", "received", "lost",
           "events/s", "median us", "p99 us");
    printf("%-10s %10d %10d %10d %14.0f %12.1f %12.1f\n", "tapstrike", 2 * pairs, got,
           2 * pairs - got, ours, median * 1e6, p99 * 1e6);
    printf("%-10s %10d %10d %10d %14.0f %12.1f %12s\n", "xdotool", 2 * pairs, xgot,
           2 * pairs - xgot, theirs, (xlast - xstart) / pairs * 1e6, "-");
    printf("tapstrike delivers %.1fx xdotool's events per second\n", ours / theirs);

    /* The floor: a bare round trip on a connection of our own. */
    double *trip = calloc((size_t)pairs, sizeof(double));
    for (int i = 0; i < pairs; ++i)
        trip[i] = trip_time(dpy);
    const double bare = median_of(trip, pairs);
    printf("bare XGetInputFocus round trip: median %.1f us; a tapstrike call costs %.2fx that\n",
           bare * 1e6, median / bare);
    call_costs(dpy);
    free(trip);
    short_lived(dpy, runs);

    XAutoRepeatOn(dpy);
    XCloseDisplay(dpy);
    free(args);
    free(run.latency);
    return 0;
}
