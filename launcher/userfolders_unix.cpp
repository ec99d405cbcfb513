#include "userfolders.h"

#include <QDir>
#include <QFile>

#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A directory of this user's alone. A link in the variable's value is the user's own doing
// and followed; the launcher's own folder must be the directory itself.
bool isPrivate(const QByteArray &path, bool followLink)
{
    struct stat info;
    const int got = followLink ? ::stat(path.constData(), &info)
                               : ::lstat(path.constData(), &info);
    return got == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & 07777) == 0700;
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
    if (runtime.startsWith('/') && isPrivate(runtime, true))
        return QDir::cleanPath(QFile::decodeName(runtime));
    const QString home = homeDirectory();
    if (home.isEmpty())
        return QString();
    // Nobody else can write in the home, so nobody else can have made this first.
    const QString folder = QDir::cleanPath(home + QStringLiteral("/.ludovane-launcher"));
    const QByteArray path = QFile::encodeName(folder);
    ::mkdir(path.constData(), 0700);
    return isPrivate(path, false) ? folder : QString();
}
