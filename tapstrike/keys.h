/* Which key a Windows virtual-key code names in an XKB keymap: pure, so that it answers for any
 * keymap xkbcommon compiles, with or without an X server. */
#ifndef TAPSTRIKE_KEYS_H
#define TAPSTRIKE_KEYS_H

#include <xkbcommon/xkbcommon.h>

/* How a class of codes finds its key. */
enum key_class {
    KEY_NONE,   /* names no key */
    KEY_LETTER, /* the key that types the Latin letter: current group, else another, else place */
    KEY_PLACE,  /* the key at a place, read as the layout binds it (digits, punctuation, modifiers) */
    KEY_KEYPAD, /* the keypad key at a place, sent with NumLock on */
    KEY_NAMED,  /* the key at a place, bound to the keysym for the event when the layout has another */
    KEY_SYM,    /* no place on a PC keyboard: a key that types the keysym, else a spare */
};

struct key_name {
    enum key_class kind;
    char place[5];    /* XKB key name on a PC (evdev) keyboard; "" for none */
    xkb_keysym_t sym; /* the keysym a receiver reads (the letter, for letters) */
};

/* What an event for a code goes out as. */
struct key_choice {
    xkb_keycode_t code;       /* 0 when the keymap has no key for it */
    xkb_layout_index_t group; /* the group the receiver reads it in: the current one */
    xkb_mod_mask_t latch;     /* real modifiers latched for the event alone (NumLock) */
    xkb_keysym_t bind;        /* nonzero: bound to `code` for the event, or to a spare when 0 */
};

const struct key_name *tapstrike_key_name(unsigned char vk);

/* The key for `vk` in `keymap`, the group and modifiers of `state` (Shift and Lock are the
 * caller's, so `state` leaves them out); keycodes marked in `skip` are other clients' spares
 * and never chosen. -1 when the code names no key. */
int tapstrike_resolve(struct xkb_keymap *keymap, struct xkb_state *state, unsigned char vk,
                      const unsigned char skip[256], struct key_choice *choice);

#endif
