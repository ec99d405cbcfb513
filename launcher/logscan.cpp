#include "logscan.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTextCodec>
#include <QTextStream>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace logscan {
namespace {

constexpr int kChunk = 64 * 1024;
// QTextStream picks its codec from the first block it reads; the same size gives the same pick.
constexpr int kDetectBytes = 16 * 1024;
constexpr char kMarker[] = "Code:";
constexpr int kMarkerLength = 5;
// Shortest possible match: the marker, one whitespace character and one digit. A match that
// is cut by the end of a chunk starts within this many characters of that end.
constexpr int kCarry = kMarkerLength + 1;

// What "\s" and "[0-9]" match in a Perl-compatible pattern without Unicode properties.
bool isSpace(char16_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char16_t c) { return c >= '0' && c <= '9'; }

char16_t unit(const QByteArray &text, int i) { return static_cast<unsigned char>(text[i]); }
char16_t unit(const QString &text, int i) { return text[i].unicode(); }

int findMarker(const QByteArray &text, int from)
{
    const char *begin = text.constData();
    const char *end = begin + text.size();
    for (const char *p = begin + from; p + kMarkerLength <= end; ++p) {
        p = static_cast<const char *>(std::memchr(p, kMarker[0], end - p));
        if (!p || end - p < kMarkerLength)
            break;
        if (std::memcmp(p, kMarker, kMarkerLength) == 0)
            return int(p - begin);
    }
    return -1;
}

int findMarker(const QString &text, int from)
{
    return text.indexOf(QLatin1String(kMarker, kMarkerLength), from);
}

struct Match
{
    QString digits; // null when there is no code
    qint64 marker = -1; // where the code's "Code:" starts
    qint64 end = 0; // just past its last digit, or how far the scan read when there is none
    bool atEnd = false; // its digits run to the end of what could be read
};

// Scans chunk after chunk from `next` (empty at the end) for the first code; `base` is the
// offset of `window` in the whole text. Works on bytes for codecs where every character of
// the pattern is the one ASCII byte of that value and no other sequence decodes to it, and on
// decoded text otherwise (where the offsets count characters).
template <typename Text, typename Next>
Match scan(Text window, Next next, qint64 base = 0)
{
    bool atEnd = false;
    Match match;
    for (;;) {
        int from = 0;
        int marker;
        while ((marker = findMarker(window, from)) >= 0) {
            const int space = marker + kMarkerLength;
            if (space + 1 >= window.size())
                break; // cut by the chunk's end: the carry keeps it for the next round
            if (!isSpace(unit(window, space)) || !isDigit(unit(window, space + 1))) {
                from = marker + 1;
                continue;
            }
            match.marker = base + marker;
            int i = space + 1;
            for (;;) {
                const int first = i;
                while (i < window.size() && isDigit(unit(window, i)))
                    ++i;
                for (int k = first; k < i; ++k)
                    match.digits.append(QChar(unit(window, k)));
                if (i < window.size() || atEnd) {
                    match.end = base + i;
                    match.atEnd = i == window.size();
                    return match;
                }
                // The number runs on past this chunk.
                base += window.size();
                window = next();
                atEnd = window.isEmpty();
                i = 0;
            }
        }
        if (atEnd) {
            match.end = base + window.size();
            return match;
        }
        const Text chunk = next();
        if (chunk.isEmpty())
            atEnd = true;
        const int kept = std::min<int>(kCarry, window.size());
        base += window.size() - kept;
        window = window.right(kept) + chunk;
    }
}

bool bytesAreText(const QTextCodec *codec)
{
    const int mib = codec ? codec->mibEnum() : 0;
#ifdef Q_OS_WIN
    // The locale's codec on Windows is the "System" one (the ANSI code page, mib 0). Where that
    // page has one byte per character, or is UTF-8, ASCII bytes are the ASCII characters and
    // no other byte decodes to one: bytes again, so that the poll can resume.
    if (codec && mib == 0 && codec == QTextCodec::codecForLocale()) {
        CPINFO page;
        const UINT acp = ::GetACP();
        if (acp == CP_UTF8 || (::GetCPInfo(acp, &page) && page.MaxCharSize == 1))
            return true;
    }
#endif
    return mib == 106 /* UTF-8 */ || mib == 4 /* ISO-8859-1 */;
}

// A log file that counts the bytes read from it.
class CountingFile : public QFile
{
public:
    qint64 bytesRead = 0;

protected:
    qint64 readData(char *data, qint64 size) override
    {
        const qint64 got = QFile::readData(data, size);
        bytesRead += std::max<qint64>(got, 0);
        return got;
    }
};

// How much of the start and of the end of what a poll read the next poll compares.
constexpr int kPrint = 4096;

// Opens a regular file for reading and tells which file it is, from the open handle so that
// the answer is about the file that is read.
bool openLog(const QString &path, QFile &file, Poller::Identity &identity)
{
#if defined(Q_OS_UNIX)
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
#elif defined(Q_OS_WIN)
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
#else
    if (!QFileInfo(path).isFile())
        return false;
    file.setFileName(path);
    identity = Poller::Identity(); // unknown: every poll reads from the start
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
#endif
}

QByteArray readAt(QFile &file, qint64 offset, qint64 size)
{
    return file.seek(offset) ? file.read(size) : QByteArray();
}

} // namespace

