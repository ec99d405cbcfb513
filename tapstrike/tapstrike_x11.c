/* X11: each call sends one XTest fake key event to the X server that DISPLAY names.
 *
 * XCB rather than Xlib: a broken connection is a state to test, not a call to exit() from a
 * process-wide handler, and protocol errors arrive as data. One connection per process,
 * opened on first use and reopened after the server went away, behind one lock. */
#include "tapstrike.h"
#include "vkeys.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#define NO_SYMBOL 0u
#define MAX_SPARE 16

/* A keysym the keymap lacks is bound to an unused keycode while its key is down. */
struct spare {
    xcb_keycode_t code;
    xcb_keysym_t sym;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static xcb_connection_t *conn;
static xcb_keycode_t min_code, max_code;
static xcb_keysym_t *keymap; /* (max_code - min_code + 1) rows of `per_code` keysyms */
static unsigned per_code;
static int keymap_stale = 1;
static struct spare spares[MAX_SPARE];
static int spare_count;

static void disconnect(void)
{
    if (conn)
        xcb_disconnect(conn);
    conn = NULL;
    free(keymap);
    keymap = NULL;
    keymap_stale = 1;
    /* Bindings lived in that server's keymap; they went with it. */
    spare_count = 0;
}

static int connect_display(void)
{
    if (conn && !xcb_connection_has_error(conn))
        return 0;
    disconnect();
    conn = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(conn)) {
        disconnect();
        return -1;
    }
    const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(conn, &xcb_test_id);
    if (!xtest || !xtest->present) {
        disconnect();
        return -1;
    }
    const xcb_setup_t *setup = xcb_get_setup(conn);
    min_code = setup->min_keycode;
    max_code = setup->max_keycode;
    return 0;
}

static xcb_keysym_t *row(xcb_keycode_t code)
{
    return keymap + (size_t)(code - min_code) * per_code;
}

static int load_keymap(void)
{
    const int count = max_code - min_code + 1;
    xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(
        conn, xcb_get_keyboard_mapping(conn, min_code, (uint8_t)count), NULL);
    if (!reply)
        return -1;
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
    xcb_keysym_t *copy = malloc(sizeof *copy * (size_t)(length ? length : 1));
    if (!copy || reply->keysyms_per_keycode == 0) {
        free(copy);
        free(reply);
        return -1;
    }
    memcpy(copy, xcb_get_keyboard_mapping_keysyms(reply), sizeof *copy * (size_t)length);
    free(keymap);
    keymap = copy;
    per_code = reply->keysyms_per_keycode;
    free(reply);
    keymap_stale = 0;

    /* A binding somebody else has since remapped is no longer ours to use or to restore. */
    int kept = 0;
    for (int i = 0; i < spare_count; ++i)
        if (row(spares[i].code)[0] == spares[i].sym)
            spares[kept++] = spares[i];
    spare_count = kept;
    return 0;
}

/* MappingNotify reaches every client unasked: the cue that our copy of the keymap is old. */
static void drain_events(void)
{
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(conn))) {
        if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY
            && ((xcb_mapping_notify_event_t *)event)->request != XCB_MAPPING_POINTER)
            keymap_stale = 1;
        free(event);
    }
}

static struct spare *find_spare(xcb_keysym_t sym)
{
    for (int i = 0; i < spare_count; ++i)
        if (spares[i].sym == sym)
            return &spares[i];
    return NULL;
}

static xcb_keycode_t find_code(xcb_keysym_t sym)
{
    /* The key that carries the keysym unshifted, else any key that carries it at all. */
    for (int code = min_code; code <= max_code; ++code)
        if (row((xcb_keycode_t)code)[0] == sym)
            return (xcb_keycode_t)code;
    for (int code = min_code; code <= max_code; ++code)
        for (unsigned column = 1; column < per_code; ++column)
            if (row((xcb_keycode_t)code)[column] == sym)
                return (xcb_keycode_t)code;
    return 0;
}

static void set_mapping(xcb_keycode_t code, xcb_keysym_t sym)
{
    xcb_keysym_t syms[8];
    const unsigned width = per_code < 8 ? per_code : 8;
    for (unsigned i = 0; i < width; ++i)
        syms[i] = sym;
    xcb_change_keyboard_mapping(conn, 1, code, (uint8_t)width, syms);
    /* Our copy follows at once; the MappingNotify that comes back refreshes it anyway. */
    xcb_keysym_t *entry = row(code);
    for (unsigned i = 0; i < per_code; ++i)
        entry[i] = i < width ? sym : NO_SYMBOL;
}

static struct spare *bind_spare(xcb_keysym_t sym)
{
    if (spare_count == MAX_SPARE)
        return NULL;
    for (int code = max_code; code >= min_code; --code) {
        const xcb_keysym_t *entry = row((xcb_keycode_t)code);
        int unused = 1;
        for (unsigned i = 0; i < per_code && unused; ++i)
            unused = entry[i] == NO_SYMBOL;
        if (!unused)
            continue;
        set_mapping((xcb_keycode_t)code, sym);
        spares[spare_count].code = (xcb_keycode_t)code;
        spares[spare_count].sym = sym;
        return &spares[spare_count++];
    }
    return NULL;
}

static void release_spare(struct spare *bound)
{
    set_mapping(bound->code, NO_SYMBOL);
    *bound = spares[--spare_count];
}

static int inject(const char *key, int press)
{
    if (!key)
        return -1;
    const xcb_keysym_t sym = tapstrike_vk_keysym((unsigned char)key[0]);
    if (key[0] == 0)
        return 0; /* names no key: nothing to send */
    if (sym == NO_SYMBOL)
        return -1;

    pthread_mutex_lock(&lock);
    int result = -1;
    if (connect_display() != 0)
        goto done;
    drain_events();
    if (keymap_stale && load_keymap() != 0)
        goto done;

    struct spare *bound = find_spare(sym);
    xcb_keycode_t code = bound ? bound->code : find_code(sym);
    if (!code) {
        bound = bind_spare(sym);
        if (!bound)
            goto done;
        code = bound->code;
    }
    xcb_test_fake_input(conn, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
    /* The binding must outlive the key-up event, which the server has queued by now. */
    if (bound && !press)
        release_spare(bound);
    if (xcb_flush(conn) > 0 && !xcb_connection_has_error(conn))
        result = 0;

done:
    if (conn && xcb_connection_has_error(conn))
        disconnect();
    pthread_mutex_unlock(&lock);
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
