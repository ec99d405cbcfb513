/* Uninstall.exe, what Windows runs to uninstall Ludovane (with /S, silently). NSIS's own
 * uninstaller, uninstall-files.exe beside it, hands over to a copy of itself and exits at
 * once, so that whoever ran it learns neither when it ends nor how; run in place it waits but
 * cannot remove itself. This front runs it in place on its own folder (never another, whatever
 * the command line names), waits, removes it, moves its own program file out of the folder (a
 * running program can be renamed, not deleted) and ends with the uninstaller's code: 0 only
 * once the files and the registration are gone, 2 while the launcher runs. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <wchar.h>

enum { kFailed = 1, kPathMax = 32768 };

static const wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" UNINSTALL_KEY;
static const wchar_t kTitle[] = L"Ludovane Uninstall";

static wchar_t self[kPathMax], folder[kPathMax], files[kPathMax], temp[kPathMax],
    line[kPathMax + 64];

static int silent(void)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int found = 0;
    for (int i = 1; argv && i < argc; ++i)
        found |= wcscmp(argv[i], L"/S") == 0;
    LocalFree(argv);
    return found;
}

static DWORD run_uninstaller(int quiet)
{
    /* _?= takes the rest of the line, unquoted: it goes last. */
    _snwprintf(line, sizeof line / sizeof *line, L"\"%ls\"%ls _?=%ls", files,
               quiet ? L" /S" : L"", folder);
    line[sizeof line / sizeof *line - 1] = 0;
    STARTUPINFOW startup = {.cb = sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessW(files, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return kFailed;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = kFailed;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

/* A program that has just ended may hold its file for a moment longer. */
static int remove_file(const wchar_t *path)
{
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND)
            return 1;
        Sleep(50);
    }
    return 0;
}

/* Into the temporary folder or, on another volume, beside the installation's folder, under a
 * fresh name; gone at the next start of Windows. */
static int move_self_away(void)
{
    static wchar_t parent[kPathMax], moved[kPathMax];
    wcscpy(parent, folder);
    wchar_t *slash = wcsrchr(parent, L'\\');
    if (slash)
        slash[1] = 0;
    const wchar_t *places[] = {temp, parent};
    for (int i = 0; i < 2; ++i) {
        if (!places[i][0] || !GetTempFileNameW(places[i], L"lud", 0, moved))
            continue;
        if (MoveFileExW(self, moved, MOVEFILE_REPLACE_EXISTING)) {
            MoveFileExW(moved, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
            return 1;
        }
        DeleteFileW(moved);
    }
    return 0;
}

/* Whether the uninstall entry still names this folder. */
static int still_registered(void)
{
    wchar_t location[kPathMax];
    DWORD size = sizeof location;
    return RegGetValueW(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ,
                        NULL, location, &size) == ERROR_SUCCESS
        && _wcsicmp(location, folder) == 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show)
{
    (void)instance, (void)previous, (void)arguments, (void)show;
    const int quiet = silent();
    const DWORD length = GetModuleFileNameW(NULL, self, kPathMax);
    if (length == 0 || length >= kPathMax)
        return kFailed;
    wcscpy(folder, self);
    *wcsrchr(folder, L'\\') = 0;
    _snwprintf(files, kPathMax, L"%ls\\uninstall-files.exe", folder);
    files[kPathMax - 1] = 0;
    /* Not even the working directory may keep the folder. */
    if (GetTempPathW(kPathMax, temp))
        SetCurrentDirectoryW(temp);

    const DWORD code = run_uninstaller(quiet);
    if (code != 0)
        return (int)code; /* cancelled, or the launcher runs: nothing was removed */
    if (remove_file(files) && move_self_away() && !still_registered()) {
        RemoveDirectoryW(folder); /* unless the user's own files keep it */
        return 0;
    }
    if (!quiet)
        MessageBoxW(NULL, L"Ludovane could not be removed completely.", kTitle,
                    MB_OK | MB_ICONEXCLAMATION);
    return kFailed;
}
