/* X11: each call sends one XTest fake key event to the X server that DISPLAY names, for the key
 * that the code names as Windows names it (keys.c), and returns 0 only once the server has
 * processed it under the keymap we chose the key in: a flushed write is not an event the
 * server took, and a client that exits right after its last call must not lose it.
 *
 * Another client may replace the keymap or switch the group at any moment (setxkbmap). A key
 * of the layout goes out at once; the server's notices of changes made before it processed
 * the event come ahead of the reply, so a call that sees one knows its event went out under a
 * keymap it did not know: it releases what it pressed and returns -1. For WARY_MS after such a
 * change, keys go out under a grab that first learns the keymap. An event on a bound keycode
 * (x11_spares.c) always goes under the grab that saw its binding. Every path that grabs lets go
 * and flushes before it returns: a grab left in our output buffer stalls every other client of
 * the display. */
#include "tapstrike.h"
#include "x11.h"

#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <xcb/xcbext.h>
#include <xcb/xkb.h>
#include <xcb/xtest.h>

static struct tapstrike context = {.lock = PTHREAD_MUTEX_INITIALIZER};

/* Queues the event and notes where a press of the code went, for its release. */
xcb_void_cookie_t queue_event(struct tapstrike *t, unsigned char vk, xcb_keycode_t code,
                              xcb_keysym_t sym, int press)
{
    t->held[vk] = press ? code : 0;
    t->held_latch[vk] = 0;
    spares_note_event(t, code, sym);
    return xcb_test_fake_input_checked(t->conn, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code,
                                       XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

/* Latches (or unlatches) modifiers on the core keyboard: a latch adds to whatever is locked,
 * so the user's locks are never touched. Sent by hand: XCB's request has no field for the
 * latches' values (the byte after affectModLatches, which it takes for padding). */
static void latch(struct tapstrike *t, uint8_t mods, int on)
{
    static const xcb_protocol_request_t request = {
        .count = 1, .ext = &xcb_xkb_id, .opcode = XCB_XKB_LATCH_LOCK_STATE, .isvoid = 1};
    xcb_xkb_latch_lock_state_request_t out = {.deviceSpec = XCB_XKB_ID_USE_CORE_KBD,
                                              .affectModLatches = mods,
                                              .pad0 = on ? mods : 0};
    struct iovec parts[3] = {[2] = {&out, sizeof out}}; /* two before it are XCB's */
    xcb_send_request(t->conn, 0, parts + 2, &request);
}

/* A key of the layout, with the modifiers it is read under latched for it alone, all under
 * one grab: nobody's event comes between. */
static xcb_void_cookie_t send_key(struct tapstrike *t, unsigned char vk, xcb_keycode_t code,
                                  xcb_keysym_t sym, uint8_t mods, int press)
{
    if (mods && !t->grabbed)
        display_grab(t);
    if (mods)
        latch(t, mods, 1);
    const xcb_void_cookie_t cookie = queue_event(t, vk, code, sym, press);
    if (mods)
        latch(t, mods, 0);
    t->held_latch[vk] = press ? mods : 0;
    t->event_seq = cookie.sequence;
    t->event_unsure = 0;
    display_ungrab(t);
    return cookie;
}

/* Under a grab, the notices of every change made before it (a refresh's reply brings them as
 * well as a bare round trip's): then nobody can change the keymap until we let go. */
static int learn_keymap(struct tapstrike *t)
{
    display_grab(t);
    if (!keymap_stale(t))
        free(xcb_get_input_focus_reply(t->conn, xcb_get_input_focus(t->conn), NULL));
    display_drain(t);
    for (int tries = 0; tries < 3 && keymap_stale(t); ++tries) {
        if (keymap_refresh(t) != 0)
            return -1;
        display_drain(t);
    }
    return 0;
}

/* An event on a bound keycode: always under the grab that sees its binding. */
static int bound_key(struct tapstrike *t, unsigned char vk, const struct key_choice *choice,
                     int press)
{
    const xcb_keysym_t sym = choice->bind ? choice->bind : tapstrike_key_name(vk)->sym;
    return spares_event(t, vk, sym, choice->bind ? (xcb_keycode_t)choice->code : 0, press,
                        spares_for(t, sym));
}

/* The key goes out bound: it needs a binding, or it is one of ours, bound to this keysym or,
 * for as long as that binding lasts, to another, which receivers would read. */
static int goes_bound(struct tapstrike *t, unsigned char vk, const struct key_choice *choice)
{
    const struct spare *spare = spares_at(t, (xcb_keycode_t)choice->code);
    return choice->bind
           || (spare && (spare->sym == tapstrike_key_name(vk)->sym
                         || spares_bound(t, spare->code, spare->sym)));
}

static int layout_key(struct tapstrike *t, unsigned char vk, int press)
{
    const struct key_choice *choice = keymap_choose(t, vk);
    if (choice->bind) /* a binding is seen under the grab that sends the event */
        return bound_key(t, vk, choice, press);
    if (display_since_ms(&t->others_changed) < WARY_MS
        || keymap_row_stale(t, (xcb_keycode_t)choice->code)) {
        if (learn_keymap(t) != 0)
            return -1;
        choice = keymap_choose(t, vk);
    }
    if (goes_bound(t, vk, choice))
        return bound_key(t, vk, choice, press);
    const xcb_keysym_t sym = tapstrike_key_name(vk)->sym;
    const xcb_keycode_t code = (xcb_keycode_t)choice->code;
    const uint8_t mods = (uint8_t)choice->latch;
    int result = display_wait(t, send_key(t, vk, code, sym, mods, press));
    t->event_seq = 0;
    if (result == 0 && t->event_unsure && press) {
        /* Pressed under a keymap we did not know: maybe another key. Nothing stays down. */
        result = display_wait(t, send_key(t, vk, code, sym, mods, 0));
        result = -1;
    }
    return result;
}

/* A key that is down comes up where it went down, read as the same key, whatever the keymap
 * did since. */
static int release_held(struct tapstrike *t, unsigned char vk)
{
    const xcb_keycode_t code = t->held[vk];
    struct spare *spare = spares_at(t, code);
    if (spare)
        return spares_event(t, vk, spare->sym, 0, 0, code);
    return display_wait(t, send_key(t, vk, code, tapstrike_key_name(vk)->sym, t->held_latch[vk], 0));
}

static int inject(const char *key, int press)
{
    if (!key)
        return -1;
    const unsigned char vk = (unsigned char)key[0];
    if (vk == 0)
        return 0; /* names no key: nothing to send */
    if (tapstrike_key_name(vk)->kind == KEY_NONE)
        return -1;

    struct tapstrike *t = &context;
    pthread_mutex_lock(&t->lock);
    int result = -1;
    if (display_connect(t) != 0)
        goto done;
    display_drain(t);
    if (!press && t->held[vk]) {
        result = release_held(t, vk);
        goto done;
    }
    const int wary = display_since_ms(&t->others_changed) < WARY_MS;
    if (!(wary && t->xkb_map) && keymap_stale(t) && keymap_refresh(t) != 0)
        goto done; /* when wary, a layout key refreshes under its grab */
    const struct key_choice *choice = keymap_choose(t, vk);
    if (!press && choice->bind && !spares_for(t, choice->bind)) {
        result = 0; /* no key is down for it: the server would drop the release */
        goto done;
    }
    result = layout_key(t, vk, press);

done:
    t->event_seq = 0;
    if (t->conn)
        display_ungrab(t);
    if (t->conn && xcb_connection_has_error(t->conn))
        display_disconnect(t);
    pthread_mutex_unlock(&t->lock);
    return result;
}

int keypress(const char *key)
{
    return inject(key, 1);
}

int keyrelease(const char *key)
{
    return inject(key, 0);
}

/* A fork while another thread is in a call would leave the child a lock held by nobody: the
 * fork waits for the call instead. The child's connection is the parent's, and so are the
 * bindings: its first call starts afresh with its own. The process id tells that too, except
 * to a grandchild that got the first process's id once that one had ended. */
static void before_fork(void)
{
    pthread_mutex_lock(&context.lock);
}

static void after_fork_parent(void)
{
    pthread_mutex_unlock(&context.lock);
}

static void after_fork_child(void)
{
    context.conn = NULL; /* left open: closing it would shut the parent's down */
    pthread_mutex_unlock(&context.lock);
}

__attribute__((constructor)) static void watch_forks(void)
{
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

/* When the library goes, on dlclose or at a normal exit (x11_spares.c says what stays bound).
 * A call that is stuck holding the lock gets a second, then we leave. */
__attribute__((destructor)) static void restore_spares(void)
{
    struct tapstrike *t = &context;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    if (pthread_mutex_timedlock(&t->lock, &deadline) != 0)
        return;
    if (t->conn && t->pid == getpid() && !xcb_connection_has_error(t->conn) && t->spare_count > 0)
        spares_leave(t);
    if (t->pid == getpid())
        display_disconnect(t);
    xkb_context_unref(t->xkb_ctx);
    t->xkb_ctx = NULL;
    pthread_mutex_unlock(&t->lock);
}
