/* X11: each call sends one XTest fake key event to the X server that DISPLAY names, and returns
 * 0 only once the server has processed it: a flushed write is not an event the server took,
 * and a client that exits right after its last call must not lose it.
 *
 * XCB rather than Xlib: a broken connection is a state to test, not a call to exit() from a
 * process-wide handler, and protocol errors arrive as data. One connection per process,
 * opened on first use and reopened after the server went away, behind one lock. The keymap
 * and the keyboard state are read through xkbcommon, as toolkits read them, so that a key
 * counts only where the current group and modifiers make it type the named keysym.
 *
 * A keysym the keymap lacks, or has only at a level the state does not select, is bound to an
 * unused keycode, a spare, alone. Receivers translate a keycode when they get to the event,
 * so a keycode is not rebound for GRACE_MS after its last event, by us or anyone, whatever
 * the keymap did in between, nor while it is down: we time the keycodes we send events on
 * with CLOCK_MONOTONIC (no round trip, immune to clock changes), and spares left behind by a
 * client that has gone on the X server's clock, the only one all clients share. Spares are
 * claimed under a server grab and listed in a property of the root window, so that clients
 * never take each other's keycodes nor mistake another's spare for a key of the layout. A
 * binding is undone only when it has exactly the shape we give a spare.
 *
 * Another client may replace the keymap at any moment (setxkbmap), which wipes our spares: an
 * event on a spare is sent under the grab that saw its binding, so that it cannot go to a
 * keycode that means nothing. Every path that grabs lets go and flushes before it returns:
 * a grab left in our output buffer stalls every other client of the display. */
#include "tapstrike.h"
#include "vkeys.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <xcb/xcb.h>
#include <xcb/xkb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>

#define NO_SYMBOL 0u
#define GRACE_MS 2000
#define REGISTRY "_TAPSTRIKE_SPARE_KEYCODES"
#define REGISTRY_MAX 4096 /* entries; a longer registry is not ours to rewrite */

/* The registry holds one entry per spare, as four CARDINALs. The owner is an unmapped window
 * of the client's, which goes with its connection; a later client may be given the same id,
 * so the window carries a random stamp of its process, which the entry repeats. An entry whose
 * owner is gone is orphaned: owner 0, and in place of the stamp the server time from which
 * its grace runs. */
struct entry {
    uint32_t owner;
    uint32_t stamp;
    uint32_t code;
    uint32_t sym;
};

struct spare {
    xcb_keycode_t code;
    xcb_keysym_t sym;
};

