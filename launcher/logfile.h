#pragma once

#include "logscan.h"

class QFile;
class QString;
class QTextCodec;

// The server's log as a file of the platform: made for the server, and opened for a poll.
// The platform halves live in logfile_unix.cpp and logfile_win.cpp.
namespace logscan {

// Makes sure a log of the user's own is at `path` for the server to write: creates a missing
// one readable by its owner alone. False when the path holds something the server must not
// write into and it could not be replaced.
bool prepareLog(const QString &path);

// Opens a regular file for reading and tells which file it is, from the open handle so that
// the answer is about the file that is read. Never waits: a FIFO or a device there is not
// opened.
bool openLog(const QString &path, QFile &file, Poller::Identity &identity);

// The codec the user's locale writes text in, as a default QTextStream should read it.
QTextCodec *localeCodec();

// Whether `codec` is the system's own one-byte code page, which the locale's codec may be
// without a name of its own (Windows' ANSI code page).
bool isSystemByteTable(QTextCodec *codec);

} // namespace logscan
