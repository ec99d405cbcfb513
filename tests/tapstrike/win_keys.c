/* tapstrike.dll as a Windows client sees it: loaded at run time, both functions found by name
 * and by ordinal, and the WM_KEYDOWN / WM_KEYUP each call brings to the focused window, with
 * the key's scan code. Then,
 * with the DLL's import of SendInput pointed at a stand-in, the exact record each call submits
 * and what a refused event returns. Runs under Wine on the harness's X server. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "windows/import_slot.h"

typedef int (*KeyFunction)(const char *);

static int failures;
static UINT last_message;
static WPARAM last_key;
static LPARAM last_lparam;
static int key_messages;

#define CHECK(cond, ...)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            ++failures;                                                                           \
            printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);                                \
            printf(__VA_ARGS__);                                                                  \
            printf("\n");                                                                         \
        }                                                                                         \
    } while (0)

static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_KEYDOWN || message == WM_KEYUP || message == WM_SYSKEYDOWN
        || message == WM_SYSKEYUP) {
        last_message = message;
        last_key = wparam;
        last_lparam = lparam;
        ++key_messages;
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

/* Pumps messages until one key message came or `ms` passed. */
static void pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    const int before = key_messages;
    while (GetTickCount() - start < ms && key_messages == before) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(1);
    }
}

static HWND make_window(void)
{
    WNDCLASSA wc = {0};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "tapstrike_test";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowA("tapstrike_test", "tapstrike test", WS_OVERLAPPEDWINDOW, 0, 0,
                              200, 200, NULL, NULL, wc.hInstance, NULL);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    SetForegroundWindow(hwnd);
    SetFocus(hwnd);
    for (int i = 0; i < 200 && GetFocus() != hwnd; ++i) {
        pump(10);
        SetForegroundWindow(hwnd);
        SetFocus(hwnd);
    }
    return hwnd;
}

static UINT stub_answer;
static int stub_calls;
static UINT stub_count;
static int stub_size;
static INPUT stub_input;

static UINT WINAPI stub_send_input(UINT count, LPINPUT inputs, int size)
{
    ++stub_calls;
    stub_count = count;
    stub_size = size;
    stub_input = inputs[0];
    return stub_answer;
}

