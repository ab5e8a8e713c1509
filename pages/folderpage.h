#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QString>

#include <functional>

// The listing of the shared folder: a table of links, three files to a row.
namespace FolderPage {

// The body tag of the plain listing.
constexpr char PlainBody[] = "<body>";

// One file's cell: a link to the file with its name and size in bytes. The whole name
// is percent-encoded in the link and escaped in the text, so any name is shown as it
// is and its link requests exactly that file.
QByteArray cell(const QFileInfo &file);

// Appends cell() to \a out and returns true; the cellFor of the plain listing.
bool appendCell(const QFileInfo &file, QByteArray &out);

/*!
 * The rows of a listing: "<tr>", up to three cells and "</tr>" per row, the last row
 * holding what is left. \a cellFor appends one entry's cell and returns false when
 * that cell still waits for its picture; \a allReady (may be null) then becomes false.
 */
QByteArray rows(const QFileInfoList &entries,
                const std::function<bool(const QFileInfo &, QByteArray &)> &cellFor, bool *allReady);

/*!
 * The files of \a folder: regular files and links to them, without subfolders, hidden
 * files, broken links and names that are not valid UTF-8 (no link could ask for them).
 * Sorted by name case-sensitively by character code (B.txt before a.txt), in the
 * order QString::compare() gives.
 */
QFileInfoList entries(const QString &folder);

// The plain listing of a folder: its rows and the number of files they show.
struct Listing
{
    QByteArray rows;
    qsizetype count = 0;
};

/*!
 * The rows of the plain listing of \a folder, byte for byte those of rows() over
 * entries() with appendCell(), built without a QFileInfo per file: the folder is read
 * on every call, so this is what a request for the listing waits for.
 */
Listing plainListing(const QString &folder);

/*!
 * The page that follows the response header: "<html>", the refresh line unless
 * \a allReady, \a bodyTag, the table with \a rows or, when there are none, the row
 * naming \a sharedPath, and the closing tags.
 */
QByteArray page(const QByteArray &rows, bool allReady, const QByteArray &bodyTag, const QString &sharedPath);

} // namespace FolderPage
