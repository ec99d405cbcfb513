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
 *     has the focus); every other code goes to SendInput as it is, 0x07 and 0xFF included;
 *   on X11, when there is no display or no XTEST extension, when the server did not process
 *     the event, and for codes with no X key: the mouse buttons (0x01, 0x02, 0x04-0x06),
 *     unassigned and reserved codes, the IME codes, the OEM-specific codes (0xDF among them),
 *     0xF6-0xF9 and 0xFC-0xFF.
 * They may be called from any thread; a process may fork at any time, and the child gets a
 * library of its own that it may call (pthread_atfork).
 *
 * On X11 a call returns once the server has processed the event, so a client may exit right
 * after its last call; a call on a key of the layout costs about one round trip to the X
 * server, one on a spare (below) about two, as its binding is checked under a server grab in
 * the same step as the event, and no call leaves the server grabbed. The key is the
 * one that types the named keysym in the keyboard's current group and NumLock / level-three
 * state (Shift and Caps Lock are the caller's to add, as on Windows); the punctuation codes
 * (0xBA-0xC0, 0xDB-0xDE, 0xE2) name the key by where it sits, whatever the layout prints on
 * it. A keysym that no key types is sent through a spare, an unused keycode bound to it alone
 * for a while (tapstrike(3) says for how long, and what stays bound after exit); a call that
 * needs a new spare when none is free gives -1. A release goes to the keycode its press went
 * to; a release of a code that is not down and has no key sends nothing and returns 0.
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
