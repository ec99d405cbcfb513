#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

class QFile;
class QIODevice;

namespace logscan {

// The digits of the first "Code:", one whitespace character and a number in the text that
// `device` holds, decoded the way a default QTextStream decodes it (locale codec, byte-order
// mark detection). Returns a null string when the text has no such code.
//
// Unlike reading the whole text and searching it, this reads in bounded chunks and stops at
// the first match, so a large log costs little memory and a code near the top costs little
// time. The device must be open for reading and positioned at its start.
QString firstCode(QIODevice &device);

// Polls the log at one path again and again. Each poll answers what firstCode would answer
// for the whole file at that moment, but reads only what changed where it can tell that the
// file was only appended to: the same file (identity), not shorter, and the first and last
// few KiB of what was read before unchanged. After a found code it starts at that code;
// after none, where the last poll stopped. Anything else reads the file from the start.
//
// Only regular files are opened (never a FIFO or a device, which could block). Each poll
// reads no further than the size the file had when it began, so a log that grows faster
// than it can be read still gets an answer; the next poll goes on from there.
class Poller
{
public:
    // Null when the file has no code, cannot be read, or `cancelled` was set during the poll.
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
    QString digits; // the code found, or null
    qint64 marker = -1; // where that code starts
    qint64 readEnd = 0; // how far the answer depends on the file
    QByteArray head, tail; // the first and last few KiB up to readEnd
    qint64 lastRead = 0;
};

} // namespace logscan
