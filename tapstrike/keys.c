/* Windows virtual-key codes as keys of a PC keyboard, and the key each one names in a keymap.
 * A Windows program reads, for a code and a layout, the layout's key for that code: VK_A is the
 * key that types a (on a Cyrillic layout the key at A's place, which types its own letter),
 * VK_1 the first key of the number row whatever it types, VK_NUMPAD1 the keypad's 1 whatever
 * NumLock says, VK_F13 the F13 key. */
#include "keys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <string.h>

#define LETTER(place, sym) {KEY_LETTER, place, sym}
#define PLACE(place, sym) {KEY_PLACE, place, sym}
#define KEYPAD(place, sym) {KEY_KEYPAD, place, sym}
#define NAMED(place, sym) {KEY_NAMED, place, sym}
#define SYM(sym) {KEY_SYM, "", sym}

/* Places are the evdev key names; a keysym beside a place is what the standard layouts bind
 * there, so that only a layout that binds something else gets the named keysym for an event. */
static const struct key_name names[256] = {
    [0x03] = SYM(XK_Cancel), /* Control+Break: no key of its own */
    [0x08] = NAMED("BKSP", XK_BackSpace),
    [0x09] = NAMED("TAB", XK_Tab),
    [0x0C] = PLACE("KP5", XK_Clear), /* keypad 5 as the lock state reads it */
    [0x0D] = NAMED("RTRN", XK_Return),
    [0x10] = PLACE("LFSH", XK_Shift_L),
    [0x11] = PLACE("LCTL", XK_Control_L),
    [0x12] = PLACE("LALT", XK_Alt_L),
    [0x13] = NAMED("PAUS", XK_Pause),
    [0x14] = PLACE("CAPS", XK_Caps_Lock),
    [0x15] = NAMED("HNGL", XK_Hangul),
    [0x17] = SYM(XK_Hangul_Jeonja),
    [0x19] = NAMED("HJCV", XK_Hangul_Hanja),
    [0x1B] = NAMED("ESC", XK_Escape),
    [0x1C] = NAMED("HENK", XK_Henkan),
    [0x1D] = NAMED("MUHE", XK_Muhenkan),
    [0x1F] = SYM(XK_Mode_switch),
    [0x20] = NAMED("SPCE", XK_space),
    [0x21] = NAMED("PGUP", XK_Prior),
    [0x22] = NAMED("PGDN", XK_Next),
    [0x23] = NAMED("END", XK_End),
    [0x24] = NAMED("HOME", XK_Home),
    [0x25] = NAMED("LEFT", XK_Left),
    [0x26] = NAMED("UP", XK_Up),
    [0x27] = NAMED("RGHT", XK_Right),
    [0x28] = NAMED("DOWN", XK_Down),
    [0x29] = SYM(XK_Select),
    [0x2A] = SYM(XK_Print),
    [0x2B] = SYM(XK_Execute),
    [0x2C] = NAMED("PRSC", XK_Print),
    [0x2D] = NAMED("INS", XK_Insert),
    [0x2E] = NAMED("DELE", XK_Delete),
    [0x2F] = NAMED("HELP", XK_Help),
    [0x30] = PLACE("AE10", XK_0), [0x31] = PLACE("AE01", XK_1), [0x32] = PLACE("AE02", XK_2),
    [0x33] = PLACE("AE03", XK_3), [0x34] = PLACE("AE04", XK_4), [0x35] = PLACE("AE05", XK_5),
    [0x36] = PLACE("AE06", XK_6), [0x37] = PLACE("AE07", XK_7), [0x38] = PLACE("AE08", XK_8),
    [0x39] = PLACE("AE09", XK_9),
    /* The place is where a US keyboard has the letter, for a keymap that types it nowhere. */
    [0x41] = LETTER("AC01", XK_a), [0x42] = LETTER("AB05", XK_b), [0x43] = LETTER("AB03", XK_c),
    [0x44] = LETTER("AC03", XK_d), [0x45] = LETTER("AD03", XK_e), [0x46] = LETTER("AC04", XK_f),
    [0x47] = LETTER("AC05", XK_g), [0x48] = LETTER("AC06", XK_h), [0x49] = LETTER("AD08", XK_i),
    [0x4A] = LETTER("AC07", XK_j), [0x4B] = LETTER("AC08", XK_k), [0x4C] = LETTER("AC09", XK_l),
    [0x4D] = LETTER("AB07", XK_m), [0x4E] = LETTER("AB06", XK_n), [0x4F] = LETTER("AD09", XK_o),
    [0x50] = LETTER("AD10", XK_p), [0x51] = LETTER("AD01", XK_q), [0x52] = LETTER("AD04", XK_r),
    [0x53] = LETTER("AC02", XK_s), [0x54] = LETTER("AD05", XK_t), [0x55] = LETTER("AD07", XK_u),
    [0x56] = LETTER("AB04", XK_v), [0x57] = LETTER("AD02", XK_w), [0x58] = LETTER("AB02", XK_x),
    [0x59] = LETTER("AD06", XK_y), [0x5A] = LETTER("AB01", XK_z),
    [0x5B] = PLACE("LWIN", XK_Super_L),
    [0x5C] = PLACE("RWIN", XK_Super_R),
    [0x5D] = NAMED("COMP", XK_Menu),
    [0x5F] = NAMED("I150", XF86XK_Sleep),
    [0x60] = KEYPAD("KP0", XK_KP_0), [0x61] = KEYPAD("KP1", XK_KP_1),
    [0x62] = KEYPAD("KP2", XK_KP_2), [0x63] = KEYPAD("KP3", XK_KP_3),
    [0x64] = KEYPAD("KP4", XK_KP_4), [0x65] = KEYPAD("KP5", XK_KP_5),
    [0x66] = KEYPAD("KP6", XK_KP_6), [0x67] = KEYPAD("KP7", XK_KP_7),
    [0x68] = KEYPAD("KP8", XK_KP_8), [0x69] = KEYPAD("KP9", XK_KP_9),
    [0x6A] = PLACE("KPMU", XK_KP_Multiply),
    [0x6B] = PLACE("KPAD", XK_KP_Add),
    [0x6C] = PLACE("I129", XK_KP_Separator), /* the keypad comma */
    [0x6D] = PLACE("KPSU", XK_KP_Subtract),
    [0x6E] = KEYPAD("KPDL", XK_KP_Decimal),
    [0x6F] = PLACE("KPDV", XK_KP_Divide),
    [0x70] = NAMED("FK01", XK_F1), [0x71] = NAMED("FK02", XK_F2), [0x72] = NAMED("FK03", XK_F3),
    [0x73] = NAMED("FK04", XK_F4), [0x74] = NAMED("FK05", XK_F5), [0x75] = NAMED("FK06", XK_F6),
    [0x76] = NAMED("FK07", XK_F7), [0x77] = NAMED("FK08", XK_F8), [0x78] = NAMED("FK09", XK_F9),
    [0x79] = NAMED("FK10", XK_F10), [0x7A] = NAMED("FK11", XK_F11), [0x7B] = NAMED("FK12", XK_F12),
    [0x7C] = NAMED("FK13", XK_F13), [0x7D] = NAMED("FK14", XK_F14), [0x7E] = NAMED("FK15", XK_F15),
    [0x7F] = NAMED("FK16", XK_F16), [0x80] = NAMED("FK17", XK_F17), [0x81] = NAMED("FK18", XK_F18),
    [0x82] = NAMED("FK19", XK_F19), [0x83] = NAMED("FK20", XK_F20), [0x84] = NAMED("FK21", XK_F21),
    [0x85] = NAMED("FK22", XK_F22), [0x86] = NAMED("FK23", XK_F23), [0x87] = NAMED("FK24", XK_F24),
    [0x90] = PLACE("NMLK", XK_Num_Lock),
    [0x91] = PLACE("SCLK", XK_Scroll_Lock),
    [0xA0] = PLACE("LFSH", XK_Shift_L),
    [0xA1] = PLACE("RTSH", XK_Shift_R),
    [0xA2] = PLACE("LCTL", XK_Control_L),
    [0xA3] = PLACE("RCTL", XK_Control_R),
    [0xA4] = PLACE("LALT", XK_Alt_L),
    [0xA5] = PLACE("RALT", XK_Alt_R),
    [0xA6] = NAMED("I166", XF86XK_Back),
    [0xA7] = NAMED("I167", XF86XK_Forward),
    [0xA8] = NAMED("I181", XF86XK_Reload),
    [0xA9] = NAMED("STOP", XF86XK_Stop),
    [0xAA] = NAMED("I225", XF86XK_Search),
    [0xAB] = NAMED("I164", XF86XK_Favorites),
    [0xAC] = NAMED("I180", XF86XK_HomePage),
    [0xAD] = NAMED("MUTE", XF86XK_AudioMute),
    [0xAE] = NAMED("VOL-", XF86XK_AudioLowerVolume),
    [0xAF] = NAMED("VOL+", XF86XK_AudioRaiseVolume),
    [0xB0] = NAMED("I171", XF86XK_AudioNext),
    [0xB1] = NAMED("I173", XF86XK_AudioPrev),
    [0xB2] = NAMED("I174", XF86XK_AudioStop),
    [0xB3] = NAMED("I172", XF86XK_AudioPlay),
    [0xB4] = NAMED("I163", XF86XK_Mail),
    [0xB5] = NAMED("I234", XF86XK_AudioMedia),
    [0xB6] = NAMED("I165", XF86XK_MyComputer),
    [0xB7] = NAMED("I148", XF86XK_Calculator),
    /* Punctuation by where a US keyboard has the symbol, whatever the layout prints there. */
    [0xBA] = PLACE("AC10", XK_semicolon),
    [0xBB] = PLACE("AE12", XK_equal),
    [0xBC] = PLACE("AB08", XK_comma),
    [0xBD] = PLACE("AE11", XK_minus),
    [0xBE] = PLACE("AB09", XK_period),
    [0xBF] = PLACE("AB10", XK_slash),
    [0xC0] = PLACE("TLDE", XK_grave),
    [0xDB] = PLACE("AD11", XK_bracketleft),
    [0xDC] = PLACE("BKSL", XK_backslash),
    [0xDD] = PLACE("AD12", XK_bracketright),
    [0xDE] = PLACE("AC11", XK_apostrophe),
    [0xE2] = PLACE("LSGT", XK_less), /* the extra key beside left Shift on 102-key keyboards */
    [0xFA] = SYM(XF86XK_AudioPlay),
    [0xFB] = SYM(XF86XK_ZoomIn),
};

