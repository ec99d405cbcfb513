#include "singleinstance.h"

#include "userfolders.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRandomGenerator>
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
#include <cctype>
#include <vector>

#include <windows.h>

#include <sddl.h>
#endif

namespace {

#ifdef Q_OS_WIN
// The SID of the account a process runs as; empty when it cannot be told.
QString accountSid(HANDLE process)
{
    QString sid;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
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

// Pipe names are one namespace for every account: the user's SID sets this user's apart.
QString userIdentity()
{
    const QString sid = accountSid(::GetCurrentProcess());
    return sid.isEmpty() ? QString::fromLocal8Bit(qgetenv("USERNAME")) : sid;
}
#endif

// What the launcher's names in shared places start with.
const QByteArray namePrefix = "ludovane-launcher-";

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
    return QString::fromLatin1(namePrefix + digest.toHex().left(20));
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

namespace {

// Far past anything the file holds, so that the lock never keeps a reader from the name.
constexpr DWORD kLockOffsetHigh = 1; // 4 GiB
constexpr int kPipeRandomBytes = 16;

bool lockRange(HANDLE file)
{
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

// The pipe's name as the lock's holder wrote it: a whole line of the form launchers use, or
// nothing.
QString publishedPipe(HANDLE file)
{
    char text[128];
    OVERLAPPED at{};
    DWORD got = 0;
    if (!::ReadFile(file, text, sizeof text, &got, &at))
        return QString();
    const QByteArray content(text, int(got));
    const int end = content.indexOf('\n');
    const QByteArray name = content.left(end);
    if (end != namePrefix.size() + 2 * kPipeRandomBytes || !name.startsWith(namePrefix))
        return QString();
    for (char c : name.mid(namePrefix.size()))
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return QString();
    return QString::fromLatin1(name);
}

bool publishPipe(HANDLE file, const QByteArray &line)
{
    LARGE_INTEGER start{};
    DWORD written = 0;
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file)
        && (line.isEmpty()
            || (::WriteFile(file, line.constData(), DWORD(line.size()), &written, nullptr)
                && written == DWORD(line.size())));
}

// Whoever can read the lock file can learn the name; only a pipe that a process of this user
// serves is asked.
bool servedByThisUser(HANDLE pipe)
{
    ULONG id = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &id))
        return false;
    const HANDLE server = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!server)
        return false;
    const QString user = accountSid(server);
    ::CloseHandle(server);
    return !user.isEmpty() && user == accountSid(::GetCurrentProcess());
}

// The pipe's first instance, for this user alone, that fails where a pipe of that name exists
// already: nobody can have made it first and nobody else can connect. The server's own
// instances then keep the name.
HANDLE createFirstPipe(const QString &name)
{
    const QString rules = QStringLiteral("D:P(A;;GA;;;%1)").arg(userIdentity());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            reinterpret_cast<const wchar_t *>(rules.utf16()), SDDL_REVISION_1, &descriptor,
            nullptr))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const QString path = QStringLiteral("\\\\.\\pipe\\") + name;
    const HANDLE pipe = ::CreateNamedPipeW(reinterpret_cast<const wchar_t *>(path.utf16()),
                                           PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 0, 0, 0, &attributes);
    ::LocalFree(descriptor);
    return pipe;
}

} // namespace

// A byte-range lock that only launchers take, on a file opened with sharing: a program that
// merely opens the file (a backup tool, a virus scanner, an indexer) neither holds the lock
// nor keeps a launcher from it. The system drops the lock when its holder ends however it
// ends, so it is never stale. The file holds the name of the holder's pipe.
SingleInstance::Lock SingleInstance::takeLock()
{
    if (lockPath.isEmpty())
        return Lock::Unavailable;
    const QString path = QDir::toNativeSeparators(lockPath);
    HANDLE file = INVALID_HANDLE_VALUE;
    // One that opened it without sharing it usually lets go within moments.
    for (int attempt = 0; attempt < 20; ++attempt) {
        file = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()),
                             GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        ::Sleep(50);
    }
    if (file == INVALID_HANDLE_VALUE)
        return Lock::Unavailable;
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return Lock::Unavailable;
    }
    lockHandle = file;
    if (lockRange(file))
        return Lock::Taken;
    if (::GetLastError() == ERROR_LOCK_VIOLATION)
        return Lock::HeldElsewhere;
    releaseLock();
    return Lock::Unavailable;
}

void SingleInstance::releaseLock()
{
    if (lockHandle)
        ::CloseHandle(lockHandle); // which drops the lock
    lockHandle = nullptr;
}

// A name nobody can guess, made afresh by each launcher and published only once it listens.
bool SingleInstance::listenOnNewPipe()
{
    if (!publishPipe(lockHandle, QByteArray())) // no stale name while this one starts
        return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        QByteArray random(kPipeRandomBytes, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()),
                                              kPipeRandomBytes / 4);
        const QString name = QString::fromLatin1(namePrefix + random.toHex());
        const HANDLE first = createFirstPipe(name);
        if (first == INVALID_HANDLE_VALUE)
            continue;
        const bool listening = server.listen(name);
        ::CloseHandle(first);
        if (listening && publishPipe(lockHandle, name.toLatin1() + '\n')) {
            serverName = name;
            return true;
        }
        server.close();
    }
    return false;
}

// Asks the launcher that holds the lock to show its window; takes the lock instead when that
// launcher ends meanwhile. Taken when this launcher holds the lock now, HeldElsewhere when
// the other one was asked or did not answer.
SingleInstance::Lock SingleInstance::askRunningLauncher()
{
    QElapsedTimer waited;
    waited.start();
    do {
        const QString name = publishedPipe(lockHandle);
        if (!name.isEmpty()) {
            QLocalSocket socket;
            socket.connectToServer(name);
            if (socket.waitForConnected(200)
                && servedByThisUser(reinterpret_cast<HANDLE>(socket.socketDescriptor()))) {
                socket.write(showMessage);
                socket.waitForBytesWritten(500);
                socket.disconnectFromServer();
                return Lock::HeldElsewhere;
            }
            socket.abort();
        }
        if (lockRange(lockHandle))
            return Lock::Taken;
        QThread::msleep(50);
    } while (waited.elapsed() < 3000);
    return Lock::HeldElsewhere;
}

#endif

bool SingleInstance::claim()
{
    Lock lock = takeLock();
#ifdef Q_OS_WIN
    if (lock == Lock::HeldElsewhere)
        lock = askRunningLauncher();
#endif
    switch (lock) {
    case Lock::Unavailable:
        return true; // better two launchers than none
    case Lock::Taken:
#ifdef Q_OS_UNIX
        // The name is ours now: what is there was left by a launcher that was killed.
        removeEntry(QFile::encodeName(serverName));
        // A launcher nobody can reach must not keep later ones from running.
        if (!server.listen(serverName))
#else
        if (!listenOnNewPipe())
#endif
            releaseLock();
        return true;
    case Lock::HeldElsewhere:
        break;
    }
#ifdef Q_OS_WIN
    releaseLock();
    return false; // it holds the lock but does not answer: still no second server
#else
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
#endif
}
