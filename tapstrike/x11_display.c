/* The connection to the X server that DISPLAY names, the server grab, and the notices the
 * server sends us. XCB rather than Xlib: a broken connection is a state to test, not a call to
 * exit() from a process-wide handler, and protocol errors arrive as data. One connection per
 * process, opened on first use and reopened after the server went away. */
#include "x11.h"

#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <xcb/xkb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>

#define REGISTRY "_TAPSTRIKE_SPARE_KEYCODES"

void display_disconnect(struct tapstrike *t)
{
    if (t->conn)
        xcb_disconnect(t->conn);
    t->conn = NULL;
    /* Everything else described that server; a new one starts from nothing. */
    keymap_forget(t);
    t->xkb_event = 0;
    memset(t->foreign, 0, sizeof t->foreign);
    memset(t->held, 0, sizeof t->held);
    memset(t->sent, 0, sizeof t->sent);
    t->spare_count = 0;
    t->grabbed = 0;
}

int display_connect(struct tapstrike *t)
{
    if (t->conn && t->pid != getpid())
        t->conn = NULL; /* closing it here would shut the parent's connection down */
    if (t->conn && !xcb_connection_has_error(t->conn))
        return 0;
    display_disconnect(t);
    xcb_connection_t *conn = t->conn = xcb_connect(NULL, NULL);
    t->pid = getpid();
    if (xcb_connection_has_error(conn))
        goto fail;
    const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(conn, &xcb_test_id);
    if (!xtest || !xtest->present)
        goto fail;
    const xcb_setup_t *setup = xcb_get_setup(conn);
    t->min_code = setup->min_keycode;
    t->max_code = setup->max_keycode;
    /* The keymap is the server's, so every client keeps the registry on the first screen. */
    t->root = xcb_setup_roots_iterator(setup).data->root;
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        conn, xcb_intern_atom(conn, 0, (uint16_t)strlen(REGISTRY), REGISTRY), NULL);
    if (!atom)
        goto fail;
    t->registry = atom->atom;
    free(atom);
    /* The registry names spares by this window, which goes with the connection; its
     * PropertyNotify events tell us the server's time. A later client may be given the same
     * id, so the window carries a random stamp of the process, which the entries repeat. */
    t->owner = xcb_generate_id(conn);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(conn, 0, t->owner, t->root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    if (getrandom(&t->stamp, sizeof t->stamp, 0) != sizeof t->stamp)
        t->stamp = (uint32_t)getpid() ^ (uint32_t)time(NULL) << 8;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, t->owner, t->registry, XCB_ATOM_CARDINAL, 32,
                        1, &t->stamp);

    const xcb_query_extension_reply_t *xkb = xcb_get_extension_data(conn, &xcb_xkb_id);
    if (xkb && xkb->present
        && xkb_x11_setup_xkb_extension(conn, XKB_X11_MIN_MAJOR_XKB_VERSION,
                                       XKB_X11_MIN_MINOR_XKB_VERSION,
                                       XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, NULL, NULL, NULL,
                                       NULL)) {
        /* A client of XKB gets XKB's notifications in place of the core MappingNotify. */
        const uint16_t changes = XCB_XKB_EVENT_TYPE_MAP_NOTIFY
                                 | XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY
                                 | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
        t->xkb_event = xkb->first_event;
        xcb_xkb_select_events(conn, XCB_XKB_ID_USE_CORE_KBD, changes, 0, changes, 0xff, 0xff,
                              NULL);
    }
    return 0;

fail:
    display_disconnect(t);
    return -1;
}

void display_grab(struct tapstrike *t)
{
    t->grab_seq = xcb_grab_server(t->conn).sequence;
    t->grabbed = 1;
}

/* Every path that grabs ends here, whatever it returns: an ungrab left in the output buffer
 * would stall every other client of the display until our next call. */
void display_ungrab(struct tapstrike *t)
{
    if (!t->grabbed)
        return;
    t->ungrab_seq = xcb_ungrab_server(t->conn).sequence;
    t->grabbed = 0;
    xcb_flush(t->conn);
}

/* A keymap notice that our own changes brought: sent while we held the grab. Its sequence
 * number is that of the last request of ours the server had processed. */
