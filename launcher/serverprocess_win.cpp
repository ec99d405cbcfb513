#include "serverprocess.h"

#include "killjob.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

void ServerProcess::startGuard()
{
    // Whatever ends the launcher, the system then ends every server it started.
    ludovane_join_kill_job();
}

ServerProcess::ServerProcess(QObject *parent)
    : QProcess(parent)
{
}

ServerProcess::~ServerProcess()
{
    ludovane_end_job(job);
}

void ServerProcess::launch(const QString &program, const QStringList &arguments, int)
{
    // Suspended until it is in its own job, so that no helper it starts is left outside.
    setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *args) { args->flags |= CREATE_SUSPENDED; });
    start(program, arguments, QIODevice::ReadWrite);
    if (processId() > 0)
        job = ludovane_run_in_own_job(static_cast<unsigned long>(processId()));
}

void ServerProcess::killGroup()
{
    ludovane_end_job(job);
    job = nullptr;
    kill();
}
