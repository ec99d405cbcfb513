#include "logscan.h"

#include <QByteArray>
#include <QIODevice>
#include <QTextCodec>
#include <QTextStream>

#include <cstring>

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

// Scans chunk after chunk from `next` (empty at the end) for the first code. Works on bytes
// for codecs where every character of the pattern is the one ASCII byte of that value and no
// other sequence decodes to it, and on decoded text otherwise.
template <typename Text, typename Next>
QString scan(Text window, Next next)
{
    bool atEnd = false;
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
            QString digits;
            int i = space + 1;
            for (;;) {
                const int first = i;
                while (i < window.size() && isDigit(unit(window, i)))
                    ++i;
                for (int k = first; k < i; ++k)
                    digits.append(QChar(unit(window, k)));
                if (i < window.size() || atEnd)
                    return digits;
                // The number runs on past this chunk.
                window = next();
                atEnd = window.isEmpty();
                i = 0;
            }
        }
        if (atEnd)
            return QString();
        const Text chunk = next();
        if (chunk.isEmpty())
            atEnd = true;
        window = window.right(kCarry) + chunk;
    }
}

bool bytesAreText(const QTextCodec *codec)
{
    const int mib = codec ? codec->mibEnum() : 0;
    return mib == 106 /* UTF-8 */ || mib == 4 /* ISO-8859-1 */;
}

} // namespace

QString firstCode(QIODevice &device)
{
    const QByteArray head = device.read(kDetectBytes);
    if (head.isEmpty())
        return QString();

    const QTextCodec *codec = QTextCodec::codecForUtfText(head, QTextCodec::codecForLocale());
    if (bytesAreText(codec)) {
        return scan(head, [&device] { return device.read(kChunk); });
    }

    // Other encodings: let QTextStream decode, chunk by chunk, exactly as it would read all.
    if (!device.seek(0))
        return QString();
    QTextStream stream(&device);
    return scan(stream.read(kChunk), [&stream] { return stream.read(kChunk); });
}

} // namespace logscan
