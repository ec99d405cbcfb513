/* X11: each call sends one XTest fake key event to the X server that DISPLAY names, and returns
 * 0 only once the server has processed it: a flushed write is not an event the server took,
 * and a client that exits right after its last call must not lose it.
 *
 * XCB rather than Xlib: a broken connection is a state to test, not a call to exit() from a
 * process-wide handler, and protocol errors arrive as data. One connection per process,
 * opened on first use and reopened after the server went away, behind one lock.
 *
 * A keysym the keymap lacks is bound to an unused keycode, a spare. The spare keeps its
 * binding after the key-up, because toolkits translate a keycode only when they process the
 * event; a small pool is reused least recently used first, and every binding is undone when
 * the library is unloaded or the process exits. Spares are claimed under a server grab and
 * listed in a property of the root window, so that clients never take each other's keycodes
 * nor mistake another's spare for a key of the layout; entries of clients that died are
 * swept by the next claim. */
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

#define NO_SYMBOL 0u
#define POOL 8
#define REGISTRY "_TAPSTRIKE_SPARE_KEYCODES"

/* The registry holds one entry per spare, as four CARDINALs. The owner is an unmapped window
 * of the client's, which goes with its connection; a later client may be given the same id,
 * so the window carries a random stamp of its process, which the entry repeats. */
struct entry {
    uint32_t owner;
    uint32_t stamp;
    uint32_t code;
    uint32_t sym;
};

struct spare {
    xcb_keycode_t code;
    xcb_keysym_t sym;
    unsigned long used;
    int down;
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
static int have_xkb;
static uint8_t xkb_event; /* the code of XKB's events */
static char key_names[256][4];     /* XKB key names by keycode */
static unsigned char foreign[256]; /* keycodes that are other clients' spares */
static struct spare spares[POOL];
static int spare_count;
static unsigned long use_clock;

static void disconnect(void)
{
    if (conn)
        xcb_disconnect(conn);
    conn = NULL;
    free(keymap);
    keymap = NULL;
    keymap_stale = 1;
    /* Everything else described that server; a new one starts from nothing. */
    have_xkb = 0;
    memset(key_names, 0, sizeof key_names);
    memset(foreign, 0, sizeof foreign);
    spare_count = 0;
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
    xcb_create_window(conn, 0, owner, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, NULL);
    if (stamp == 0 && getrandom(&stamp, sizeof stamp, 0) != sizeof stamp)
        stamp = (uint32_t)getpid() ^ (uint32_t)time(NULL) << 8;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, owner, registry, XCB_ATOM_CARDINAL, 32, 1,
                        &stamp);