/* What one grab saw: the registry, the keys that are down and the server's time. */
struct session {
    struct entry *entries; /* with room for one more; NULL when it is not ours to rewrite */
    int count;
    int changed; /* the registry is to be stored */
    int have_now;
    xcb_timestamp_t now;
    uint8_t down[32]; /* a bit per keycode, whoever holds it */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static xcb_connection_t *conn;
static pid_t conn_pid; /* a child that forked shares the parent's socket, not its connection */
static xcb_window_t root;
static xcb_window_t owner;
static uint32_t stamp;
static xcb_atom_t registry;
static xcb_keycode_t min_code, max_code;
static xcb_keysym_t *keymap; /* (max_code - min_code + 1) rows of `per_code` keysyms */
static unsigned per_code;
static int keymap_stale = 1;
static uint8_t xkb_event; /* the code of XKB's events; 0 without XKB */
static struct xkb_context *xkb_ctx;
static struct xkb_keymap *xkb_map;
static struct xkb_state *xkb_now; /* the keyboard's state, Shift and Lock left out */
static unsigned char foreign[256]; /* keycodes listed by other clients */
static xcb_keycode_t held[256];    /* by key code: the keycode its press went to */
static struct spare spares[256];   /* listed as ours; a spare the keymap wiped stays ours */
static int spare_count;
/* By keycode, whatever it was bound to since: our last event on it and its keysym. */
static struct timespec last_event[256];
static xcb_keysym_t last_sym[256];
static unsigned char sent[256];
/* Requests from the server grab of our last full read to its release: the keymap notices
 * they bring are of our own changes, which our copy has already. */
static unsigned grab_seq, ungrab_seq;
static int grabbed;
/* find_code's answers by key code, while nothing it reads has changed: a scan of the whole
 * keymap through the state costs more than a round trip. */
static unsigned lookups = 1; /* the generation of what it reads */
static unsigned looked_up[256];
static xcb_keycode_t found[256];
static xcb_timestamp_t server_time; /* from the last PropertyNotify on our window */
static int have_time;

static void forget_xkb(void)
{
    xkb_state_unref(xkb_now);
    xkb_keymap_unref(xkb_map);
    xkb_now = NULL;
    xkb_map = NULL;
}

static void disconnect(void)
{
    ++lookups;
    if (conn)
        xcb_disconnect(conn);
    conn = NULL;
    free(keymap);
    keymap = NULL;
    keymap_stale = 1;
    /* Everything else described that server; a new one starts from nothing. */
    forget_xkb();
    xkb_event = 0;
    memset(foreign, 0, sizeof foreign);
    memset(held, 0, sizeof held);
    memset(sent, 0, sizeof sent);
    spare_count = 0;
    grabbed = 0;
}

static int connect_display(void)
{
    if (conn && conn_pid != getpid())
        conn = NULL; /* closing it here would shut the parent's connection down */
    if (conn && !xcb_connection_has_error(conn))
        return 0;
    disconnect();
    conn = xcb_connect(NULL, NULL);
    conn_pid = getpid();
    if (xcb_connection_has_error(conn))
        goto fail;
    const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(conn, &xcb_test_id);
    if (!xtest || !xtest->present)
        goto fail;
    const xcb_setup_t *setup = xcb_get_setup(conn);
    min_code = setup->min_keycode;
    max_code = setup->max_keycode;
    /* The keymap is the server's, so every client keeps the registry on the first screen. */
    const xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
    root = screen->root;
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        conn, xcb_intern_atom(conn, 0, (uint16_t)strlen(REGISTRY), REGISTRY), NULL);
    if (!atom)
        goto fail;
    registry = atom->atom;
    free(atom);
    owner = xcb_generate_id(conn);
    /* Its PropertyNotify events tell us the server's time. */
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(conn, 0, owner, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    if (getrandom(&stamp, sizeof stamp, 0) != sizeof stamp)
        stamp = (uint32_t)getpid() ^ (uint32_t)time(NULL) << 8;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, owner, registry, XCB_ATOM_CARDINAL, 32, 1,
                        &stamp);

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
        xkb_event = xkb->first_event;
        xcb_xkb_select_events(conn, XCB_XKB_ID_USE_CORE_KBD, changes, 0, changes, 0xff, 0xff,
                              NULL);
    }
    return 0;

fail:
    disconnect();
    return -1;
}

static xcb_keysym_t *row(xcb_keycode_t code)
{
    return keymap + (size_t)(code - min_code) * per_code;
}

static xcb_get_keyboard_mapping_cookie_t ask_keymap(void)
{
    return xcb_get_keyboard_mapping(conn, min_code, (uint8_t)(max_code - min_code + 1));
}

/* Replaces our copy of the keymap with the server's. */
static int read_keymap(xcb_get_keyboard_mapping_cookie_t cookie)
{
    const int count = max_code - min_code + 1;
    xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(conn, cookie, NULL);
    if (!reply)
        return -1;
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
    xcb_keysym_t *copy = malloc(sizeof *copy * (size_t)(length ? length : 1));
    if (!copy || reply->keysyms_per_keycode == 0 || length < count * reply->keysyms_per_keycode) {
        free(copy);
        free(reply);
        return -1;
    }
    memcpy(copy, xcb_get_keyboard_mapping_keysyms(reply), sizeof *copy * (size_t)length);
    free(keymap);
    keymap = copy;
    per_code = reply->keysyms_per_keycode;
    free(reply);
    return 0;
}
/* The state that picks a key's level, less Shift and Lock: those are the caller's to add to a
 * key, as on Windows (Shift with the 1 key gives "!"), while NumLock, a level-three shift or
 * another group make a key type something else altogether. */
static void set_state(uint32_t base, uint32_t latched, uint32_t locked, int32_t base_group,
                      int32_t latched_group, int32_t locked_group)
{
    ++lookups;
    const uint32_t keep = ~(uint32_t)(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK);
    xkb_state_update_mask(xkb_now, base & keep, latched & keep, locked & keep,
                          (xkb_layout_index_t)base_group, (xkb_layout_index_t)latched_group,
                          (xkb_layout_index_t)locked_group);
}

