#include "logscan.h"
#include "logfile.h"

#include <QByteArray>
#include <QFile>
#include <QSysInfo>
#include <QTextCodec>
#include <QTextDecoder>

#include <algorithm>
#include <cstring>
#include <iterator>


namespace logscan {
namespace {

constexpr int kChunk = 64 * 1024;
constexpr char kMarker[] = "Code:";
constexpr size_t kMarkerLength = sizeof kMarker - 1;
// How much of the start and of the end of what a poll read the next poll compares.
constexpr int kPrint = 4096;
// The byte-order mark decides the codec, and it is at most this long.
constexpr int kDetectBytes = 4;

// What "\s" and "[0-9]" match in a Perl-compatible pattern without Unicode properties: not
// NEL (U+0085) nor the no-break space (U+00A0).
bool isSpace(char32_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char32_t c) { return c >= '0' && c <= '9'; }
bool inPattern(char32_t c)
{
    return isSpace(c) || isDigit(c) || (c < 128 && c && std::strchr(kMarker, int(c)));
}

char32_t unitAt(const uchar *p, int width, bool bigEndian)
{
    if (width == 1)
        return *p;
    if (width == 2)
        return bigEndian ? char32_t(p[0] << 8 | p[1]) : char32_t(p[1] << 8 | p[0]);
    return bigEndian ? char32_t(p[0]) << 24 | char32_t(p[1]) << 16 | char32_t(p[2]) << 8 | p[3]
                     : char32_t(p[3]) << 24 | char32_t(p[2]) << 16 | char32_t(p[1]) << 8 | p[0];
}

// The first unit that is "C" in [p, end), both at unit boundaries; null when there is none.
// memchr finds the byte at the speed of reading the memory, zeros included.
const uchar *findC(const uchar *p, const uchar *end, int width, bool bigEndian)
{
    const int low = bigEndian ? width - 1 : 0; // where the byte that can be 'C' sits in a unit
    for (const uchar *q = p + low; q < end; ++q) {
        q = static_cast<const uchar *>(std::memchr(q, 'C', size_t(end - q)));
        if (!q)
            return nullptr;
        const uchar *unit = q - low;
        if ((unit - p) % width == 0 && unitAt(unit, width, bigEndian) == 'C')
            return unit;
    }
    return nullptr;
}

// Codecs that map each byte to one character on its own, whatever came before it.
bool isByteTable(QTextCodec *codec)
{
    const int mib = codec->mibEnum();
    if (mib == 106 /* UTF-8 */ || mib == 4 /* ISO-8859-1 */)
        return true;
    const bool systemTable = isSystemByteTable(codec);
    // ISO-8859-2 to -16, KOI8-R and -U, IBM 850 and 866, Macintosh, Windows-1250 to -1258,
    // TIS-620: tables, unlike Shift_JIS or GBK (whose second bytes include letters) and
    // ISO-2022-JP (whose escapes make letters of the bytes after them).
    static const int tables[] = {5,    6,    7,    8,    9,    10,   11,   12,   13,
                                 109,  110,  111,  112,  2084, 2088, 2009, 2086, 2027,
                                 2250, 2251, 2252, 2253, 2254, 2255, 2256, 2257, 2258, 2259};
    if (!systemTable && std::find(std::begin(tables), std::end(tables), mib) == std::end(tables))
        return false;
    // And each byte is the character of the pattern it looks like, and no other byte is one.
    char bytes[256];
    for (int byte = 0; byte < 256; ++byte)
        bytes[byte] = char(byte);
    const QString decoded = codec->toUnicode(bytes, 256);
    if (decoded.size() != 256)
        return false;
    for (int byte = 0; byte < 256; ++byte) {
        if (byte < 128 ? decoded[byte].unicode() != byte : inPattern(decoded[byte].unicode()))
            return false;
    }
    return true;
}

// How a text starting with `start` is read: in units of a width and byte order, or decoded.
struct Encoding
{
    int width = 1;
    bool bigEndian = false;
    QTextCodec *decoded = nullptr; // set: decode with it, then search UTF-16
};

Encoding encodingOf(const QByteArray &start)
{
    // As a default QTextStream picks: a byte-order mark, otherwise the locale's codec.
    QTextCodec *locale = localeCodec();
    QTextCodec *codec = QTextCodec::codecForUtfText(start, locale);
    Encoding encoding;
    const int mib = codec->mibEnum();
    if (codec != locale && mib >= 1013 && mib <= 1015) {
        encoding.width = 2; // UTF-16: a unit of a pattern character is that character
        encoding.bigEndian = start.startsWith("\xFE\xFF");
    } else if (codec != locale && mib >= 1017 && mib <= 1019) {
        encoding.width = 4;
        encoding.bigEndian = start.startsWith(QByteArray("\0\0\xFE\xFF", 4));
    } else if (codec == locale && !isByteTable(codec)) {
        encoding.decoded = codec;
    }
    return encoding;
}

// A log file that adds the bytes read from it to a count.
class CountingFile : public QFile
{
public:
    explicit CountingFile(qint64 &count)
        : count(count)
    {
    }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        const qint64 got = QFile::readData(data, size);
        count += std::max<qint64>(got, 0);
        return got;
    }

private:
    qint64 &count;
};

QByteArray readAt(QFile &file, qint64 offset, qint64 size)
{
    return file.seek(offset) ? file.read(size) : QByteArray();
}

} // namespace

