#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One launcher per user and home directory, since those share the log and so the server. The
// first launcher holds a lock and listens on a local socket, both in a folder no other account
// can touch (on Windows a mutex and an event in a namespace private to the user); a later one
// asks it to show its window and leaves. Only a lock that a live launcher holds counts;
// without a usable lock a launcher runs all the same.
//
// The platform halves live in singleinstance_unix.cpp and singleinstance_win.cpp.
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

    // Platform halves.
    void useFolder(const QString &folder, const QString &key);
    Lock takeLock();
    void releaseLock();
    // With the lock taken: listens where later launchers will ask.
    bool listen();
    // With the lock held elsewhere: asks its holder to show its window. Taken when the holder
    // ended meanwhile and this launcher holds the lock now; HeldElsewhere otherwise.
    Lock askRunningLauncher();

    // On Unix the lock file's name in the folder and the socket's path; on Windows the names
    // of the mutex and of the event.
    QString lockPath;
    QString serverName;
#ifdef Q_OS_WIN
    // Windows HANDLEs: the mutex, open whether or not it is owned; the event later launchers
    // set, and what watches it; the namespace both are named in.
    void *lockHandle = nullptr;
    void *showEvent = nullptr;
    QObject *showNotifier = nullptr;
    void *privateNamespace = nullptr;
#else
    int folderDescriptor = -1; // the folder, checked to be the user's alone once opened
    int lockDescriptor = -1;
#endif
    QLocalServer server;
};

// What the launcher's names in shared places start with.
extern const char instanceNamePrefix[];
// What a later launcher sends the running one.
extern const char showMessage[];
// The account the launcher runs as: a SID on Windows, a user id on Unix.
QByteArray accountIdentity();