static void load_xkb(void)
{
    ++lookups;
    forget_xkb();
    if (!xkb_event)
        return;
    if (!xkb_ctx)
        xkb_ctx = xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const int32_t device = xkb_x11_get_core_keyboard_device_id(conn);
    xkb_map = xkb_ctx && device >= 0
                  ? xkb_x11_keymap_new_from_device(xkb_ctx, conn, device, XKB_KEYMAP_COMPILE_NO_FLAGS)
                  : NULL;
    struct xkb_state *state = xkb_map ? xkb_x11_state_new_from_device(xkb_map, conn, device) : NULL;
    if (!state) {
        forget_xkb();
        return;
    }
    xkb_now = xkb_state_new(xkb_map);
    set_state(xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
              xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
              xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
              (int32_t)xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_DEPRESSED),
              (int32_t)xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_LATCHED),
              (int32_t)xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_LOCKED));
    xkb_state_unref(state);
}

/* A keymap notice that our own changes brought: sent while we held the grab. Its sequence
 * number is that of the last request of ours the server had processed. */
static int own_change(const xcb_generic_event_t *event)
{
    const unsigned since = event->full_sequence - grab_seq;
    return grabbed ? since < 0x80000000u : since < ungrab_seq - grab_seq;
}

static void handle_event(xcb_generic_event_t *event)
{
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        keymap_stale |= ((xcb_mapping_notify_event_t *)event)->request != XCB_MAPPING_POINTER
                        && !own_change(event);
    } else if (type == XCB_PROPERTY_NOTIFY) {
        const xcb_property_notify_event_t *notify = (xcb_property_notify_event_t *)event;
        if (notify->window == owner) {
            server_time = notify->time;
            have_time = 1;
        }
    } else if (xkb_event && type == xkb_event) {
        const xcb_xkb_state_notify_event_t *state = (xcb_xkb_state_notify_event_t *)event;
        if (state->xkbType == XCB_XKB_STATE_NOTIFY) {
            if (xkb_now)
                set_state(state->baseMods, state->latchedMods, state->lockedMods,
                          state->baseGroup, state->latchedGroup, state->lockedGroup);
        } else if (state->xkbType != XCB_XKB_MAP_NOTIFY || !own_change(event)) {
            keymap_stale = 1;
        }
    }
}

/* Keymap and state notifications: the cue that our copies are old. */
static void drain_events(void)
{
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(conn))) {
        handle_event(event);
        free(event);
    }
}

static void grab(void)
{
    grab_seq = xcb_grab_server(conn).sequence;
    grabbed = 1;
}

/* Every path that grabs ends here, whatever it returns: an ungrab left in the output buffer
 * would stall every other client of the display until our next call. */
static void ungrab(void)
{
    if (!grabbed)
        return;
    ungrab_seq = xcb_ungrab_server(conn).sequence;
    grabbed = 0;
    xcb_flush(conn);
}

/* Asks for the server's time; read_time() gets it once a later reply has come back. */
static void ask_time(void)
{
    have_time = 0;
    xcb_change_property(conn, XCB_PROP_MODE_APPEND, owner, registry, XCB_ATOM_CARDINAL, 32, 0,
                        NULL);
}

static int read_time(void)
{
    drain_events(); /* the last notification is the newest */
    return have_time;
}

/* The registry's entries with room for one more, or NULL when it cannot be read whole in our
 * format: then it is neither rewritten nor added to, since that would drop what it holds. */
static struct entry *read_registry(xcb_get_property_cookie_t cookie, int *count)
{
    *count = 0;
    xcb_get_property_reply_t *reply = xcb_get_property_reply(conn, cookie, NULL);
    if (!reply)
        return NULL;
    const int length = xcb_get_property_value_length(reply);
    const int empty = reply->type == XCB_NONE;
    const int n = length / 16;
    struct entry *entries = NULL;
    if (empty || (reply->type == XCB_ATOM_CARDINAL && reply->format == 32 && length % 16 == 0
                  && reply->bytes_after == 0))
        entries = malloc(sizeof *entries * (size_t)(n + 1));
    if (entries && !empty) {
        memcpy(entries, xcb_get_property_value(reply), sizeof *entries * (size_t)n);
        *count = n;
    }
    free(reply);
    return entries;
}
static int ours(const struct entry *e)
{
    return e->owner == owner && e->stamp == stamp;
}

