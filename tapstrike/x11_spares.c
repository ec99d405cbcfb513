/* Keycodes bound to a keysym for events: a spare (an unused keycode) for a code with no key on
 * a PC keyboard, or a code's own key where the layout binds something else there (F13's key
 * types XF86Tools on a standard keymap), so that readers of keysyms and of key positions both
 * read the named key.
 *
 * Receivers translate a keycode when they get to the event, so a keycode is not rebound for
 * GRACE_MS after its last event, by us or anyone, whatever the keymap did in between, nor while
 * it is down: we time the keycodes we send events on with CLOCK_MONOTONIC (no round trip,
 * immune to clock changes), and bindings left behind by a client that has gone on the X
 * server's clock, the only one all clients share. Bindings are made under a server grab and
 * listed in a property of the root window, so that clients never take each other's keycodes
 * nor mistake another's spare for a key of the layout. A binding is undone only when it has
 * exactly the shape we give it: a spare is unbound, a key is given back what the layout had.
 *
 * The registry holds four CARDINALs an entry. The owner is an unmapped window of the client's,
 * which goes with its connection, and the stamp a random number of its process, which the
 * window carries too. An entry whose owner is gone is orphaned: owner 0, and in place of the
 * stamp the server time from which its grace runs. What a key carried before it was bound is
 * kept in entries of owner KEPT, one per keysym, the stamp its column. */
#include "x11.h"

#include <stdlib.h>
#include <string.h>

#include <xcb/xtest.h>

#define REGISTRY_MAX 4096 /* entries; a longer registry is not ours to rewrite */
#define KEPT 0xFFFFFFFFu  /* no window has this id */

/* The binding we give a keysym, which no key of a common layout has: the keysym on both levels
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
int spares_shaped(const xcb_keysym_t *row, unsigned width, xcb_keysym_t sym)
{
    if (width < 4 || sym == NO_SYMBOL)
        return 0;
    for (unsigned i = 0; i < width; ++i)
        if (row[i] != spare_column(sym, i))
            return 0;
    return 1;
}

int spares_is_spare_row(const xcb_keysym_t *row, unsigned width)
{
    return width > 0 && spares_shaped(row, width, row[0]);
}

/* Exactly that shape, as we know the server shows it. */
int spares_bound(const struct tapstrike *t, uint32_t code, uint32_t sym)
{
    if (code < t->min_code || code > t->max_code)
        return 0;
    return spares_shaped(keymap_row(t, (xcb_keycode_t)code), t->per_code, sym);
}

static int ours(const struct tapstrike *t, const struct entry *e)
{
    return e->owner == t->owner && e->stamp == t->stamp;
}

/* The first entry that binds the keycode (one of ours, if `ours_only`); count when none does. */
static int entry_index(const struct tapstrike *t, const struct session *s, uint32_t code,
                       int ours_only)
{
    int i = 0;
    while (i < s->count && !(s->entries[i].code == code && s->entries[i].owner != KEPT
                             && (!ours_only || ours(t, &s->entries[i]))))
        ++i;
    return i;
}

/* Adds an entry when there is room: the registry is read with room for 256 more. */
static void add_entry(struct session *s, struct entry e)
{
    if (s->count < s->room) {
        s->entries[s->count++] = e;
        s->changed = 1;
    }
}

struct spare *spares_at(struct tapstrike *t, xcb_keycode_t code)
{
    for (int i = 0; i < t->spare_count; ++i)
        if (t->spares[i].code == code)
            return &t->spares[i];
    return NULL;
}

/* Our keycode bound to the keysym; 0 when we have none. */
xcb_keycode_t spares_for(struct tapstrike *t, xcb_keysym_t sym)
{
    for (int i = 0; i < t->spare_count; ++i)
        if (t->spares[i].sym == sym)
            return t->spares[i].code;
    return 0;
}

void spares_note_event(struct tapstrike *t, xcb_keycode_t code, xcb_keysym_t sym)
{
    clock_gettime(CLOCK_MONOTONIC, &t->last_event[code]);
    t->last_sym[code] = sym;
    t->sent[code] = 1;
}

/* How long ago our last event on the keycode was; GRACE_MS when we never sent one. */
static long idle_ms(const struct tapstrike *t, xcb_keycode_t code)
{
    return t->sent[code] ? display_since_ms(&t->last_event[code]) : GRACE_MS;
}

int spares_is_held(const struct tapstrike *t, xcb_keycode_t code)
{
    for (int i = 0; i < 256; ++i)
        if (t->held[i] == code)
            return 1;
    return 0;
}

