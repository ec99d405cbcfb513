/* Windows: one INPUT record per call through SendInput. Built without the C runtime, so the
 * DLL needs nothing beyond user32 and loads on a bare system. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "tapstrike.h"

static int submit(const char *key, DWORD flags)
{
    INPUT input;

    if (!key)
        return -1;
    if (key[0] == 0)
        return 0; /* code 0 names no key: nothing to send */
    /* Every field set by hand: a struct initialiser could call memset, which is not here. */
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = (WORD)(unsigned char)key[0];
    input.ki.wScan = 0;
    input.ki.dwFlags = flags;
    input.ki.time = 0;
    input.ki.dwExtraInfo = 0;
    return SendInput(1, &input, sizeof(INPUT)) == 1 ? 0 : -1;
}

int keypress(const char *key)
{
    return submit(key, 0);
}

int keyrelease(const char *key)
{
    return submit(key, KEYEVENTF_KEYUP);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
