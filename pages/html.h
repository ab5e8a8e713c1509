#pragma once

#include <QByteArray>
#include <QByteArrayView>
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

// The page for a request that named another site than this server: where it is reached.
QByteArray wrongHostPage(const QString &address);
// The page for a form that a page of another site sent: nothing was done.
QByteArray crossSitePage();

// The body of the not-found page, naming the request path and the file looked for;
// both are escaped, since the path comes from the request.
QByteArray notFoundPage(const QString &requestPath, const QString &filePath);

// The link to a file of a listing: the whole UTF-8 name percent-encoded, so "#", "?"
// and "%" stay part of the name and a ":" cannot make it look like a scheme.
QByteArray nameLink(const QByteArray &utf8Name);
// A file-system path in link form: percent-encoded but for its slashes.
QByteArray pathLink(const QByteArray &path);
// The link to an image of the install folder's image directory.
QByteArray iconLink(const char *file);

/*!
 * The cell of a listing for a file of this name and size: a link to the file by its name's
 * bytes, the picture at \a picture (in link form) when it is not null, the name as \a text
 * (UTF-8; the name itself when it is valid UTF-8) and "Size=" (\a label, as translated)
 * with the size in bytes. writeCell() writes at most cellBound() bytes for a name of
 * nameSize bytes.
 */
qsizetype cellBound(qsizetype nameSize, qsizetype labelSize, qsizetype pictureSize = 0);
char *writeCell(char *out, QByteArrayView name, QByteArrayView text, qint64 size, const QByteArray &label,
                const QByteArray &picture = QByteArray());
void appendCell(QByteArray &out, QByteArrayView name, QByteArrayView text, qint64 size,
                const QByteArray &picture, const QByteArray &label);

// A size in the units the upload page shows: "999 bytes", "1.3 KB", "12 MB" up to "TB", in
// steps of 1000, with one decimal below 10 of a unit, rounded half up.
QByteArray humanSize(qint64 bytes);

/*!
 * The entry of the listing for phones: a list item that links to the file exactly as a cell
 * does, with the picture at \a picture when it is not null, the name as \a text, the size
 * in units and the modification date in local time. The exact size and the time in seconds
 * are kept for sorting.
 */
void appendEntry(QByteArray &out, QByteArrayView name, QByteArrayView text, qint64 size, qint64 modifiedMs,
                 const QByteArray &picture);

} // namespace Html
