/* The launcher's job object under Wine: a child started by a process that joined the job ends
 * when that process is terminated; without the job (the control case) the child lives on. And
 * a server's own job, nested in it: ending that job ends the server and its helper.
 *
 *   win_killjob.exe                 the test
 *   win_killjob.exe parent job|none (helper) join the job or not, start a child, print its
 *                                   id, and wait to be terminated
 *   win_killjob.exe child           (helper) wait forever */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "killjob.h"

static int failures;

static HANDLE start_self(const char *arguments, HANDLE output, DWORD flags)
{
    char command[MAX_PATH + 64];
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(command, sizeof command, "\"%s\" %s", self, arguments);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, command, NULL, NULL, output != NULL, flags, NULL, NULL, &startup,
                        &process))
        return NULL;
    CloseHandle(process.hThread);
    return process.hProcess;
}

/* Starts a parent, reads its child's id, terminates the parent (or, for "own job", ends the
 * job the parent was started in, as the launcher does with a server); returns whether the
 * child ended within two seconds. */
static int child_ends_with_parent(const char *mode)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    const int own_job = strcmp(mode, "own job") == 0;
    char arguments[32];
    snprintf(arguments, sizeof arguments, "parent %s", own_job ? "none" : mode);
    HANDLE parent = start_self(arguments, write_end, own_job ? CREATE_SUSPENDED : 0);
    void *job = own_job && parent ? ludovane_run_in_own_job(GetProcessId(parent)) : NULL;
    CloseHandle(write_end);
    char line[32] = {0};
    DWORD got = 0;
    ReadFile(read_end, line, sizeof line - 1, &got, NULL);
    CloseHandle(read_end);
    const DWORD child_id = (DWORD)strtoul(line, NULL, 10);
    HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, child_id);
    if (!parent || !child) {
        ++failures;
        printf("FAIL %s: no parent or no child (%s)\n", mode, line);
        return -1;
    }
    if (own_job && !job) {
        ++failures;
        printf("FAIL %s: no job of its own\n", mode);
    }
    if (own_job)
        ludovane_end_job(job);
    else
        TerminateProcess(parent, 1);
    WaitForSingleObject(parent, 5000);
    const int ended = WaitForSingleObject(child, 2000) == WAIT_OBJECT_0;
    TerminateProcess(child, 1);
    CloseHandle(child);
    CloseHandle(parent);
    return ended;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "child") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc > 2 && strcmp(argv[1], "parent") == 0) {
        if (strcmp(argv[2], "job") == 0 && !ludovane_join_kill_job())
            return 2;
        HANDLE child = start_self("child", NULL, 0);
        printf("%lu\n", child ? GetProcessId(child) : 0UL);
        fflush(stdout);
        Sleep(INFINITE);
        return 0;
    }

    const int with_job = child_ends_with_parent("job");
    const int without = child_ends_with_parent("none");
    /* As the launcher: in a kill job, with the server in a job of its own. */
    const int own_job = ludovane_join_kill_job() ? child_ends_with_parent("own job") : -1;
    if (with_job != 1) {
        ++failures;
        printf("FAIL: the child outlived a parent in the job\n");
    }
    if (without != 0) {
        ++failures;
        printf("FAIL: without the job the child should have outlived its parent\n");
    }
    if (own_job != 1) {
        ++failures;
        printf("FAIL: the child outlived the end of its parent's own job\n");
    }
    printf(failures ? "win_killjob: %d checks failed\n" : "win_killjob: all checks passed\n",
           failures);
    return failures ? 1 : 0;
}
