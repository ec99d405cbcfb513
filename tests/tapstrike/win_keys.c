/* tapstrike.dll as a Windows client sees it: loaded at run time, both functions found by name
 * and by ordinal, and the WM_KEYDOWN / WM_KEYUP each call brings to the focused window.
 * Runs under Wine on the harness's X server. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

typedef int (*KeyFunction)(const char *);

static int failures;
static UINT last_message;
static WPARAM last_key;
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

    CHECK(press(NULL) == -1 && release(NULL) == -1, "a null pointer is refused");
    CHECK(press("") == 0 && release("") == 0, "the empty string names no key");
    CHECK(release("Q") == 0, "releasing a key never pressed");

    DestroyWindow(hwnd);
    FreeLibrary(dll);
    printf(failures ? "win_keys: %d checks failed\n" : "win_keys: all checks passed\n", failures);
    return failures ? 1 : 0;
}
