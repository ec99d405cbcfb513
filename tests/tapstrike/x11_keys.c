/* tapstrike on X11, seen from a focused window: one KeyPress or KeyRelease per call for the
 * key that the byte names, spare keycodes for keysyms the keymap lacks, no key left down,
 * nothing lost when several threads or processes inject at once or a client exits right
 * after its last call, and positional keys on other layouts. Runs on the harness's Xvfb.
 *
 *   x11_keys                      the tests
 *   x11_keys tap HEX [quick]      (a child) press and release one key, then exit (or _exit)
 *   x11_keys type HEX N PAIRS     (a child) N keys from HEX on, PAIRS times; exit at EOF on stdin
 */
#define _GNU_SOURCE
#include "tapstrike.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/keysym.h>

#include <fcntl.h>
#include <stdatomic.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

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

/* Sleeps until a spare used now is past its 2 s grace. */
static void past_grace(void)
{
    nanosleep(&(struct timespec){2, 100000000}, NULL);
}

struct tally {
    int presses[256];
    int releases[256];
    int total;
    int log[64]; /* the first event types, MappingNotify included */
    int logged;
    XKeyEvent keys[128]; /* the first key events, translated only once the run is over */
    int kept;
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
            if (t->logged < 64 && (ev.type == KeyPress || ev.type == KeyRelease
                                   || ev.type == MappingNotify))
                t->log[t->logged++] = ev.type;
            if (ev.type == KeyPress || ev.type == KeyRelease) {
                int *count = ev.type == KeyPress ? t->presses : t->releases;
                if (t->kept < 128)
                    t->keys[t->kept++] = ev.xkey;
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

static int event_code(const struct tally *t, int press)
{
    for (int c = 0; c < 256; ++c)
        if ((press ? t->presses : t->releases)[c])
            return c;
    return 0;
}

/* The keysym key event i reads as for a receiver that gets to it late: with the keymap and
 * the event's own state as they are now. */
static KeySym late_sym(const struct tally *t, int i)
{
    XSync(dpy, False);
    KeySym sym = NoSymbol;
    unsigned int mods;
    XkbLookupKeySym(dpy, (KeyCode)t->keys[i].keycode, t->keys[i].state, &mods, &sym);
    return sym;
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

static int keymap_is(const KeySym *before, int length, int per)
{
    KeySym *now;
    int per_now;
    const int same = keymap_snapshot(&now, &per_now) == length && per_now == per
                     && memcmp(before, now, sizeof *now * (size_t)length) == 0;
    XFree(now);
    return same;
}

/* The keycode of the key that XKB names so (AC01, KP0); 0 when there is none. */
static KeyCode key_named(const char *name)
{
    XkbDescPtr xkb = XkbGetMap(dpy, 0, XkbUseCoreKbd);
    KeyCode code = 0;
    if (xkb && XkbGetNames(dpy, XkbKeyNamesMask, xkb) == Success)
        for (int c = xkb->min_key_code; c <= xkb->max_key_code && !code; ++c)
            if (strncmp(xkb->names->keys[c].name, name, XkbKeyNameLength) == 0)
                code = (KeyCode)c;
    XkbFreeKeyboard(xkb, 0, True);
    return code;
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
    collect(&t, 1, 0.5);

    /* Not down and no key: nothing to send, and no spare taken for it. */
    KeySym *before;
    int per;
    const int length = keymap_snapshot(&before, &per);
    for (char vk = '\x83'; vk <= '\x87'; ++vk)
        CHECK(keyrelease((char[]){vk, 0}) == 0, "release %#x", (unsigned char)vk);
    collect(&t, 0, 0.2);
    CHECK(t.total == 0 && keymap_is(before, length, per), "%d events", t.total);
    XFree(before);
}

/* Keypad digits come on the keypad and read as digits whatever NumLock says, and the user's
 * locks are as they were after the call; a letter comes on its key whatever level is locked,
 * and reads as that level types it. Every receiver reads with the event's own state. */
static void levels(void)
{
    static const struct {
        const char *layout;
        KeySym lock; /* the modifier locked for the row */
        unsigned char vk;
        KeySym sym;
        const char *key, *not_key; /* the XKB name of the key it must or must not come on */
    } cases[] = {
        {"us", 0, 0x60, XK_KP_0, "KP0", NULL},
        {"us", 0, 0x66, XK_KP_6, "KP6", NULL},
        {"us", XK_Num_Lock, 0x60, XK_KP_0, "KP0", NULL},
        {"us", XK_Num_Lock, 0x63, XK_KP_3, "KP3", NULL},
        {"us", XK_Num_Lock, 0x69, XK_KP_9, "KP9", NULL},
        {"de", XK_ISO_Level3_Shift, 0x41, XK_ae, "AC01", NULL},
        {"de", 0, 0x41, XK_a, "AC01", NULL},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        char command[64];
        snprintf(command, sizeof command, "setxkbmap %s", cases[i].layout);
        CHECK(system(command) == 0, "%s", command);
        const unsigned mods = cases[i].lock ? XkbKeysymToModifiers(dpy, cases[i].lock) : 0;
        XkbLockModifiers(dpy, XkbUseCoreKbd, 0xff, mods);
        XSync(dpy, False);
        struct tally t;
        collect(&t, 0, 0.1);
        const char key[2] = {(char)cases[i].vk, 0};
        CHECK(keypress(key) == 0 && keyrelease(key) == 0, "row %zu", i);
        collect(&t, 2, 2.0);
        const unsigned code = t.kept ? t.keys[0].keycode : 0;
        CHECK(t.kept == 2 && late_sym(&t, 0) == cases[i].sym && late_sym(&t, 1) == cases[i].sym,
              "row %zu read as %#lx", i, t.kept ? late_sym(&t, 0) : 0UL);
        CHECK(!cases[i].key || code == key_named(cases[i].key), "row %zu came on %u", i, code);
        CHECK(!cases[i].not_key || code != key_named(cases[i].not_key), "row %zu came on %u", i, code);
        XkbStateRec state;
        XkbGetState(dpy, XkbUseCoreKbd, &state);
        CHECK(state.locked_mods == mods && state.latched_mods == 0, "row %zu left locks %#x, latches %#x",
              i, state.locked_mods, state.latched_mods);
    }
    XkbLockModifiers(dpy, XkbUseCoreKbd, 0xff, 0);
    CHECK(system("setxkbmap us") == 0, "back to us");
    struct tally t;
    collect(&t, 0, 0.1);
}

/* F13 has a key the default keymap binds to XF86Tools: F13 is bound there for the event, and
 * stays so past it. */
static void unmapped_keysym(void)
{
    CHECK(XKeysymToKeycode(dpy, XK_F13) == 0, "the default keymap should lack F13");

    struct tally t;
    CHECK(keypress("\x7C") == 0, "press F13");
    collect(&t, 1, 2.0);
    const int code = event_code(&t, 1);
    CHECK(t.total == 1 && code != 0, "%d events", t.total);
    CHECK(late_sym(&t, 0) == XK_F13, "keycode %d is bound to %#lx", code, late_sym(&t, 0));

    CHECK(keyrelease("\x7C") == 0, "release F13");
    collect(&t, 1, 2.0);
    CHECK(t.total == 1 && t.releases[code] == 1, "the release came on keycode %d", code);
    /* Toolkits read the keysym when they get to the event: the binding must outlast it. */
    CHECK(late_sym(&t, 0) == XK_F13, "after the release keycode %d is bound to %#lx", code,
          late_sym(&t, 0));
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

/* Every code the library handles, by the X name of the keysym it must arrive as on the us
 * keymap: an independent list, checked against the keysyms of the keycode that each event
 * came on. */
static const struct {
    unsigned char vk;
    const char *name;
} named_keys[] = {
    {0x03, "Cancel"}, {0x08, "BackSpace"}, {0x09, "Tab"}, {0x0C, "KP_Begin"}, {0x0D, "Return"},
    {0x10, "Shift_L"}, {0x11, "Control_L"}, {0x12, "Alt_L"}, {0x13, "Pause"},
    {0x14, "Caps_Lock"}, {0x15, "Hangul"}, {0x17, "Hangul_Jeonja"}, {0x19, "Hangul_Hanja"},
    {0x1B, "Escape"}, {0x1C, "Henkan"}, {0x1D, "Muhenkan"}, {0x1F, "Mode_switch"},
    {0x20, "space"}, {0x21, "Prior"}, {0x22, "Next"}, {0x23, "End"}, {0x24, "Home"},
    {0x25, "Left"}, {0x26, "Up"}, {0x27, "Right"}, {0x28, "Down"}, {0x29, "Select"},
    {0x2A, "Print"}, {0x2B, "Execute"}, {0x2C, "Print"}, {0x2D, "Insert"}, {0x2E, "Delete"},
    {0x2F, "Help"}, {0x30, "0"}, {0x31, "1"}, {0x32, "2"}, {0x33, "3"}, {0x34, "4"},
    {0x35, "5"}, {0x36, "6"}, {0x37, "7"}, {0x38, "8"}, {0x39, "9"}, {0x41, "a"},
    {0x42, "b"}, {0x43, "c"}, {0x44, "d"}, {0x45, "e"}, {0x46, "f"}, {0x47, "g"},
    {0x48, "h"}, {0x49, "i"}, {0x4A, "j"}, {0x4B, "k"}, {0x4C, "l"}, {0x4D, "m"},
    {0x4E, "n"}, {0x4F, "o"}, {0x50, "p"}, {0x51, "q"}, {0x52, "r"}, {0x53, "s"},
    {0x54, "t"}, {0x55, "u"}, {0x56, "v"}, {0x57, "w"}, {0x58, "x"}, {0x59, "y"},
    {0x5A, "z"}, {0x5B, "Super_L"}, {0x5C, "Super_R"}, {0x5D, "Menu"}, {0x5F, "XF86Sleep"},
    {0x60, "KP_0"}, {0x61, "KP_1"}, {0x62, "KP_2"}, {0x63, "KP_3"}, {0x64, "KP_4"},
    {0x65, "KP_5"}, {0x66, "KP_6"}, {0x67, "KP_7"}, {0x68, "KP_8"}, {0x69, "KP_9"},
    {0x6A, "KP_Multiply"}, {0x6B, "KP_Add"}, {0x6C, "KP_Decimal"}, {0x6D, "KP_Subtract"},
    {0x6E, "KP_Decimal"}, {0x6F, "KP_Divide"}, {0x70, "F1"}, {0x71, "F2"}, {0x72, "F3"},
    {0x73, "F4"}, {0x74, "F5"}, {0x75, "F6"}, {0x76, "F7"}, {0x77, "F8"}, {0x78, "F9"},
    {0x79, "F10"}, {0x7A, "F11"}, {0x7B, "F12"}, {0x7C, "F13"}, {0x7D, "F14"},
    {0x7E, "F15"}, {0x7F, "F16"}, {0x80, "F17"}, {0x81, "F18"}, {0x82, "F19"},
    {0x83, "F20"}, {0x84, "F21"}, {0x85, "F22"}, {0x86, "F23"}, {0x87, "F24"},
    {0x90, "Num_Lock"}, {0x91, "Scroll_Lock"}, {0xA0, "Shift_L"}, {0xA1, "Shift_R"},
    {0xA2, "Control_L"}, {0xA3, "Control_R"}, {0xA4, "Alt_L"}, {0xA5, "Alt_R"},
    {0xA6, "XF86Back"}, {0xA7, "XF86Forward"}, {0xA8, "XF86Reload"}, {0xA9, "XF86Stop"},
    {0xAA, "XF86Search"}, {0xAB, "XF86Favorites"}, {0xAC, "XF86HomePage"},
    {0xAD, "XF86AudioMute"}, {0xAE, "XF86AudioLowerVolume"}, {0xAF, "XF86AudioRaiseVolume"},
    {0xB0, "XF86AudioNext"}, {0xB1, "XF86AudioPrev"}, {0xB2, "XF86AudioStop"},
    {0xB3, "XF86AudioPlay"}, {0xB4, "XF86Mail"}, {0xB5, "XF86AudioMedia"},
    {0xB6, "XF86MyComputer"}, {0xB7, "XF86Calculator"}, {0xBA, "semicolon"}, {0xBB, "equal"},
    {0xBC, "comma"}, {0xBD, "minus"}, {0xBE, "period"}, {0xBF, "slash"}, {0xC0, "grave"},
    {0xDB, "bracketleft"}, {0xDC, "backslash"}, {0xDD, "bracketright"},
    {0xDE, "apostrophe"}, {0xE2, "less"}, {0xFA, "XF86AudioPlay"}, {0xFB, "XF86ZoomIn"},
};

static int carries(KeyCode code, KeySym sym)
{
    int width;
    KeySym *syms = XGetKeyboardMapping(dpy, code, 1, &width);
    int found = 0;
    for (int i = 0; syms && i < width; ++i)
        found |= syms[i] == sym;
    XFree(syms);
    return found;
}

static void every_byte(void)
{
    char key[2] = {0, 0};
    const char *names[256] = {0};
    for (size_t i = 0; i < sizeof named_keys / sizeof named_keys[0]; ++i)
        names[named_keys[i].vk] = named_keys[i].name;
    for (int byte = 1; byte <= 0xFF; ++byte) {
        key[0] = (char)byte;
        struct tally t;
        if (!names[byte]) {
            CHECK(keypress(key) == -1 && keyrelease(key) == -1, "byte %#x names no key", byte);
            continue;
        }
        const KeySym sym = XStringToKeysym(names[byte]);
        int pressed = keypress(key);
        if (pressed == -1) { /* every spare was used in the last 2 s: wait for one */
            past_grace();
            pressed = keypress(key);
        }
        CHECK(pressed == 0, "byte %#x press", byte);
        collect(&t, 1, 2.0);
        const int down = event_code(&t, 1);
        CHECK(t.total == 1 && carries((KeyCode)down, sym), "byte %#x: %d events, keycode %d not %s",
              byte, t.total, down, names[byte]);
        CHECK(keyrelease(key) == 0, "byte %#x release", byte);
        collect(&t, 1, 2.0);
        CHECK(t.total == 1 && event_code(&t, 0) == down && carries((KeyCode)down, sym),
              "byte %#x: the release came as keycode %d", byte, event_code(&t, 0));
        CHECK(no_key_down(), "byte %#x left a key down", byte);
    }
}

/* The physical key for Windows' positional codes, whatever the layout prints on it; letters
 * and digits by what they type, as on Windows. */
static void layouts(void)
{
    static const struct {
        const char *layout;
        unsigned char vk;
        const char *key; /* the XKB key name, or NULL to check `sym` instead */
        KeySym sym;
    } cases[] = {
        {"de", 0xBB, "AE12", 0}, {"de", 0xBF, "AB10", 0}, {"de", 0xDB, "AD11", 0},
        {"de", 0xDD, "AD12", 0}, {"de", 0xBA, "AC10", 0}, {"de", 0xC0, "TLDE", 0},
        {"de", 0xE2, "LSGT", 0}, {"de", 0x5A, NULL, XK_z}, {"de", 0x59, NULL, XK_y},
        {"fr", 0xBC, "AB08", 0}, {"fr", 0xBE, "AB09", 0}, {"fr", 0xBD, "AE11", 0},
        {"fr", 0xDC, "BKSL", 0}, {"fr", 0xDE, "AC11", 0}, {"fr", 0x41, NULL, XK_a},
        {"fr", 0x51, NULL, XK_q}, {"fr", 0x31, NULL, XK_1}, {"us", 0xBB, "AE12", 0},
        {"us", 0xBF, "AB10", 0}, {"us", 0x5A, NULL, XK_z},
        {"gb", 0xE2, "LSGT", 0}, /* there it carries backslash; "less" sits on AB08 */
    };
    const char *current = "us";
    XkbDescPtr xkb = XkbGetMap(dpy, 0, XkbUseCoreKbd);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (strcmp(cases[i].layout, current) != 0) {
            char command[64];
            snprintf(command, sizeof command, "setxkbmap %s", cases[i].layout);
            CHECK(system(command) == 0, "%s", command);
            current = cases[i].layout;
            struct tally t;
            collect(&t, 0, 0.2);
            XkbGetNames(dpy, XkbKeyNamesMask, xkb);
        }
        const char key[2] = {(char)cases[i].vk, 0};
        struct tally t;
        CHECK(keypress(key) == 0 && keyrelease(key) == 0, "%s %#x", current, cases[i].vk);
        collect(&t, 2, 2.0);
        const int code = event_code(&t, 1);
        if (cases[i].key)
            CHECK(code && strncmp(xkb->names->keys[code].name, cases[i].key, 4) == 0,
                  "%s %#x came on <%.4s>, not <%s>", current, cases[i].vk,
                  code ? xkb->names->keys[code].name : "", cases[i].key);
        else
            CHECK(code && carries((KeyCode)code, cases[i].sym), "%s %#x came on keycode %d",
                  current, cases[i].vk, code);
    }
    XkbFreeKeyboard(xkb, 0, True);

    /* Z goes down on us and comes up on de, where z sits on another key. */
    CHECK(system("setxkbmap us") == 0 && keypress("Z") == 0, "press Z");
    CHECK(system("setxkbmap de") == 0 && keyrelease("Z") == 0, "release Z");
    CHECK(no_key_down(), "Z stayed down across the layout switch");
    CHECK(system("setxkbmap us") == 0, "back to us");
    struct tally t;
    collect(&t, 0, 0.2);
}

#define THREADS 8
#define PAIRS 1000

static void *hammer(void *arg)
{
    const int i = (int)(long)arg;
    /* A key of the layout and one the keymap lacks, so that spares are bound under the others. */
    const char mapped[2] = {(char)('1' + i), 0}, spare[2] = {(char)(0x7C + i), 0};
    long bad = 0;
    for (int n = 0; n < PAIRS; ++n)
        bad += keypress(mapped) != 0 || keyrelease(mapped) != 0 || keypress(spare) != 0
               || keyrelease(spare) != 0;
    return (void *)bad;
}

/* Counts per keysym, read from the keymap once the run is over and the bindings are still up. */
static void count_per_keysym(const struct tally *t, KeySym sym, int *presses, int *releases)
{
    *presses = *releases = 0;
    for (int c = 8; c < 256; ++c)
        if ((t->presses[c] || t->releases[c]) && XkbKeycodeToKeysym(dpy, (KeyCode)c, 0, 0) == sym) {
            *presses += t->presses[c];
            *releases += t->releases[c];
        }
}

static void concurrent_threads(void)
{
    pthread_t threads[THREADS];
    for (long i = 0; i < THREADS; ++i)
        pthread_create(&threads[i], NULL, hammer, (void *)i);
    struct tally t;
    collect(&t, THREADS * PAIRS * 4, 60.0);
    for (int i = 0; i < THREADS; ++i) {
        void *bad;
        pthread_join(threads[i], &bad);
        CHECK(bad == NULL, "thread %d saw %ld failures", i, (long)bad);
    }
    for (int i = 0; i < THREADS; ++i)
        for (int kind = 0; kind < 2; ++kind) {
            const KeySym sym = kind ? XK_F13 + (KeySym)i : XK_1 + (KeySym)i;
            int presses, releases;
            count_per_keysym(&t, sym, &presses, &releases);
            CHECK(presses == PAIRS && releases == PAIRS, "%s: %d presses, %d releases",
                  XKeysymToString(sym), presses, releases);
        }
    CHECK(t.total == THREADS * PAIRS * 4, "%d events", t.total);
}

static pid_t spawn_self(const char *const *args, int *input, int *output)
{
    char *argv[8] = {"/proc/self/exe"};
    for (int i = 0; args[i] && i < 6; ++i)
        argv[i + 1] = (char *)args[i];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (input && pipe2(fds, O_CLOEXEC) == 0) { /* no other child may hold our end */
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        *input = fds[1];
    }
    int outs[2] = {-1, -1};
    if (output && pipe2(outs, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, outs[1], 1);
        *output = outs[0];
    }
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (fds[0] >= 0)
        close(fds[0]);
    if (outs[1] >= 0)
        close(outs[1]);
    return pid;
}

static int exit_status(pid_t pid)
{
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* Runs a child to its end and collects what it sent; returns its exit status. */
static int run_child(const char *const *args, struct tally *t)
{
    const int status = exit_status(spawn_self(args, NULL, NULL));
    XSync(dpy, False);
    collect(t, 0, 0.05);
    return status;
}

/* The spare registry's values, four an entry (XFree them); NULL when it has none. */
static unsigned long *registry(unsigned long *count)
{
    Atom type;
    int format;
    unsigned long after;
    unsigned char *data = NULL;
    XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_TAPSTRIKE_SPARE_KEYCODES", False),
                       0, 1 << 16, False, XA_CARDINAL, &type, &format, count, &after, &data);
    if (data && format != 32)
        XFree(data), data = NULL;
    *count = data ? *count / 4 * 4 : 0;
    return (unsigned long *)data;
}

/* Whether the spare registry lists a keycode for the keysym. */
static int registry_names(KeySym sym)
{
    unsigned long count, *entries = registry(&count);
    int found = 0;
    for (unsigned long i = 3; i < count; i += 4)
        found |= entries[i] == sym;
    XFree(entries);
    return found;
}

/* A client that exits right after its last call, with or without its exit handlers, loses
 * nothing and leaves no key down. A spare stays bound after it, so that every event still reads
 * its keysym for a receiver that gets to it late, and the first claim after the grace undoes it. */
static void short_lived_clients(void)
{
    /* One that dies: the next claims find its spare's owner gone. */
    const char *dies[] = {"tap", "84", "quick", NULL};
    struct tally t;
    CHECK(run_child(dies, &t) == 0, "F21 failed");

    static const struct {
        const char *args[4];
        int runs;
        KeySym sym;
    } cases[] = {
        {{"tap", "41", "quick", NULL}, 300, XK_a}, /* gone at once */
        {{"tap", "86", NULL}, 50, XK_F23},         /* a spare each, left behind at exit */
    };
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
        int failed = 0, presses = 0, releases = 0, wrong = 0;
        for (int run = 0; run < cases[c].runs; ++run) {
            failed += run_child(cases[c].args, &t) != 0;
            for (int i = 0; i < t.kept; ++i)
                if (late_sym(&t, i) != cases[c].sym)
                    ++wrong;
                else
                    ++*(t.keys[i].type == KeyPress ? &presses : &releases);
        }
        CHECK(failed == 0 && presses == cases[c].runs && releases == cases[c].runs && wrong == 0,
              "%s, %d runs: %d failed, %d presses, %d releases, %d events read otherwise",
              XKeysymToString(cases[c].sym), cases[c].runs, failed, presses, releases, wrong);
    }
    CHECK(no_key_down(), "a short-lived client left a key down");

    /* Once their grace is over, the next claim undoes them and drops them from the registry. */
    past_grace();
    const char *tap_f22[] = {"tap", "85", NULL};
    CHECK(run_child(tap_f22, &t) == 0, "F22 failed");
    CHECK(!XKeysymToKeycode(dpy, XK_F23) && !XKeysymToKeycode(dpy, XK_F21), "still bound");
    CHECK(!registry_names(XK_F23) && !registry_names(XK_F21), "still listed");
}

/* In a fresh process, one event a row: a spare is reused only once its 2 s are over, the
 * oldest idle one first, a held one never; then as many keys can be held as there are unused
 * keycodes. */
static const struct {
    int pause_ms; /* before the call */
    unsigned char vk;
    int press;
    int same_as, unlike[2]; /* rows whose keycode this one's is, or is not; -1 for none */
} pool_rows[] = {
    {0, 0x80, 1, -1, {-1, -1}},     /* F17, held throughout */
    {0, 0x7C, 1, -1, {0, -1}},      /* F13 */
    {0, 0x7C, 0, 1, {-1, -1}},
    {0, 0x7D, 1, -1, {0, 1}},       /* F14 at once: F13's spare is in its grace */
    {0, 0x7D, 0, 3, {-1, -1}},
    {300, 0x7E, 1, -1, {1, 3}},     /* F15 0.3 s on: still in their grace */
    {0, 0x7E, 0, 5, {-1, -1}},
    {2100, 0x7F, 1, 1, {0, -1}},    /* F16 past the grace: F13's, the oldest idle */
    {0, 0x7F, 0, 7, {-1, -1}},
    {0, 0x80, 0, 0, {-1, -1}},
};
#define POOL_ROWS (int)(sizeof pool_rows / sizeof pool_rows[0])

static void spare_pool(void)
{
    const char *pool[] = {"pool", "0", NULL};
    struct tally t;
    const pid_t pid = spawn_self(pool, NULL, NULL);
    collect(&t, POOL_ROWS + 2 + 24, 10.0);
    CHECK(exit_status(pid) == 0, "the pool client failed");
    CHECK(t.kept == POOL_ROWS + 26, "%d events", t.kept);
    if (t.kept < POOL_ROWS + 26)
        return;
    for (int r = 0; r < POOL_ROWS; ++r) {
        const unsigned code = t.keys[r].keycode;
        CHECK(pool_rows[r].same_as < 0 || code == t.keys[pool_rows[r].same_as].keycode,
              "row %d came on %u, not on row %d's", r, code, pool_rows[r].same_as);
        for (int i = 0; i < 2; ++i)
            CHECK(pool_rows[r].unlike[i] < 0 || code != t.keys[pool_rows[r].unlike[i]].keycode,
                  "row %d came on %u, row %d's", r, code, pool_rows[r].unlike[i]);
    }
    for (int k = 0; k < 12; ++k) {
        const int down = POOL_ROWS + 2 + k, up = down + 12;
        CHECK(t.keys[down].keycode == t.keys[up].keycode && late_sym(&t, up) == XK_F13 + (KeySym)k,
              "F%d went down on %d, came up on %d as %#lx", 13 + k, t.keys[down].keycode,
              t.keys[up].keycode, late_sym(&t, up));
    }
}

/* A child forked while another thread is in a call can use the library, and so can the parent. */
static atomic_int looping;

static void *loop_calls(void *arg)
{
    (void)arg;
    while (atomic_load(&looping))
        keypress("A"), keyrelease("A");
    return NULL;
}

static void fork_while_calling(void)
{
    pthread_t thread;
    atomic_store(&looping, 1);
    pthread_create(&thread, NULL, loop_calls, NULL);
    int hung = 0, failed = 0;
    for (int i = 0; i < 5; ++i) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(keypress("\x7D") == 0 && keyrelease("\x7D") == 0 ? 0 : 1);
        int status = -1;
        for (double end = now() + 5.0; waitpid(pid, &status, WNOHANG) == 0;) {
            if (now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ++hung;
            }
            nanosleep(&(struct timespec){0, 1000000}, NULL);
        }
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    atomic_store(&looping, 0);
    pthread_join(thread, NULL);
    CHECK(hung == 0 && failed == 0, "%d children hung, %d failed", hung, failed);
    CHECK(keypress("B") == 0 && keyrelease("B") == 0, "the parent after the forks");
    struct tally t;
    collect(&t, 0, 0.3);
    CHECK(no_key_down(), "a key stayed down");
}

/* Two processes claiming spares at the same time never take each other's keycodes. */
static void two_processes(void)
{
    enum { KEYS = 4, ROUNDS = 300 };
    const char *first[] = {"type", "7C", "4", "300", NULL}, *second[] = {"type", "80", "4", "300", NULL};
    int inputs[2];
    const pid_t pids[2] = {spawn_self(first, &inputs[0], NULL), spawn_self(second, &inputs[1], NULL)};
    struct tally t;
    collect(&t, 2 * KEYS * ROUNDS * 2, 60.0);
    for (int i = 0; i < 2 * KEYS; ++i) {
        int presses, releases;
        count_per_keysym(&t, XK_F13 + (KeySym)i, &presses, &releases);
        CHECK(presses == ROUNDS && releases == ROUNDS, "F%d: %d presses, %d releases", 13 + i,
              presses, releases);
    }
    for (int i = 0; i < 2; ++i) {
        close(inputs[i]);
        CHECK(exit_status(pids[i]) == 0, "client %d failed", i);
    }
}

/* After calls that return, every other client of the display is served at once: after a
 * sweep of every code, which uses up the spares, and after calls made while another client
 * held the server. The child checks with xdpyinfo while it idles, its connection open. */
static void display_not_stalled(void)
{
    static const struct {
        const char *args[5];
        int held_ms; /* how long we hold the server while the child calls */
    } cases[] = {
        {{"stall", "01", "255", NULL}, 0},
        {{"stall", "7C", "4", NULL}, 500},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (cases[i].held_ms)
            XGrabServer(dpy), XSync(dpy, False);
        const pid_t pid = spawn_self(cases[i].args, NULL, NULL);
        nanosleep(&(struct timespec){0, cases[i].held_ms * 1000000L}, NULL);
        XUngrabServer(dpy);
        XSync(dpy, False);
        CHECK(exit_status(pid) == 0, "row %zu: another client was kept waiting", i);
    }
    struct tally t;
    collect(&t, 0, 2.1); /* past the grace of the spares used */
}

/* While another client replaces the keymap over and over, which wipes every spare, an event
 * on a spare goes to a keycode bound to its keysym, as the notices of the keymap changes
 * ahead of it in our queue tell; no keycode takes another keysym within 2 s of its last
 * event; nothing stays down. */
static void keymap_churn(void)
{
    enum { KEYS = 4, ROUNDS = 1000 };
    const char *typer[] = {"type", "7C", "4", "1000", NULL};
    char *churn[] = {"sh", "-c", "for i in $(seq 20); do setxkbmap us; setxkbmap de; done", NULL};
    pid_t shell = -1;
    CHECK(posix_spawnp(&shell, "sh", NULL, NULL, churn, environ) == 0, "setxkbmap loop");
    int input;
    const pid_t pid = spawn_self(typer, &input, NULL);
    unsigned char bound[256];
    memset(bound, 1, sizeof bound);
    int last_key[256];
    double last[256];
    memset(last_key, -1, sizeof last_key);
    int events = 0, on_unbound = 0, early = 0, churning = 1, xkb_base;
    const unsigned long maps = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    XkbQueryExtension(dpy, NULL, &xkb_base, NULL, NULL, NULL);
    XkbSelectEvents(dpy, XkbUseCoreKbd, maps, maps); /* XKB's own notices, in the stream */
    for (double end = now() + 60; (churning || events < 2 * KEYS * ROUNDS) && now() < end;) {
        churning = churning && waitpid(shell, NULL, WNOHANG) == 0;
        while (XPending(dpy)) {
            XkbEvent ev;
            XNextEvent(dpy, &ev.core);
            if (ev.type == xkb_base) {
                /* A spare is bound one keycode at a time; a keymap loaded by name wipes them
                 * all (XkbGetKeyboardByName is XKB's request 23). The server's own copies of a
                 * keymap between its devices bring no new bindings. */
                const int map = ev.any.xkb_type == XkbMapNotify;
                const int first = map ? ev.map.first_key_sym : 0;
                const int count = map ? ev.map.num_key_syms : ev.new_kbd.req_minor == 23 ? 256 : 0;
                for (int c = first; c < first + count && c < 256; ++c)
                    bound[c] = count == 1;
            } else if (ev.type == KeyPress || ev.type == KeyRelease) {
                const int c = (int)ev.core.xkey.keycode, key = events++ / 2 % KEYS;
                on_unbound += !bound[c];
                early += last_key[c] >= 0 && last_key[c] != key && now() - last[c] < 1.5;
                last_key[c] = key;
                last[c] = now();
            }
        }
        nanosleep(&(struct timespec){0, 1000000}, NULL);
    }
    XkbSelectEvents(dpy, XkbUseCoreKbd, maps, 0);
    close(input);
    CHECK(exit_status(pid) == 0, "a call failed during the churn");
    CHECK(events == 2 * KEYS * ROUNDS && on_unbound == 0 && early == 0,
          "%d events, %d on a keycode with no binding, %d on a keycode rebound in its 2 s", events,
          on_unbound, early);
    CHECK(system("setxkbmap us") == 0 && no_key_down(), "a key stayed down");
}

/* While another client loads us and de by turns (as setxkbmap does), Y and Z are pressed: no
 * press that the server processed as the other letter may return 0. The keymap each event
 * went out under is known exactly: an event's serial is that of the last request of ours
 * the server had processed, and we made the loads. */
static void layout_churn(void)
{
    enum { PRESSES = 300 };
    XkbComponentNamesRec maps[2] = {
        {NULL, "evdev+aliases(qwerty)", "complete", "complete", "pc+us+inet(evdev)", NULL},
        {NULL, "evdev+aliases(qwertz)", "complete", "complete", "pc+de+inet(evdev)", NULL},
    };
    const KeyCode ad06 = key_named("AD06"), ab01 = key_named("AB01");
    const char *letters[] = {"letters", "0", "300", NULL};
    int output;
    const pid_t pid = spawn_self(letters, NULL, &output);
    unsigned long loaded[4096];
    int loads = 0, presses = 0, wrong[PRESSES] = {0};
    for (double end = now() + 60, next = 0; presses < PRESSES && now() < end;) {
        if (now() >= next) { /* a load every 10 ms, about as often as a loop of setxkbmap */
            loaded[loads % 4096] = NextRequest(dpy);
            XkbFreeKeyboard(XkbGetKeyboardByName(dpy, XkbUseCoreKbd, &maps[loads % 2],
                                                 XkbGBN_AllComponentsMask,
                                                 XkbGBN_AllComponentsMask, True), 0, True);
            ++loads;
            next = now() + 0.01;
        }
        nanosleep(&(struct timespec){0, 1000000}, NULL);
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type != KeyPress || presses >= PRESSES)
                continue;
            int map = loads - 1;
            while (map > 0 && loaded[map % 4096] > ev.xkey.serial)
                --map;
            const int z_key = map % 2 ? ad06 : ab01; /* de : us */
            wrong[presses] = (int)ev.xkey.keycode != (presses % 2 ? z_key : (z_key == ad06 ? ab01 : ad06));
            ++presses;
        }
    }
    char results[PRESSES + 1] = {0};
    for (ssize_t n, got = 0; got < PRESSES && (n = read(output, results + got, PRESSES - got)) > 0;)
        got += n;
    close(output);
    int lied = 0, refused = 0, missed = 0;
    for (int i = 0; i < PRESSES; ++i) {
        lied += wrong[i] && results[i] == '0';
        refused += results[i] != '0';
        missed += wrong[i];
    }
    printf("layout churn: %d loads, %d presses, %d as the other letter (%d reported sent), %d refused\n",
           loads, presses, missed, lied, refused);
    CHECK(exit_status(pid) == 0 && presses == PRESSES && lied == 0,
          "%d loads, %d presses: %d as the other letter, %d of them reported sent; %d refused",
          loads, presses, missed, lied, refused);
    CHECK(system("setxkbmap us") == 0 && no_key_down(), "a key stayed down");
}