QString Poller::poll(const QString &path, const std::atomic<bool> &cancelled)
{
    CountingFile file;
    struct Tally
    {
        qint64 &total;
        const CountingFile &file;
        ~Tally() { total = file.bytesRead; }
    } tally{lastRead, file};
    Identity now;
    if (!openLog(path, file, now)) {
        known = false;
        return QString();
    }
    const qint64 limit = now.size;
    const auto next = [&file, &cancelled, limit] {
        const qint64 left = limit - file.pos();
        return left > 0 && !cancelled ? file.read(std::min<qint64>(left, kChunk)) : QByteArray();
    };
    const auto accept = [&](const Match &match) {
        known = true;
        last = now;
        digits = match.digits;
        marker = match.marker;
        // A code's digits end at the character after them, which is part of the answer then.
        readEnd = digits.isNull() || match.atEnd ? match.end : match.end + 1;
        remember(file);
        return digits;
    };

    // From the code found last time, or from just before where the last poll stopped (a
    // code may have been cut there).
    if (unchangedSoFar(file, now)) {
        const qint64 from = digits.isNull() ? std::max<qint64>(0, readEnd - kCarry) : marker;
        if (file.seek(from)) {
            const Match match = scan(next(), next, from);
            if (!cancelled && (digits.isNull() || match.marker == marker))
                return accept(match);
        }
    }

    known = false;
    if (!file.seek(0))
        return QString();
    const QByteArray start = next();
    const QTextCodec *codec = QTextCodec::codecForUtfText(start, QTextCodec::codecForLocale());
    if (!bytesAreText(codec)) {
        // Decoded text has no byte offsets to go on from: read it all each time.
        return file.seek(0) ? firstCode(file) : QString();
    }
    const Match match = scan(start, next);
    if (cancelled)
        return QString();
    return accept(match);
}

bool Poller::unchangedSoFar(QFile &file, const Identity &now) const
{
    // The same size with a new time is a rewrite in place. The first bytes decide the
    // decoding, so too short a start could still turn into a byte-order mark.
    return known && now.volume == last.volume && now.index == last.index
        && now.size >= readEnd && (now.size != last.size || now.modified == last.modified)
        && readEnd >= 4 && readAt(file, 0, head.size()) == head
        && readAt(file, readEnd - tail.size(), tail.size()) == tail;
}

void Poller::remember(QFile &file)
{
    head = readAt(file, 0, std::min<qint64>(kPrint, readEnd));
    tail = readAt(file, std::max<qint64>(0, readEnd - kPrint), std::min<qint64>(kPrint, readEnd));
    if (head.size() != std::min<qint64>(kPrint, readEnd) || tail.size() != head.size())
        known = false; // shrunk meanwhile
}

QString firstCode(QIODevice &device)
{
    const QByteArray head = device.read(kDetectBytes);
    if (head.isEmpty())
        return QString();

    const QTextCodec *codec = QTextCodec::codecForUtfText(head, QTextCodec::codecForLocale());
    if (bytesAreText(codec)) {
        return scan(head, [&device] { return device.read(kChunk); }).digits;
    }

    // Other encodings: let QTextStream decode, chunk by chunk, exactly as it would read all.
    if (!device.seek(0))
        return QString();
    QTextStream stream(&device);
    return scan(stream.read(kChunk), [&stream] { return stream.read(kChunk); }).digits;
}

} // namespace logscan
