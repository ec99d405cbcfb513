#include "singleinstance.h"

#include "userfolders.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#ifdef Q_OS_UNIX
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <vector>

#include <windows.h>

#include <sddl.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Pipe names are one namespace for every account: the user's SID sets this user's apart.
QString userIdentity()
{
    QString sid = QString::fromLocal8Bit(qgetenv("USERNAME"));
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return sid;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    LPWSTR text = nullptr;
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
        && ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid,
                                    &text)) {
        sid = QString::fromWCharArray(text);
        ::LocalFree(text);
    }
    ::CloseHandle(token);
    return sid;
}
#endif

// The same for every launcher of this user with this home directory, however the path to it
// is spelled, and short enough for a socket name.
QString instanceKey()
{
    const QString home = homeDirectory();
    const QString canonical = QFileInfo(home).canonicalFilePath();
    QByteArray identity = (canonical.isEmpty() ? QDir::cleanPath(home) : canonical).toUtf8();
#ifdef Q_OS_UNIX
    identity += '\n' + QByteArray::number(qulonglong(::getuid()));
#else
    identity += '\n' + userIdentity().toUtf8();
#endif
    const QByteArray digest = QCryptographicHash::hash(identity, QCryptographicHash::Sha256);
    return QStringLiteral("ludovane-launcher-") + QString::fromLatin1(digest.toHex().left(20));
}

const QByteArray showMessage = "show\n";

#ifdef Q_OS_UNIX
// Makes way for a name in the launcher's own folder without opening what is there: a
// directory or a special file there would hang or mislead whoever opened it.
bool removeEntry(const QByteArray &path)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0)
        return errno == ENOENT;
    return (S_ISDIR(info.st_mode) ? ::rmdir(path.constData()) : ::unlink(path.constData())) == 0;
}
#endif

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
    const QString folder = privateFolder();
    const QString key = instanceKey();
    if (!folder.isEmpty())
        lockPath = folder + QLatin1Char('/') + key + QStringLiteral(".lock");
#ifdef Q_OS_UNIX
    if (!folder.isEmpty())
        serverName = folder + QLatin1Char('/') + key + QStringLiteral(".socket");
#else
    serverName = key;
#endif
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().contains(showMessage))
                    emit showRequested();
            });
        }
    });
}

SingleInstance::~SingleInstance()
{
    server.close();
    releaseLock();
}

#ifdef Q_OS_UNIX

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

#else

// A file held open with no sharing, which the system closes when its holder ends however it
// ends: the lock is never stale, and nothing in it is read, so a reused process id cannot
// pass for a launcher.
SingleInstance::Lock SingleInstance::takeLock()
{
    if (lockPath.isEmpty())
        return Lock::Unavailable;
    const QString path = QDir::toNativeSeparators(lockPath);
    const HANDLE file = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        lockHandle = file;
        return Lock::Taken;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION ? Lock::HeldElsewhere : Lock::Unavailable;
}

void SingleInstance::releaseLock()
{
    if (lockHandle)
        ::CloseHandle(lockHandle);
    lockHandle = nullptr;
}

#endif

bool SingleInstance::claim()
{
    switch (takeLock()) {
    case Lock::Unavailable:
        return true; // better two launchers than none
    case Lock::Taken:
        // The name is ours now: what is there was left by a launcher that was killed.
#ifdef Q_OS_UNIX
        removeEntry(QFile::encodeName(serverName));
#else
        QLocalServer::removeServer(serverName);
#endif
        // A launcher nobody can reach must not keep later ones from running.
        if (!server.listen(serverName))
            releaseLock();
        return true;
    case Lock::HeldElsewhere:
        break;
    }
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
            return false;
        }
        QThread::msleep(50);
    } while (waited.elapsed() < 1000);
    return false; // it holds the lock but does not answer: still no second server
}