/* Drops the registry's entries for a keycode, as a hostile neighbour might. */
static void unlist(KeyCode code)
{
    unsigned long count, kept = 0, *entries = registry(&count);
    for (unsigned long i = 0; i < count; i += 4)
        if (entries[i + 2] != code)
            memmove(&entries[kept], &entries[i], 4 * sizeof *entries), kept += 4;
    XChangeProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_TAPSTRIKE_SPARE_KEYCODES", False),
                    XA_CARDINAL, 32, PropModeReplace, (unsigned char *)entries, (int)kept);
    XFree(entries);
    XSync(dpy, False);
}

static int ignore_error(Display *d, XErrorEvent *e)
{
    (void)d, (void)e;
    return 0;
}

/* Kills a client and waits until the X server has noticed its connection close: until the
 * window by which the registry names the owner of `code` is gone. */
static void kill_client(pid_t pid, KeyCode code)
{
    unsigned long count, *entries = registry(&count);
    Window owner = 0;
    for (unsigned long i = 0; i < count; i += 4)
        if (entries[i + 2] == code && entries[i] != 0xFFFFFFFF)
            owner = entries[i];
    XFree(entries);
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
    XErrorHandler old = XSetErrorHandler(ignore_error);
    XWindowAttributes attributes;
    for (double end = now() + 10; owner && XGetWindowAttributes(dpy, owner, &attributes) && now() < end;)
        nanosleep(&(struct timespec){0, 1000000}, NULL);
    XSetErrorHandler(old);
}

