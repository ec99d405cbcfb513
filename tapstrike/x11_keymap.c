/* Our copy of the server's keymap and keyboard state, and the key each code names in them.
 * The keymap is read through xkbcommon, as toolkits read it; the core rows beside it tell
 * cheaply whether another client's change touched the layout or only keycodes bound for
 * events (spares), which leave the layout as it was. */
#include "x11.h"

#include <stdlib.h>
#include <string.h>

#include <xkbcommon/xkbcommon-x11.h>

static void forget_xkb(struct tapstrike *t)
{
    xkb_state_unref(t->xkb_now);
    xkb_keymap_unref(t->xkb_map);
    t->xkb_now = NULL;
    t->xkb_map = NULL;
    ++t->generation;
}

void keymap_forget(struct tapstrike *t)
{
    forget_xkb(t);
    free(t->rows);
    free(t->made_from);
    t->rows = t->made_from = NULL;
    t->rows_stale = t->unchecked = t->keymap_stale = 1;
    t->first_stale = 0;
}

/* Rows from `first` on (all when count is 0) changed: only those are read again. */
void keymap_rows_changed(struct tapstrike *t, int first, int count)
{
    if (count == 0 || first < t->min_code || (t->rows_stale && t->first_stale == 0)) {
        t->first_stale = 0;
    } else if (!t->rows_stale) {
        t->first_stale = first;
        t->last_stale = first + count - 1;
    } else {
        t->first_stale = first < t->first_stale ? first : t->first_stale;
        t->last_stale = first + count - 1 > t->last_stale ? first + count - 1 : t->last_stale;
    }
    if (t->last_stale > t->max_code)
        t->last_stale = t->max_code;
    t->rows_stale = t->unchecked = 1;
}

void keymap_replaced(struct tapstrike *t)
{
    keymap_rows_changed(t, 0, 0);
    t->keymap_stale = 1;
}

/* Another client changed the row since we read it. */
int keymap_row_stale(const struct tapstrike *t, xcb_keycode_t code)
{
    return t->rows_stale && (t->first_stale == 0 || (code >= t->first_stale && code <= t->last_stale));
}

int keymap_stale(const struct tapstrike *t)
{
    return !t->rows || t->rows_stale || t->unchecked || t->keymap_stale;
}

/* The state that picks a key's level, less Shift and Lock: those are the caller's to add to a
 * key, as on Windows (Shift with the 1 key gives "!"). */
void keymap_set_state(struct tapstrike *t, uint32_t base, uint32_t latched, uint32_t locked,
                      int32_t base_group, int32_t latched_group, int32_t locked_group)
{
    if (!t->xkb_now)
        return;
    const uint32_t keep = ~(uint32_t)(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK);
    if (xkb_state_update_mask(t->xkb_now, base & keep, latched & keep, locked & keep,
                              (xkb_layout_index_t)base_group, (xkb_layout_index_t)latched_group,
                              (xkb_layout_index_t)locked_group))
        ++t->generation;
}

const xcb_keysym_t *keymap_row(const struct tapstrike *t, xcb_keycode_t code)
{
    return t->rows + (size_t)(code - t->min_code) * t->per_code;
}

int keymap_unbound(const struct tapstrike *t, xcb_keycode_t code)
{
    const xcb_keysym_t *keys = keymap_row(t, code);
    for (unsigned i = 0; i < t->per_code; ++i)
        if (keys[i] != NO_SYMBOL)
            return 0;
    return 1;
}

/* Our own change to a row, which the server has as we do. */
void keymap_note_row(struct tapstrike *t, xcb_keycode_t code, const xcb_keysym_t *row)
{
    memcpy(t->rows + (size_t)(code - t->min_code) * t->per_code, row, sizeof *row * t->per_code);
}

xcb_get_keyboard_mapping_cookie_t keymap_ask_rows(struct tapstrike *t)
{
    return xcb_get_keyboard_mapping(t->conn, t->min_code, (uint8_t)(t->max_code - t->min_code + 1));
}

/* Replaces our copy of the rows with the server's. */
int keymap_read_rows(struct tapstrike *t, xcb_get_keyboard_mapping_cookie_t cookie)
{
    const int count = t->max_code - t->min_code + 1;
    xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(t->conn, cookie, NULL);
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
    free(t->rows);
    t->rows = copy;
    t->per_code = reply->keysyms_per_keycode;
    t->rows_stale = 0;
    free(reply);
    return 0;
}

/* Reads the rows another client changed, when they are a few: one round trip, without the
 * registry. -1 when the whole keymap is to be read. */
static int read_some_rows(struct tapstrike *t)
{
    if (!t->rows || t->first_stale == 0)
        return -1;
    const int count = t->last_stale - t->first_stale + 1;
    xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(
        t->conn, xcb_get_keyboard_mapping(t->conn, (xcb_keycode_t)t->first_stale, (uint8_t)count),
        NULL);
    const int fits = reply && reply->keysyms_per_keycode == t->per_code
                     && xcb_get_keyboard_mapping_keysyms_length(reply) >= count * (int)t->per_code;
    if (fits) {
        memcpy(t->rows + (size_t)(t->first_stale - t->min_code) * t->per_code,
               xcb_get_keyboard_mapping_keysyms(reply), sizeof *t->rows * (size_t)count * t->per_code);
        t->rows_stale = 0;
    }
    free(reply);
    return fits ? 0 : -1;
}

