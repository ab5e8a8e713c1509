#pragma once

#include <QByteArray>
#include <QString>

class HTML_Element_Manager;

/*!
 * The listing of the shared folder: a table of links, three files to a row. It shows the
 * folder's regular files and links to them, without subfolders, hidden files, broken
 * links and names that are not valid UTF-8 (no link could ask for them), sorted by name
 * case-sensitively by character code (B.txt before a.txt), in the order
 * QString::compare() gives. Each cell links to the file with its name and size in
 * bytes; the whole name is percent-encoded in the link and escaped in the text, so any
 * name is shown as it is and its link requests exactly that file.
 */
namespace FolderPage {

// The body tag of the plain listing.
constexpr char PlainBody[] = "<body>";

// The body tag of the thumbnail listing, with the install folder's background image.
QByteArray thumbnailBody();

// The rows of a listing, "<tr>", up to three cells and "</tr>" per row, the last row
// holding what is left, and the number of files they show.
struct Listing
{
    QByteArray rows;
    qsizetype count = 0;
    // False while a cell shows a picture still being made.
    bool allReady = true;
};

/*!
 * The plain listing of \a folder, built without a QFileInfo per file: the folder is
 * read on every call, so this is what a request for the listing waits for.
 */
Listing plainListing(const QString &folder);

/*!
 * The thumbnail listing of \a folder: the cells of \a manager's elements, found again
 * by each file's path, size and modification time, or made anew.
 */
Listing thumbnailListing(const QString &folder, HTML_Element_Manager &manager);

/*!
 * The listing for phones of \a folder: one entry per file, with its size in units and its
 * date; with \a manager, the pictures of the thumbnail listing too.
 */
Listing phoneListing(const QString &folder, HTML_Element_Manager *manager);

/*!
 * The page for phones around \a listing: a page of its own, titled \a title, that fits a
 * small screen (one file per row, a grid on a wide one). With scripts it filters by name
 * and sorts by name, size or date; without, it lists by name. With no files it names
 * \a sharedPath.
 */
QByteArray phonePage(const Listing &listing, const QString &title, const QString &sharedPath);

/*!
 * The page that follows the response header: "<html>", the refresh line unless
 * \a allReady, \a bodyTag, the table with \a rows or, when there are none, the row
 * naming \a sharedPath, and the closing tags.
 */
QByteArray page(const QByteArray &rows, bool allReady, const QByteArray &bodyTag, const QString &sharedPath);

} // namespace FolderPage
