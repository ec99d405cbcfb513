#include "logfile.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTextCodec>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logscan {
namespace {

// Whether another account could swap what a name in `folder` leads to: the folder can be
// written by others, or a folder above it can (a sticky one, such as /tmp, lets them take
// only what is theirs), or one of them is another account's.
bool othersCanSwap(const QString &folder)
{
    QString path = QFileInfo(folder).canonicalFilePath();
    if (path.isEmpty())
        return true;
    for (bool first = true;; first = false) {
        struct stat info;
        if (::stat(QFile::encodeName(path).constData(), &info) != 0
            || (info.st_uid != 0 && info.st_uid != ::geteuid())
            || ((info.st_mode & (S_IWGRP | S_IWOTH)) && (first || !(info.st_mode & S_ISVTX))))
            return true;
        if (path == QLatin1String("/"))
            return false;
        path = QFileInfo(path).path();
    }
}

// Opened without following a link or waiting on a FIFO, and only when it is a regular file of
// this user's that has no other name (a file of the user's linked in by someone else could
// be any of the user's files); -1 otherwise.
int openOwnFile(const QByteArray &name, int flags)
{
    const int fd = ::open(name.constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags, 0600);
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
        && info.st_nlink == 1)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace

ServerLog prepareLog(const QString &path)
{
    // A link there, another account's file, or anything else but the user's own log, would
    // have the server write where somebody else chose: it goes, never opened for writing,
    // and a fresh log of the user's own takes its place (each server start begins the log
    // afresh anyway). Removing a name never touches what a link points to. An existing log
    // of the user's is kept as it is.
    const QByteArray name = QFile::encodeName(path);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = openOwnFile(name, O_CREAT | O_EXCL);
        if (fd >= 0) {
            ::fchmod(fd, 0600); // the user's alone, whatever the umask
        } else if (errno == EEXIST) {
            fd = openOwnFile(name, 0);
            if (fd < 0) {
                if (::unlink(name.constData()) != 0 && errno != ENOENT)
                    break;
                continue;
            }
        } else {
            // Not even a log can be made there (no such folder, one not the user's to write
            // in): the server finds the same, and nothing of anybody else's is at the name.
            struct stat there;
            if (::lstat(name.constData(), &there) != 0 && errno == ENOENT)
                return {path};
            break;
        }
        if (!othersCanSwap(QFileInfo(path).path())) {
            ::close(fd);
            return {path};
        }
        return {QStringLiteral("/proc/self/fd/%1").arg(fd), fd};
    }
    return {}; // no server rather than one writing where somebody else chose
}

bool openLog(const QString &path, QFile &file, Poller::Identity &identity)
{
    // Non-blocking: a FIFO put in the log's place must not hold the open up.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat about;
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode) || about.st_uid != ::geteuid()) {
        ::close(fd);
        return false;
    }
    identity.volume = quint64(about.st_dev);
    identity.index = quint64(about.st_ino);
    identity.size = qint64(about.st_size);
    identity.modified = qint64(about.st_mtim.tv_sec) * 1000000000 + about.st_mtim.tv_nsec;
    return file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
}

QTextCodec *localeCodec()
{
    // Qt built with ICU, as Debian's is, answers UTF-8 whatever the locale (ICU hard-wires it
    // on Linux). Under a double-byte locale such as ja_JP.SJIS or zh_CN.GB18030 a server
    // writes that codec, whose second bytes include ASCII letters: the C library knows it.
    QTextCodec *qt = QTextCodec::codecForLocale();
    if (qt->mibEnum() != 106 || MB_CUR_MAX == 1)
        return qt;
    QTextCodec *system = QTextCodec::codecForName(::nl_langinfo(CODESET));
    return system ? system : qt;
}

bool isSystemByteTable(QTextCodec *)
{
    return false; // the locale's codec always has a name of its own here
}

} // namespace logscan
