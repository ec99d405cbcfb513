#pragma once

#include <QProcess>

// The server's process. On Linux it runs in a process group of its own, on Windows in a job
// of its own, so that stopping it takes the helpers it started too, and it dies with the
// launcher however the launcher ends (a signal, a crash, a lost display), so that no server
// outlives the launcher. The platform halves live in serverprocess_unix.cpp and
// serverprocess_win.cpp.
class ServerProcess : public QProcess
{
public:
    // Makes sure that whatever ends the launcher ends its servers too: on Unix a small guard
    // process that, when the launcher ends in any way, kills the group of the server running
    // then; on Windows a job that the system ends with the launcher. Call it first in main,
    // before any thread exists; without it the server still dies with the launcher, but
    // helpers it started might not.
    static void startGuard();

    // On Linux the first launch makes the launcher the subreaper of what it starts. This ends
    // every process that came back so since the first server started (and before
    // `current` started, when given), and what comes back when those end, and reaps them;
    // within about a second. Call it once a replaced server has ended, and at every normal
    // end after the servers ended. Elsewhere it does nothing.
    static void endOrphans(const ServerProcess *current = nullptr);

    explicit ServerProcess(QObject *parent = nullptr);
    ~ServerProcess() override;

    // Starts the program with the arguments, without waiting for it to run. On Linux the
    // first call makes the launcher a subreaper (PR_SET_CHILD_SUBREAPER). On Unix the server
    // inherits `inherited` when it is a descriptor (which this closes once the server
    // started), and nothing else of the launcher's.
    void launch(const QString &program, const QStringList &arguments, int inherited = -1);
    // Kills the server and its process group (on Windows, its job) at once, without waiting
    // for them to end.
    void killGroup();

#ifndef Q_OS_WIN
protected:
    void setupChildProcess() override;
#endif

private:
#ifdef Q_OS_WIN
    void *job = nullptr; // the server's own job, which its helpers inherit
#else
    qint64 launcherPid;
    qint64 lastGroup = 0;
    quint64 startTicks = 0; // Linux: when it started, in clock ticks since boot
    int inheritedDescriptor = -1;
#endif
};