static int is_down(const struct session *s, xcb_keycode_t code)
{
    return s->down[code / 8] >> (code % 8) & 1;
}

/* Whether the keycode may be bound to the keysym now: not down, and no event of ours on it
 * in the last GRACE_MS that a receiver would read as something else. */
static int may_bind(const struct tapstrike *t, const struct session *s, xcb_keycode_t code,
                    xcb_keysym_t sym)
{
    return !is_down(s, code) && !spares_is_held(t, code)
           && (idle_ms(t, code) >= GRACE_MS || t->last_sym[code] == sym);
}

static void set_row(struct tapstrike *t, xcb_keycode_t code, const xcb_keysym_t *row, unsigned width)
{
    xcb_change_keyboard_mapping(t->conn, 1, code, (uint8_t)width, row);
    xcb_keysym_t copy[256];
    for (unsigned i = 0; i < t->per_code; ++i)
        copy[i] = i < width ? row[i] : NO_SYMBOL;
    keymap_note_row(t, code, copy);
    if (width > t->per_code) /* the server now shows more columns than our copy */
        keymap_rows_changed(t, 0, 0);
}

/* A keymap of one group with at most two levels has two keysyms per keycode, too few to tell
 * a spare from a key: the binding goes four wide all the same, which gives the server the
 * columns of the second group, until no keycode needs them. */
static void bind(struct tapstrike *t, xcb_keycode_t code, xcb_keysym_t sym)
{
    xcb_keysym_t row[256];
    const unsigned width = t->per_code < 4 ? 4 : t->per_code;
    for (unsigned i = 0; i < width; ++i)
        row[i] = i < 3 ? sym : NO_SYMBOL;
    set_row(t, code, row, width);
    for (unsigned i = 0; i < t->per_code; ++i) /* as the server shows it */
        row[i] = spare_column(sym, i);
    keymap_note_row(t, code, row);
}

static void drop_kept(struct session *s, uint32_t code)
{
    int kept = 0;
    for (int i = 0; i < s->count; ++i)
        if (s->entries[i].owner != KEPT || s->entries[i].code != code)
            s->entries[kept++] = s->entries[i];
    s->changed |= kept != s->count;
    s->count = kept;
}

/* Notes what a key carries before a binding replaces it; nothing for an unbound keycode. */
static void keep_row(struct tapstrike *t, struct session *s, xcb_keycode_t code)
{
    drop_kept(s, code);
    const xcb_keysym_t *row = keymap_row(t, code);
    for (unsigned i = 0; i < t->per_code; ++i)
        if (row[i] != NO_SYMBOL)
            add_entry(s, (struct entry){KEPT, i, code, row[i]});
}

/* Undoes a binding that still has our shape: a key gets back what it carried, a spare none. */
static void undo(struct tapstrike *t, struct session *s, uint32_t code, uint32_t sym)
{
    if (!spares_bound(t, code, sym))
        return;
    xcb_keysym_t row[256] = {0};
    for (int i = 0; i < s->count; ++i)
        if (s->entries[i].owner == KEPT && s->entries[i].code == code && s->entries[i].stamp < 256)
            row[s->entries[i].stamp] = s->entries[i].sym;
    set_row(t, (xcb_keycode_t)code, row, t->per_code);
    drop_kept(s, code);
}

/* The registry's entries with room for 256 more, or NULL when it cannot be read whole in our
 * format: then it is neither rewritten nor added to, since that would drop what it holds. */
static struct entry *read_registry(struct tapstrike *t, xcb_get_property_cookie_t cookie,
                                   struct session *s)
{
    xcb_get_property_reply_t *reply = xcb_get_property_reply(t->conn, cookie, NULL);
    if (!reply)
        return NULL;
    const int length = xcb_get_property_value_length(reply);
    const int empty = reply->type == XCB_NONE;
    const int n = length / 16;
    struct entry *entries = NULL;
    if (empty || (reply->type == XCB_ATOM_CARDINAL && reply->format == 32 && length % 16 == 0
                  && reply->bytes_after == 0))
        entries = malloc(sizeof *entries * (size_t)(n + 256));
    if (entries && !empty) {
        memcpy(entries, xcb_get_property_value(reply), sizeof *entries * (size_t)n);
        s->count = n;
    }
    s->room = n + 256;
    free(reply);
    return entries;
}

/* Another client's binding is still one only while it has our shape; a listed keycode that
 * carries anything else is a key of the layout, whatever the registry says. */