/* The first entry that lists the keycode (one of ours, if `ours_only`); count when none does. */
static int entry_index(const struct entry *entries, int count, uint32_t code, int ours_only)
{
    int i = 0;
    while (i < count && !(entries[i].code == code && (!ours_only || ours(&entries[i]))))
        ++i;
    return i;
}

static void store_registry(const struct entry *entries, int count)
{
    if (count == 0)
        xcb_delete_property(conn, root, registry);
    else
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, registry, XCB_ATOM_CARDINAL, 32,
                            (uint32_t)count * 4, entries);
}

/* The binding we give a spare, which no key of a common layout has: the keysym on both levels
 * of the first group and on the one level of the second, so that every group and level reads
 * it. The server shows that one level with its capital beside it, as for any letter. */
static xcb_keysym_t spare_column(xcb_keysym_t sym, unsigned column)
{
    if (column < 3)
        return sym;
    if (column == 3 && xkb_keysym_to_upper(sym) != sym)
        return xkb_keysym_to_upper(sym);
    return NO_SYMBOL;
}

/* A row of `width` keysyms has exactly that shape; one narrower than four cannot tell. */
static int shaped(const xcb_keysym_t *keys, unsigned width, xcb_keysym_t sym)
{
    if (width < 4)
        return 0;
    for (unsigned i = 0; i < width; ++i)
        if (keys[i] != spare_column(sym, i))
            return 0;
    return 1;
}

/* Exactly that shape, as the server shows it. */
static int spare_shaped(uint32_t code, uint32_t sym)
{
    if (code < min_code || code > max_code || sym == NO_SYMBOL)
        return 0;
    return shaped(row((xcb_keycode_t)code), per_code, sym);
}

/* A keymap of one group with at most two levels has two keysyms per keycode, too few to tell
 * a spare from a key: the binding goes four wide all the same, which gives the server the
 * columns of the second group, until no keycode needs them. */
static void set_mapping(xcb_keycode_t code, xcb_keysym_t sym)
{
    ++lookups;
    xcb_keysym_t columns[255];
    const unsigned width = per_code < 4 ? 4 : per_code;
    for (unsigned i = 0; i < width; ++i)
        columns[i] = i < 3 ? sym : NO_SYMBOL;
    xcb_change_keyboard_mapping(conn, 1, code, (uint8_t)width, columns);
    xcb_keysym_t *entry = row(code);
    for (unsigned i = 0; i < per_code; ++i)
        entry[i] = spare_column(sym, i);
    keymap_stale |= per_code < 4; /* the server now shows more columns than our copy */
}

/* Another client's spare is still one only while it has a spare's shape; a listed keycode
 * that carries anything else is a key of the layout, whatever the registry says. */
static void note_foreign(const struct entry *entries, int count)
{
    ++lookups;
    memset(foreign, 0, sizeof foreign);
    for (int i = 0; i < count; ++i)
        if (!ours(&entries[i]) && spare_shaped(entries[i].code, entries[i].sym))
            foreign[entries[i].code] = 1; /* a keycode of the server's range, so below 256 */
}

static int unbound(xcb_keycode_t code)
{
    const xcb_keysym_t *keys = row(code);
    for (unsigned i = 0; i < per_code; ++i)
        if (keys[i] != NO_SYMBOL)
            return 0;
    return 1;
}

/* Our own spares that somebody else has since bound to other keysyms are no longer ours to
 * use or undo. One that a new keymap wiped stays ours, listed, to be bound again. */
static void drop_lost_spares(void)
{
    ++lookups;
    int kept = 0;
    for (int i = 0; i < spare_count; ++i)
        if (spare_shaped(spares[i].code, spares[i].sym) || unbound(spares[i].code))
            spares[kept++] = spares[i];
    spare_count = kept;
}

static long since_ms(const struct timespec *then)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(now.tv_sec - then->tv_sec) * 1000 + (now.tv_nsec - then->tv_nsec) / 1000000;
}

