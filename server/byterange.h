#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// Which bytes of a file a Range request asks for. One range is served; a value the server
// need not honour is answered with the whole file, as if no range had been asked for.
namespace ByteRange {

enum class Kind {
    // The whole file: no range, or one the server ignores.
    Whole,
    // The bytes from first, length of them (at least one).
    Part,
    // No byte of the file: answered "416" with the file's size.
    Unsatisfiable
};

struct Answer
{
    Kind kind = Kind::Whole;
    qint64 first = 0;
    qint64 length = 0;
};

/*!
    The answer to the Range value \a value for a file of \a size bytes: "bytes=FIRST-LAST",
    "bytes=FIRST-" or "bytes=-SUFFIX", the unit in any letter case, blanks around the range
    and empty list items allowed. A LAST beyond the file ends at its last byte, a SUFFIX
    longer than the file is all of it, and a number too large for 64 bits counts as beyond
    any file. Another unit, bad syntax, LAST before FIRST, more than one range, or a
    SUFFIX of an empty file give Whole; a FIRST at or beyond the end, or a SUFFIX of 0,
    give Unsatisfiable.
*/
Answer resolve(QByteArrayView value, qint64 size);

// The Content-Range value: "bytes FIRST-LAST/SIZE" for a part, "bytes */SIZE" for
// Unsatisfiable.
QByteArray contentRange(const Answer &answer, qint64 size);

} // namespace ByteRange