const struct key_name *tapstrike_key_name(unsigned char vk)
{
    return &names[vk];
}

static int has_sym(struct xkb_keymap *keymap, xkb_keycode_t code, xkb_layout_index_t group,
                   xkb_level_index_t level, xkb_keysym_t sym)
{
    const xkb_keysym_t *syms;
    const int n = xkb_keymap_key_get_syms_by_level(keymap, code, group, level, &syms);
    for (int i = 0; i < n; ++i)
        if (syms[i] == sym)
            return 1;
    return 0;
}

/* The key's level in a state types a keypad digit or decimal sign (a comma on some layouts,
 * as on Windows), not the navigation key it doubles as. */
static int types_keypad_value(struct xkb_keymap *keymap, struct xkb_state *state, xkb_keycode_t code)
{
    const xkb_layout_index_t group = xkb_state_key_get_layout(state, code);
    if (group == XKB_LAYOUT_INVALID)
        return 0;
    const xkb_keysym_t *syms;
    const int n = xkb_keymap_key_get_syms_by_level(keymap, code, group,
                                                   xkb_state_key_get_level(state, code, group), &syms);
    return n > 0 && syms[0] >= XK_KP_Separator && syms[0] <= XK_KP_9 && syms[0] != XK_KP_Divide
           && syms[0] != XK_KP_Subtract;
}

