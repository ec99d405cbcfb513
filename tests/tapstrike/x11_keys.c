/* tapstrike on X11, seen from a focused window: one KeyPress or KeyRelease per call for the
 * key that the byte names, spare keycodes for keysyms the keymap lacks, no key left down,
 * and nothing lost when several threads inject at once. Runs on the harness's Xvfb. */
#include "tapstrike.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static Display *dpy;
static Window win;
static int failures;

#define CHECK(cond, ...)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            ++failures;                                                                           \
            fprintf(stderr, "FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);                       \
            fprintf(stderr, __VA_ARGS__);                                                         \
            fputc('\n', stderr);                                                                  \
        }                                                                                         \
    } while (0)

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct tally {
    int presses[256];
    int releases[256];
    int total;
};

/* Reads key events for `seconds`, or until `want` of them have come. */
static void collect(struct tally *t, int want, double seconds)
{
    memset(t, 0, sizeof *t);
    const double end = now() + seconds;
    while (now() < end && (want == 0 || t->total < want)) {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == KeyPress || ev.type == KeyRelease) {
                int *count = ev.type == KeyPress ? t->presses : t->releases;
                ++count[ev.xkey.keycode];
                ++t->total;
            } else if (ev.type == MappingNotify) {
                XRefreshKeyboardMapping(&ev.xmapping);
            }
        }
        struct timespec nap = {0, 1000000};
        nanosleep(&nap, NULL);
    }
}

static void setup_window(void)
{
    dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "no X display\n");
        exit(2);
    }
    win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 200, 200, 0, 0, 0);
    XSelectInput(dpy, win, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(dpy, win);
    for (;;) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == MapNotify)
            break;
    }
    XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
    XSync(dpy, False);
    /* A held key must not turn into repeats while a test looks at it. */
    XAutoRepeatOff(dpy);
    XSync(dpy, False);
}

static int keymap_snapshot(KeySym **syms, int *per)
{
    int min, max;
    XDisplayKeycodes(dpy, &min, &max);
    *syms = XGetKeyboardMapping(dpy, (KeyCode)min, max - min + 1, per);
    return (max - min + 1) * *per;
}

/* The library's events travel on its own connection: give the server a moment to get there. */
static int no_key_down(void)
{
    for (double end = now() + 2.0;;) {
        char keys[32];
        XQueryKeymap(dpy, keys);
        int down = 0;
        for (int i = 0; i < 32; ++i)
            down |= keys[i];
        if (!down)
            return 1;
        if (now() > end)
            return 0;
        struct timespec nap = {0, 1000000};
        nanosleep(&nap, NULL);
    }
}

static void single_events(void)
{
    static const struct {
        const char *key;
        KeySym sym;
    } cases[] = {
        {"A", XK_a},                 /* the A key */
        {"Abc", XK_a},               /* only the first byte counts */
        {"&", XK_Up},                /* 0x26 */
        {"a", XK_KP_1},              /* 0x61 */
        {"\x0D", XK_Return},
        {"\x70", XK_F1},
        {"\xA0", XK_Shift_L},        /* bytes above 0x7F name keys too */
        {"\xA5", XK_Alt_R},
        {"\xBA", XK_semicolon},
        {"\xDE", XK_apostrophe},
        {"\xAF", 0x1008FF13 /* XF86AudioRaiseVolume */},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const KeyCode code = XKeysymToKeycode(dpy, cases[i].sym);
        CHECK(code != 0, "keymap lacks the keysym of case %zu", i);
        struct tally t;
        CHECK(keypress(cases[i].key) == 0, "case %zu press", i);
        collect(&t, 1, 2.0);
        CHECK(t.total == 1 && t.presses[code] == 1, "case %zu: %d events", i, t.total);
        CHECK(keyrelease(cases[i].key) == 0, "case %zu release", i);
        collect(&t, 1, 2.0);
        CHECK(t.total == 1 && t.releases[code] == 1, "case %zu: %d events", i, t.total);
        collect(&t, 0, 0.05);
        CHECK(t.total == 0, "case %zu: %d stray events", i, t.total);
    }
}

static void keys_that_send_nothing(void)
{
    struct tally t;
    CHECK(keypress("") == 0 && keyrelease("") == 0, "the empty string names no key");
    CHECK(keypress(NULL) == -1 && keyrelease(NULL) == -1, "null pointer");
    CHECK(keypress("\x01") == -1, "a mouse button is no key");
    collect(&t, 0, 0.1);
    CHECK(t.total == 0, "%d events", t.total);
    CHECK(keyrelease("Q") == 0, "releasing a key never pressed still succeeds");
}

