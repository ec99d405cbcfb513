#pragma once

#include <QString>

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

} // namespace logscan