static void note_foreign(struct tapstrike *t, const struct session *s)
{
    unsigned char foreign[256] = {0};
    for (int i = 0; i < s->count; ++i) {
        const struct entry *e = &s->entries[i];
        if (e->owner != KEPT && !ours(t, e) && spares_bound(t, e->code, e->sym))
            foreign[e->code] = 1; /* a keycode of the server's range, so below 256 */
    }
    if (memcmp(foreign, t->foreign, sizeof foreign) != 0) {
        memcpy(t->foreign, foreign, sizeof foreign);
        ++t->generation;
    }
}

/* Our own bindings that somebody else has since bound to other keysyms are no longer ours to
 * use or undo. A spare that a new keymap wiped stays ours, to be bound again; so does a key,
 * whatever the new layout put there. */
static void drop_lost_spares(struct tapstrike *t)
{
    int kept = 0;
    for (int i = 0; i < t->spare_count; ++i)
        if (t->spares[i].place || spares_bound(t, t->spares[i].code, t->spares[i].sym)
            || keymap_unbound(t, t->spares[i].code))
            t->spares[kept++] = t->spares[i];
    t->spare_count = kept;
}

/* Grabs the server (unless we hold it already) and reads the keymap's rows, the registry, the
 * keys that are down and the server's time, all in one round trip, so that they agree and stay
 * so until the caller lets go; -1 when the rows or the keys could not be read. */
static int open_session(struct tapstrike *t, struct session *s)
{
    memset(s, 0, sizeof *s);
    s->own_grab = !t->grabbed;
    if (s->own_grab)
        display_grab(t);
    display_ask_time(t);
    const xcb_get_keyboard_mapping_cookie_t rows = keymap_ask_rows(t);
    const xcb_get_property_cookie_t listed = xcb_get_property(
        t->conn, 0, t->root, t->registry, XCB_GET_PROPERTY_TYPE_ANY, 0, 4 * REGISTRY_MAX);
    const xcb_query_keymap_cookie_t keys = xcb_query_keymap(t->conn);
    const int read = keymap_read_rows(t, rows) == 0;
    s->entries = read_registry(t, listed, s);
    xcb_query_keymap_reply_t *down = xcb_query_keymap_reply(t->conn, keys, NULL);
    if (down)
        memcpy(s->down, down->keys, sizeof s->down);
    free(down);
    s->have_now = display_read_time(t);
    s->now = t->server_time;
    if (!read || !down)
        return -1;
    drop_lost_spares(t);
    /* An unreadable registry lists nobody's spares: then no keycode is taken for a spare. */
    note_foreign(t, s);
    return 0;
}

/* Stores the registry if it changed and lets go of the server if the session took it. What was
 * kept for a key that no entry binds any more goes with it. */
static void close_session(struct tapstrike *t, struct session *s)
{
    if (s->entries && s->changed) {
        int kept = 0;
        for (int i = 0; i < s->count; ++i)
            if (s->entries[i].owner != KEPT || entry_index(t, s, s->entries[i].code, 0) < s->count)
                s->entries[kept++] = s->entries[i];
        s->count = kept;
        if (s->count == 0)
            xcb_delete_property(t->conn, t->root, t->registry);
        else
            xcb_change_property(t->conn, XCB_PROP_MODE_REPLACE, t->root, t->registry,
                                XCB_ATOM_CARDINAL, 32, (uint32_t)s->count * 4, s->entries);
        note_foreign(t, s);
    }
    if (s->own_grab)
        display_ungrab(t);
    free(s->entries);
    s->entries = NULL;
}

/* Settles the entries of others: an entry whose owner has gone is orphaned, and a binding it
 * left down is released at once, before anything else is done with it; an orphan is dropped
 * once its grace has run on the server's clock, its binding undone only if it still has our
 * shape and is up. Our entries for bindings we lost are dropped. */
