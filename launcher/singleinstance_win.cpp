#include "singleinstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QThread>

#include <cctype>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <sddl.h>

namespace {

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

} // namespace

QByteArray accountIdentity()
{
    return userIdentity().toUtf8();
}

void SingleInstance::useFolder(const QString &folder, const QString &key)
{
    if (!folder.isEmpty())
        lockPath = folder + QLatin1Char('/') + key + QStringLiteral(".lock");
}

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
    const int prefix = int(qstrlen(instanceNamePrefix));
    const int end = content.indexOf('\n');
    const QByteArray name = content.left(end);
    if (end != prefix + 2 * kPipeRandomBytes || !name.startsWith(instanceNamePrefix))
        return QString();
    for (char c : name.mid(prefix))
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
bool SingleInstance::listen()
{
    if (!publishPipe(lockHandle, QByteArray())) // no stale name while this one starts
        return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        QByteArray random(kPipeRandomBytes, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()),
                                              kPipeRandomBytes / 4);
        const QString name = QString::fromLatin1(QByteArray(instanceNamePrefix) + random.toHex());
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