static xcb_keysym_t column(const xcb_keysym_t *rows, unsigned width, int index, unsigned i)
{
    return i < width ? rows[(size_t)index * width + i] : NO_SYMBOL;
}

/* Whether the layout differs from the one the xkbcommon keymap was made from: a row bound or
 * unbound for events is no change, any other is. */
static int layout_changed(const struct tapstrike *t)
{
    const unsigned width = t->per_code > t->made_per_code ? t->per_code : t->made_per_code;
    for (int i = 0; i <= t->max_code - t->min_code; ++i) {
        int same = 1, was_bound = 0, unbound = 1;
        for (unsigned c = 0; c < width; ++c) {
            const xcb_keysym_t old = column(t->made_from, t->made_per_code, i, c);
            const xcb_keysym_t now = column(t->rows, t->per_code, i, c);
            same &= old == now;
            unbound &= now == NO_SYMBOL;
        }
        if (same || spares_is_spare_row(t->rows + (size_t)i * t->per_code, t->per_code))
            continue;
        was_bound = spares_is_spare_row(t->made_from + (size_t)i * t->made_per_code, t->made_per_code);
        if (!(unbound && was_bound))
            return 1;
    }
    return 0;
}

static void load_xkb(struct tapstrike *t)
{
    forget_xkb(t);
    const size_t size = sizeof *t->rows * (size_t)(t->max_code - t->min_code + 1) * t->per_code;
    free(t->made_from);
    t->made_from = malloc(size);
    if (!t->made_from)
        return;
    memcpy(t->made_from, t->rows, size);
    t->made_per_code = t->per_code;
    if (!t->xkb_event)
        return;
    if (!t->xkb_ctx)
        t->xkb_ctx = xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const int32_t device = xkb_x11_get_core_keyboard_device_id(t->conn);
    t->xkb_map = t->xkb_ctx && device >= 0
                     ? xkb_x11_keymap_new_from_device(t->xkb_ctx, t->conn, device,
                                                      XKB_KEYMAP_COMPILE_NO_FLAGS)
                     : NULL;
    struct xkb_state *state = t->xkb_map ? xkb_x11_state_new_from_device(t->xkb_map, t->conn, device)
                                         : NULL;
    if (!state) {
        forget_xkb(t);
        return;
    }
    t->xkb_now = xkb_state_new(t->xkb_map);
    keymap_set_state(t, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                     xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                     xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                     (int32_t)xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_DEPRESSED),
                     (int32_t)xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_LATCHED),
                     (int32_t)xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_LOCKED));
    xkb_state_unref(state);
}

/* Brings the copies up to date after another client's change (or on first use): the rows,
 * read with the registry under a grab that also settles other clients' spares, and the
 * xkbcommon keymap, made anew only when the layout changed. */
int keymap_refresh(struct tapstrike *t)
{
    if (t->rows_stale && !t->keymap_stale && read_some_rows(t) == 0 && t->made_from
        && !layout_changed(t)) {
        t->unchecked = 0;
        return 0;
    }
    if (!t->rows || t->rows_stale || t->keymap_stale || t->unchecked) {
        if (spares_settle(t) != 0)
            return -1;
    }
    if (t->keymap_stale || !t->made_from || (t->xkb_event && !t->xkb_map) || layout_changed(t)) {
        load_xkb(t);
        t->keymap_stale = 0;
    }
    t->unchecked = 0;
    return 0;
}

/* Without XKB: the first keysym of each keycode. */
static void core_choice(const struct tapstrike *t, xkb_keysym_t sym, struct key_choice *choice)
{
    for (int code = t->min_code; code <= t->max_code && !choice->code; ++code)
        if (!t->foreign[code] && keymap_row(t, (xcb_keycode_t)code)[0] == sym)
            choice->code = (xkb_keycode_t)code;
    choice->bind = choice->code ? NO_SYMBOL : sym;
}

/* The key for a code, while nothing resolution reads has changed: a scan of the whole keymap
 * through the state costs more than a round trip. NULL for a code that names no key. */
const struct key_choice *keymap_choose(struct tapstrike *t, unsigned char vk)
{
    struct key_choice *choice = &t->found[vk];
    const struct key_name *name = tapstrike_key_name(vk);
    if (name->kind == KEY_NONE)
        return NULL;
    if (t->looked_up[vk] != t->generation) {
        memset(choice, 0, sizeof *choice);
        if (t->xkb_map)
            tapstrike_resolve(t->xkb_map, t->xkb_now, vk, t->foreign, choice);
        else
            core_choice(t, name->sym, choice);
        t->looked_up[vk] = t->generation;
    }
    return choice;
}
