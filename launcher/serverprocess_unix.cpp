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
#include <QMultiHash>
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
struct Process
{
    pid_t pid;
    pid_t parent;
    bool ended; // a zombie, waiting to be reaped
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
    // After the name in parentheses (which may hold anything): state, parent.
    const char *rest = std::strrchr(text, ')');
    char state = 0;
    int parent = 0;
    if (!rest || std::sscanf(rest + 1, " %c %d", &state, &parent) != 2)
        return false;
    process = {pid, pid_t(parent), state == 'Z'};
    return true;
}

// Every process below `root` that has not ended, from one look at all processes.
QVector<pid_t> descendants(pid_t root)
{
    QMultiHash<pid_t, pid_t> children;
    QSet<pid_t> ended;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc)) {
            Process process;
            const int pid = std::atoi(entry->d_name);
            if (pid > 0 && readProcess(pid, process)) {
                children.insert(process.parent, process.pid);
                if (process.ended)
                    ended.insert(process.pid);
            }
        }
        ::closedir(proc);
    }
    QVector<pid_t> below;
    QVector<pid_t> next{root};
    while (!next.isEmpty()) {
        for (pid_t child : children.values(next.takeLast())) {
            next.append(child);
            if (!ended.contains(child))
                below.append(child);
        }
    }
    return below;
}

// While the server lives, everything it started is below it, whatever the helpers did
// (setsid, a double fork): an orphan goes back to the server, its subreaper, and nothing the
// launcher's own session started can get there. So the server is stopped, to start nothing
// more, and what is below it is killed round by round (what a killed process had started
// comes back to the server), for at most about a second, before the server itself.
void endDescendants(pid_t server)
{
    ::kill(server, SIGSTOP);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const QVector<pid_t> below = descendants(server);
        if (below.isEmpty() || waited.elapsed() > 1000)
            return;
        for (pid_t pid : below)
            ::kill(pid, SIGKILL);
        ::usleep(1000);
    }
}
#endif

} // namespace

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
        if (state == QProcess::NotRunning && guardedGroup == lastGroup)
            guard(0);
    });
}

ServerProcess::~ServerProcess()
{
    if (inheritedDescriptor >= 0)
        ::close(inheritedDescriptor);
}

void ServerProcess::launch(const QString &program, const QStringList &arguments, int inherited)
{
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
    }
}

void ServerProcess::killGroup()
{
    // While the server is not reaped, neither its id nor its group can be anybody else's.
    if (processId() > 0) {
#ifdef Q_OS_LINUX
        endDescendants(pid_t(processId()));
#endif
        ::kill(-pid_t(processId()), SIGKILL);
    }
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
    // Kept across exec: what the server's helpers leave behind when they end comes back to
    // the server rather than to init, and so stays below it.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A launcher that died before the line above sends no signal any more: go at once.
    if (::getppid() != pid_t(launcherPid))
        ::_exit(127);
#endif
}
