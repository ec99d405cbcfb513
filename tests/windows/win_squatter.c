/* Another program at the launcher's single-instance names, for launcher_test.py:
 *
 *   win_squatter.exe sid          print this user's SID
 *   win_squatter.exe pipe NAME    serve a pipe \\.\pipe\NAME that swallows what it is sent
 *   win_squatter.exe hold PATH [HOW]   keep PATH open as other programs do: shared as an
 *       indexer shares it (the default); "delete" access; sharing only reading ("read") or
 *       nothing ("none"); its byte at 4 GiB locked ("lock"); garbage written into it ("garbage")
 *   win_squatter.exe mutex NAME   own a mutex at NAME as another account would: owned by
 *       SYSTEM, open to everyone
 *
 * Each prints "ready" once in place, then stays until it is ended. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <sddl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static void ready(void)
{
    printf("ready\n");
    fflush(stdout);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && wcscmp(argv[1], L"sid") == 0) {
        HANDLE token;
        char buffer[256];
        DWORD size = sizeof buffer;
        char *text = NULL;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
            || !GetTokenInformation(token, TokenUser, buffer, size, &size)
            || !ConvertSidToStringSidA(((TOKEN_USER *)buffer)->User.Sid, &text))
            return 1;
        printf("%s\n", text);
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"pipe") == 0) {
        wchar_t name[512];
        swprintf(name, 512, L"\\\\.\\pipe\\%ls", argv[2]);
        for (int announced = 0;; announced = 1) {
            HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
            if (pipe == INVALID_HANDLE_VALUE)
                return 1;
            if (!announced)
                ready();
            if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
                char swallowed[64];
                DWORD got;
                while (ReadFile(pipe, swallowed, sizeof swallowed, &got, NULL) && got)
                    ;
            }
            CloseHandle(pipe);
        }
    }
    if (argc == 3 && wcscmp(argv[1], L"mutex") == 0) {
        PSECURITY_DESCRIPTOR rules;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;WD)",
                                                                  SDDL_REVISION_1, &rules, NULL))
            return 1;
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, rules, FALSE};
        if (!CreateMutexW(&attributes, TRUE, argv[2]))
            return 1;
        ready();
        Sleep(INFINITE);
    }
    if ((argc == 3 || argc == 4) && wcscmp(argv[1], L"hold") == 0) {
        const wchar_t *how = argc == 4 ? argv[3] : L"shared";
        DWORD access = GENERIC_READ;
        DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        if (wcscmp(how, L"delete") == 0)
            access |= DELETE;
        else if (wcscmp(how, L"garbage") == 0)
            access |= GENERIC_WRITE;
        else if (wcscmp(how, L"read") == 0)
            sharing = FILE_SHARE_READ;
        else if (wcscmp(how, L"none") == 0)
            sharing = 0;
        HANDLE file = CreateFileW(argv[2], access, sharing, NULL, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        OVERLAPPED at = {.OffsetHigh = 1};
        DWORD written;
        if (wcscmp(how, L"lock") == 0
            && !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
            return 1;
        if (wcscmp(how, L"garbage") == 0 && !WriteFile(file, "\x01garbage\n", 9, &written, NULL))
            return 1;
        ready();
        Sleep(INFINITE);
    }
    fprintf(stderr, "usage: win_squatter.exe sid | pipe NAME | mutex NAME | hold PATH [HOW]\n");
    return 2;
}