static int own_change(const struct tapstrike *t, const xcb_generic_event_t *event)
{
    const unsigned since = event->full_sequence - t->grab_seq;
    return t->grabbed ? since < 0x80000000u : since < t->ungrab_seq - t->grab_seq;
}

/* Another client changed the keymap or the group: if the server did so before it processed
 * our pending event, that event went out under what we did not know. */
static void others_changed(struct tapstrike *t, const xcb_generic_event_t *event)
{
    clock_gettime(CLOCK_MONOTONIC, &t->others_changed);
    if (t->event_seq && (int)(event->full_sequence - t->event_seq) < 0)
        t->event_unsure = 1;
}

static void handle_event(struct tapstrike *t, xcb_generic_event_t *event)
{
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        const xcb_mapping_notify_event_t *notify = (xcb_mapping_notify_event_t *)event;
        if (notify->request != XCB_MAPPING_POINTER && !own_change(t, event)) {
            if (notify->request == XCB_MAPPING_MODIFIER)
                keymap_replaced(t);
            else
                keymap_rows_changed(t, notify->first_keycode, notify->count);
            others_changed(t, event);
        }
    } else if (type == XCB_PROPERTY_NOTIFY) {
        const xcb_property_notify_event_t *notify = (xcb_property_notify_event_t *)event;
        if (notify->window == t->owner) {
            t->server_time = notify->time;
            t->have_time = 1;
        }
    } else if (t->xkb_event && type == t->xkb_event) {
        const uint8_t kind = ((xcb_xkb_state_notify_event_t *)event)->xkbType;
        if (kind == XCB_XKB_STATE_NOTIFY) {
            const xcb_xkb_state_notify_event_t *state = (xcb_xkb_state_notify_event_t *)event;
            keymap_set_state(t, state->baseMods, state->latchedMods, state->lockedMods,
                             state->baseGroup, state->latchedGroup, state->lockedGroup);
            if (state->changed & XCB_XKB_STATE_PART_GROUP_STATE)
                others_changed(t, event);
        } else if (kind == XCB_XKB_NEW_KEYBOARD_NOTIFY) {
            /* A keymap loaded by name (setxkbmap), or the server's copy of one between its
             * devices, which changes nothing while they agree: the rows tell. */
            const xcb_xkb_new_keyboard_notify_event_t *notify = (void *)event;
            if (notify->requestMinor == XCB_XKB_GET_KBD_BY_NAME) {
                keymap_replaced(t);
                others_changed(t, event);
            } else {
                keymap_rows_changed(t, 0, 0);
            }
        } else if (kind == XCB_XKB_MAP_NOTIFY && !own_change(t, event)) {
            /* New bindings read from their rows; a change of modifiers, anew. */
            const xcb_xkb_map_notify_event_t *notify = (void *)event;
            if (notify->changed & (XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_VIRTUAL_MODS
                                   | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP))
                keymap_replaced(t);
            else
                keymap_rows_changed(t, notify->firstKeySym,
                                    notify->changed & XCB_XKB_MAP_PART_KEY_SYMS ? notify->nKeySyms : 0);
            others_changed(t, event);
        }
    }
}

void display_drain(struct tapstrike *t)
{
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(t->conn))) {
        handle_event(t, event);
        free(event);
    }
}

/* Asks for the server's time; display_read_time() gets it once a later reply has come back. */
void display_ask_time(struct tapstrike *t)
{
    t->have_time = 0;
    xcb_change_property(t->conn, XCB_PROP_MODE_APPEND, t->owner, t->registry, XCB_ATOM_CARDINAL,
                        32, 0, NULL);
}

int display_read_time(struct tapstrike *t)
{
    display_drain(t); /* the last notification is the newest */
    return t->have_time;
}

int display_wait(struct tapstrike *t, xcb_void_cookie_t cookie)
{
    xcb_generic_error_t *error = xcb_request_check(t->conn, cookie);
    const int failed = error || xcb_connection_has_error(t->conn);
    free(error);
    display_drain(t); /* with the grab's bounds known, our own changes tell nothing */
    return failed ? -1 : 0;
}

long display_since_ms(const struct timespec *then)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(now.tv_sec - then->tv_sec) * 1000 + (now.tv_nsec - then->tv_nsec) / 1000000;
}
