#pragma once

#include <QByteArray>
#include <QString>

// The type and the download name announced for a file, chosen by its name alone.
namespace ContentType {

struct Entry
{
    // Empty: the answer carries no Content-Type line.
    QByteArray type;
    // Whether the answer carries an attachment line; every file but an HTML page does,
    // unless it opens in the browser.
    bool attachment;
    // The file opens in the browser, which must take it for the type it is sent as.
    bool shown = false;
};

/*!
 * By the suffix after the last "." of the name, in any letter case. With \a inBrowser,
 * the pictures, PDF, plain text, audio and video that browsers show are sent as what
 * they are and without the attachment line (text as plain text); every other file, a
 * page too, as without it.
 */
Entry forFileName(const QString &fileName, bool inBrowser = false);

/*!
 * The whole Content-Disposition line, CR LF included, starting with
 * Http::AttachmentPrefix. It names the file (its whole name, suffix included) twice: quoted in Latin-1, where
 * other characters become "?" and quotes, backslashes and control characters become "_", and as
 * percent-encoded UTF-8 in a filename* parameter for the browsers that can save any name.
 */
QByteArray attachmentLine(const QString &fileName);

} // namespace ContentType
