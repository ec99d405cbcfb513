#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One launcher per user and home directory, since those share the log and so the server. The
// first launcher holds a lock and listens on a local socket, both in a folder no other account
// can touch (on Windows the lock file names a pipe of an unpredictable name, checked to be
// served by this user); a later one asks it to show its window and leaves. Only a lock that a
// live launcher holds counts; without a usable lock a launcher runs all the same.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this launcher runs its own window; false when another one runs and was asked
    // to show its window.
    bool claim();

signals:
    void showRequested();

private:
    enum class Lock { Taken, HeldElsewhere, Unavailable };
    Lock takeLock();
    void releaseLock();
#ifdef Q_OS_WIN
    bool listenOnNewPipe();
    Lock askRunningLauncher();
#endif

    QString lockPath;
    QString serverName; // the socket's full path on Unix, a pipe name on Windows
#ifdef Q_OS_UNIX
    int lockDescriptor = -1;
#else
    void *lockHandle = nullptr; // a Windows HANDLE, open whether or not it holds the lock
#endif
    QLocalServer server;
};