/* A client killed with keys held on spares: the next client's first call releases them, one
 * release each, before its own event, but not one that another client has bound since (it is
 * another key now); a spare down at a normal exit stays bound; and a keycode that is down is
 * never rebound, even when a hostile neighbour has wiped its binding and its registry entry. */
static void killed_client(void)
{
    const char *holds_two[] = {"hold", "7C", "2", NULL}, *holds_one[] = {"hold", "7E", "1", NULL};
    const char *tap[] = {"tap", "41", NULL}, *typer[] = {"type", "7F", "4", "1", NULL};
    const char *leaves_down[] = {"press", "84", NULL};
    int input;
    pid_t pid = spawn_self(holds_two, &input, NULL);
    struct tally t;
    collect(&t, 2, 5.0);
    const unsigned f13 = t.keys[0].keycode, f14 = t.keys[1].keycode;
    kill_client(pid, (KeyCode)f13);
    close(input);
    CHECK(run_child(tap, &t) == 0 && t.kept == 4, "%d events", t.kept);
    CHECK(t.kept == 4 && t.keys[0].type == KeyRelease && t.keys[1].type == KeyRelease
              && t.keys[0].keycode + t.keys[1].keycode == f13 + f14
              && t.keys[0].keycode != t.keys[1].keycode && t.keys[2].type == KeyPress,
          "not one release for each of %u and %u first", f13, f14);
    CHECK(no_key_down(), "the dead client's keys stayed down");

    pid = spawn_self(holds_one, &input, NULL);
    collect(&t, 1, 5.0);
    const KeyCode rebound = (KeyCode)t.keys[0].keycode;
    kill_client(pid, rebound);
    close(input);
    KeySym x[8] = {XK_x, XK_X}, none[8] = {0};
    int per;
    XFree(XGetKeyboardMapping(dpy, rebound, 1, &per));
    XChangeKeyboardMapping(dpy, rebound, per < 8 ? per : 8, x, 1);
    XSync(dpy, False);
    CHECK(run_child(tap, &t) == 0 && t.kept == 2 && t.keys[0].keycode != rebound,
          "keycode %u, bound to x since, was released", rebound);
    XChangeKeyboardMapping(dpy, rebound, per < 8 ? per : 8, none, 1); /* unbound: released */
    XSync(dpy, False);
    CHECK(run_child(tap, &t) == 0 && no_key_down(), "keycode %u stayed down", rebound);

    CHECK(run_child(leaves_down, &t) == 0 && t.kept == 1, "%d events", t.kept);
    const KeyCode left = t.kept ? (KeyCode)t.keys[0].keycode : 0;
    CHECK(left && carries(left, XK_F21), "a spare down at exit was undone");
    CHECK(run_child(tap, &t) == 0 && no_key_down(), "the spare left down stayed down");

    pid = spawn_self(holds_one, &input, NULL);
    collect(&t, 1, 5.0);
    const KeyCode down = (KeyCode)t.keys[0].keycode;
    XFree(XGetKeyboardMapping(dpy, down, 1, &per));
    XChangeKeyboardMapping(dpy, down, per < 8 ? per : 8, none, 1);
    unlist(down);
    int typing;
    const pid_t typist = spawn_self(typer, &typing, NULL);
    collect(&t, 8, 5.0);
    close(typing);
    CHECK(exit_status(typist) == 0 && t.kept == 8, "%d events", t.kept);
    for (int i = 0; i < t.kept; ++i)
        CHECK(t.keys[i].keycode != down, "F%d went to keycode %u, which is down", 16 + i / 2, down);
    close(input);
    CHECK(exit_status(pid) == 0 && no_key_down(), "the held key stayed down");
    collect(&t, 0, 2.1);
}