/* The group a key reads in a state's group: keys with fewer groups wrap or clamp. */
static xkb_layout_index_t key_group(struct xkb_state *state, xkb_keycode_t code)
{
    return xkb_state_key_get_layout(state, code);
}

/* The first key that types `sym` on the first level of `group` (of the state's group when
 * `group` is XKB_LAYOUT_INVALID); 0 when none does. */
static xkb_keycode_t first_level_key(struct xkb_keymap *keymap, struct xkb_state *state,
                                     xkb_layout_index_t group, xkb_keysym_t sym,
                                     const unsigned char skip[256])
{
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= last && code < 256; ++code) {
        if (skip[code])
            continue;
        const xkb_layout_index_t g = group == XKB_LAYOUT_INVALID ? key_group(state, code) : group;
        if (g < xkb_keymap_num_layouts_for_key(keymap, code) && has_sym(keymap, code, g, 0, sym))
            return code;
    }
    return 0;
}

/* A key that types `sym` in the state's group and level; 0 when none does. */
static xkb_keycode_t typing_key(struct xkb_keymap *keymap, struct xkb_state *state,
                                xkb_keysym_t sym, const unsigned char skip[256])
{
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= last && code < 256; ++code) {
        const xkb_layout_index_t group = key_group(state, code);
        if (!skip[code] && group != XKB_LAYOUT_INVALID
            && has_sym(keymap, code, group, xkb_state_key_get_level(state, code, group), sym))
            return code;
    }
    return 0;
}

