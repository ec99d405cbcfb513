#pragma once

#include <QProcess>

// The server's process. On Linux it runs in a process group of its own and is the
// subreaper of what it starts, on Windows in a job of its own, so that stopping it takes
// every helper it started too (detached or not) and nothing else, and it dies with the
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

    explicit ServerProcess(QObject *parent = nullptr);
    ~ServerProcess() override;

    // Starts the program with the arguments, without waiting for it to run. On Unix the
    // server inherits `inherited` when it is a descriptor (which this closes once the server
    // started), and nothing else of the launcher's.
    void launch(const QString &program, const QStringList &arguments, int inherited = -1);
    // Kills the server, everything that descends from it and its process group (on Windows,
    // its job) at once, without waiting for the server to end.
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
    int inheritedDescriptor = -1;
#endif
};
