#include "serverprocess.h"

#include <QCoreApplication>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif
#ifdef Q_OS_WIN
#include "killjob.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int guardSocket = -1;
qint64 guardedGroup = 0;

// The guard kills the last group it was told of once the launcher's end of the socket closes.
// One that is gone is let go of; the launcher then kills the group itself, as it always does
// when it ends normally. A stopped one cannot hold the GUI thread up.
void guard(qint64 group)
{
    guardedGroup = group;
    if (guardSocket >= 0
        && ::send(guardSocket, &group, sizeof group, MSG_NOSIGNAL | MSG_DONTWAIT) < 0
        && errno != EAGAIN && errno != EINTR) {
        ::close(guardSocket);
        guardSocket = -1;
    }
}

[[noreturn]] void runGuard(int socket)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, SIG_IGN); // meant for the launcher, which then tells us
    qint64 group = 0, message;
    for (;;) {
        const ssize_t got = ::read(socket, &message, sizeof message);
        if (got == sizeof message)
            group = message;
        else if (got == 0 || (got < 0 && errno != EINTR))
            break;
    }
    if (group > 0)
        ::kill(-pid_t(group), SIGKILL);
    ::_exit(0);
}
#endif

} // namespace

void ServerProcess::startGuard()
{
#ifdef Q_OS_UNIX
    int ends[2];
    // Close-on-exec: a server holding an end would keep the guard waiting.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    // Forked twice, so that the guard is not our child: the system reaps it whenever it ends,
    // and it never lingers as a zombie of ours.
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        if (::fork() == 0)
            runGuard(ends[1]);
        ::_exit(0);
    }
    ::close(ends[1]);
    int status;
    pid_t reaped = -1;
    if (child > 0) {
        do
            reaped = ::waitpid(child, &status, 0);
        while (reaped < 0 && errno == EINTR);
    }
    if (reaped == child)
        guardSocket = ends[0];
    else
        ::close(ends[0]);
#endif
}

ServerProcess::ServerProcess(QObject *parent)
    : QProcess(parent)
    , launcherPid(QCoreApplication::applicationPid())
{
#ifdef Q_OS_UNIX
    // A server that ended on its own leaves no group to kill later, where its id could be
    // somebody else's by then.
    connect(this, &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning && guardedGroup == lastGroup)
            guard(0);
    });
#endif
}

#ifdef Q_OS_WIN
ServerProcess::~ServerProcess()
{
    ludovane_end_job(job);
}
#endif

void ServerProcess::launch(const QString &program, const QStringList &arguments)
{
#ifdef Q_OS_WIN
    // Suspended until it is in its own job, so that no helper it starts is left outside.
    setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *args) { args->flags |= CREATE_SUSPENDED; });
#endif
    start(program, arguments, QIODevice::ReadWrite);
#ifdef Q_OS_WIN
    if (processId() > 0)
        job = ludovane_run_in_own_job(static_cast<unsigned long>(processId()));
#endif
#ifdef Q_OS_UNIX
    // The child does the same before it runs the program; doing it here too means a kill
    // that comes before the child got that far still finds the group.
    if (processId() > 0) {
        ::setpgid(pid_t(processId()), pid_t(processId()));
        lastGroup = processId();
        guard(lastGroup);
    }
#endif
}

void ServerProcess::killGroup()
{
#ifdef Q_OS_UNIX
    // While the server is not reaped, its group cannot be anybody else's.
    if (processId() > 0)
        ::kill(-pid_t(processId()), SIGKILL);
    if (guardedGroup == lastGroup)
        guard(0);
#endif
#ifdef Q_OS_WIN
    ludovane_end_job(job);
    job = nullptr;
#endif
    kill();
}

// Runs in the child, between fork and exec: only async-signal-safe calls.
void ServerProcess::setupChildProcess()
{
#ifdef Q_OS_UNIX
    ::setpgid(0, 0);
#endif
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A launcher that died before the line above sends no signal any more: go at once.
    if (::getppid() != pid_t(launcherPid))
        ::_exit(127);
#endif
}
