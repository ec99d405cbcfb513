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
 * On X11 a call returns once the server has processed the event, so a client may exit right
 * after its last call. They may be called from any thread.
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
