#include "logfile.h"

#include <QFile>
#include <QString>
#include <QTextCodec>

#include <cstdlib>

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logscan {

bool prepareLog(const QString &path)
{
    // A link there, or another account's file, would have the server write where somebody
    // else chose: it goes, and a log of the user's own takes its place (each server start
    // begins the log afresh anyway). Removing a name never touches what a link points to.
    const QByteArray name = QFile::encodeName(path);
    const auto foreign = [&name] {
        struct stat info;
        return ::lstat(name.constData(), &info) == 0
            && (S_ISLNK(info.st_mode) || info.st_uid != ::getuid());
    };
    if (foreign())
        ::unlink(name.constData());
    // The log shows the user's code: a new one is the user's alone, whatever the umask. One
    // that exists (the server's file too) is left as it is, and never opened here: a FIFO
    // there would block.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
    return !foreign(); // could not be replaced: no server rather than one writing there
}

bool openLog(const QString &path, QFile &file, Poller::Identity &identity)
{
    // Non-blocking: a FIFO put in the log's place must not hold the open up.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat about;
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
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