/* How long ago our last event on the keycode was; GRACE_MS when we never sent one. */
static long idle_ms(xcb_keycode_t code)
{
    return sent[code] ? since_ms(&last_event[code]) : GRACE_MS;
}

static void note_event(xcb_keycode_t code, xcb_keysym_t sym)
{
    clock_gettime(CLOCK_MONOTONIC, &last_event[code]);
    last_sym[code] = sym;
    sent[code] = 1;
}

/* Our spare bound to the keysym; 0 when we have none. */
static xcb_keycode_t find_spare(xcb_keysym_t sym)
{
    for (int i = 0; i < spare_count; ++i)
        if (spares[i].sym == sym)
            return spares[i].code;
    return 0;
}

static struct spare *spare_at(xcb_keycode_t code)
{
    for (int i = 0; i < spare_count; ++i)
        if (spares[i].code == code)
            return &spares[i];
    return NULL;
}

static int is_held(xcb_keycode_t code)
{
    for (int i = 0; i < 256; ++i)
        if (held[i] == code)
            return 1;
    return 0;
}

static int is_down(const struct session *s, xcb_keycode_t code)
{
    return s->down[code / 8] >> (code % 8) & 1;
}

/* Whether the keycode may be bound to the keysym now: not down, and no event of ours on it
 * in the last GRACE_MS that a receiver would read as something else. */
static int may_bind(const struct session *s, xcb_keycode_t code, xcb_keysym_t sym)
{
    return !is_down(s, code) && !is_held(code) && (idle_ms(code) >= GRACE_MS || last_sym[code] == sym);
}

/* Grabs the server (unless we hold it already) and reads the registry, the keys that are down
 * and the server's time, all in one round trip, so that they agree and stay so until the
 * caller lets go; -1 when the keymap or the keys could not be read. The keymap is read too
 * when another client changed it: the notices of changes made before the grab have all come
 * in by the time those replies have, so without one our copy is the server's. */
static int open_session(struct session *s)
{
    memset(s, 0, sizeof *s);
    if (!grabbed)
        grab();
    ask_time();
    const int known_stale = keymap_stale || !keymap;
    xcb_get_keyboard_mapping_cookie_t map = {0};
    if (known_stale)
        map = ask_keymap();
    const xcb_get_property_cookie_t listed = xcb_get_property(
        conn, 0, root, registry, XCB_GET_PROPERTY_TYPE_ANY, 0, 4 * REGISTRY_MAX);
    const xcb_query_keymap_cookie_t keys = xcb_query_keymap(conn);
    int read = !known_stale || read_keymap(map) == 0;
    s->entries = read_registry(listed, &s->count);
    xcb_query_keymap_reply_t *down = xcb_query_keymap_reply(conn, keys, NULL);
    if (down)
        memcpy(s->down, down->keys, sizeof s->down);
    free(down);
    s->have_now = read_time();
    s->now = server_time;
    if (read && !known_stale && keymap_stale)
        read = read_keymap(ask_keymap()) == 0;
    if (!read || !down)
        return -1;
    drop_lost_spares();
    /* An unreadable registry lists nobody's spares: then no keycode is taken for a spare. */
    note_foreign(s->entries, s->count);
    return 0;
}

/* Stores the registry if it changed and lets go of the server. */
static void close_session(struct session *s)
{
    if (s->entries && s->changed) {
        store_registry(s->entries, s->count);
        note_foreign(s->entries, s->count);
    }
    ungrab();
    free(s->entries);
    s->entries = NULL;
}

/* Settles the entries of others: an entry whose owner has gone is orphaned, and a spare it
 * left down is released at once, before anything else is done with it; an orphan is dropped
 * once its grace has run on the server's clock, its binding undone only if it still has a
 * spare's shape and is up. Our entries for spares we lost are dropped. */
