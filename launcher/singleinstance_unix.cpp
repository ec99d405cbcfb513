#include "singleinstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Makes way for a name in the launcher's own folder without opening what is there: a
// directory or a special file there would hang or mislead whoever opened it.
bool removeEntry(int folder, const QByteArray &name)
{
    struct stat info;
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return ::unlinkat(folder, name.constData(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) == 0;
}

} // namespace

QByteArray accountIdentity()
{
    return QByteArray::number(qulonglong(::getuid()));
}

// Everything goes through the folder as this launcher opened and checked it, whatever its
// name leads to later. A socket's path is limited to the size of sun_path (108 bytes on
// Linux): where the folder's own path is longer, the socket is reached through the open
// folder instead (/proc/self/fd/N/NAME), which each launcher spells with its own descriptor.
void SingleInstance::useFolder(const QString &folder, const QString &key)
{
    if (folder.isEmpty())
        return;
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_uid != ::geteuid()
        || (info.st_mode & 07777) != 0700) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    folderDescriptor = fd;
    lockPath = key + QStringLiteral(".lock");
    const QString socket = key + QStringLiteral(".socket");
    serverName = folder + QLatin1Char('/') + socket;
    if (QFile::encodeName(serverName).size() >= int(sizeof(sockaddr_un::sun_path)))
        serverName = QStringLiteral("/proc/self/fd/%1/").arg(fd) + socket;
}

// An flock, which the system drops when its holder ends however it ends: the lock is never
// stale, and nothing in the file is read or trusted. A file there that is not the user's own
// regular file was not made by a launcher and goes.
SingleInstance::Lock SingleInstance::takeLock()
{
    if (folderDescriptor < 0)
        return Lock::Unavailable;
    const QByteArray name = QFile::encodeName(lockPath);
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat info;
        if (::fstatat(folderDescriptor, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
            && !(S_ISREG(info.st_mode) && info.st_uid == ::geteuid())) {
            if (!removeEntry(folderDescriptor, name))
                return Lock::Unavailable;
        }
        // Whatever might appear at the name meanwhile is neither followed nor waited on.
        const int fd = ::openat(folderDescriptor, name.constData(),
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
// The folder stays open as long as the socket may be reached through it.
void SingleInstance::releaseLock()
{
    if (lockDescriptor >= 0)
        ::close(lockDescriptor);
    lockDescriptor = -1;
    if (!server.isListening() && folderDescriptor >= 0) {
        ::close(folderDescriptor);
        folderDescriptor = -1;
    }
}

bool SingleInstance::listen()
{
    // The name is ours now: what is there was left by a launcher that was killed.
    removeEntry(folderDescriptor, QFile::encodeName(serverName.section(QLatin1Char('/'), -1)));
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
