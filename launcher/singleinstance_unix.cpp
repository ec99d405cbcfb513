#include "singleinstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes way for a name in the launcher's own folder without opening what is there: a
// directory or a special file there would hang or mislead whoever opened it.
bool removeEntry(const QByteArray &path)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0)
        return errno == ENOENT;
    return (S_ISDIR(info.st_mode) ? ::rmdir(path.constData()) : ::unlink(path.constData())) == 0;
}

} // namespace

QByteArray accountIdentity()
{
    return QByteArray::number(qulonglong(::getuid()));
}

void SingleInstance::useFolder(const QString &folder, const QString &key)
{
    if (folder.isEmpty())
        return;
    lockPath = folder + QLatin1Char('/') + key + QStringLiteral(".lock");
    serverName = folder + QLatin1Char('/') + key + QStringLiteral(".socket");
}

// An flock, which the system drops when its holder ends however it ends: the lock is never
// stale, and nothing in the file is read or trusted. A file there that is not the user's own
// regular file was not made by a launcher and goes.
SingleInstance::Lock SingleInstance::takeLock()
{
    if (lockPath.isEmpty())
        return Lock::Unavailable;
    const QByteArray path = QFile::encodeName(lockPath);
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat info;
        if (::lstat(path.constData(), &info) == 0
            && !(S_ISREG(info.st_mode) && info.st_uid == ::geteuid())) {
            if (!removeEntry(path))
                return Lock::Unavailable;
        }
        // Whatever might appear at the name meanwhile is neither followed nor waited on.
        const int fd = ::open(path.constData(),
                              O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                lockDescriptor = fd;
                return Lock::Taken;
            }
            const bool held = errno == EWOULDBLOCK;
            ::close(fd);
            return held ? Lock::HeldElsewhere : Lock::Unavailable;
        }
        ::close(fd);
    }
    return Lock::Unavailable;
}

// The file stays: removing it could let a launcher that opened it just before lock a name
// that no longer leads anywhere.
void SingleInstance::releaseLock()
{
    if (lockDescriptor >= 0)
        ::close(lockDescriptor);
    lockDescriptor = -1;
}

bool SingleInstance::listen()
{
    // The name is ours now: what is there was left by a launcher that was killed.
    removeEntry(QFile::encodeName(serverName));
    return server.listen(serverName);
}

SingleInstance::Lock SingleInstance::askRunningLauncher()
{
    // The first launcher may be starting up: its socket can come a moment after its lock.
    QElapsedTimer waited;
    waited.start();
    do {
        QLocalSocket socket;
        socket.connectToServer(serverName);
        if (socket.waitForConnected(200)) {
            socket.write(showMessage);
            socket.waitForBytesWritten(500);
            socket.disconnectFromServer();
            return Lock::HeldElsewhere;
        }
        QThread::msleep(50);
    } while (waited.elapsed() < 1000);
    return Lock::HeldElsewhere;
}