static void sweep(struct tapstrike *t, struct session *s)
{
    struct entry *entries = s->entries;
    const int count = s->count;
    if (!entries)
        return;
    xcb_get_property_cookie_t *alive = malloc(sizeof *alive * (size_t)(count ? count : 1));
    if (!alive)
        return;
    xcb_keysym_t gone[256] = {0};
    for (int i = 0; i < count; ++i) /* one round trip for them all */
        if (!ours(t, &entries[i]) && entries[i].owner != 0 && entries[i].owner != KEPT)
            alive[i] = xcb_get_property(t->conn, 0, entries[i].owner, t->registry,
                                        XCB_ATOM_CARDINAL, 0, 1);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        struct entry e = entries[i];
        const xcb_keycode_t code = (xcb_keycode_t)e.code;
        const int in_range = e.code >= t->min_code && e.code <= t->max_code;
        if (e.owner == KEPT) {
            entries[kept++] = e;
            continue;
        }
        if (ours(t, &e)) {
            if (!spares_at(t, code))
                continue;
        } else if (e.owner != 0) {
            xcb_get_property_reply_t *reply = xcb_get_property_reply(t->conn, alive[i], NULL);
            const int living = reply && xcb_get_property_value_length(reply) == 4
                               && *(uint32_t *)xcb_get_property_value(reply) == e.stamp;
            free(reply);
            if (!living && s->have_now)
                e = (struct entry){0, s->now ? s->now : 1, e.code, e.sym};
        } else if (s->have_now && (int32_t)(s->now - e.stamp) >= GRACE_MS
                   && !(in_range && is_down(s, code))) {
            if (in_range)
                gone[code] = e.sym; /* undone once every entry is read */
            continue;
        }
        /* Nobody will release what a gone owner held, and autorepeat would go on for ever;
         * a keycode another client has bound since is theirs, down or not. */
        if (e.owner == 0 && in_range && is_down(s, code)
            && (spares_bound(t, code, e.sym) || keymap_unbound(t, code))) {
            xcb_test_fake_input(t->conn, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            spares_note_event(t, code, e.sym);
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
    for (int code = 0; code < 256; ++code)
        if (gone[code])
            undo(t, s, (uint32_t)code, gone[code]);
}

/* Reads the rows and the registry, settling other clients' bindings (releasing what a gone
 * client left down): on first use and after another client changed the keymap. */
int spares_settle(struct tapstrike *t)
{
    struct session s;
    const int read = open_session(t, &s) == 0;
    if (read)
        sweep(t, &s);
    const int changed = s.changed;
    close_session(t, &s);
    if (!read)
        return -1;
    if (changed) { /* what it released is up once this call returns */
        free(xcb_get_input_focus_reply(t->conn, xcb_get_input_focus(t->conn), NULL));
        display_drain(t); /* the notices of what it unbound, while the grab's bounds are known */
    }
    return 0;
}

static struct spare *add_spare(struct tapstrike *t, xcb_keycode_t code, xcb_keysym_t sym, int place)
{
    struct spare *spare = &t->spares[t->spare_count++];
    *spare = (struct spare){code, sym, place};
    return spare;
}

/* Whether a code's own key may be bound to its keysym: nobody else's binding is there, and it
 * carries what the layout gave it, nothing (or our binding already). */
static int place_free(struct tapstrike *t, const struct session *s, xcb_keycode_t code,
                      xcb_keysym_t sym)
{
    if (t->foreign[code] || !may_bind(t, s, code, sym))
        return 0;
    if (keymap_unbound(t, code) || spares_bound(t, code, sym) || !t->made_from)
        return 1;
    const size_t at = (size_t)(code - t->min_code);
    for (unsigned i = 0; i < (t->per_code > t->made_per_code ? t->per_code : t->made_per_code); ++i) {
        const xcb_keysym_t was = i < t->made_per_code ? t->made_from[at * t->made_per_code + i] : 0;
        if ((i < t->per_code ? keymap_row(t, code)[i] : 0) != was)
            return 0; /* another program's binding */
    }
    return 1;
}

/* The keycode for a keysym that no key types: an orphaned spare that has it already, else our
 * spare that has been idle longest, if its grace is over and it is up, else an unused keycode
 * that is up and that we sent nothing on in the last GRACE_MS. */
static struct spare *choose_spare(struct tapstrike *t, const struct session *s, xcb_keysym_t sym)
{
    if (t->spare_count == (int)(sizeof t->spares / sizeof t->spares[0]))
        return NULL;
    for (int i = 0; i < s->count; ++i)
        if (s->entries[i].owner == 0 && s->entries[i].sym == sym
            && spares_bound(t, s->entries[i].code, sym)
            && !spares_at(t, (xcb_keycode_t)s->entries[i].code))
            return add_spare(t, (xcb_keycode_t)s->entries[i].code, sym, 0);
    struct spare *oldest = NULL;
    for (int i = 0; i < t->spare_count; ++i)
        if (!t->spares[i].place && may_bind(t, s, t->spares[i].code, sym)
            && (!oldest || idle_ms(t, t->spares[i].code) > idle_ms(t, oldest->code)))
            oldest = &t->spares[i];
    if (oldest)
        return oldest;
    for (int code = t->max_code; code >= t->min_code; --code)
        if (keymap_unbound(t, (xcb_keycode_t)code) && !spares_at(t, (xcb_keycode_t)code)
            && entry_index(t, s, (uint32_t)code, 0) == s->count
            && may_bind(t, s, (xcb_keycode_t)code, sym))
            return add_spare(t, (xcb_keycode_t)code, NO_SYMBOL, 0);
    return NULL;
}

/* An event on a bound keycode, sent under the same grab that saw it bound to its keysym, so
 * that no keymap another client loads in between can send it to a keycode that means
 * something else or nothing: our keycode for the keysym (`code`), bound again if a new keymap
 * wiped it, else the code's own key (`place`) bound now, else a spare. A release goes where
 * its press went in any case. */
int spares_event(struct tapstrike *t, unsigned char vk, xcb_keysym_t sym, xcb_keycode_t place,
                 int press, xcb_keycode_t code)
{
    if (!t->grabbed)
        display_grab(t);
    if (code && spares_bound(t, code, sym) && !keymap_row_stale(t, code)) {
        /* The common case, in two round trips: the binding is as we left it. */
        xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(
            t->conn, xcb_get_keyboard_mapping(t->conn, code, 1), NULL);
        const int intact = reply && xcb_get_keyboard_mapping_keysyms_length(reply)
                                        >= reply->keysyms_per_keycode
                           && spares_shaped(xcb_get_keyboard_mapping_keysyms(reply),
                                            reply->keysyms_per_keycode, sym);
        free(reply);
        if (intact) {
            const xcb_void_cookie_t cookie = queue_event(t, vk, code, sym, press);
            display_ungrab(t);
            return display_wait(t, cookie);
        }
        if (!reply) {
            display_ungrab(t);
            return -1;
        }
    }
    struct session s;
    if (open_session(t, &s) != 0) {
        close_session(t, &s);
        display_ungrab(t);
        return -1;
    }
    sweep(t, &s);
    struct spare *spare = code ? spares_at(t, code) : NULL;
    if (spare && spare->place && press && !spares_bound(t, code, sym)
        && !place_free(t, &s, code, sym))
        spare = NULL; /* another program bound the key since: not ours to take back */
    if (!spare && press && s.entries) {
        if (place && place_free(t, &s, place, sym))
            spare = spares_at(t, place) ? spares_at(t, place) : add_spare(t, place, sym, 1);
        else
            spare = choose_spare(t, &s, sym);
        if (spare)
            spare->sym = sym;
    }
    if (spare) {
        code = spare->code;
        if (!spares_bound(t, code, sym)) { /* a new binding, or ours that a keymap wiped */
            if (spare->place && s.entries)
                keep_row(t, &s, code);
            bind(t, code, sym);
        }
        if (s.entries && entry_index(t, &s, code, 1) == s.count) {
            const int i = entry_index(t, &s, code, 0);
            if (i < s.count) {
                s.entries[i] = (struct entry){t->owner, t->stamp, code, sym};
                s.changed = 1;
            } else {
                add_entry(&s, (struct entry){t->owner, t->stamp, code, sym});
            }
        }
    } else if (press) {
        code = 0; /* no keycode to be had: nothing is sent */
    }
    xcb_void_cookie_t cookie = {0};
    if (code)
        cookie = queue_event(t, vk, code, sym, press);
    close_session(t, &s);
    display_ungrab(t);
    if (!code)
        return -1;
    return display_wait(t, cookie);
}

/* When the library goes: bindings used within their grace, and those that are down, stay
 * bound and listed as orphans for a later client to release and undo; the others are undone
 * at once. */
void spares_leave(struct tapstrike *t)
{
    struct session s;
    if (open_session(t, &s) == 0) {
        for (int i = 0; i < t->spare_count; ++i) {
            const xcb_keycode_t code = t->spares[i].code;
            const long idle = idle_ms(t, code);
            const int down = is_down(&s, code) || spares_is_held(t, code);
            if (idle >= GRACE_MS && !down) {
                undo(t, &s, code, t->spares[i].sym);
            } else if (s.have_now && s.entries) {
                const int e = entry_index(t, &s, code, 1);
                const uint32_t since = down ? 0 : (uint32_t)idle;
                if (e < s.count)
                    s.entries[e] = (struct entry){0, (s.now - since) | 1, code, t->spares[i].sym};
            }
        }
        if (s.entries) {
            int kept = 0;
            for (int i = 0; i < s.count; ++i)
                if (!ours(t, &s.entries[i]))
                    s.entries[kept++] = s.entries[i];
            s.count = kept;
            s.changed = 1;
        }
    }
    close_session(t, &s);
    free(xcb_get_input_focus_reply(t->conn, xcb_get_input_focus(t->conn), NULL));
}
