/* tapstrike: injects single keyboard events into the system's input stream.
 *
 * A key is named by the first byte of a string, read as an unsigned Windows virtual-key code
 * ("A" is the A key, "&" (0x26) the Up arrow, "a" (0x61) keypad 1). Bytes after the first
 * are ignored. Each call injects exactly one key-down or key-up event; pairing a press with
 * its release is the caller's business.
 *
 * Both functions return 0 when the platform took the event and -1 when it did not (no input
 * service, no key for that code, a null pointer). The empty string names no key and returns
 * 0. They may be called from any thread.
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
