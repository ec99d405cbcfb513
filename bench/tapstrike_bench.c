/* Key injection throughput on an X server: N press/release pairs through tapstrike into a
 * focused window, against Debian's `xdotool key --delay 0` typing the same number of keys into
 * the same window, in the same run. Prints events delivered per second, events lost, and
 * tapstrike's per-call latency (median and 99th percentile), against a bare round trip; the
 * cost of calls on spares and of a call after another client changed the keymap, in round
 * trips. Then RUNS short-lived clients, each pressing and releasing one key and exiting at
 * once, and counts what arrived.
 *
 *   tapstrike_bench [pairs [runs]]   (default 20000 and 1000; needs DISPLAY and xdotool)
 */
#define _GNU_SOURCE
#include "tapstrike.h"

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

static void drain(Display *dpy)
{
    XSync(dpy, False);
    while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
    }
}

/* Calls on spares, in bare round trips: a press that binds a spare (in rounds 2 s apart, each
 * round on keysyms the last one did not use, so that every press rebinds an idle spare or takes
 * a new keycode), the release on that spare, and a call on a key of the layout right after
 * another client changed the keymap. */
static void spare_costs(Display *dpy, double trip, int calls)
{
    enum { ROUNDS = 6 };
    double bind[ROUNDS * 10], reuse[ROUNDS * 10], changed[256];
    int binds = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        const int keys = 10; /* keypad digits (NumLock off), F13-F22: all rebound each round */
        for (int k = 0; k < keys; ++k) {
            const char key[2] = {(char)((round % 2 ? 0x60 : 0x7C) + k), 0};
            bind[binds] = timed(keypress, key);
            reuse[binds++] = timed(keyrelease, key);
        }
        drain(dpy);
        nanosleep(&(struct timespec){2, 100000000}, NULL);
    }
    /* Another client rewrites one row of the keymap as it is: every client must read it anew. */
    const KeyCode code = XKeysymToKeycode(dpy, XK_b);
    int per, n = calls < 256 ? calls : 256;
    KeySym *row = XGetKeyboardMapping(dpy, code, 1, &per);
    for (int i = 0; i < n; ++i) {
        XChangeKeyboardMapping(dpy, code, per, row, 1);
        XSync(dpy, False);
        changed[i] = timed(keypress, "A");
        keyrelease("A");
        drain(dpy);
    }
    XFree(row);
    const double b = median_of(bind, binds), r = median_of(reuse, binds), c = median_of(changed, n);
    printf("a press that binds a spare: median %.1f us, %.2f round trips (%d calls)\n", b * 1e6,
           b / trip, binds);
    printf("a release on a bound spare: median %.1f us, %.2f round trips\n", r * 1e6, r / trip);
    printf("a call on a key of the layout after another client changed the keymap: median "
           "%.1f us, %.2f round trips (%d calls)\n", c * 1e6, c / trip, n);
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
    Window focus;
    int revert;
    for (int i = 0; i < pairs; ++i) {
        const double t = now();
        XGetInputFocus(dpy, &focus, &revert);
        trip[i] = now() - t;
    }
    qsort(trip, (size_t)pairs, sizeof(double), compare);
    printf("bare XGetInputFocus round trip: median %.1f us; a tapstrike call costs %.2fx that\n",
           trip[pairs / 2] * 1e6, median / trip[pairs / 2]);
    spare_costs(dpy, trip[pairs / 2], 200);
    free(trip);
    short_lived(dpy, runs);

    XAutoRepeatOn(dpy);
    XCloseDisplay(dpy);
    free(args);
    free(run.latency);
    return 0;
}
