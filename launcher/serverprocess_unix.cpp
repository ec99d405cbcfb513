#include "serverprocess.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <QElapsedTimer>
#include <QSet>
#include <QVector>

#include <dirent.h>
#include <sys/prctl.h>
#endif

namespace {

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

#ifdef Q_OS_LINUX
QSet<qint64> runningServers; // not yet reaped: the launcher's children that are not orphans
quint64 firstServerStart = 0; // when the first server started, in clock ticks since boot
bool subreaper = false; // only then are children that are not servers orphans

struct Process
{
    pid_t pid;
    pid_t parent;
    pid_t group;
    quint64 start; // clock ticks since boot
};

bool readProcess(pid_t pid, Process &process)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *file = std::fopen(path, "re");
    if (!file)
        return false;
    char text[1024];
    const size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = 0;
    // After the name in parentheses (which may hold anything): state, parent, ... start.
    const char *rest = std::strrchr(text, ')');
    unsigned long long start = 0;
    int parent = 0, group = 0;
    if (!rest
        || std::sscanf(rest + 1, " %*c %d %d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d "
                                 "%*d %*d %*d %*d %llu", &parent, &group, &start) != 3)
        return false;
    process = {pid, pid_t(parent), pid_t(group), quint64(start)};
    return true;
}

QVector<Process> allProcesses()
{
    QVector<Process> all;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc)) {
            Process process;
            const int pid = std::atoi(entry->d_name);
            if (pid > 0 && readProcess(pid, process))
                all.append(process);
        }
        ::closedir(proc);
    }
    return all;
}
#endif

} // namespace

void ServerProcess::endOrphans(const ServerProcess *current)
{
#ifdef Q_OS_LINUX
    if (!subreaper || !firstServerStart)
        return;
    // The current server's own detached helpers are its business until it is replaced.
    const quint64 before = current && current->startTicks ? current->startTicks : ~quint64(0);
    // Children in the launcher's own group (a session bus launcher the desktop libraries
    // started, say) are its own, and stay. Each round kills what is back, reaps what ended,
    // and looks again: what descends from what it killed comes back in turn.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const QVector<Process> all = allProcesses();
        QVector<pid_t> orphans;
        for (const Process &process : all)
            if (process.parent == ::getpid() && process.group != ::getpgrp()
                && process.start >= firstServerStart && process.start < before
                && !runningServers.contains(process.pid))
                orphans.append(process.pid);
        if (orphans.isEmpty() || waited.elapsed() > 1000)
            return;
        for (pid_t pid : orphans) {
            ::kill(pid, SIGKILL); // still ours: not reaped yet
            ::waitpid(pid, nullptr, WNOHANG);
        }
        ::usleep(1000);
    }
#else
    Q_UNUSED(current)
#endif
}

void ServerProcess::startGuard()
{
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
}

ServerProcess::ServerProcess(QObject *parent)
    : QProcess(parent)
    , launcherPid(QCoreApplication::applicationPid())
{
    // A server that ended on its own leaves no group to kill later, where its id could be
    // somebody else's by then.
    connect(this, &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state != QProcess::NotRunning)
            return;
        if (guardedGroup == lastGroup)
            guard(0);
#ifdef Q_OS_LINUX
        runningServers.remove(lastGroup);
#endif
    });
}

ServerProcess::~ServerProcess()
{
    if (inheritedDescriptor >= 0)
        ::close(inheritedDescriptor);
}

void ServerProcess::launch(const QString &program, const QStringList &arguments, int inherited)
{
#ifdef Q_OS_LINUX
    // From the first server on, what its helpers detach (setsid, a double fork) comes back
    // to the launcher when their parent ends, instead of going to init; not before, so that
    // what the desktop libraries detached at start-up (a session bus) never comes back.
    if (!subreaper)
        subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
#endif
    inheritedDescriptor = inherited;
    start(program, arguments, QIODevice::ReadWrite);
    if (inheritedDescriptor >= 0)
        ::close(inheritedDescriptor);
    inheritedDescriptor = -1;
    // The child does the same before it runs the program; doing it here too means a kill
    // that comes before the child got that far still finds the group.
    if (processId() > 0) {
        ::setpgid(pid_t(processId()), pid_t(processId()));
        lastGroup = processId();
        guard(lastGroup);
#ifdef Q_OS_LINUX
        runningServers.insert(lastGroup);
        Process server;
        if (readProcess(pid_t(lastGroup), server))
            startTicks = server.start;
        if (!firstServerStart)
            firstServerStart = startTicks;
#endif
    }
}

void ServerProcess::killGroup()
{
    // While the server is not reaped, its group cannot be anybody else's. Helpers that left
    // the group come back to the launcher once the server is gone (see endOrphans).
    if (processId() > 0)
        ::kill(-pid_t(processId()), SIGKILL);
    if (guardedGroup == lastGroup)
        guard(0);
    kill();
}

// Runs in the child, between fork and exec: only async-signal-safe calls.
void ServerProcess::setupChildProcess()
{
    ::setpgid(0, 0);
    if (inheritedDescriptor >= 0)
        ::fcntl(inheritedDescriptor, F_SETFD, 0); // kept open across exec, in the server alone
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A launcher that died before the line above sends no signal any more: go at once.
    if (::getppid() != pid_t(launcherPid))
        ::_exit(127);
#endif
}
