#pragma once

#include "logscan.h"

class QFile;
class QString;
class QTextCodec;

// The server's log as a file of the platform: made for the server, and opened for a poll.
// The platform halves live in logfile_unix.cpp and logfile_win.cpp.
namespace logscan {

// The log as a server is given it.
struct ServerLog
{
    QString path; // empty: there is no log of the user's own to give, and so no server
    int descriptor = -1; // Unix: open on the log, for the server to inherit; the caller's
};

// Makes sure, before each server start, that a log of the user's own is at `path` for the
// server to write: creates a missing one readable by its owner alone, and puts a fresh one in
// the place of a link, another account's file or anything but a regular file. Where another
// account could swap the file behind the name before the server opens it (a home others can
// write in), the server is given the file itself: a descriptor open on it, which it inherits,
// and that descriptor's path (/proc/self/fd/N) in the place of `path`.
ServerLog prepareLog(const QString &path);

// Opens the user's own regular file for reading, never through a link, and tells which file
// it is, from the open handle so that the answer is about the file that is read. Never
// waits: a FIFO or a device there is not opened.
bool openLog(const QString &path, QFile &file, Poller::Identity &identity);

// The codec the user's locale writes text in, as a default QTextStream should read it.
QTextCodec *localeCodec();

// Whether `codec` is the system's own one-byte code page, which the locale's codec may be
// without a name of its own (Windows' ANSI code page).
bool isSystemByteTable(QTextCodec *codec);

} // namespace logscan
