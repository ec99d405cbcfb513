/* Another program at the launcher's single-instance names, for launcher_test.py:
 *
 *   win_squatter.exe sid          print this user's SID
 *   win_squatter.exe pipe NAME    serve a pipe \\.\pipe\NAME that swallows what it is sent
 *   win_squatter.exe hold PATH    keep PATH open for reading, shared as an indexer shares it
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
    if (argc == 3 && wcscmp(argv[1], L"hold") == 0) {
        HANDLE file = CreateFileW(argv[2], GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        ready();
        Sleep(INFINITE);
    }
    fprintf(stderr, "usage: win_squatter.exe sid | pipe NAME | hold PATH\n");
    return 2;
}
