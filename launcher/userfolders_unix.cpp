#include "userfolders.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A directory of this user's alone. A link in the variable's value is the user's own doing
// and followed.
bool isPrivate(const QByteArray &path)
{
    struct stat info;
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode)
           && info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
}

} // namespace

QString homeDirectory()
{
    // HOME only when it is a directory of this user's: `su` without "-" leaves the other
    // account's, whose owner could then have the log written through a link of hers. Without
    // it Qt would answer "/", which is nobody's home.
    const QByteArray variable = qgetenv("HOME");
    struct stat info;
    if (variable.startsWith('/') && ::stat(variable.constData(), &info) == 0
        && S_ISDIR(info.st_mode) && info.st_uid == ::getuid())
        return QDir::cleanPath(QFile::decodeName(variable));
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? size_t(suggested) : 16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found
        || !found->pw_dir || !*found->pw_dir)
        return QString();
    return QDir::cleanPath(QFile::decodeName(found->pw_dir));
}

QString privateFolder()
{
    // Checked here rather than by QStandardPaths, which falls back to a name in /tmp that
    // anyone can take first.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && isPrivate(runtime))
        return QDir::cleanPath(QFile::decodeName(runtime));
    const QString home = homeDirectory();
    if (home.isEmpty())
        return QString();
    const QString folder = QDir::cleanPath(home + QStringLiteral("/.ludovane-launcher"));
    const QByteArray path = QFile::encodeName(folder);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ::mkdir(path.constData(), 0700);
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info;
        const bool own = fd >= 0 && ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid();
        // A folder of the user's that others could write in is closed to them: whatever
        // they left at the launcher's names in it goes before it is used.
        const bool closed = own && ((info.st_mode & 07777) == 0700 || ::fchmod(fd, 0700) == 0);
        if (fd >= 0)
            ::close(fd);
        if (closed)
            return folder;
        // In a home others can write, another account may have been first at the name:
        // what is there makes way, unopened, and a non-empty folder is moved aside whole.
        struct stat there;
        if (::lstat(path.constData(), &there) != 0)
            continue;
        if (!S_ISDIR(there.st_mode) ? ::unlink(path.constData()) == 0
                                    : ::rmdir(path.constData()) == 0)
            continue;
        const QByteArray aside =
            path + '.' + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        ::rename(path.constData(), aside.constData());
    }
    return QString();
}
