/* tapstrike: injects single keyboard events into the system's input stream.
 *
 * A key is named by the first byte of a string, read as an unsigned Windows virtual-key code
 * ("A" is the A key, "&" (0x26) the Up arrow, "a" (0x61) keypad 1). Bytes after the first
 * are ignored. Each call injects exactly one key-down or key-up event; pairing a press with
 * its release is the caller's business.
 *
 * Both functions return 0 when the platform took the event and -1 when it did not. The empty
 * string (code 0) names no key: nothing is sent and the result is 0. A null pointer gives -1.
 * Beyond that, -1 comes
 *   on Windows, when SendInput inserted nothing (input blocked, or a higher-integrity window
 *     has the focus); every other code goes to SendInput as it is, 0x07 and 0xFF included,
 *     with the layout's scan code for it (MapVirtualKeyW) and, for the keys a keyboard sends
 *     with an E0 prefix, KEYEVENTF_EXTENDEDKEY;
 *   on X11, when there is no display or no XTEST extension, when the server did not process
 *     the event, when another client changed the keymap or the group before the server
 *     processed a press (the call then releases what it pressed), and for codes with no X
 *     key: the mouse buttons (0x01, 0x02, 0x04-0x06), unassigned and reserved codes, the IME
 *     codes, the OEM-specific codes (0xDF among them), 0xF6-0xF9 and 0xFC-0xFF.
 * They may be called from any thread; a process may fork at any time, and the child gets a
 * library of its own that it may call (pthread_atfork).
 *
 * On X11 a code names a key, as on Windows: the receiver reads, by position (SDL, browsers,
 * Windows programs under Wine) and by keysym (GTK, Qt, terminals), the key a Windows program
 * reads for the same code and layout:
 *   letters (0x41-0x5A): the key that types the letter in the current group, else in another
 *     group of the keymap, else the key at its place on a US keyboard; sent in the current
 *     group, so a non-Latin group types its own letter there (A types Cyrillic ef on us,ru);
 *   digits (0x30-0x39): the number row, whatever it types (1 types & on French);
 *   keypad digits and Decimal (0x60-0x69, 0x6E): the keypad key, with NumLock latched for the
 *     event alone, so it reads as the digit whatever NumLock says; the other keypad codes
 *     (0x6A-0x6D, 0x6F) and Clear (0x0C, keypad 5) as the layout and the locks read them;
 *   punctuation (0xBA-0xC0, 0xDB-0xDE, 0xE2): the key where a US keyboard has the symbol;
 *   modifiers and locks (0x10-0x12, 0x14, 0x5B, 0x5C, 0x90, 0x91, 0xA0-0xA5): their key;
 *   function keys (0x70-0x87), editing and navigation (0x08, 0x09, 0x0D, 0x13, 0x1B, 0x20-0x28,
 *     0x2C-0x2F), 0x15, 0x19, 0x1C, 0x1D, 0x5D, 0x5F and the browser and media keys
 *     (0xA6-0xB7): the key of that name on a PC keyboard; where the layout binds another keysym
 *     there (F13-F24 type XF86Tools, XF86Launch5 ... on standard keymaps), the named keysym is
 *     bound to that key for the event, as spares are (below), and given back afterwards;
 *   codes with no key on a PC keyboard, 0x03 (Cancel), 0x17, 0x1F, 0x29 (Select), 0x2A
 *     (Print), 0x2B (Execute), 0xFA and 0xFB (Zoom), and a named code whose key the keymap
 *     lacks: a key that types the keysym in the current group and NumLock / level-three state,
 *     else a spare, an unused keycode bound to it alone for a while (tapstrike(3) says for how
 *     long, and what stays bound after exit); a call that needs a new spare when none is free
 *     gives -1.
 * Shift and Caps Lock are the caller's to add, as on Windows. A release goes to the keycode its
 * press went to, with the same latch; a release of a code that is not down and needs a spare
 * sends nothing and returns 0. A call returns once the server has processed the event, so a
 * client may exit right after its last call; one on a key of the layout costs about one round
 * trip to the X server, one on a bound key about two, as its binding is checked under a server
 * grab in the same step as the event, and no call leaves the server grabbed.
 */
#ifndef TAPSTRIKE_H
#define TAPSTRIKE_H

#if defined(_WIN32)
#  if defined(TAPSTRIKE_BUILD)
#    define TAPSTRIKE_API __declspec(dllexport)
#  else
#    define TAPSTRIKE_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define TAPSTRIKE_API __attribute__((visibility("default")))
#else
#  define TAPSTRIKE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

TAPSTRIKE_API int keypress(const char *key);
TAPSTRIKE_API int keyrelease(const char *key);

#ifdef __cplusplus
}
#endif

#endif /* TAPSTRIKE_H */
