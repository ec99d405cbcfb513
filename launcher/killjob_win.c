/* Plain Win32 and no Qt, so that the mingw-w64 cross build compiles it and tests it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <tlhelp32.h>

#include "killjob.h"

static HANDLE new_kill_job(void)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

int ludovane_join_kill_job(void)
{
    HANDLE job = new_kill_job();
    if (!job)
        return 0;
    if (!AssignProcessToJobObject(job, GetCurrentProcess())) {
        CloseHandle(job);
        return 0;
    }
    return 1; /* the handle stays open for as long as the process lives */
}

/* A process created suspended has one thread, suspended once. */
static void resume_process(DWORD process_id)
{
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (threads == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry)) {
        if (entry.th32OwnerProcessID != process_id)
            continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread) {
            ResumeThread(thread);
            CloseHandle(thread);
        }
    }
    CloseHandle(threads);
}

void *ludovane_run_in_own_job(unsigned long process_id)
{
    HANDLE job = new_kill_job();
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, process_id);
    if (job && (!process || !AssignProcessToJobObject(job, process))) {
        CloseHandle(job);
        job = NULL;
    }
    if (process)
        CloseHandle(process);
    resume_process(process_id);
    return job;
}

void ludovane_end_job(void *job)
{
    if (!job)
        return;
    TerminateJobObject(job, 1);
    CloseHandle(job);
}