static void sweep(struct session *s)
{
    struct entry *entries = s->entries;
    const int count = s->count;
    if (!entries)
        return;
    xcb_get_property_cookie_t *alive = malloc(sizeof *alive * (size_t)(count ? count : 1));
    if (!alive)
        return;
    for (int i = 0; i < count; ++i) /* one round trip for them all */
        if (!ours(&entries[i]) && entries[i].owner != 0)
            alive[i] = xcb_get_property(conn, 0, entries[i].owner, registry, XCB_ATOM_CARDINAL, 0, 1);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        struct entry e = entries[i];
        const xcb_keycode_t code = (xcb_keycode_t)e.code;
        const int in_range = e.code >= min_code && e.code <= max_code;
        if (ours(&e)) {
            if (!spare_at(code))
                continue;
        } else if (e.owner != 0) {
            xcb_get_property_reply_t *reply = xcb_get_property_reply(conn, alive[i], NULL);
            const int living = reply && xcb_get_property_value_length(reply) == 4
                               && *(uint32_t *)xcb_get_property_value(reply) == e.stamp;
            free(reply);
            if (!living && s->have_now)
                e = (struct entry){0, s->now ? s->now : 1, e.code, e.sym};
        } else if (s->have_now && (int32_t)(s->now - e.stamp) >= GRACE_MS
                   && !(in_range && is_down(s, code))) {
            if (spare_shaped(code, e.sym))
                set_mapping(code, NO_SYMBOL);
            continue;
        }
        /* Nobody will release what a gone owner held, and autorepeat would go on for ever. */
        if (e.owner == 0 && in_range && is_down(s, code)
            && (spare_shaped(code, e.sym) || unbound(code))) {
            xcb_test_fake_input(conn, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            note_event(code, e.sym);
            s->down[code / 8] &= (uint8_t)~(1u << (code % 8));
            if (s->have_now)
                e.stamp = s->now ? s->now : 1; /* its grace runs from the release */
        }
        s->changed |= memcmp(&e, &entries[i], sizeof e) != 0;
        entries[kept++] = e;
    }
    s->changed |= kept != count;
    s->count = kept;
    free(alive);
}

static struct spare *add_spare(xcb_keycode_t code, xcb_keysym_t sym)
{
    ++lookups;
    struct spare *spare = &spares[spare_count++];
    spare->code = code;
    spare->sym = sym;
    return spare;
}

/* The keycode for a keysym: an orphaned spare that has it already, else our spare that has
 * been idle longest, if its grace is over and it is up, else an unused keycode that is up and
 * that we sent nothing on in the last GRACE_MS. */
static struct spare *choose_spare(const struct session *s, xcb_keysym_t sym)
{
    if (spare_count == (int)(sizeof spares / sizeof spares[0]))
        return NULL;
    for (int i = 0; i < s->count; ++i)
        if (s->entries[i].owner == 0 && s->entries[i].sym == sym
            && spare_shaped(s->entries[i].code, sym) && !spare_at((xcb_keycode_t)s->entries[i].code))
            return add_spare((xcb_keycode_t)s->entries[i].code, sym);
    struct spare *oldest = NULL;
    for (int i = 0; i < spare_count; ++i)
        if (may_bind(s, spares[i].code, sym)
            && (!oldest || idle_ms(spares[i].code) > idle_ms(oldest->code)))
            oldest = &spares[i];
    if (oldest)
        return oldest;
    for (int code = max_code; code >= min_code; --code)
        if (unbound((xcb_keycode_t)code) && !spare_at((xcb_keycode_t)code)
            && entry_index(s->entries, s->count, (uint32_t)code, 0) == s->count
            && may_bind(s, (xcb_keycode_t)code, sym))
            return add_spare((xcb_keycode_t)code, NO_SYMBOL);
    return NULL;
}

/* A key of the layout that types the keysym in the current state; 0 when none does. The
 * state lookup is not reloaded for our own changes to the keymap, which are spares bound and
 * spares left by others unbound: our copy of the keymap tells those. */
static xcb_keycode_t find_code(xcb_keysym_t sym)
{
    for (int code = min_code; code <= max_code; ++code) {
        if (foreign[code] || spare_at((xcb_keycode_t)code) || unbound((xcb_keycode_t)code))
            continue;
        if (!xkb_now) { /* no XKB: the first level of the first group */
            if (row((xcb_keycode_t)code)[0] == sym)
                return (xcb_keycode_t)code;
            continue;
        }
        const xkb_layout_index_t layout = xkb_state_key_get_layout(xkb_now, (xkb_keycode_t)code);
        if (layout == XKB_LAYOUT_INVALID)
            continue;
        const xkb_level_index_t level = xkb_state_key_get_level(xkb_now, (xkb_keycode_t)code, layout);
        const xkb_keysym_t *syms;
        const int n = xkb_keymap_key_get_syms_by_level(xkb_map, (xkb_keycode_t)code, layout, level, &syms);
        for (int i = 0; i < n; ++i)
            if (syms[i] == sym)
                return (xcb_keycode_t)code;
    }
    return 0;
}