static xkb_keycode_t place_key(struct xkb_keymap *keymap, const struct key_name *name,
                               const unsigned char skip[256])
{
    const xkb_keycode_t code = name->place[0] ? xkb_keymap_key_by_name(keymap, name->place)
                                              : XKB_KEYCODE_INVALID;
    return code != XKB_KEYCODE_INVALID && code < 256 && !skip[code] ? code : 0;
}

/* The real modifiers (NumLock's, on common keymaps) under which the keypad key types its digit
 * or decimal sign in the state's group; 0 when it does so without, or under none. Shift and
 * Lock are the caller's, and Control is never a lock. */
static xkb_mod_mask_t keypad_latch(struct xkb_keymap *keymap, struct xkb_state *state,
                                   xkb_keycode_t code)
{
    const xkb_layout_index_t group = xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE);
    struct xkb_state *probe = xkb_state_new(keymap);
    xkb_mod_mask_t found = 0;
    for (int bit = -1; probe && bit < 8 && !found; ++bit) {
        const xkb_mod_mask_t mods = bit < 0 ? 0 : (xkb_mod_mask_t)1 << bit;
        if (bit >= 0 && bit < 3)
            continue;
        xkb_state_update_mask(probe, mods, 0, 0, group, 0, 0);
        if (types_keypad_value(keymap, probe, code)) {
            xkb_state_unref(probe);
            return mods;
        }
    }
    xkb_state_unref(probe);
    return 0;
}

int tapstrike_resolve(struct xkb_keymap *keymap, struct xkb_state *state, unsigned char vk,
                      const unsigned char skip[256], struct key_choice *choice)
{
    const struct key_name *name = &names[vk];
    memset(choice, 0, sizeof *choice);
    if (name->kind == KEY_NONE)
        return -1;
    choice->group = xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE);
    switch (name->kind) {
    case KEY_LETTER:
        choice->code = first_level_key(keymap, state, XKB_LAYOUT_INVALID, name->sym, skip);
        for (xkb_layout_index_t g = 0; !choice->code && g < xkb_keymap_num_layouts(keymap); ++g)
            choice->code = first_level_key(keymap, state, g, name->sym, skip);
        if (!choice->code)
            choice->code = place_key(keymap, name, skip);
        break;
    case KEY_KEYPAD:
        choice->code = place_key(keymap, name, skip);
        if (choice->code)
            choice->latch = keypad_latch(keymap, state, choice->code);
        break;
    case KEY_NAMED:
        choice->code = place_key(keymap, name, skip);
        if (choice->code) {
            const xkb_layout_index_t group = key_group(state, choice->code);
            const xkb_level_index_t levels = group == XKB_LAYOUT_INVALID ? 0
                : xkb_keymap_num_levels_for_key(keymap, choice->code, group);
            int carries = 0;
            for (xkb_level_index_t level = 0; level < levels && !carries; ++level)
                carries = has_sym(keymap, choice->code, group, level, name->sym);
            if (!carries)
                choice->bind = name->sym;
            return 0;
        }
        break;
    default:
        choice->code = name->kind == KEY_PLACE ? place_key(keymap, name, skip) : 0;
        break;
    }
    if (!choice->code) /* no place in this keymap: a key that types it, else a spare */
        choice->code = typing_key(keymap, state, name->sym, skip);
    if (!choice->code)
        choice->bind = name->sym;
    return 0;
}
