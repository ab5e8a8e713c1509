#pragma once

#include <QByteArray>
#include <QString>

// The type and the download name announced for a file, chosen by its name alone.
namespace ContentType {

struct Entry
{
    // Empty: the answer carries no Content-Type line.
    QByteArray type;
    // Whether the answer carries an attachment line; every file but an HTML page does.
    bool attachment;
};

// By the suffix after the last "." of the name, in any letter case.
Entry forFileName(const QString &fileName);

/*!
 * The whole Content-Disposition line, CR LF included, starting with
 * Http::AttachmentPrefix. It names the file (its whole name, suffix included) twice: quoted in Latin-1, where
 * other characters become "?" and quotes, backslashes and control characters become "_", and as
 * percent-encoded UTF-8 in a filename* parameter for the browsers that can save any name.
 */
QByteArray attachmentLine(const QString &fileName);

} // namespace ContentType