static xcb_keycode_t find_position(const char *name)
{
    const xkb_keycode_t code = xkb_map ? xkb_keymap_key_by_name(xkb_map, name) : XKB_KEYCODE_INVALID;
    return code != XKB_KEYCODE_INVALID && code >= min_code && code <= max_code ? (xcb_keycode_t)code : 0;
}

/* Reads the keymap afresh, settles the registry (releasing what a gone client left down)
 * and rebuilds the state lookup. */
static int load_keymap(void)
{
    struct session s;
    const int read = open_session(&s) == 0;
    if (read)
        sweep(&s);
    const int changed = s.changed;
    close_session(&s);
    if (!read)
        return -1;
    if (changed) { /* what it released is up once this call returns */
        free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), NULL));
        drain_events(); /* the notices of what it unbound, while the grab's bounds are known */
    }
    keymap_stale = 0;
    load_xkb();
    return 0;
}

/* Queues the event and notes where a press of the code went, for its release. */
static xcb_void_cookie_t queue_event(unsigned char vk, xcb_keycode_t code, xcb_keysym_t sym,
                                     int press)
{
    held[vk] = press ? code : 0;
    note_event(code, sym);
    return xcb_test_fake_input_checked(conn, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code,
                                       XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

/* 0 once the server has processed the event without an error. */
static int wait_event(xcb_void_cookie_t cookie)
{
    xcb_generic_error_t *error = xcb_request_check(conn, cookie);
    const int failed = error || xcb_connection_has_error(conn);
    free(error);
    drain_events(); /* with the grab's bounds known, our own changes tell nothing */
    return failed ? -1 : 0;
}

/* The server's row for one keycode has exactly a spare's shape for the keysym. */
static int row_is_spare(xcb_get_keyboard_mapping_reply_t *reply, xcb_keysym_t sym)
{
    const unsigned width = reply->keysyms_per_keycode;
    if (xcb_get_keyboard_mapping_keysyms_length(reply) < (int)width)
        return 0;
    return shaped(xcb_get_keyboard_mapping_keysyms(reply), width, sym);
}

/* An event on a spare, sent under the same grab that saw the spare bound to its keysym, so
 * that no keymap another client loads in between can send it to a keycode that means
 * something else or nothing: our spare for the keysym (`code`), bound again if a new keymap
 * wiped it, else a spare claimed now. A release goes where its press went in any case. */
static int spare_event(unsigned char vk, xcb_keysym_t sym, int press, xcb_keycode_t code)
{
    grab();
    if (code) { /* the common case, in two round trips: the spare is as we left it */
        xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(
            conn, xcb_get_keyboard_mapping(conn, code, 1), NULL);
        const int intact = reply && row_is_spare(reply, sym);
        free(reply);
        if (intact) {
            const xcb_void_cookie_t cookie = queue_event(vk, code, sym, press);
            ungrab();
            return wait_event(cookie);
        }
        if (!reply) {
            ungrab();
            return -1;
        }
    }
    struct session s;
    if (open_session(&s) != 0) {
        close_session(&s);
        return -1;
    }
    sweep(&s);
    struct spare *spare = code ? spare_at(code) : NULL;
    if (!spare && press && s.entries) {
        spare = choose_spare(&s, sym);
        if (spare)
            spare->sym = sym;
    }
    if (spare) {
        if (!spare_shaped(spare->code, sym))
            set_mapping(spare->code, sym); /* a new spare, or ours that a keymap wiped */
        code = spare->code;
        if (s.entries && entry_index(s.entries, s.count, code, 1) == s.count) {
            const int i = entry_index(s.entries, s.count, code, 0);
            s.entries[i] = (struct entry){owner, stamp, code, sym};
            s.count += i == s.count;
            s.changed = 1;
        }
    } else if (press) {
        code = 0; /* no spare to be had: nothing is sent */
    }
    xcb_void_cookie_t cookie = {0};
    if (code)
        cookie = queue_event(vk, code, sym, press);
    close_session(&s);
    if (!code)
        return -1;
    return wait_event(cookie);
}

/* The keycode for a code that is not down: its key by position, else a key of the layout
 * that types its keysym in the current state, else our spare for it; 0 when there is none. */
static xcb_keycode_t key_for(unsigned char vk, xcb_keysym_t sym)
{
    const char *position = tapstrike_vk_position(vk);
    xcb_keycode_t code = position ? find_position(position) : 0;
    if (code)
        return code;
    if (looked_up[vk] != lookups) {
        found[vk] = find_code(sym);
        looked_up[vk] = lookups;
    }
    return found[vk] ? found[vk] : find_spare(sym);
}

static int inject(const char *key, int press)
{
    if (!key)
        return -1;
    const unsigned char vk = (unsigned char)key[0];
    if (vk == 0)
        return 0; /* names no key: nothing to send */
    const xcb_keysym_t sym = tapstrike_vk_keysym(vk);
    if (sym == NO_SYMBOL)
        return -1;

    pthread_mutex_lock(&lock);
    int result = -1;
    if (connect_display() != 0)
        goto done;
    drain_events();
    if (keymap_stale && load_keymap() != 0)
        goto done;

    /* A key that is down comes up where it went down, whatever the keymap did since. */
    xcb_keycode_t code = held[vk] ? held[vk] : key_for(vk, sym);
    if (!code && !press) {
        result = 0; /* no key is down for it: the server would drop the release */
        goto done;
    }
    if (!code || spare_at(code)) {
        result = spare_event(vk, sym, press, code);
    } else {
        result = wait_event(queue_event(vk, code, sym, press));
    }

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

/* A fork while another thread is in a call would leave the child a lock held by nobody: the
 * fork waits for the call instead. The child's connection is the parent's, and so are the
 * spares: its first call starts afresh with its own. The process id tells that too, except
 * to a grandchild that got the first process's id once that one had ended. */
static void before_fork(void)
{
    pthread_mutex_lock(&lock);
}

static void after_fork_parent(void)
{
    pthread_mutex_unlock(&lock);
}

static void after_fork_child(void)
{
    conn = NULL; /* left open: closing it would shut the parent's down */
    pthread_mutex_unlock(&lock);
}

__attribute__((constructor)) static void watch_forks(void)
{
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}


/* When the library goes, on dlclose or at a normal exit: spares used within their grace, and
 * those that are down, stay bound and listed as orphans for a later client to release and
 * sweep; the others are undone at once. A call that is stuck holding the lock gets a second,
 * then we leave. */
__attribute__((destructor)) static void restore_spares(void)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    if (pthread_mutex_timedlock(&lock, &deadline) != 0)
        return;
    if (conn && conn_pid == getpid() && !xcb_connection_has_error(conn) && spare_count > 0) {
        struct session s;
        if (open_session(&s) == 0) {
            for (int i = 0; i < spare_count; ++i) {
                const xcb_keycode_t code = spares[i].code;
                const long idle = idle_ms(code);
                const int down = is_down(&s, code) || is_held(code);
                if (idle >= GRACE_MS && !down) {
                    if (spare_shaped(code, spares[i].sym))
                        set_mapping(code, NO_SYMBOL);
                } else if (s.have_now && s.entries) {
                    const int e = entry_index(s.entries, s.count, code, 1);
                    const uint32_t since = down ? 0 : (uint32_t)idle;
                    if (e < s.count)
                        s.entries[e] = (struct entry){0, (s.now - since) | 1, code, spares[i].sym};
                }
            }
            if (s.entries) {
                int kept = 0;
                for (int i = 0; i < s.count; ++i)
                    if (!ours(&s.entries[i]))
                        s.entries[kept++] = s.entries[i];
                s.count = kept;
                s.changed = 1;
            }
        }
        close_session(&s);
        free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), NULL));
    }
    if (conn_pid == getpid())
        disconnect();
    xkb_context_unref(xkb_ctx);
    xkb_ctx = NULL;
    pthread_mutex_unlock(&lock);
}
