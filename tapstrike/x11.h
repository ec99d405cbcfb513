/* The X11 library's one context, and what each of its rooms offers the others:
 *   x11_display.c  the connection, the server grab, the notices the server sends
 *   x11_keymap.c   our copy of the keymap and the keyboard's state, and the key for a code
 *   x11_spares.c   keycodes bound for an event (spares and places), and their registry
 *   tapstrike_x11.c  the two exports
 * Everything runs under the context's lock. */
#ifndef TAPSTRIKE_X11_H
#define TAPSTRIKE_X11_H

#include "keys.h"

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#define NO_SYMBOL 0u
#define GRACE_MS 2000
/* Layout keys go out under a grab that first learns the keymap for this long after another
 * client changed the keymap or the group: during churn, the next change is likely. */
#define WARY_MS 2000

/* A keycode bound for events: an unused one (a spare), or the key at a code's place that the
 * layout binds to something else. A spare a keymap wiped stays ours, to be bound again. */
struct spare {
    xcb_keycode_t code;
    xcb_keysym_t sym;
    int place; /* the code's own key: never taken for another keysym */
};

/* One registry entry: four CARDINALs (owner, stamp, keycode, keysym). */
struct entry {
    uint32_t owner;
    uint32_t stamp;
    uint32_t code;
    uint32_t sym;
};

/* What one grab saw: the registry, the keys that are down and the server's time. */
struct session {
    struct entry *entries; /* with room for more; NULL when it is not ours to rewrite */
    int count, room;
    int changed;  /* the registry is to be stored */
    int own_grab; /* the session took the grab, and lets go of it */
    int have_now;
    xcb_timestamp_t now;
    uint8_t down[32]; /* a bit per keycode, whoever holds it */
};

struct tapstrike {
    pthread_mutex_t lock;

    /* The connection and the grab (x11_display.c). */
    xcb_connection_t *conn;
    pid_t pid; /* a child that forked shares the parent's socket, not its connection */
    xcb_window_t root, owner;
    uint32_t stamp;
    xcb_atom_t registry;
    xcb_keycode_t min_code, max_code;
    uint8_t xkb_event; /* the code of XKB's events; 0 without XKB */
    int grabbed;
    unsigned grab_seq, ungrab_seq; /* our own keymap changes come between these */
    xcb_timestamp_t server_time;   /* from the last PropertyNotify on our window */
    int have_time;
    /* Another client changed the keymap or the group: when we last heard of it, and whether a
     * notice of it was sent before the server processed `event_seq`. */
    struct timespec others_changed;
    unsigned event_seq;
    int event_unsure;

    /* The keymap (x11_keymap.c): the server's core rows as we know them, those the xkbcommon
     * keymap was made from, and the state that picks a key's level, Shift and Lock left out. */
    xcb_keysym_t *rows, *made_from;
    unsigned per_code, made_per_code;
    int rows_stale;   /* another client changed rows: read them */
    int first_stale, last_stale; /* those rows; all of them when first_stale is 0 */
    int unchecked;    /* rows read since that change: does the layout differ? */
    int keymap_stale; /* read and compile the keymap anew */
    struct xkb_context *xkb_ctx;
    struct xkb_keymap *xkb_map;
    struct xkb_state *xkb_now;
    unsigned generation; /* of what resolution reads; its answers are cached per code */
    unsigned looked_up[256];
    struct key_choice found[256];

    /* Spares and the registry (x11_spares.c). */
    unsigned char foreign[256]; /* keycodes other clients list as their spares */
    struct spare spares[256];
    int spare_count;
    /* By keycode, whatever it was bound to since: our last event on it and its keysym. */
    struct timespec last_event[256];
    xcb_keysym_t last_sym[256];
    unsigned char sent[256];

    /* The exports (tapstrike_x11.c): by code, the keycode its press went to and the
     * modifiers latched for it, so that the release is read as the same key. */
    xcb_keycode_t held[256];
    uint8_t held_latch[256];
};

/* x11_display.c */
int display_connect(struct tapstrike *t);
void display_disconnect(struct tapstrike *t);
void display_grab(struct tapstrike *t);
void display_ungrab(struct tapstrike *t);
void display_drain(struct tapstrike *t);
void display_ask_time(struct tapstrike *t);
int display_read_time(struct tapstrike *t);
/* 0 once the server has processed the request without an error. */
int display_wait(struct tapstrike *t, xcb_void_cookie_t cookie);
long display_since_ms(const struct timespec *then);

/* x11_keymap.c */
void keymap_forget(struct tapstrike *t);
void keymap_rows_changed(struct tapstrike *t, int first, int count);
void keymap_replaced(struct tapstrike *t);
void keymap_set_state(struct tapstrike *t, uint32_t base, uint32_t latched, uint32_t locked,
                      int32_t base_group, int32_t latched_group, int32_t locked_group);
int keymap_refresh(struct tapstrike *t);
int keymap_stale(const struct tapstrike *t);
int keymap_row_stale(const struct tapstrike *t, xcb_keycode_t code);
int keymap_read_rows(struct tapstrike *t, xcb_get_keyboard_mapping_cookie_t cookie);
xcb_get_keyboard_mapping_cookie_t keymap_ask_rows(struct tapstrike *t);
const xcb_keysym_t *keymap_row(const struct tapstrike *t, xcb_keycode_t code);
void keymap_note_row(struct tapstrike *t, xcb_keycode_t code, const xcb_keysym_t *row);
int keymap_unbound(const struct tapstrike *t, xcb_keycode_t code);
const struct key_choice *keymap_choose(struct tapstrike *t, unsigned char vk);

/* x11_spares.c */
int spares_shaped(const xcb_keysym_t *row, unsigned width, xcb_keysym_t sym);
int spares_is_spare_row(const xcb_keysym_t *row, unsigned width);
struct spare *spares_at(struct tapstrike *t, xcb_keycode_t code);
int spares_bound(const struct tapstrike *t, uint32_t code, uint32_t sym);
xcb_keycode_t spares_for(struct tapstrike *t, xcb_keysym_t sym);
void spares_note_event(struct tapstrike *t, xcb_keycode_t code, xcb_keysym_t sym);
int spares_is_held(const struct tapstrike *t, xcb_keycode_t code);
int spares_settle(struct tapstrike *t);
int spares_event(struct tapstrike *t, unsigned char vk, xcb_keysym_t sym, xcb_keycode_t place,
                 int press, xcb_keycode_t code);
void spares_leave(struct tapstrike *t);

/* tapstrike_x11.c */
xcb_void_cookie_t queue_event(struct tapstrike *t, unsigned char vk, xcb_keycode_t code,
                              xcb_keysym_t sym, int press);

#endif
