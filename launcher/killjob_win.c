/* Plain Win32 and no Qt, so that the mingw-w64 cross build compiles it and tests it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "killjob.h"

int ludovane_join_kill_job(void)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job)
        return 0;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
        || !AssignProcessToJobObject(job, GetCurrentProcess())) {
        CloseHandle(job);
        return 0;
    }
    return 1; /* the handle stays open for as long as the process lives */
}