/* F13 has no key on the default keymap: it is bound while down and unbound after. */
static void unmapped_keysym(void)
{
    KeySym *before;
    int per;
    const int length = keymap_snapshot(&before, &per);
    CHECK(XKeysymToKeycode(dpy, XK_F13) == 0, "the default keymap should lack F13");

    struct tally t;
    CHECK(keypress("\x7C") == 0, "press F13");
    collect(&t, 1, 2.0);
    int code = 0;
    for (int c = 0; c < 256; ++c)
        if (t.presses[c])
            code = c;
    CHECK(t.total == 1 && code != 0, "%d events", t.total);
    int width;
    KeySym *bound = XGetKeyboardMapping(dpy, (KeyCode)code, 1, &width);
    CHECK(bound && bound[0] == XK_F13, "keycode %d is bound to %#lx", code,
          bound ? bound[0] : 0UL);
    XFree(bound);

    CHECK(keyrelease("\x7C") == 0, "release F13");
    collect(&t, 1, 2.0);
    CHECK(t.total == 1 && t.releases[code] == 1, "the release came on keycode %d", code);

    int restored = 0;
    for (double end = now() + 2.0; !restored && now() < end;) {
        KeySym *after;
        int per_after;
        restored = keymap_snapshot(&after, &per_after) == length && per_after == per
                   && memcmp(before, after, sizeof *after * (size_t)length) == 0;
        XFree(after);
    }
    CHECK(restored, "the keymap is back as it was");
    XFree(before);
}

/* A keymap another client changes under the library must not leave a stale keycode in use. */
static void keymap_changed_by_others(void)
{
    const KeyCode code = XKeysymToKeycode(dpy, XK_b);
    int per;
    KeySym *old = XGetKeyboardMapping(dpy, code, 1, &per);
    CHECK(keypress("B") == 0 && keyrelease("B") == 0, "B before the change");
    struct tally t;
    collect(&t, 2, 2.0);

    /* Move "b" to a free keycode and clear its old one. */
    int min, max;
    XDisplayKeycodes(dpy, &min, &max);
    KeyCode spare = 0;
    for (int c = max; c >= min && !spare; --c) {
        int w;
        KeySym *s = XGetKeyboardMapping(dpy, (KeyCode)c, 1, &w);
        int empty = 1;
        for (int i = 0; i < w; ++i)
            empty = empty && s[i] == NoSymbol;
        XFree(s);
        if (empty)
            spare = (KeyCode)c;
    }
    KeySym none[8] = {0}, b[8] = {XK_b, XK_B};
    XChangeKeyboardMapping(dpy, code, per < 8 ? per : 8, none, 1);
    XChangeKeyboardMapping(dpy, spare, per < 8 ? per : 8, b, 1);
    XSync(dpy, False);
    collect(&t, 0, 0.2); /* let the MappingNotify reach everybody */

    CHECK(keypress("B") == 0, "B after the change");
    collect(&t, 1, 2.0);
    CHECK(t.presses[spare] == 1 && t.presses[code] == 0, "B came on keycode %d",
          t.presses[code] ? code : spare);
    CHECK(keyrelease("B") == 0, "release");
    collect(&t, 1, 2.0);

    XChangeKeyboardMapping(dpy, spare, per < 8 ? per : 8, none, 1);
    XChangeKeyboardMapping(dpy, code, per, old, 1);
    XFree(old);
    XSync(dpy, False);
    collect(&t, 0, 0.2);
}

static void every_byte(void)
{
    char key[2] = {0, 0};
    for (int byte = 1; byte <= 0xFF; ++byte) {
        key[0] = (char)byte;
        const int down = keypress(key);
        const int up = keyrelease(key);
        CHECK((down == 0 || down == -1) && down == up, "byte %#x: %d then %d", byte, down, up);
        CHECK(down != 0 || no_key_down(), "byte %#x left a key down", byte);
    }
    CHECK(no_key_down(), "a key is left down");
}

#define THREADS 4
#define PAIRS 2000

static void *hammer(void *arg)
{
    const char *key = arg;
    long bad = 0;
    for (int i = 0; i < PAIRS; ++i)
        bad += keypress(key) != 0 || keyrelease(key) != 0;
    return (void *)bad;
}

static void concurrent_threads(void)
{
    /* One key per thread: the server itself drops a release of a key that is not down. */
    static const char *keys[THREADS] = {"1", "2", "3", "4"};
    pthread_t threads[THREADS];
    for (int i = 0; i < THREADS; ++i)
        pthread_create(&threads[i], NULL, hammer, (void *)keys[i]);
    struct tally t;
    collect(&t, THREADS * PAIRS * 2, 60.0);
    for (int i = 0; i < THREADS; ++i) {
        void *bad;
        pthread_join(threads[i], &bad);
        CHECK(bad == NULL, "thread %d saw %ld failures", i, (long)bad);
        const KeyCode code = XKeysymToKeycode(dpy, XK_1 + (KeySym)i);
        CHECK(t.presses[code] == PAIRS && t.releases[code] == PAIRS,
              "key %s: %d presses, %d releases", keys[i], t.presses[code], t.releases[code]);
    }
    CHECK(t.total == THREADS * PAIRS * 2, "%d events", t.total);
}

int main(void)
{
    setup_window();
    single_events();
    keys_that_send_nothing();
    unmapped_keysym();
    keymap_changed_by_others();
    concurrent_threads();
    every_byte();
    XAutoRepeatOn(dpy);
    XCloseDisplay(dpy);
    printf(failures ? "x11_keys: %d checks failed\n" : "x11_keys: all checks passed\n", failures);
    return failures ? 1 : 0;
}