    const xcb_query_extension_reply_t *xkb = xcb_get_extension_data(conn, &xcb_xkb_id);
    if (xkb && xkb->present) {
        xcb_xkb_use_extension_reply_t *use = xcb_xkb_use_extension_reply(
            conn, xcb_xkb_use_extension(conn, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
            NULL);
        have_xkb = use && use->supported;
        free(use);
        /* A client of XKB gets XKB's notifications in place of the core MappingNotify. */
        const uint16_t changes =
            XCB_XKB_EVENT_TYPE_MAP_NOTIFY | XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY;
        if (have_xkb) {
            xkb_event = xkb->first_event;
            xcb_xkb_select_events(conn, XCB_XKB_ID_USE_CORE_KBD, changes, 0, changes, 0xff, 0xff,
                                  NULL);
        }
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

/* Replaces our copy of the keymap with the server's. */
static int fetch_keymap(void)
{
    const int count = max_code - min_code + 1;
    xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(
        conn, xcb_get_keyboard_mapping(conn, min_code, (uint8_t)count), NULL);
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

/* The registry's entries, with room for one more; NULL when out of memory. */
static struct entry *fetch_registry(int *count)
{
    *count = 0;
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        conn, xcb_get_property(conn, 0, root, registry, XCB_ATOM_CARDINAL, 0, 4 * 256), NULL);
    const int n = reply && reply->format == 32 ? xcb_get_property_value_length(reply) / 16 : 0;
    struct entry *entries = malloc(sizeof *entries * (size_t)(n + 1));
    if (entries && n > 0) {
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

static void store_registry(const struct entry *entries, int count)
{
    if (count == 0)
        xcb_delete_property(conn, root, registry);
    else
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, registry, XCB_ATOM_CARDINAL, 32,
                            (uint32_t)count * 4, entries);
}

static void note_foreign(const struct entry *entries, int count)
{
    memset(foreign, 0, sizeof foreign);
    for (int i = 0; i < count; ++i)
        if (!ours(&entries[i]) && entries[i].code < 256)
            foreign[entries[i].code] = 1;
}

/* Our own spares that somebody else has since remapped are no longer ours to use or undo. */
static void drop_lost_spares(void)
{
    int kept = 0;
    for (int i = 0; i < spare_count; ++i)
        if (row(spares[i].code)[0] == spares[i].sym)
            spares[kept++] = spares[i];
    spare_count = kept;
}

static void load_key_names(void)
{
    memset(key_names, 0, sizeof key_names);
    if (!have_xkb)
        return;
    xcb_xkb_get_names_reply_t *reply = xcb_xkb_get_names_reply(
        conn,
        xcb_xkb_get_names(conn, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_NAME_DETAIL_KEY_NAMES), NULL);
    if (!reply)
        return;
    xcb_xkb_get_names_value_list_t list;
    xcb_xkb_get_names_value_list_unpack(xcb_xkb_get_names_value_list(reply), reply->nTypes,
                                        reply->indicators, reply->virtualMods,
                                        reply->groupNames, reply->nKeys, reply->nKeyAliases,
                                        reply->nRadioGroups, reply->which, &list);
    if (reply->which & XCB_XKB_NAME_DETAIL_KEY_NAMES)
        for (int i = 0; i < reply->nKeys && reply->firstKey + i < 256; ++i)
            memcpy(key_names[reply->firstKey + i], list.keyNames[i].name, 4);
    free(reply);
}

/* Grabs the server and reads the keymap and the registry afresh, so that they agree and stay
 * so until the caller lets go of the grab; NULL when either could not be read. */
static struct entry *grab_fresh(int *count)
{
    xcb_grab_server(conn);
    return fetch_keymap() == 0 ? fetch_registry(count) : NULL;
}

static int load_keymap(void)
{
    int count;
    struct entry *entries = grab_fresh(&count);
    xcb_ungrab_server(conn);
    xcb_flush(conn);
    if (!entries)
        return -1;
    note_foreign(entries, count);
    free(entries);
    drop_lost_spares();
    load_key_names();
    keymap_stale = 0;
    return 0;
}

/* A keymap notification is the cue that our copy of the keymap is old. */
static void drain_events(void)
{
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(conn))) {
        const uint8_t type = event->response_type & 0x7f;
        if ((type == XCB_MAPPING_NOTIFY
             && ((xcb_mapping_notify_event_t *)event)->request != XCB_MAPPING_POINTER)
            || (have_xkb && type == xkb_event))
            keymap_stale = 1;
        free(event);
    }
}

static int unused(xcb_keycode_t code)
{
    const xcb_keysym_t *entry = row(code);
    for (unsigned i = 0; i < per_code; ++i)
        if (entry[i] != NO_SYMBOL)
            return 0;
    return 1;
}

static xcb_keycode_t find_code(xcb_keysym_t sym)
{
    /* The key that carries the keysym unshifted, else any key that carries it at all; never
     * another client's spare, which may change or go at any moment. */
    for (int code = min_code; code <= max_code; ++code)
        if (!foreign[code] && row((xcb_keycode_t)code)[0] == sym)
            return (xcb_keycode_t)code;
    for (int code = min_code; code <= max_code; ++code)
        for (unsigned column = 1; column < per_code; ++column)
            if (!foreign[code] && row((xcb_keycode_t)code)[column] == sym)
                return (xcb_keycode_t)code;
    return 0;
}

static xcb_keycode_t find_position(const char *name)
{
    for (int code = min_code; code <= max_code; ++code)
        if (memcmp(key_names[code], name, 4) == 0)
            return (xcb_keycode_t)code;
    return 0;
}

static struct spare *find_spare(xcb_keysym_t sym)
{
    for (int i = 0; i < spare_count; ++i)
        if (spares[i].sym == sym)
            return &spares[i];
    return NULL;
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

static int owner_alive(const struct entry *e)
{
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        conn, xcb_get_property(conn, 0, e->owner, registry, XCB_ATOM_CARDINAL, 0, 1), NULL);
    const int alive = reply && xcb_get_property_value_length(reply) == 4
                      && *(uint32_t *)xcb_get_property_value(reply) == e->stamp;
    free(reply);
    return alive;
}

static int is_spare(uint32_t code)
{
    for (int i = 0; i < spare_count; ++i)
        if (spares[i].code == code)
            return 1;
    return 0;
}

/* Drops our entries for spares we lost and the entries of clients that are gone, undoing
 * the latter's bindings; returns the new count. */
static int sweep(struct entry *entries, int count)
{
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const struct entry e = entries[i];
        if (ours(&e) ? is_spare(e.code) : owner_alive(&e)) {
            entries[kept++] = e;
        } else if (!ours(&e) && e.code >= min_code && e.code <= max_code
                   && row((xcb_keycode_t)e.code)[0] == e.sym) {
            set_mapping((xcb_keycode_t)e.code, NO_SYMBOL);
        }
    }
    return kept;
}

static int listed(const struct entry *entries, int count, xcb_keycode_t code)
{
    for (int i = 0; i < count; ++i)
        if (entries[i].code == code)
            return 1;
    return 0;
}

/* The spare to rebind: a new one while the pool and the server have room, else our least
 * recently used spare that is not held down. */
static struct spare *choose_spare(const struct entry *entries, int count)
{
    if (spare_count < POOL)
        for (int code = max_code; code >= min_code; --code)
            if (unused((xcb_keycode_t)code) && !listed(entries, count, (xcb_keycode_t)code)) {
                struct spare *spare = &spares[spare_count++];
                spare->code = (xcb_keycode_t)code;
                spare->down = 0;
                return spare;
            }
    struct spare *oldest = NULL;
    for (int i = 0; i < spare_count; ++i)
        if (!spares[i].down && (!oldest || spares[i].used < oldest->used))
            oldest = &spares[i];
    return oldest;
}

static struct spare *claim_spare(xcb_keysym_t sym)
{
    int count;
    struct spare *spare = NULL;
    struct entry *entries = grab_fresh(&count);
    if (entries) {
        /* Nobody can bind or list a keycode until we let go. */
        drop_lost_spares();
        count = sweep(entries, count);
        spare = choose_spare(entries, count);
        if (spare) {
            int i = 0;
            while (i < count && entries[i].code != spare->code)
                ++i;
            entries[i] = (struct entry){owner, stamp, spare->code, sym};
            count += i == count;
            set_mapping(spare->code, sym);
            spare->sym = sym;
        }
        store_registry(entries, count);
        note_foreign(entries, count);
    }
    xcb_ungrab_server(conn);
    free(entries);
    return spare;
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

