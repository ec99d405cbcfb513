#include "logfile.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTextCodec>

#include <fcntl.h>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace logscan {

ServerLog prepareLog(const QString &path)
{
    // Read-write creates a missing log and leaves an existing one as it is. The profile
    // folder's access list keeps it the user's.
    QFile file(path);
    if (file.open(QIODevice::ReadWrite))
        file.close();
    return {path};
}

bool openLog(const QString &path, QFile &file, Poller::Identity &identity)
{
    // Sharing delete too, so that the server can replace its log while a poll reads it.
    const HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(
                                            QDir::toNativeSeparators(path).utf16()),
                                        GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION about;
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &about)
        || (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(handle);
        return false;
    }
    identity.volume = about.dwVolumeSerialNumber;
    identity.index = (quint64(about.nFileIndexHigh) << 32) | about.nFileIndexLow;
    identity.size = qint64((quint64(about.nFileSizeHigh) << 32) | about.nFileSizeLow);
    identity.modified = qint64((quint64(about.ftLastWriteTime.dwHighDateTime) << 32)
                               | about.ftLastWriteTime.dwLowDateTime);
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return false;
    }
    return file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
}

QTextCodec *localeCodec()
{
    return QTextCodec::codecForLocale(); // the ANSI code page, double-byte ones included
}

bool isSystemByteTable(QTextCodec *codec)
{
    // The locale's codec on Windows is the "System" one (mib 0), the ANSI code page: with one
    // byte per character it may be a table too, which the caller's check tells.
    CPINFO page;
    return codec->mibEnum() == 0 && codec == QTextCodec::codecForLocale()
        && ::GetCPInfo(CP_ACP, &page) && page.MaxCharSize == 1;
}

} // namespace logscan