static int child(int argc, char **argv)
{
    const int first = (int)strtol(argv[2], NULL, 16);
    if (strcmp(argv[1], "tap") == 0) {
        const char key[2] = {(char)first, 0};
        const int status = keypress(key) == 0 && keyrelease(key) == 0 ? 0 : 1;
        if (argc > 3)
            _exit(status); /* gone at once: no exit handlers, no destructors */
        return status;
    }
    if (strcmp(argv[1], "letters") == 0) { /* Y and Z by turns, each press's result on stdout */
        for (int n = 0; n < atoi(argv[3]); ++n) {
            const char key[2] = {n % 2 ? 'Z' : 'Y', 0};
            const char result = keypress(key) == 0 ? '0' : '1';
            keyrelease(key);
            if (write(1, &result, 1) != 1)
                return 1;
            nanosleep(&(struct timespec){0, 3000000}, NULL); /* at a typist's pace, across loads */
        }
        return 0;
    }
    if (strcmp(argv[1], "press") == 0) { /* and leave, past the grace, with the key down */
        const int status = keypress((char[]){(char)first, 0});
        nanosleep(&(struct timespec){2, 100000000}, NULL);
        return status == 0 ? 0 : 1;
    }
    if (strcmp(argv[1], "pool") == 0) {
        int bad = 0;
        for (int r = 0; r < POOL_ROWS; ++r) {
            nanosleep(&(struct timespec){0, pool_rows[r].pause_ms % 1000 * 1000000L}, NULL);
            sleep((unsigned)pool_rows[r].pause_ms / 1000);
            bad += (pool_rows[r].press ? keypress : keyrelease)((char[]){(char)pool_rows[r].vk, 0});
        }
        bad += keypress("\x41") + keyrelease("\x41"); /* a mark between the two parts */
        for (int k = 0; k < 24; ++k)
            bad += (k < 12 ? keypress : keyrelease)((char[]){(char)(0x7C + k % 12), 0});
        return bad ? 1 : 0;
    }
    if (strcmp(argv[1], "hold") == 0 || strcmp(argv[1], "stall") == 0) {
        const int keys = atoi(argv[3]);
        for (int k = 0; k < keys; ++k) {
            keypress((char[]){(char)(first + k), 0});
            if (argv[1][0] == 's') /* one after the other; then the display must serve others */
                keyrelease((char[]){(char)(first + k), 0});
        }
        if (argv[1][0] == 's')
            return system("timeout 3 xdpyinfo >/dev/null") == 0 ? 0 : 1;
        char c;
        while (read(0, &c, 1) > 0)
            ;
        int bad = 0;
        for (int k = 0; k < keys; ++k)
            bad += keyrelease((char[]){(char)(first + k), 0}) != 0;
        return bad ? 1 : 0;
    }
    if (strcmp(argv[1], "type") != 0 || argc < 5)
        return 2;
    const int keys = atoi(argv[3]), rounds = atoi(argv[4]);
    int bad = 0;
    for (int n = 0; n < rounds; ++n)
        for (int k = 0; k < keys; ++k) {
            const char key[2] = {(char)(first + k), 0};
            bad += keypress(key) != 0 || keyrelease(key) != 0;
        }
    /* The bindings must stay up until the parent has read what the keycodes meant. */
    char c;
    while (read(0, &c, 1) > 0)
        ;
    return bad ? 1 : 0;
}

int main(int argc, char **argv)
{
    if (argc > 2)
        return child(argc, argv);
    setup_window();
    single_events();
    keys_that_send_nothing();
    levels();
    unmapped_keysym();
    /* Spares: on keycodes without F13-F24, whose codes each need one. */
    CHECK(system("xkbcomp -w0 \"$DISPLAY\" - | sed -E '/<FK(1[3-9]|2[0-4])>.*[{][^}]*$/,/[}];/d;"
                 " /<FK(1[3-9]|2[0-4])>/d' | xkbcomp -w0 - \"$DISPLAY\"") == 0, "no F13-F24 keys");
    spare_pool();
    two_processes();
    keymap_changed_by_others();
    concurrent_threads();
    short_lived_clients();
    fork_while_calling();
    display_not_stalled();
    killed_client();
    keymap_churn();
    layout_churn();
    every_byte();
    layouts();
    XAutoRepeatOn(dpy);
    XCloseDisplay(dpy);
    printf(failures ? "x11_keys: %d checks failed\n" : "x11_keys: all checks passed\n", failures);
    return failures ? 1 : 0;
}
