#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

class QFile;

namespace logscan {

class Decoder;

// Finds the first "Code:", one whitespace character and a number in text fed to it piece by
// piece, in code units of one width and byte order (the bytes of UTF-8, Latin-1 and other
// one-byte tables; UTF-16 and UTF-32 units; or decoded text as UTF-16). Only the units of
// the pattern are compared, so a unit that is not one of them never starts or continues a
// match: units never need decoding for the search itself.
class Matcher
{
public:
    // Consumes whole units from `data` up to the end of a found code, and returns how many
    // bytes it consumed: short of `size` when a code ended or a unit is cut by the end.
    qint64 feed(const char *data, qint64 size, int width, bool bigEndian);
    // A code whose digits ended with a non-digit: nothing later changes it.
    bool found() const { return state == kFound; }
    // Digits that ran to the end of what was fed: a longer number, or the code, once known.
    bool pending() const { return state == kDigits; }
    // Nothing of a match begun.
    bool idle() const { return state == 0; }
    const QString &digits() const { return number; }

private:
    static constexpr int kDigits = 7, kFound = 8;
    int state = 0; // 0-5: that much of "Code:" matched; 6: and a whitespace character
    QString number;
};

// Polls the log at one path again and again. Each poll answers with the first code of the
// whole file as it stands, the text decoded the way a default QTextStream decodes it
// (byte-order mark detection, the locale's codec otherwise), reading in bounded chunks and
// stopping at the first match. Digits running to the end of the file are not a code until a
// non-digit follows them or a later poll finds the file unchanged (a server may be half-way
// through writing the number); digits written right after them later, however much later,
// still belong to the number, and the answer becomes the whole of it. Where it can tell that
// the file was only appended to (the same file, not shorter, the first and last few KiB of
// what it read unchanged) it goes on where the last poll stopped, in every encoding: the
// matcher's state, and for a decoded codec the decoder itself, are kept between polls.
// Anything else reads the file from the start. A found code costs each later poll two small
// reads.
//
// Only the user's own regular files are opened, never through a link (nor a FIFO or a
// device, which could block). Each poll reads no further than the size the file had when it
// began, so a log that grows faster than it can be read still gets an answer; the next poll
// goes on from there. `cancelled` is looked at before each chunk.
class Poller
{
public:
    Poller();
    ~Poller();

    // Null when the file has no code yet, cannot be read, or `cancelled` was set.
    QString poll(const QString &path, const std::atomic<bool> &cancelled);
    // How many bytes of the log the last poll read: what the resume saves.
    qint64 lastPollRead() const { return lastRead; }

    struct Identity
    {
        quint64 volume = 0;
        quint64 index = 0;
        qint64 size = 0;
        qint64 modified = 0;
    };

private:
    bool unchangedSoFar(QFile &file, const Identity &now) const;
    void remember(QFile &file);

    bool known = false; // false: the next poll reads from the start
    Identity last;
    Matcher matcher;
    int width = 1; // of the units read, in bytes
    bool bigEndian = false;
    std::unique_ptr<Decoder> decoder; // for codecs whose bytes are not units
    qint64 fed = 0; // how far the answer depends on the file
    QByteArray head, tail; // the first and last few KiB up to fed
    qint64 lastRead = 0;
};

} // namespace logscan
