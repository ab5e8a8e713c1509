#pragma once

#include <QByteArray>
#include <QString>

// Text placed into the server's HTML pages.
namespace Html {

// \a text as UTF-8 with & < > " ' written as entities, safe in element text and in
// quoted attribute values.
QByteArray escape(const QString &text);

// The most bytes escaping makes of one byte ("&quot;").
constexpr qsizetype MaxEscapedBytes = 6;

// Writes the escaped text of the \a size UTF-8 bytes at \a utf8 to \a out, which has room for
// MaxEscapedBytes per byte, and returns the end of what it wrote. For pages built in
// one buffer without a QByteArray per piece.
char *writeEscapedUtf8(const char *utf8, qsizetype size, char *out);

// The same for the pages sent without a charset: Latin-1, "?" for other characters.
QByteArray escapeLatin1(const QString &text);

// The body of the not-found page, naming the request path and the file looked for;
// both are escaped, since the path comes from the request.
QByteArray notFoundPage(const QString &requestPath, const QString &filePath);

} // namespace Html
