/* Windows: one INPUT record per call through SendInput. Built without the C runtime, so the
 * DLL needs nothing beyond user32 and loads on a bare system. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "tapstrike.h"

/* The keys a keyboard sends with an E0 prefix. MapVirtualKeyW says so in the high byte of
 * MAPVK_VK_TO_VSC_EX on Windows, but not everywhere (Wine marks only right Control and Alt). */
static int extended(WORD vk, UINT scan)
{
    return (scan >> 8) == 0xE0 || vk == VK_CANCEL || (vk >= VK_PRIOR && vk <= VK_DOWN)
           || vk == VK_SNAPSHOT || vk == VK_INSERT || vk == VK_DELETE
           || (vk >= VK_LWIN && vk <= VK_APPS) || vk == VK_SLEEP || vk == VK_DIVIDE
           || vk == VK_NUMLOCK || vk == VK_RCONTROL || vk == VK_RMENU
           || (vk >= VK_BROWSER_BACK && vk <= VK_LAUNCH_APP2);
}

static int submit(const char *key, DWORD flags)
{
    INPUT input;

    if (!key)
        return -1;
    if (key[0] == 0)
        return 0; /* code 0 names no key: nothing to send */
    /* As a keyboard sends it: the layout's scan code for the key, and the extended flag for
     * the keys that come with an E0 prefix (arrows, the editing block, right Control and Alt,
     * keypad Divide, the Windows keys, media and browser keys), so that programs reading scan
     * codes (raw input, DirectInput) see which key it was. Every field set by hand: a struct
     * initialiser could call memset, which is not here. */
    const WORD vk = (WORD)(unsigned char)key[0];
    const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC_EX);
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = (WORD)(scan & 0xFF);
    input.ki.dwFlags = flags | (extended(vk, scan) ? KEYEVENTF_EXTENDEDKEY : 0);
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