    const char *position = tapstrike_vk_position(vk);
    xcb_keycode_t code = position ? find_position(position) : 0;
    struct spare *spare = code ? NULL : find_spare(sym);
    if (!code && !spare && !(code = find_code(sym)))
        spare = claim_spare(sym);
    if (spare) {
        code = spare->code;
        spare->used = ++use_clock;
        spare->down = press;
    }
    if (!code)
        goto done;
    xcb_generic_error_t *error = xcb_request_check(
        conn, xcb_test_fake_input_checked(conn, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code,
                                          XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0));
    if (!error && !xcb_connection_has_error(conn))
        result = 0;
    free(error);

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

/* Undoes our bindings and our registry entries when the library goes, on dlclose or at a
 * normal exit. A call that is stuck holding the lock gets a second, then we leave. */
__attribute__((destructor)) static void restore_spares(void)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    if (pthread_mutex_timedlock(&lock, &deadline) != 0)
        return;
    if (conn && conn_pid == getpid() && !xcb_connection_has_error(conn) && spare_count > 0) {
        int count;
        struct entry *entries = grab_fresh(&count);
        if (entries) {
            for (int i = 0; i < spare_count; ++i)
                if (row(spares[i].code)[0] == spares[i].sym)
                    set_mapping(spares[i].code, NO_SYMBOL);
            int kept = 0;
            for (int i = 0; i < count; ++i)
                if (!ours(&entries[i]))
                    entries[kept++] = entries[i];
            if (kept != count)
                store_registry(entries, kept);
        }
        xcb_ungrab_server(conn);
        free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), NULL));
        free(entries);
    }
    if (conn_pid == getpid())
        disconnect();
    pthread_mutex_unlock(&lock);
}
