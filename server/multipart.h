#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Every decision about the bytes of an upload body, made without a socket: the boundary,
// the first part's header, the file name, and where the part's content ends.
namespace Multipart {

// The boundary parameter of a "multipart/form-data" Content-Type value, quoted or not;
// empty when the type is another, or the boundary is missing or not a valid one
// (1 to 70 of the characters a boundary may hold, not ending in a blank).
QByteArray boundary(QByteArrayView contentType);

// What ends a part's content: CR LF, two hyphens and the boundary.
QByteArray delimiter(QByteArrayView boundary);

enum class Status {
    // No end of the part header yet, within Limits::MaxPartHead.
    Incomplete,
    Complete,
    // No boundary line where one must be, a malformed header line, a body that closes
    // before its first part, or beyond Limits::MaxPartHead.
    Bad
};

struct PartHead
{
    // The header values as sent, trimmed.
    QByteArray disposition;
    QByteArray contentType;
};

struct PartHeadResult
{
    Status status = Status::Incomplete;
    PartHead head;
    // Bytes up to and including the empty line that ends the part header; 0 unless
    // Complete. The part's content starts here.
    qsizetype size = 0;
};

/*!
 * Parses the start of a multipart body (all bytes received so far) up to the end of
 * the first part's header. A preamble before the first boundary line is skipped; lines
 * may end in CR LF or a bare LF; header names are matched without regard to case.
 */
PartHeadResult parsePartHead(QByteArrayView body, QByteArrayView boundary);

/*!
 * The file name of a Content-Disposition value, decoded: "filename*" (UTF-8 or
 * ISO-8859-1, percent-escaped) when present, else "filename", quoted or not. Browsers
 * write a double quote inside the name as "%22", some other clients as a backslash and
 * the quote; both are read back as the quote. Any other backslash is kept, since old
 * browsers send whole Windows paths. The bytes are read as UTF-8, or as Latin-1 when they
 * are not valid UTF-8. Nothing when the value names no file.
 */
std::optional<QString> fileName(QByteArrayView disposition);

/*!
 * The name under which an upload is stored in the download folder: the last path
 * component of \a name ("/" and "\" both separate). Nothing for a name that is empty
 * after that, starts with a dot, holds a control character, or is longer than a file
 * name may be.
 */
std::optional<QString> storedName(const QString &name);

struct Scan
{
    // Bytes at the start of the data that surely belong to the part's content.
    qsizetype content = 0;
    // The delimiter starts right after them.
    bool found = false;
};

/*!
 * Where the part's content ends in \a data: before the first delimiter, or, when the
 * data holds none, before its longest tail that could be the start of one (those bytes
 * are decided once more data has come; the caller keeps them in front of it).
 */
Scan scan(QByteArrayView data, QByteArrayView delimiter);

} // namespace Multipart