// Text in a codec whose bytes are not its units (Shift_JIS, GBK, ISO-2022-JP), through a
// decoder that keeps what a character or a shift state cut by a chunk's end needs, so that
// reading goes on from any byte.
class Decoder
{
public:
    explicit Decoder(QTextCodec *codec)
        : codec(codec)
        , decoder(codec->makeDecoder())
    {
        // Codecs without shift states whose characters of several bytes never hold a newline
        // byte and never decode to ASCII: every ASCII character is its own byte.
        static const int lineSafe[] = {17 /* Shift_JIS */, 18 /* EUC-JP */, 38 /* EUC-KR */,
                                       113 /* GBK */,      114 /* GB18030 */,
                                       2026 /* Big5 */,   2101 /* Big5-HKSCS */};
        skipsLines = std::find(std::begin(lineSafe), std::end(lineSafe), codec->mibEnum())
                  != std::end(lineSafe);
    }

    void feed(Matcher &matcher, const QByteArray &chunk)
    {
        int from = 0;
        if (skipsLines && matcher.idle()) {
            // In these codecs "Code:" in the text is those bytes, and decoding starts afresh
            // after a newline byte: lines before the first such bytes need no decoding.
            const char *begin = chunk.constData();
            const char *end = begin + chunk.size();
            const char *c = begin;
            while ((c = static_cast<const char *>(std::memchr(c, 'C', size_t(end - c))))
                   && std::memcmp(c, kMarker, std::min(size_t(end - c), kMarkerLength)) != 0)
                ++c; // bytes cut by the chunk's end count too
            const int newline = chunk.lastIndexOf('\n', c ? int(c - begin) : -1);
            if (newline >= 0) {
                decoder.reset(codec->makeDecoder());
                from = newline + 1;
            }
        }
        const QString text = decoder->toUnicode(chunk.constData() + from, chunk.size() - from);
        matcher.feed(reinterpret_cast<const char *>(text.utf16()), qint64(text.size()) * 2, 2,
                     QSysInfo::ByteOrder == QSysInfo::BigEndian);
    }

private:
    QTextCodec *codec;
    std::unique_ptr<QTextDecoder> decoder;
    bool skipsLines = false;
};

qint64 Matcher::feed(const char *data, qint64 size, int width, bool bigEndian)
{
    const auto *begin = reinterpret_cast<const uchar *>(data);
    const uchar *end = begin + (size - size % width);
    const uchar *p = begin;
    while (p < end && state != kFound) {
        if (state == 0) {
            p = findC(p, end, width, bigEndian);
            if (!p)
                return end - begin;
            state = 1;
            p += width;
            continue;
        }
        // A unit that breaks a match is looked at again from the start: it may be a "C".
        const char32_t c = unitAt(p, width, bigEndian);
        if (state < 5) {
            if (c != char32_t(kMarker[state])) {
                state = 0;
                continue;
            }
            ++state;
        } else if (state == 5) {
            if (!isSpace(c)) {
                state = 0;
                continue;
            }
            state = 6;
        } else if (isDigit(c)) {
            state = kDigits;
            number.append(QLatin1Char(char(c)));
        } else if (state == 6) {
            state = 0;
            continue;
        } else {
            state = kFound;
        }
        p += width;
    }
    return p - begin;
}

Poller::Poller() = default;
Poller::~Poller() = default;

QString Poller::poll(const QString &path, const std::atomic<bool> &cancelled)
{
    lastRead = 0;
    CountingFile file(lastRead);
    Identity now;
    if (!openLog(path, file, now)) {
        known = false;
        return QString();
    }
    // Digits that ran to the end of the file at the last poll, with nothing written since:
    // the number as it stands, until more digits follow.
    bool quiet = false;
    if (!unchangedSoFar(file, now)) {
        matcher = Matcher();
        fed = 0;
        const Encoding encoding = encodingOf(readAt(file, 0, std::min<qint64>(kDetectBytes, now.size)));
        width = encoding.width;
        bigEndian = encoding.bigEndian;
        decoder.reset(encoding.decoded ? new Decoder(encoding.decoded) : nullptr);
    } else {
        quiet = matcher.pending() && now.size == last.size && now.modified == last.modified;
    }

    known = false; // until this poll is through
    if (!file.seek(fed))
        return QString();
    while (!matcher.found() && fed < now.size) {
        if (cancelled)
            return QString();
        const QByteArray chunk = file.read(std::min<qint64>(kChunk, now.size - fed));
        if (chunk.isEmpty())
            break;
        if (decoder) {
            decoder->feed(matcher, chunk);
            fed += chunk.size();
        } else {
            const qint64 used = matcher.feed(chunk.constData(), chunk.size(), width, bigEndian);
            fed += used;
            if (used < chunk.size())
                break; // the code's end, or a unit cut by the file's end: read again later
        }
    }
    known = true;
    last = now;
    remember(file);
    return matcher.found() || quiet ? matcher.digits() : QString();
}

bool Poller::unchangedSoFar(QFile &file, const Identity &now) const
{
    // The same size with a new time is a rewrite in place. The first bytes decide the
    // decoding, so too short a start could still turn into a byte-order mark.
    return known && now.volume == last.volume && now.index == last.index && now.size >= fed
        && (now.size != last.size || now.modified == last.modified) && fed >= kDetectBytes
        && readAt(file, 0, head.size()) == head && readAt(file, fed - tail.size(), tail.size()) == tail;
}

void Poller::remember(QFile &file)
{
    const qint64 size = std::min<qint64>(kPrint, fed);
    head = readAt(file, 0, size);
    tail = readAt(file, fed - size, size);
    if (head.size() != size || tail.size() != size)
        known = false; // shrunk meanwhile
}

} // namespace logscan