static void records(HMODULE dll, KeyFunction press, KeyFunction release)
{
    ULONG_PTR *slot = import_slot(dll, "user32.dll", "SendInput");
    CHECK(slot != NULL, "tapstrike.dll imports SendInput from user32.dll");
    if (!slot)
        return;
    const ULONG_PTR real = swap_import(slot, (ULONG_PTR)stub_send_input);

    static const struct {
        int down;
        const char *key;
        UINT answer;
        int result;
        int calls;
        WORD vk, scan; /* the US layout's scan codes */
        DWORD flags;
    } cases[] = {
        {1, "A", 1, 0, 1, 0x41, 0x1E, 0},
        {0, "Abc", 1, 0, 1, 0x41, 0x1E, KEYEVENTF_KEYUP},
        {1, "&", 1, 0, 1, 0x26, 0x48, KEYEVENTF_EXTENDEDKEY}, /* Up: E0 48 */
        {0, "\xA3", 1, 0, 1, 0xA3, 0x1D, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP}, /* right Control */
        {1, "\xFF", 1, 0, 1, 0xFF, 0, 0},           /* codes the system may take go through */
        {1, "\x07", 1, 0, 1, 0x07, 0, 0},
        {1, "A", 0, -1, 1, 0x41, 0x1E, 0},             /* refused by the system: reported */
        {0, "A", 0, -1, 1, 0x41, 0x1E, KEYEVENTF_KEYUP},
        {1, "", 1, 0, 0, 0, 0, 0},                  /* names no key: nothing submitted */
        {0, "", 0, 0, 0, 0, 0, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        stub_calls = 0;
        stub_answer = cases[i].answer;
        memset(&stub_input, 0xAB, sizeof stub_input); /* no field may be left as it was */
        const int result = (cases[i].down ? press : release)(cases[i].key);
        CHECK(result == cases[i].result && stub_calls == cases[i].calls, "record %u: %d, %d calls",
              (unsigned)i, result, stub_calls);
        if (cases[i].calls)
            CHECK(stub_count == 1 && stub_size == sizeof(INPUT) && stub_input.type == INPUT_KEYBOARD
                      && stub_input.ki.wVk == cases[i].vk && stub_input.ki.wScan == cases[i].scan
                      && stub_input.ki.dwFlags == cases[i].flags && stub_input.ki.time == 0
                      && stub_input.ki.dwExtraInfo == 0,
                  "record %u: count %u size %d type %lu vk %#x scan %#x flags %#lx time %lu", (unsigned)i,
                  stub_count, stub_size, stub_input.type, stub_input.ki.wVk, stub_input.ki.wScan,
                  stub_input.ki.dwFlags, stub_input.ki.time);
    }
    swap_import(slot, real);
}

int main(void)
{
    HMODULE dll = LoadLibraryA("tapstrike.dll");
    CHECK(dll != NULL, "LoadLibrary failed with %lu", GetLastError());
    if (!dll)
        return 1;
    /* FARPROC is the generic function pointer GetProcAddress hands out. */
    const FARPROC by_name[2] = {GetProcAddress(dll, "keypress"), GetProcAddress(dll, "keyrelease")};
    CHECK(by_name[0] && by_name[1], "exports by name");
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(1)) == by_name[0], "ordinal 1 is keypress");
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(2)) == by_name[1], "ordinal 2 is keyrelease");
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(3)) == NULL, "no third export");
    /* Through void (*)(void), the one type GCC accepts any function pointer cast from. */
    KeyFunction press = (KeyFunction)(void (*)(void))by_name[0];
    KeyFunction release = (KeyFunction)(void (*)(void))by_name[1];
    if (!press || !release)
        return 1;

    HWND hwnd = make_window();
    CHECK(GetFocus() == hwnd, "the test window should have the focus");

    static const struct {
        const char *key;
        WPARAM vk;
    } cases[] = {
        {"A", 0x41},   /* the A key */
        {"Abc", 0x41}, /* only the first byte counts */
        {"&", 0x26},   /* VK_UP */
        {"a", 0x61},   /* VK_NUMPAD1 */
        {"\xBA", 0xBA} /* VK_OEM_1: bytes above 0x7F are read unsigned */,
        {"\x7C", 0x7C} /* VK_F13 */,
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        key_messages = 0;
        CHECK(press(cases[i].key) == 0, "case %u press", (unsigned)i);
        pump(2000);
        CHECK(key_messages == 1 && last_message == WM_KEYDOWN && last_key == cases[i].vk,
              "case %u: %d messages, last %#x with key %#x", (unsigned)i, key_messages,
              last_message, (unsigned)last_key);
        CHECK(release(cases[i].key) == 0, "case %u release", (unsigned)i);
        pump(2000);
        CHECK(key_messages == 2 && last_message == WM_KEYUP && last_key == cases[i].vk,
              "case %u: %d messages, last %#x with key %#x", (unsigned)i, key_messages,
              last_message, (unsigned)last_key);
    }

    /* Every code with a scan code brings it, and the extended bit (24) for an E0 key, in both
     * messages, as a keyboard's key would. */
    static const unsigned char e0[] = {0x03, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2C,
                                       0x2D, 0x2E, 0x5B, 0x5C, 0x5D, 0x5F, 0x6F, 0x90, 0xA3, 0xA5};
    for (int vk = 1; vk < 0xFF; ++vk) {
        const UINT scan = MapVirtualKeyW((UINT)vk, MAPVK_VK_TO_VSC_EX);
        const char key[2] = {(char)vk, 0};
        if ((scan & 0xFF) == 0)
            continue;
        for (int down = 1; down >= 0; --down) {
            key_messages = 0;
            (down ? press : release)(key);
            pump(2000);
            const unsigned got = (unsigned)(last_lparam >> 16) & 0x1FF;
            const unsigned want = (scan & 0xFF) | ((scan >> 8) == 0xE0 || memchr(e0, vk, sizeof e0)
                                                       || (vk >= 0xA6 && vk <= 0xB7) ? 0x100 : 0);
            CHECK(key_messages == 1 && got == want, "code %#x %s: %d messages, scan %#x, not %#x",
                  vk, down ? "down" : "up", key_messages, got, want);
        }
    }

    CHECK(press(NULL) == -1 && release(NULL) == -1, "a null pointer is refused");
    key_messages = 0;
    CHECK(press("") == 0 && release("") == 0, "the empty string names no key");
    pump(300);
    CHECK(key_messages == 0, "the empty string sent %d messages", key_messages);
    CHECK(release("Q") == 0, "releasing a key never pressed");

    DestroyWindow(hwnd);
    records(dll, press, release);
    FreeLibrary(dll);
    printf(failures ? "win_keys: %d checks failed\n" : "win_keys: all checks passed\n", failures);
    return failures ? 1 : 0;
}
