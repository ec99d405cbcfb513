/* Which key each class of codes names, on keymaps that xkbcommon compiles from layout names,
 * without an X server: one row per layout and class. */
#include "keys.h"

#include <stdio.h>
#include <string.h>
#include <xkbcommon/xkbcommon-keysyms.h>

static const struct {
    const char *rules, *layout;
    xkb_layout_index_t group;  /* locked */
    xkb_mod_mask_t locked;     /* real modifiers locked (Mod2 is NumLock) */
    unsigned char vk;
    const char *key;           /* the key it goes to; NULL for a spare */
    xkb_keysym_t reads;        /* what a receiver reads there, with the latch */
    int bound;                 /* the keysym is bound to the key (or the spare) for the event */
} rows[] = {
    {"evdev", "us", 0, 0, 'A', "AC01", XKB_KEY_a, 0},
    {"evdev", "us", 0, 0, '1', "AE01", XKB_KEY_1, 0},
    {"evdev", "us", 0, 0, 0x61, "KP1", XKB_KEY_KP_1, 0},        /* NumLock off: latched */
    {"evdev", "us", 0, 0x10, 0x6E, "KPDL", XKB_KEY_KP_Decimal, 0},
    {"evdev", "us", 0, 0, 0x0C, "KP5", XKB_KEY_KP_Begin, 0},    /* Clear */
    {"evdev", "us", 0, 0, 0x70, "FK01", XKB_KEY_F1, 0},
    {"evdev", "us", 0, 0, 0x7C, "FK13", XKB_KEY_F13, 1},        /* the layout has XF86Tools */
    {"evdev", "us", 0, 0, 0x87, "FK24", XKB_KEY_F24, 1},        /* and nothing here */
    {"evdev", "us", 0, 0, 0xA9, "STOP", XKB_KEY_XF86Stop, 1},
    {"evdev", "us", 0, 0, 0xAF, "VOL+", XKB_KEY_XF86AudioRaiseVolume, 0},
    {"evdev", "us", 0, 0, '&', "UP", XKB_KEY_Up, 0},
    {"evdev", "us", 0, 0, 0xA5, "RALT", XKB_KEY_Alt_R, 0},
    {"evdev", "us", 0, 0, 0xBA, "AC10", XKB_KEY_semicolon, 0},
    {"evdev", "us", 0, 0, 0x03, "STOP", XKB_KEY_Cancel, 0},     /* no place: the key that types it */
    {"evdev", "us", 0, 0, 0x29, NULL, XKB_KEY_Select, 1},       /* no key at all: a spare */
    {"evdev", "de", 0, 0, 'Z', "AD06", XKB_KEY_z, 0},
    {"evdev", "de", 0, 0, 'Y', "AB01", XKB_KEY_y, 0},
    {"evdev", "de", 0, 0, 0xBB, "AE12", XKB_KEY_dead_acute, 0},
    {"evdev", "de", 0, 0, 0xA5, "RALT", XKB_KEY_ISO_Level3_Shift, 0},
    {"evdev", "de", 0, 0, 0x6E, "KPDL", XKB_KEY_KP_Separator, 0},  /* a comma there */
    {"evdev", "fr", 0, 0, 'A', "AD01", XKB_KEY_a, 0},
    {"evdev", "fr", 0, 0, 'M', "AC10", XKB_KEY_m, 0},
    {"evdev", "fr", 0, 0, '1', "AE01", XKB_KEY_ampersand, 0},
    {"evdev", "fr", 0, 0, 0xBE, "AB09", XKB_KEY_colon, 0},
    {"evdev", "us,ru", 1, 0, 'A', "AC01", XKB_KEY_Cyrillic_ef, 0},
    {"evdev", "us,ru", 1, 0, 'Z', "AB01", XKB_KEY_Cyrillic_ya, 0},
    {"evdev", "us,ru", 1, 0, '1', "AE01", XKB_KEY_1, 0},
    {"evdev", "de,ru", 1, 0, 'Z', "AD06", XKB_KEY_Cyrillic_en, 0}, /* the Latin group's place */
    {"evdev", "ru", 0, 0, 'Q', "AD01", XKB_KEY_Cyrillic_shorti, 0}, /* no Latin group: US place */
    {"evdev", "gb", 0, 0, 0xE2, "LSGT", XKB_KEY_backslash, 0},
    {"evdev", "gb", 0, 0, 0xDC, "BKSL", XKB_KEY_numbersign, 0},
    {"base", "us", 0, 0, 0x81, NULL, XKB_KEY_F18, 1},            /* no F18 on these keycodes */
    {"base", "us", 0, 0, 0x70, "FK01", XKB_KEY_F1, 0},
};

int main(void)
{
    struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const unsigned char skip[256] = {0};
    int failures = 0;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const struct xkb_rule_names names = {rows[i].rules, "pc105", rows[i].layout, "", ""};
        struct xkb_keymap *keymap = xkb_keymap_new_from_names(context, &names, 0);
        struct xkb_state *state = keymap ? xkb_state_new(keymap) : NULL;
        struct key_choice c = {0};
        const char *key = "";
        xkb_keysym_t reads = 0;
        if (state) {
            xkb_state_update_mask(state, 0, 0, rows[i].locked, 0, 0, rows[i].group);
            tapstrike_resolve(keymap, state, rows[i].vk, skip, &c);
            key = c.code ? xkb_keymap_key_get_name(keymap, c.code) : NULL;
            xkb_state_update_mask(state, 0, c.latch, rows[i].locked, 0, 0, rows[i].group);
            reads = c.bind ? c.bind : xkb_state_key_get_one_sym(state, c.code);
        }
        const int key_ok = rows[i].key ? key && strcmp(key, rows[i].key) == 0 : key == NULL;
        if (!key_ok || reads != rows[i].reads || !c.bind != !rows[i].bound
            || c.group != rows[i].group) {
            char sym[64];
            xkb_keysym_get_name(reads, sym, sizeof sym);
            printf("FAIL row %zu (%s %s, %#x): key %s, reads %s, bound %d, group %u\n", i,
                   rows[i].rules, rows[i].layout, rows[i].vk, key ? key : "(spare)", sym,
                   c.bind != 0, c.group);
            ++failures;
        }
        xkb_state_unref(state);
        xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
    printf(failures ? "keys_test: %d rows failed\n" : "keys_test: all rows passed\n", failures);
    return failures ? 1 : 0;
}
